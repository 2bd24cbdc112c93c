// The Windows API, as the uninstaller uses it, and the one thing it needs
// that the API does not offer as one call.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shlobj.h>
#include <winternl.h>

// Lists a folder through its handle (ntdll; the SDK's user-mode headers do
// not declare it).
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine,
                                               PVOID apcContext, PIO_STATUS_BLOCK status,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                                               BOOLEAN restartScan);

// The delete disposition with flags (Windows 10 1809 and later), which the
// mingw-w64 headers leave out of FILE_INFO_BY_HANDLE_CLASS.
const FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = FILE_INFO_BY_HANDLE_CLASS(21);

// Limits the DLLs this process loads later (for the message box, say) to the
// system folder, so that a DLL planted beside the executable is never loaded.
void RestrictDllSearchToSystem32();
