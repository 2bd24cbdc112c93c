#pragma once

#include "platform/Platform.h"
#include "removal/RemoveTarget.h"

#include <cstddef>
#include <cstdint>

struct CleanupTarget {
    const wchar_t* relativePath; // below the special folder, no leading or trailing backslash
    TargetKind kind;
    bool countsAsInstalled; // a folder that could be listed means the plug-in was there
};

// Every relative path starts with the Plugins folder, four folders deep:
// "SketchUp\SketchUp 2016\SketchUp\Plugins".
const std::size_t kPluginsFolderDepth = 4;

const std::size_t kTargetsPerPass = 6;

struct CleanupPass {
    int specialFolder;            // CSIDL_APPDATA or CSIDL_COMMON_APPDATA
    const CleanupTarget* targets; // kTargetsPerPass of them, in order
};

const std::size_t kPassCount = 4;

// The passes, in the order they run.
extern const CleanupPass kCleanupPasses[kPassCount];
