#include "platform/Platform.h"
#include "uninstaller/UninstallRun.h"

// The program takes no arguments: it removes the plug-in at once, reports, and
// always ends with status 1.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, PWSTR /*commandLine*/,
                    int /*showCommand*/) {
    // First of all, before any shell or user-interface call loads a DLL.
    RestrictDllSearchToSystem32();
    ReportUninstall(RunCleanupPlan());
    return 1;
}
