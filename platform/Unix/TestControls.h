// Controls over the POSIX platform layer, for tests only: where the special
// folders are, which operations fail, and what was called. Nothing here exists
// on Windows.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class PlatformOperation {
    SHGetFolderPathW,
    PathAppendW,
    FindFirstFileW,
    FindNextFileW,
    FindClose,
    GetFileAttributesW,
    SetFileAttributesW,
    DeleteFileW,
    RemoveDirectoryW,
    CreateFileW,
    CloseHandle,
    MessageBoxA,
    GetUserObjectInformationW,
    RestrictDllSearchToSystem32,
};
const int kPlatformOperationCount =
    static_cast<int>(PlatformOperation::RestrictDllSearchToSystem32) + 1;

// One platform call, with the path it was given (the search pattern for
// FindFirstFileW and for the FindNextFileW/FindClose calls on that search; the
// opened path for CloseHandle).
struct PlatformCall {
    PlatformOperation operation;
    WidePath path;
    bool succeeded;
};

struct MessageBoxCall {
    std::string text;
    std::string caption;
    UINT type;
};

// Forgets every setting, failure, count, recorded call and open handle. Calls
// are always counted; they are recorded too if `recordCalls` (the memory grows
// with each).
void ResetPlatformForTest(bool recordCalls = true);

// SHGetFolderPathW(folder) yields `path` (which may be empty) and S_OK.
// A folder that was never set fails with E_FAIL.
void SetSpecialFolderForTest(int folder, const WidePath& path);
// Lookups of `folder` fail with E_FAIL from its lookup number `firstFailing`
// on, counting from 0.
void FailSpecialFolderLookupForTest(int folder, int firstFailing = 0);

// The operation fails on exactly this path, as it would on a file that another
// process holds open without delete sharing. For FindFirstFileW give the
// directory, not the pattern.
void FailOperationForTest(PlatformOperation operation, const WidePath& path);

// The listing of `directory` fails after `entriesListed` entries other than
// "." and "..": the next FindNextFileW returns FALSE.
void FailListingAfterForTest(const WidePath& directory, int entriesListed);

// The process's window station: visible (the default), hidden as for a
// service or a job run as SYSTEM, or unreadable.
enum class WindowStationForTest { Visible, Hidden, Unreadable };
void SetWindowStationForTest(WindowStationForTest station);

// Runs `action` once, just before the platform call `callNumber` calls from
// now (1: the very next call), as another process acting at that moment.
void RunBeforeCallForTest(std::uint64_t callNumber, std::function<void()> action);
// How many platform calls were made since the reset.
std::uint64_t PlatformCallsMadeForTest();
// Another process renames `from`: it fails, as on Windows, while `from` is
// open without delete sharing or while anything below it is open.
bool RenameForTest(const WidePath& from, const WidePath& to);
// How many CreateFileW handles are open.
std::size_t OpenHandleCountForTest();

const std::vector<PlatformCall>& PlatformCallsForTest();
std::uint64_t PlatformCallCountForTest(PlatformOperation operation);
const std::vector<MessageBoxCall>& MessageBoxCallsForTest();

// The conversions the layer makes at its boundary: UTF-16 with backslashes on
// one side, the host's UTF-8 with slashes on the other.
WidePath WidePathFromHost(const std::string& hostPath);
std::string HostPathFromWide(const WidePath& widePath);
