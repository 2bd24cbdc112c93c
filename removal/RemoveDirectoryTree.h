#pragma once

#include "platform/Platform.h"

#include <cstddef>

// Removes the folder `name` of `parent` with everything below it, as far as
// the platform lets it: read-only files go too, and a failure on one entry
// never stops the others. `parent` is a held folder whose handle has not
// been listed yet, and `pathLength` the length of the folder's plain full
// path. Every entry below it is reached through its own folder's handle.
// Links are removed as links where the platform can (else they stay);
// nothing is ever opened, listed, changed or deleted through one. An entry
// whose full path would be MAX_PATH or longer stays.
//
// Returns true when the folder could be listed, whatever was then removed,
// or is a link to a folder (which is never listed through); false otherwise
// (missing, not a folder, not readable), in which case nothing was touched.
bool RemoveDirectoryTree(HANDLE parent, const wchar_t* name, std::size_t pathLength);
