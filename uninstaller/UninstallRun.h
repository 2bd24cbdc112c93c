#pragma once

#include "platform/Platform.h"

// A file call that makes no progress for one to two such periods is
// cancelled, and its entry left.
const DWORD kStallPeriodMilliseconds = 15000;

// Runs the cleanup plan: every pass whose special folder can be looked up,
// every target in it, best effort. Returns whether any version folder of the
// plug-in was found (could be listed) on the way.
bool RunCleanupPlan(DWORD stallPeriodMilliseconds = kStallPeriodMilliseconds);

// The closing message box; it returns once the user has dismissed it.
void ShowUninstallReport(bool installedFound);

// Whether anyone can see, and so dismiss, a message box. Not so in the hidden
// window station of a service, or of a deployment tool running as SYSTEM,
// nor in session 0.
bool IsDesktopVisible();
