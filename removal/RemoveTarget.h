// A target below a special folder, reached the way down from it: each
// folder of its relative path held, from the special folder on, and opened
// relative to the one above.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TargetKind : std::uint8_t {
    Tree, // the folder with everything below it
    File, // one file, as it is
};

// Removes the target `relativePath` (no leading or trailing backslash) below
// the special folder at `specialFolder`, as its lookup gave it. The folders
// on the way down are checked from depth `firstChecked` on (0 is the special
// folder's child): each must be a real folder, as its listing shows it, and
// not a link; above that depth links are followed. Nothing is touched where
// one of them is missing or refused, where the special folder's path is
// empty (a relative path would name the working folder's entries), or where
// the target's full path would be MAX_PATH or longer.
//
// Returns, for a tree, whether it was a folder that could be listed or a
// link to a folder (RemoveDirectoryTree).
bool RemoveTarget(const wchar_t* specialFolder, const wchar_t* relativePath, TargetKind kind,
                  std::size_t firstChecked);
