// What the Windows API does not offer as one call.
#include "platform/Platform.h"

void RestrictDllSearchToSystem32() {
    // Looked up at run time: Windows 7 without update KB2533623 lacks it, and a
    // static import would keep the program from starting there. Cast by way
    // of the function pointer type that stands for any function.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    // Without it, at least take the working folder out of the search.
    SetDllDirectoryW(L"");
}
