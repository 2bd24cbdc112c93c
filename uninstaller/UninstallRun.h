#pragma once

#include "platform/RunGuard.h"

// A file call that makes no progress for one to two stall periods is
// cancelled, and its entry left; no file call but a handle's close, or an
// attribute put back, starts three minutes after the run did. Whatever
// another user does, a run on local volumes ends within three and a half
// minutes.
const RunLimits kRunLimits = {15000, 180000};

// Runs the cleanup plan: every pass whose special folder can be looked up,
// every target in it, best effort, within `limits`. Returns whether any
// version folder of the plug-in was found (could be listed) on the way.
bool RunCleanupPlan(const RunLimits& limits = kRunLimits);

// The closing message box, where anyone can see, and so dismiss, it: not in
// the hidden window station of a service, or of a deployment tool running as
// SYSTEM, nor in session 0 (there it would block forever). It returns once
// the user has dismissed it.
void ReportUninstall(bool installedFound);
