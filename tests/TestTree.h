// Real directory trees for tests, made in a fresh temporary folder per test.
#pragma once

#include "platform/Platform.h"

#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;

// Creates the file and any missing parent folders.
void WriteTestFile(const fs::path& path, const std::string& content = "data");
void MakeReadOnly(const fs::path& path);
bool IsReadOnly(const fs::path& path);
void MakeDirectoryLink(const fs::path& target, const fs::path& link);
void MakeFileLink(const fs::path& target, const fs::path& link);

// Makes deleting the file fail as it does while another process holds it open
// without delete sharing: on Windows a real open handle, on POSIX the layer's
// control. Released by RemoveScratchFolder.
void HoldOpenWithoutDeleteSharing(const fs::path& path);

// Every entry below `root`, as paths relative to it with "/" separators; a
// directory ends in "/", a link in "@". Links are not followed.
std::set<std::string> ListTree(const fs::path& root);

WidePath WidePathOf(const fs::path& path);

// Wine implements the Windows API with a few known differences from Windows.
bool IsRunningUnderWine();

// A fresh, empty folder for one test, removed with everything in it afterwards.
fs::path MakeScratchFolder();
void RemoveScratchFolder(const fs::path& folder);
