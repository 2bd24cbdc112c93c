#include "uninstaller/UninstallRun.h"

#include "removal/FolderHold.h"
#include "removal/RemoveDirectoryTree.h"
#include "uninstaller/CleanupPlan.h"

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
// worked on, top-down. The deepest target lies in a version folder's plug_in.
const std::size_t kMostFoldersAboveTarget = kPluginsFolderDepth + 2;

struct HeldFolders {
    FolderHold holds[kMostFoldersAboveTarget];
    std::size_t count = 0;
};

void ReleaseFolders(HeldFolders& held) {
    while (held.count > 0) {
        ReleaseFolder(held.holds[--held.count]);
    }
}

// Holds, top-down, every folder of the target's relative path above the
// target itself, from the folder at depth `firstHeld` on (0 is the special
// folder's child). False, with nothing held, when one of them is missing,
// cannot be held or is a link: the target is then not to be touched.
bool HoldFoldersAbove(const wchar_t* path, const CleanupTarget& target, std::size_t firstHeld,
                      HeldFolders& held) {
    const std::wstring fullPath = path;
    const std::size_t relativeStart =
        fullPath.size() - std::char_traits<wchar_t>::length(target.relativePath);
    std::size_t depth = 0;
    for (std::size_t at = relativeStart; at < fullPath.size(); ++at) {
        if (fullPath[at] != L'\\' || depth++ < firstHeld) {
            continue;
        }
        const FolderHold hold = HoldFolder(fullPath.substr(0, at).c_str());
        if (hold.state != FolderHoldState::Held || held.count == kMostFoldersAboveTarget) {
            ReleaseFolder(hold);
            ReleaseFolders(held);
            return false;
        }
        held.holds[held.count++] = hold;
    }
    return true;
}

// Any user may create folders in the all-users folder, so every folder on the
// way down to a target there may be another user's link. In the per-user
// folder only its user can place links above Plugins (having moved the folder,
// say), so those are followed; below Plugins none is.
std::size_t FirstFolderHeld(int specialFolder) {
    return specialFolder == CSIDL_COMMON_APPDATA ? 0 : kPluginsFolderDepth;
}

// Returns whether the target counted as an installed version.
bool RunTarget(wchar_t (&path)[MAX_PATH], const CleanupTarget& target, std::size_t firstHeld) {
    HeldFolders held;
    if (!AppendTargetPath(path, target) || !HoldFoldersAbove(path, target, firstHeld, held)) {
        return false;
    }
    bool found = false;
    if (target.action == CleanupAction::RemoveFile) {
        DeleteFileW(path);
    } else {
        found = RemoveDirectoryTree(std::wstring(path)) && target.countsAsInstalled;
    }
    ReleaseFolders(held);
    return found;
}

} // namespace

bool RunCleanupPlan() {
    bool installedFound = false;
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
            if (RunTarget(path, pass.targets[i], FirstFolderHeld(pass.specialFolder))) {
                installedFound = true;
            }
        }
    }
    return installedFound;
}

void ShowUninstallReport(bool installedFound) {
    MessageBoxA(nullptr, installedFound ? kReportInstalled : kReportNotInstalled, kReportCaption,
                MB_OK | MB_ICONINFORMATION | MB_DEFBUTTON2);
}

bool IsDesktopVisible() {
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                   &needed)) {
        return true; // when in doubt, report as always
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
