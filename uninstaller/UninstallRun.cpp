#include "uninstaller/UninstallRun.h"

#include "removal/EntryHandle.h"
#include "removal/RemoveDirectoryTree.h"
#include "uninstaller/CleanupPlan.h"

#include <cwchar>
#include <string>

namespace {

const char kReportCaption[] = "SU Tarvex Uninstaller 2016";
const char kReportInstalled[] = "All applications have been uninstalled";
const char kReportNotInstalled[] = "No application installed";

bool LookUpSpecialFolder(int specialFolder, wchar_t (&path)[MAX_PATH]) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, specialFolder, nullptr, SHGFP_TYPE_CURRENT, path));
}

// Completes `path` (holding the special folder) to the target's full path.
// An empty folder path would leave a bare relative path, and an append that
// does not fit would leave the buffer short of the target: neither may be
// deleted, so the target is skipped.
bool AppendTargetPath(wchar_t (&path)[MAX_PATH], const CleanupTarget& target) {
    return path[0] != 0 && PathAppendW(path, target.relativePath);
}

// The folders of a target's relative path that are held while the target is
// worked on, top-down, after the special folder. The deepest target lies in
// a version folder's plug_in.
const std::size_t kMostFoldersAboveTarget = kPluginsFolderDepth + 2;

struct HeldFolders {
    HANDLE handles[1 + kMostFoldersAboveTarget];
    std::size_t count = 0;
};

void ReleaseFolders(HeldFolders& held) {
    while (held.count > 0) {
        CloseHandle(held.handles[--held.count]);
    }
}

// Opens one folder on the way down, relative to the one above: as the
// listing shows it, a real folder and not a link, when `checked`; else
// following links. Nullptr when it is missing or refused.
HANDLE OpenFolderOnTheWay(HANDLE parent, const wchar_t* name, bool checked) {
    if (!checked) {
        return OpenFolderFollowingLinks(parent, name);
    }
    EntryHandle opened = {};
    if (!OpenNamedEntry(parent, name, EntryUse::Hold, opened)) {
        return nullptr;
    }
    if (!IsHeldFolder(opened)) {
        CloseHandle(opened.handle);
        return nullptr;
    }
    return opened.handle;
}

// Holds the special folder by exactly the path its lookup gave (cut out of
// the full path, "C:\\" would lose its backslash and name the drive's
// working folder), then each folder of the target's relative path above the
// target, each opened relative to the one above by its listed name, checked
// from depth `firstChecked` on (0 is the special folder's child). False,
// with nothing held, when one of them is missing or refused: the target is
// then not to be touched.
bool HoldFoldersAbove(const std::wstring& specialFolder, const CleanupTarget& target,
                      std::size_t firstChecked, HeldFolders& held) {
    // Backup semantics: CreateFileW opens no folder without them.
    const HANDLE special = GuardedFileCall(INVALID_HANDLE_VALUE, [&] {
        return CreateFileW(specialFolder.c_str(),
                           FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    });
    if (special == INVALID_HANDLE_VALUE) {
        return false;
    }
    held.handles[held.count++] = special;
    const std::wstring relativePath = target.relativePath;
    std::size_t depth = 0;
    for (std::size_t start = 0, end = relativePath.find(L'\\'); end != std::wstring::npos;
         start = end + 1, end = relativePath.find(L'\\', start)) {
        const HANDLE folder =
            held.count == 1 + kMostFoldersAboveTarget
                ? nullptr
                : OpenFolderOnTheWay(held.handles[held.count - 1],
                                     relativePath.substr(start, end - start).c_str(),
                                     depth++ >= firstChecked);
        if (folder == nullptr) {
            ReleaseFolders(held);
            return false;
        }
        held.handles[held.count++] = folder;
    }
    return true;
}

// Whether this process runs with an administrator's full rights. When that
// cannot be told, it is taken to: what it makes the run refuse is never
// lost, only left.
bool IsElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return true;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool known =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) != FALSE;
    CloseHandle(token);
    return !known || elevation.TokenIsElevated != 0;
}

// Any user may create folders in the all-users folder, so every folder on the
// way down to a target there may be another user's link. In the per-user
// folder only its user, or a program of that user's, can place links; they
// are followed above Plugins (the user may have moved the folder) unless the
// run is elevated, when a program of the same user could use them to make
// it delete what that user may not. Below Plugins none is followed.
std::size_t FirstFolderChecked(int specialFolder, bool elevated) {
    return specialFolder == CSIDL_COMMON_APPDATA || elevated ? 0 : kPluginsFolderDepth;
}

// Deletes the file target through its own handle; a read-only one stays.
void DeleteFileTarget(HANDLE folder, const wchar_t* name) {
    EntryHandle opened = {};
    if (!OpenNamedEntry(folder, name, EntryUse::Remove, opened)) {
        return;
    }
    if (opened.openedAs == OpenedAs::Link ||
        (opened.openedAs == OpenedAs::Listed &&
         (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
        bool flagsUnsupported = false;
        DeleteOnClose(opened, false, flagsUnsupported);
    }
    CloseHandle(opened.handle);
}

// Returns whether the target counted as an installed version.
bool RunTarget(wchar_t (&path)[MAX_PATH], const CleanupTarget& target, std::size_t firstChecked) {
    const std::wstring specialFolder = path;
    HeldFolders held;
    if (!AppendTargetPath(path, target) ||
        !HoldFoldersAbove(specialFolder, target, firstChecked, held)) {
        return false;
    }
    const HANDLE folder = held.handles[held.count - 1];
    bool found = false;
    if (target.action == CleanupAction::RemoveFile) {
        DeleteFileTarget(folder, std::wcsrchr(path, L'\\') + 1);
    } else {
        found = RemoveDirectoryTree(folder, path) && target.countsAsInstalled;
    }
    ReleaseFolders(held);
    return found;
}

// Whether anyone can see, and so dismiss, a message box.
bool IsDesktopVisible() {
    // Since Windows Vista no user sees session 0, where services run.
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        return false;
    }
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                   &needed)) {
        return true; // when in doubt, report as always
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

} // namespace

bool RunCleanupPlan(const RunLimits& limits) {
    RunGuard guard = {};
    StartRunGuard(guard, limits);
    bool installedFound = false;
    const bool elevated = IsElevated();
    wchar_t path[MAX_PATH] = {};
    for (const CleanupPass& pass : kCleanupPasses) {
        if (!LookUpSpecialFolder(pass.specialFolder, path)) {
            continue;
        }
        for (std::size_t i = 0; i < kTargetsPerPass; ++i) {
            // The buffer holds the special folder for the first target; every
            // later target starts again from a fresh lookup.
            if (i > 0 && !LookUpSpecialFolder(pass.specialFolder, path)) {
                continue;
            }
            if (RunTarget(path, pass.targets[i],
                          FirstFolderChecked(pass.specialFolder, elevated))) {
                installedFound = true;
            }
        }
    }
    StopRunGuard(guard);
    return installedFound;
}

void ReportUninstall(bool installedFound) {
    if (IsDesktopVisible()) {
        MessageBoxA(nullptr, installedFound ? kReportInstalled : kReportNotInstalled,
                    kReportCaption, MB_OK | MB_ICONINFORMATION | MB_DEFBUTTON2);
    }
}
