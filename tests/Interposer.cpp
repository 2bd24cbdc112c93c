// With mingw-w64 every call the uninstaller makes to a function that its
// header declares as imported goes through an import entry (IMPORT_ENTRY
// below names it): defining that entry here makes the linker take ours, which
// points at a shim. The ntdll functions are declared plainly, so the
// uninstaller calls them directly: they are defined here as shims themselves,
// and the import library's are never linked. Every shim reaches the real
// function through GetProcAddress.
#include "tests/Interposer.h"

namespace {

const NTSTATUS kAccessDenied = NTSTATUS(0xC0000022);
const NTSTATUS kCancelled = NTSTATUS(0xC0000120);
const NTSTATUS kOplockBreakInProgress = NTSTATUS(0x00000108);

bool Intercepting() {
    return Interposed().intercepting && !Interposed().inAction;
}

template <typename Function> Function Real(const wchar_t* dll, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(dll), name)));
}

#define REAL(dll, name) static const auto real = Real<decltype(&::name)>(dll, #name)

// Stands for a call that waits on another program without end: a real
// synchronous read that nothing ever answers, which only a cancellation
// (CancelSynchronousIo) ends.
void WaitUntilCancelled() {
    static HANDLE readEnd = nullptr;
    static HANDLE writeEnd = nullptr;
    if (readEnd == nullptr) {
        CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    }
    char byte = 0;
    DWORD read = 0;
    ReadFile(readEnd, &byte, 1, &read, nullptr);
}

// Counts and records an intercepted call and runs the action due before it.
// Returns the failure the test asks for (0 for none): access denied, or
// after a stall, cancelled.
NTSTATUS Record(Api api, const std::wstring& path, bool relative = false, ACCESS_MASK access = 0,
                ULONG options = 0) {
    Interposer& state = Interposed();
    if (!Intercepting()) {
        return 0;
    }
    if (++state.callsMade == state.actionBeforeCall && state.action) {
        state.inAction = true;
        state.action();
        state.inAction = false;
    }
    state.calls.push_back({api, path, relative, access, options});
    if (state.stalls.count({api, path}) != 0) {
        WaitUntilCancelled();
        return kCancelled;
    }
    return state.faults.count({api, path}) != 0 ? kAccessDenied : 0;
}

std::wstring PathOfHandle(HANDLE handle) {
    const auto file = Interposed().openFiles.find(handle);
    return file != Interposed().openFiles.end() ? file->second : std::wstring();
}

// A call on a handle: recorded with the path the handle was opened by, and
// answered with `failure` where the test fails it.
template <typename Result, typename Function, typename... Arguments>
Result OnHandle(Api api, Result failure, Function real, HANDLE handle, Arguments... arguments) {
    if (Record(api, Intercepting() ? PathOfHandle(handle) : std::wstring()) != 0) {
        return failure;
    }
    return real(handle, arguments...);
}

void Track(HANDLE handle, const std::wstring& path) {
    if (Intercepting()) {
        Interposed().openFiles[handle] = path;
    }
}

HRESULT WINAPI ShimSHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags,
                                    LPWSTR path) {
    REAL(L"shell32.dll", SHGetFolderPathW);
    if (!Intercepting()) {
        return real(owner, folder, token, flags, path);
    }
    Record(Api::SHGetFolderPathW, L"");
    // A test never reaches the real special folders.
    Interposer& state = Interposed();
    const int lookup = state.lookupsMade[folder]++;
    const auto placed = state.specialFolders.find(folder);
    const auto failing = state.firstFailingLookup.find(folder);
    if (placed == state.specialFolders.end() ||
        (failing != state.firstFailingLookup.end() && lookup >= failing->second) ||
        placed->second.size() >= MAX_PATH) {
        return E_FAIL;
    }
    path[placed->second.copy(path, MAX_PATH)] = 0;
    return S_OK;
}

HANDLE WINAPI ShimCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    REAL(L"kernel32.dll", CreateFileW);
    Record(Api::CreateFileW, path, false, access, flags);
    const HANDLE handle = real(path, access, share, security, disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE) {
        Track(handle, path);
    }
    return handle;
}

BOOL WINAPI ShimCloseHandle(HANDLE handle) {
    REAL(L"kernel32.dll", CloseHandle);
    if (Intercepting()) {
        Record(Api::CloseHandle, PathOfHandle(handle));
        Interposed().openFiles.erase(handle);
        Interposed().entriesListed.erase(handle);
    }
    return real(handle);
}

BOOL WINAPI ShimGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID information, DWORD size) {
    REAL(L"kernel32.dll", GetFileInformationByHandleEx);
    const BOOL result =
        OnHandle(Api::GetFileInformationByHandleEx, FALSE, real, handle, kind, information, size);
    if (result && Intercepting() && Interposed().withoutArchive.count(PathOfHandle(handle)) != 0) {
        if (kind == FileAttributeTagInfo) {
            static_cast<FILE_ATTRIBUTE_TAG_INFO*>(information)->FileAttributes &=
                ~DWORD(FILE_ATTRIBUTE_ARCHIVE);
        } else if (kind == FileBasicInfo) {
            static_cast<FILE_BASIC_INFO*>(information)->FileAttributes &=
                ~DWORD(FILE_ATTRIBUTE_ARCHIVE);
        }
    }
    return result;
}

BOOL WINAPI ShimSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                           LPVOID information, DWORD size) {
    REAL(L"kernel32.dll", SetFileInformationByHandle);
    // Recorded with the class as options and a disposition's flags as access.
    const DWORD flags = size >= sizeof(DWORD) ? *static_cast<const DWORD*>(information) : 0;
    if (Record(Api::SetFileInformationByHandle, Intercepting() ? PathOfHandle(handle) : L"", false,
               flags, kind) != 0) {
        return FALSE;
    }
    if (Intercepting() && Interposed().refuseDispositionEx && kind == kFileDispositionInfoEx) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real(handle, kind, information, size);
}

BOOL WINAPI ShimGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                    DWORD size, PDWORD needed) {
    REAL(L"advapi32.dll", GetTokenInformation);
    if (!Intercepting() || kind != TokenElevation || size < sizeof(TOKEN_ELEVATION)) {
        return real(token, kind, information, size, needed);
    }
    if (Record(Api::GetTokenInformation, L"") != 0) {
        return FALSE;
    }
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = Interposed().elevated ? 1 : 0;
    *needed = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

BOOL WINAPI ShimProcessIdToSessionId(DWORD process, DWORD* session) {
    REAL(L"kernel32.dll", ProcessIdToSessionId);
    if (!Intercepting()) {
        return real(process, session);
    }
    *session = Interposed().session;
    return TRUE;
}

int WINAPI ShimMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    REAL(L"user32.dll", MessageBoxA);
    if (!Intercepting()) {
        return real(owner, text, caption, style);
    }
    // Recorded, never shown: nobody is there to dismiss it.
    Interposed().messageBoxes.push_back({text, caption, style});
    return IDOK;
}

BOOL WINAPI ShimGetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length,
                                          LPDWORD needed) {
    REAL(L"user32.dll", GetUserObjectInformationW);
    if (!Intercepting() || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
        return real(object, index, information, length, needed);
    }
    if (Interposed().station == WindowStation::Unreadable) {
        return FALSE;
    }
    USEROBJECTFLAGS flags = {};
    flags.dwFlags = Interposed().station == WindowStation::Visible ? WSF_VISIBLE : 0;
    *static_cast<USEROBJECTFLAGS*>(information) = flags;
    return TRUE;
}

} // namespace

// The import entries: `__imp__Name@ArgumentBytes` as 32-bit stdcall
// decorates them, `__imp_Name` in 64-bit code, which has one calling
// convention and no decoration.
#ifdef _WIN64
#define IMPORT_SYMBOL(name, argumentBytes) "__imp_" #name
#else
#define IMPORT_SYMBOL(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#endif
#define IMPORT_ENTRY(name, argumentBytes)                                                          \
    decltype(&::name) ImportEntry##name __asm__(IMPORT_SYMBOL(name, argumentBytes)) = &Shim##name

IMPORT_ENTRY(SHGetFolderPathW, 20);
IMPORT_ENTRY(CreateFileW, 28);
IMPORT_ENTRY(CloseHandle, 4);
IMPORT_ENTRY(GetFileInformationByHandleEx, 16);
IMPORT_ENTRY(SetFileInformationByHandle, 16);
IMPORT_ENTRY(GetTokenInformation, 20);
IMPORT_ENTRY(ProcessIdToSessionId, 8);
IMPORT_ENTRY(MessageBoxA, 16);
IMPORT_ENTRY(GetUserObjectInformationW, 20);

extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE handle, ACCESS_MASK access,
                                       POBJECT_ATTRIBUTES object, PIO_STATUS_BLOCK status,
                                       PLARGE_INTEGER size, ULONG attributes, ULONG share,
                                       ULONG disposition, ULONG options, PVOID extended,
                                       ULONG extendedLength) {
    REAL(L"ntdll.dll", NtCreateFile);
    std::wstring path;
    if (Intercepting()) {
        const bool relative = object->RootDirectory != nullptr;
        path =
            std::wstring(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
        if (relative) {
            path = PathOfHandle(object->RootDirectory) + L"\\" + path;
        }
        const NTSTATUS failure = Record(Api::NtCreateFile, path, relative, access, options);
        const auto refused = Interposed().refusedAccess.find(path);
        if (failure != 0) {
            return failure;
        }
        if (refused != Interposed().refusedAccess.end() && (access & refused->second)) {
            return kAccessDenied;
        }
    }
    const NTSTATUS result = real(handle, access, object, status, size, attributes, share,
                                 disposition, options, extended, extendedLength);
    if (NT_SUCCESS(result)) {
        Track(*handle, path);
        if (result == 0 && Intercepting() && Interposed().oplocked.count(path) != 0) {
            return kOplockBreakInProgress;
        }
    }
    return result;
}

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine,
                                               PVOID apcContext, PIO_STATUS_BLOCK status,
                                               PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS kind,
                                               BOOLEAN returnSingleEntry, PUNICODE_STRING mask,
                                               BOOLEAN restartScan) {
    REAL(L"ntdll.dll", NtQueryDirectoryFile);
    const auto list = [&](BOOLEAN singleEntry) {
        return real(folder, event, apcRoutine, apcContext, status, buffer, length, kind,
                    singleEntry, mask, restartScan);
    };
    const std::wstring path = Intercepting() ? PathOfHandle(folder) : std::wstring();
    const NTSTATUS failure = Record(Api::NtQueryDirectoryFile, path);
    if (failure != 0) {
        return failure;
    }
    const auto limit = Interposed().listingLimits.find(path);
    if (!Intercepting() || limit == Interposed().listingLimits.end() || mask != nullptr) {
        return list(returnSingleEntry);
    }
    // One entry at a time, so that the listing can end after any of them.
    int& listed = Interposed().entriesListed[folder];
    if (listed >= limit->second) {
        return kAccessDenied;
    }
    const NTSTATUS result = list(TRUE);
    const auto& entry = *static_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer);
    const std::wstring name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
    if (NT_SUCCESS(result) && name != L"." && name != L"..") {
        ++listed;
    }
    return result;
}

extern "C" NTSTATUS NTAPI NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK status,
                                                 PVOID information, ULONG length,
                                                 FILE_INFORMATION_CLASS kind) {
    REAL(L"ntdll.dll", NtQueryInformationFile);
    return OnHandle(Api::NtQueryInformationFile, kAccessDenied, real, handle, status, information,
                    length, kind);
}

Interposer& Interposed() {
    static Interposer interposer;
    return interposer;
}

void RunBeforeCall(std::uint64_t callNumber, std::function<void()> action) {
    Interposed().actionBeforeCall = Interposed().callsMade + callNumber;
    Interposed().action = std::move(action);
}
