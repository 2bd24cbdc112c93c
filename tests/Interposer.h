// The test bed's one seam: the import entries of the Windows API calls the
// uninstaller makes are taken by shims (Interposer.cpp) that forward to the
// real functions. While a test intercepts, the shims count and record those
// calls and inject what the test asks for: special folders placed elsewhere,
// failures on chosen paths, a listing that ends early, another party acting
// just before a chosen call. Nothing of Windows is modelled here: every call
// that is not failed on purpose is the real one.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

enum class Api {
    SHGetFolderPathW,
    CreateFileW,
    NtCreateFile,
    CloseHandle,
    NtQueryDirectoryFile,
    NtQueryInformationFile,
    GetFileInformationByHandleEx,
    SetFileInformationByHandle,
    GetTokenInformation,
};

// One intercepted call and the path it concerns: the path it was given, or
// for a call on a handle the path that handle was opened by. An open
// relative to a folder's handle concerns that folder's path, a backslash and
// the name given.
struct ApiCall {
    Api api;
    std::wstring path;
    bool relative;      // the call named its object relative to a handle
    ACCESS_MASK access; // of an open
    ULONG options;      // of NtCreateFile
};

struct MessageBoxCall {
    std::string text;
    std::string caption;
    UINT style;
};

enum class WindowStation { Visible, Hidden, Unreadable };

// What a test asks of the shims, and what they saw. Calls made by tests
// themselves are never intercepted; only those made inside Intercepted(...).
struct Interposer {
    // SHGetFolderPathW(folder) yields the placed path (which may be empty).
    // Lookups of a folder not placed fail, and so do those from number
    // firstFailingLookup[folder] on (counting from 0).
    std::map<int, std::wstring> specialFolders;
    std::map<int, int> firstFailingLookup;
    // An api fails with access denied on exactly a path: a call on a handle
    // opened by it, a listing of it, or (path empty) the token's query.
    std::set<std::pair<Api, std::wstring>> faults;
    // An api waits on exactly a path until its I/O is cancelled, as behind
    // an opportunistic lock whose owner never lets go, then fails.
    std::set<std::pair<Api, std::wstring>> stalls;
    // Opens of these paths report that an opportunistic lock is being broken
    // (STATUS_OPLOCK_BREAK_IN_PROGRESS, a success, with the handle open).
    std::set<std::wstring> oplocked;
    // Opens of a path that ask for any of these rights are refused, as an
    // access list refuses them.
    std::map<std::wstring, DWORD> refusedAccess;
    // Wine shows FILE_ATTRIBUTE_ARCHIVE on every file: these paths' handles
    // show their attributes without it, as Windows shows a file with no other.
    std::set<std::wstring> withoutArchive;
    // FileDispositionInfoEx is refused as an access list refuses it (not as
    // a system that lacks it, which is asked once a run), so that every
    // deletion tries it and shows its flags.
    bool refuseDispositionEx = false;
    // A folder's listing ends after this many entries besides "." and "..":
    // the next NtQueryDirectoryFile fails.
    std::map<std::wstring, int> listingLimits;
    // The answers to the token's elevation query, the process's session
    // and its window station's flags.
    bool elevated = false;
    DWORD session = 1;
    WindowStation station = WindowStation::Visible;

    std::uint64_t callsMade = 0;
    std::vector<ApiCall> calls;
    std::vector<MessageBoxCall> messageBoxes;
    // Handles the intercepted calls opened and did not close, with the paths
    // they were opened by.
    std::map<HANDLE, std::wstring> openFiles;

    // The shims' own.
    bool intercepting = false;
    bool inAction = false;
    std::uint64_t actionBeforeCall = 0;
    std::function<void()> action;
    std::map<int, int> lookupsMade;
    std::map<HANDLE, int> entriesListed;
};

// The one in force; every test starts with a fresh one.
Interposer& Interposed();

// Runs `work` with interception on, the way the uninstaller runs.
template <typename Work> auto Intercepted(Work work) {
    Interposed().intercepting = true;
    struct Stop {
        ~Stop() {
            Interposed().intercepting = false;
        }
    } stop;
    return work();
}

// Runs `action` just before intercepted call `callNumber` from now (1 is the
// next), unintercepted, as another party acting at that moment.
void RunBeforeCall(std::uint64_t callNumber, std::function<void()> action);
