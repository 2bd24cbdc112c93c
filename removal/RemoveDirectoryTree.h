#pragma once

#include "platform/Platform.h"

#include <string>

// Removes `directory` with everything below it, as far as the platform lets it:
// read-only files lose that attribute just before they are deleted, and a
// failure on one entry never stops the others. Links to directories are
// removed as links; nothing is ever listed or deleted through one.
//
// Returns true when the directory could be listed, whatever was then removed;
// false when it could not (missing, not a directory, not readable), in which
// case nothing was touched.
bool RemoveDirectoryTree(const std::wstring& directory);
