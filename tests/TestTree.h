// Real folder trees for the tests, made through the Windows API in a fresh
// folder per test. Links are host symbolic links: Wine cannot make links from
// the Windows side, so a host program makes them.
#pragma once

#include "platform/Platform.h"
#include "tools/wine/WineHost.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

// Creates the file, with any missing folders above it.
void WriteTestFile(const std::wstring& path, const std::string& content = "data");
void MakeFolders(const std::wstring& path);
void MakeReadOnly(const std::wstring& path);
std::string ReadTestFile(const std::wstring& path);

// Runs a POSIX shell script on the host with the given arguments ($1, $2…,
// Windows paths turned into host paths) and waits for it to end.
void RunOnHost(const std::string& script, const std::wstring& first = L"",
               const std::wstring& second = L"");
// A host symbolic link at `link` to `target`.
void MakeLink(const std::wstring& target, const std::wstring& link);

// Opens the file without delete sharing, as another program would; it stays
// open until CloseHeldFiles.
void HoldOpenWithoutDeleteSharing(const std::wstring& path);
void CloseHeldFiles();

// Every entry below `root`, as paths relative to it with "/" separators; a
// folder ends in "/", a link to a folder in "@", a read-only file in
// " [read-only]". Links are not followed.
std::set<std::string> ListTree(const std::wstring& root);

bool Exists(const std::wstring& path);

// A fresh, empty folder for one test, and its removal with everything in it
// (links as links).
std::wstring MakeScratchFolder();
void RemoveScratchFolder(const std::wstring& folder);

// A test with a fresh scratch folder of its own.
class SandboxTest : public testing::Test {
  protected:
    void SetUp() override {
        sandbox = MakeScratchFolder();
    }
    void TearDown() override {
        RemoveScratchFolder(sandbox);
    }
    std::wstring sandbox;
};

// Another party acting at every moment of a run: `run` goes once as it is,
// then once for each of its intercepted calls that `chosen` picks, with
// `act` run just before that call. `prepare(callNumber)` makes each run's
// files after the interposer is reset (0 before the first run), and
// `check(callNumber)` judges each run. Stops at the first failure.
void ActBeforeEachCall(const std::function<void(std::uint64_t)>& prepare,
                       const std::function<void()>& run,
                       const std::function<bool(const std::wstring& path)>& chosen,
                       const std::function<void()>& act,
                       const std::function<void(std::uint64_t)>& check);
