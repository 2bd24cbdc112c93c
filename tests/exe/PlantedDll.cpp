// A DLL planted beside the executable under the name of one that showing a
// message box loads: the relay trace's +loaddll lines show whether it loads.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
