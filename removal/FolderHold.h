#pragma once

#include "platform/Platform.h"

// Holding a folder keeps its path naming that same folder: it is open without
// delete sharing, so nobody can rename or delete it (nor, on Windows, any
// folder above it) until it is released.
enum class FolderHoldState {
    Held,    // a real folder, open until ReleaseFolder
    Link,    // a link, or what cannot be shown not to be one: never entered
    NotHeld, // missing, not a folder, or not open to us
};

struct FolderHold {
    FolderHoldState state;
    HANDLE handle; // open only when Held
};

// Opens the folder itself (a link as a link, never what it points to), then
// checks by its path, which now names what was opened, that it is a folder and
// not a link. Nothing is left open unless the result is Held.
FolderHold HoldFolder(const wchar_t* path);
void ReleaseFolder(const FolderHold& hold);
