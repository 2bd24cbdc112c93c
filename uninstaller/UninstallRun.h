#pragma once

// Runs the cleanup plan: every pass whose special folder can be looked up,
// every target in it, best effort. Returns whether any version folder of the
// plug-in was found (could be listed) on the way.
bool RunCleanupPlan();

// The closing message box; it returns once the user has dismissed it.
void ShowUninstallReport(bool installedFound);

// Whether anyone can see, and so dismiss, a message box. Not so in the hidden
// window station of a service, or of a deployment tool running as SYSTEM,
// nor in session 0.
bool IsDesktopVisible();
