// Real directory trees for the tests over the POSIX layer, made in a fresh
// temporary folder per test.
#pragma once

#include "platform/Platform.h"

#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;

// Creates the file and any missing parent folders.
void WriteTestFile(const fs::path& path, const std::string& content = "data");
// A read-only file, as the layer shows one: without the owner's write permission.
void MakeReadOnly(const fs::path& path);
void MakeDirectoryLink(const fs::path& target, const fs::path& link);
void MakeFileLink(const fs::path& target, const fs::path& link);

// Opens the file through the layer without delete sharing, as another
// process would; it stays open until the layer is reset.
void HoldOpenWithoutDeleteSharing(const fs::path& path);

// Every entry below `root`, as paths relative to it with "/" separators; a
// directory ends in "/", a link in "@", a read-only file in " [read-only]".
// Links are not followed.
std::set<std::string> ListTree(const fs::path& root);

WidePath WidePathOf(const fs::path& path);

// A fresh, empty folder for one test, removed with everything in it afterwards.
fs::path MakeScratchFolder();
void RemoveScratchFolder(const fs::path& folder);
