// The Windows API, as the uninstaller uses it, and the one thing it needs
// that the API does not offer as one call.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

// Limits the DLLs this process loads later (for the message box, say) to the
// system folder, so that a DLL planted beside the executable is never loaded.
void RestrictDllSearchToSystem32();
