#pragma once

#include "platform/Platform.h"

#include <string>

// Removes the folder `path` with everything below it, as far as the platform
// lets it: read-only files go too, and a failure on one entry never stops
// the others. The folder is reached through `parent`, the held folder that
// holds it, whose handle has not been listed yet; every entry below it
// through its own folder's handle. Links are removed as links where the
// platform can (else they stay); nothing is ever opened, listed, changed or
// deleted through one. An entry whose full path would be MAX_PATH or longer
// stays.
//
// Returns true when the folder could be listed, whatever was then removed,
// or is a link to a folder (which is never listed through); false otherwise
// (missing, not a folder, not readable), in which case nothing was touched.
bool RemoveDirectoryTree(HANDLE parent, const std::wstring& path);
