#include "uninstaller/UninstallRun.h"

#include "removal/RemoveTarget.h"
#include "uninstaller/CleanupPlan.h"

namespace {

const char kReportCaption[] = "SU Tarvex Uninstaller 2016";
const char kReportInstalled[] = "All applications have been uninstalled";
const char kReportNotInstalled[] = "No application installed";

bool LookUpSpecialFolder(int specialFolder, wchar_t (&path)[MAX_PATH]) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, specialFolder, nullptr, SHGFP_TYPE_CURRENT, path));
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
            const CleanupTarget& target = pass.targets[i];
            if (RemoveTarget(path, target.relativePath, target.kind,
                             FirstFolderChecked(pass.specialFolder, elevated)) &&
                target.countsAsInstalled) {
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
