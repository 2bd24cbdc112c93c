// The platform operations the uninstaller is written against.
//
// On Windows this is the Windows API itself. Elsewhere the same names, types and
// values are declared here and implemented over POSIX in platform/Unix, so the
// uninstall logic builds and is tested unchanged on a POSIX host.
#pragma once

#include <string>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>

// A wide string literal in the platform's UTF-16 character type.
#define WIDE_(literal) L##literal
#define WIDE(literal) WIDE_(literal)

#else // POSIX

#include <cstdint>

#define WINAPI

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef std::int32_t HRESULT;
typedef void* HANDLE;
typedef struct OpaqueWindow* HWND;
typedef struct OpaqueInstance* HINSTANCE;
typedef struct OpaqueWindowStation* HWINSTA;
typedef struct SecurityAttributes* LPSECURITY_ATTRIBUTES;

#define WIDE_(literal) u##literal
#define WIDE(literal) WIDE_(literal)

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define S_OK ((HRESULT)0)
#define E_FAIL ((HRESULT)0x80004005)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define CSIDL_APPDATA 0x001a
#define CSIDL_COMMON_APPDATA 0x0023
#define SHGFP_TYPE_CURRENT 0

#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define DELETE 0x00010000L
#define SYNCHRONIZE 0x00100000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_READ 0x80000000L

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define OPEN_EXISTING 3

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001L

typedef struct {
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
} USEROBJECTFLAGS;

#define MB_OK 0x00000000L
#define MB_ICONINFORMATION 0x00000040L
#define MB_DEFBUTTON2 0x00000100L
#define IDOK 1

typedef struct {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;

HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
BOOL PathAppendW(LPWSTR path, LPCWSTR more);

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* findData);
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* findData);
BOOL FindClose(HANDLE search);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL DeleteFileW(LPCWSTR path);
BOOL RemoveDirectoryW(LPCWSTR path);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE object);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HWINSTA GetProcessWindowStation();
BOOL GetUserObjectInformationW(HANDLE object, int index, void* info, DWORD length, DWORD* needed);

#endif // _WIN32

// Limits the DLLs this process loads later (for the message box, say) to the
// system folder, so that a DLL planted beside the executable is never loaded.
// Does nothing where there is no such search.
void RestrictDllSearchToSystem32();

// A path as the platform takes it: UTF-16, backslash separators.
typedef std::basic_string<WCHAR> WidePath;
