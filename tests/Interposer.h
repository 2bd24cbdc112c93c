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
#include <string>
#include <vector>

enum class Api {
    SHGetFolderPathW,
    PathAppendW,
    CreateFileW,
    NtCreateFile,
    CloseHandle,
    NtQueryDirectoryFile,
    NtQueryInformationFile,
    GetFileInformationByHandleEx,
    SetFileInformationByHandle,
    GetTokenInformation,
    ProcessIdToSessionId,
    MessageBoxA,
    GetUserObjectInformationW,
};

// One intercepted call and the path it concerns: the path it was given, or
// for a call on a handle the path that handle was opened by. An open
// relative to a folder's handle concerns that folder's path, a backslash and
// the name given.
struct ApiCall {
    Api api;
    std::wstring path;
    bool relative; // the call named its object relative to a handle
};

struct MessageBoxCall {
    std::string text;
    std::string caption;
    UINT style;
};

// Forgets every setting, fault, count and record. Calls made by tests
// themselves are never intercepted; only those made between
// StartIntercepting and StopIntercepting are.
void ResetInterposer();
void StartIntercepting();
void StopIntercepting();

// Runs `work` with interception on, the way the uninstaller runs.
template <typename Work> auto Intercepted(Work work) {
    StartIntercepting();
    struct Stop {
        ~Stop() {
            StopIntercepting();
        }
    } stop;
    return work();
}

// SHGetFolderPathW(folder) yields `path` (which may be empty). Lookups of a
// folder that was not placed fail, and so do those from number
// `firstFailing` on (counting from 0) of one that was failed.
void PlaceSpecialFolder(int folder, const std::wstring& path);
void FailSpecialFolderLookups(int folder, int firstFailing = 0);

// `api` fails with access denied on exactly this path.
void FailCallOn(Api api, const std::wstring& path);

// Opens of exactly this path that ask for any of `access` are refused, as an
// access list refuses them.
void RefuseAccessOn(const std::wstring& path, DWORD access);

// The listing of `folder` ends after `entries` entries besides "." and "..":
// the next NtQueryDirectoryFile fails.
void EndListingAfter(const std::wstring& folder, int entries);

// Runs `action` just before intercepted call `callNumber` (1 is the first),
// unintercepted, as another party acting at that moment.
void RunBeforeCall(std::uint64_t callNumber, std::function<void()> action);

enum class WindowStation { Visible, Hidden, Unreadable };
void SetWindowStation(WindowStation station);
// The answers to the token's elevation query (not elevated unless set) and
// to the process's session (1 unless set).
void SetElevated(bool elevated);
void SetSession(DWORD session);

std::uint64_t CallsMade();
const std::vector<ApiCall>& Calls();
const std::vector<MessageBoxCall>& MessageBoxes();
// Handles the intercepted calls opened and did not close.
std::size_t HandlesLeftOpen();
