#include "uninstaller/UninstallRun.h"

#include "removal/RemoveDirectoryTree.h"
#include "uninstaller/CleanupPlan.h"

#include <string>

namespace {

const char kReportCaption[] = "SU Tarvex Uninstaller 2016";
const char kReportInstalled[] = "All applications have been uninstalled";
const char kReportNotInstalled[] = "No application installed";

bool LookUpSpecialFolder(int specialFolder, WCHAR (&path)[MAX_PATH]) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, specialFolder, nullptr, SHGFP_TYPE_CURRENT, path));
}

// Completes `path` (holding the special folder) to the target's full path.
// An empty folder path would leave a bare relative path, and an append that
// does not fit would leave the buffer short of the target: neither may be
// deleted, so the target is skipped.
bool AppendTargetPath(WCHAR (&path)[MAX_PATH], const CleanupTarget& target) {
    return path[0] != 0 && PathAppendW(path, target.relativePath);
}

// Whether a folder between the Plugins folder and the file at `path` is a
// link. A version folder planted as a link, and left in place because it could
// not be removed, must not let the file targets inside it reach elsewhere.
bool LiesBehindLink(const WCHAR* path, const CleanupTarget& target) {
    const WidePath fullPath = path;
    const std::size_t relativeStart =
        fullPath.size() - std::char_traits<WCHAR>::length(target.relativePath);
    std::size_t separatorsSeen = 0;
    for (std::size_t at = relativeStart; at < fullPath.size(); ++at) {
        if (fullPath[at] != WIDE('\\') || ++separatorsSeen <= kPluginsFolderDepth) {
            continue;
        }
        const DWORD attributes = GetFileAttributesW(fullPath.substr(0, at).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return true;
        }
    }
    return false;
}

// Returns whether the target counted as an installed version.
bool RunTarget(WCHAR (&path)[MAX_PATH], const CleanupTarget& target) {
    if (!AppendTargetPath(path, target)) {
        return false;
    }
    if (target.action == CleanupAction::RemoveFile) {
        if (!LiesBehindLink(path, target)) {
            DeleteFileW(path);
        }
        return false;
    }
    const bool listed = RemoveDirectoryTree(WidePath(path));
    return target.countsAsInstalled && listed;
}

} // namespace

bool RunCleanupPlan() {
    bool installedFound = false;
    WCHAR path[MAX_PATH] = {};
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
            if (RunTarget(path, pass.targets[i])) {
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
