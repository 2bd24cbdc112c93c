#include "platform/Platform.h"
#include "uninstaller/UninstallRun.h"

// The program takes no arguments: it removes the plug-in at once, reports, and
// always ends with status 1.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const bool installedFound = RunCleanupPlan();
    ShowUninstallReport(installedFound);
    return 1;
}
