// With mingw-w64 every call the uninstaller makes to a function that its
// header declares as imported goes through an import entry,
// `__imp__Name@ArgumentBytes`: defining that entry here makes the linker take
// ours, which points at a shim. The ntdll functions are declared plainly, so
// the uninstaller calls them directly: they are defined here as shims
// themselves, and the import library's are never linked. Every shim reaches
// the real function through GetProcAddress.
#include "tests/Interposer.h"

#include <map>
#include <utility>

namespace {

const NTSTATUS kAccessDenied = NTSTATUS(0xC0000022);

struct InterposerState {
    bool intercepting = false;
    bool inAction = false;
    std::uint64_t callsMade = 0;
    std::vector<ApiCall> calls;
    std::map<int, std::wstring> specialFolders;
    std::map<int, int> lookupsMade;
    std::map<int, int> firstFailingLookup;
    std::vector<std::pair<Api, std::wstring>> faults;
    std::map<std::wstring, int> listingLimits;
    std::map<std::wstring, DWORD> refusedAccess;
    std::map<HANDLE, std::wstring> openFiles;
    std::map<HANDLE, int> entriesListed;
    std::uint64_t actionBeforeCall = 0;
    std::function<void()> action;
    WindowStation station = WindowStation::Visible;
    bool elevated = false;
    DWORD session = 1;
    std::vector<MessageBoxCall> messageBoxes;
};

InterposerState& State() {
    static InterposerState state;
    return state;
}

template <typename Function> Function Real(const wchar_t* dll, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(dll), name)));
}

#define REAL(dll, name) static const auto real = Real<decltype(&::name)>(dll, #name)

// Counts and records an intercepted call, runs the action due before it, and
// says whether the test wants it to fail.
bool FailsOnPurpose(Api api, const std::wstring& path, bool relative = false) {
    InterposerState& state = State();
    if (!state.intercepting || state.inAction) {
        return false;
    }
    if (++state.callsMade == state.actionBeforeCall && state.action) {
        state.inAction = true;
        state.action();
        state.inAction = false;
    }
    state.calls.push_back({api, path, relative});
    for (const auto& fault : state.faults) {
        if (fault.first == api && fault.second == path) {
            SetLastError(ERROR_ACCESS_DENIED);
            return true;
        }
    }
    return false;
}

bool Intercepting() {
    return State().intercepting && !State().inAction;
}

std::wstring PathOfHandle(HANDLE handle) {
    const auto file = State().openFiles.find(handle);
    return file != State().openFiles.end() ? file->second : std::wstring();
}

HRESULT WINAPI ShimSHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags,
                                    LPWSTR path) {
    REAL(L"shell32.dll", SHGetFolderPathW);
    if (!Intercepting()) {
        return real(owner, folder, token, flags, path);
    }
    if (FailsOnPurpose(Api::SHGetFolderPathW, L"")) {
        return E_FAIL;
    }
    // A test never reaches the real special folders.
    InterposerState& state = State();
    const int lookup = state.lookupsMade[folder]++;
    const auto placed = state.specialFolders.find(folder);
    const auto failing = state.firstFailingLookup.find(folder);
    if (placed == state.specialFolders.end() ||
        (failing != state.firstFailingLookup.end() && lookup >= failing->second) ||
        placed->second.size() >= MAX_PATH) {
        return E_FAIL;
    }
    placed->second.copy(path, placed->second.size());
    path[placed->second.size()] = 0;
    return S_OK;
}

BOOL WINAPI ShimPathAppendW(LPWSTR path, LPCWSTR more) {
    REAL(L"shlwapi.dll", PathAppendW);
    if (FailsOnPurpose(Api::PathAppendW, path)) {
        return FALSE;
    }
    return real(path, more);
}

HANDLE WINAPI ShimCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    REAL(L"kernel32.dll", CreateFileW);
    if (FailsOnPurpose(Api::CreateFileW, path)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = real(path, access, share, security, disposition, flags, templateFile);
    if (Intercepting() && handle != INVALID_HANDLE_VALUE) {
        State().openFiles[handle] = path;
    }
    return handle;
}

BOOL WINAPI ShimCloseHandle(HANDLE handle) {
    REAL(L"kernel32.dll", CloseHandle);
    if (!Intercepting()) {
        return real(handle);
    }
    if (FailsOnPurpose(Api::CloseHandle, PathOfHandle(handle))) {
        return FALSE;
    }
    State().openFiles.erase(handle);
    State().entriesListed.erase(handle);
    return real(handle);
}

BOOL WINAPI ShimGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID information, DWORD size) {
    REAL(L"kernel32.dll", GetFileInformationByHandleEx);
    if (Intercepting() && FailsOnPurpose(Api::GetFileInformationByHandleEx, PathOfHandle(handle))) {
        return FALSE;
    }
    return real(handle, kind, information, size);
}

BOOL WINAPI ShimSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                           LPVOID information, DWORD size) {
    REAL(L"kernel32.dll", SetFileInformationByHandle);
    if (Intercepting() && FailsOnPurpose(Api::SetFileInformationByHandle, PathOfHandle(handle))) {
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
    if (FailsOnPurpose(Api::GetTokenInformation, L"")) {
        return FALSE;
    }
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = State().elevated ? 1 : 0;
    *needed = sizeof(TOKEN_ELEVATION);
    return TRUE;
}

BOOL WINAPI ShimProcessIdToSessionId(DWORD process, DWORD* session) {
    REAL(L"kernel32.dll", ProcessIdToSessionId);
    if (!Intercepting()) {
        return real(process, session);
    }
    if (FailsOnPurpose(Api::ProcessIdToSessionId, L"")) {
        return FALSE;
    }
    *session = State().session;
    return TRUE;
}

int WINAPI ShimMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    REAL(L"user32.dll", MessageBoxA);
    if (!Intercepting()) {
        return real(owner, text, caption, style);
    }
    FailsOnPurpose(Api::MessageBoxA, L"");
    // Recorded, never shown: nobody is there to dismiss it.
    State().messageBoxes.push_back({text, caption, style});
    return IDOK;
}

BOOL WINAPI ShimGetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length,
                                          LPDWORD needed) {
    REAL(L"user32.dll", GetUserObjectInformationW);
    if (!Intercepting() || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
        return real(object, index, information, length, needed);
    }
    if (FailsOnPurpose(Api::GetUserObjectInformationW, L"") ||
        State().station == WindowStation::Unreadable) {
        return FALSE;
    }
    USEROBJECTFLAGS flags = {};
    flags.dwFlags = State().station == WindowStation::Visible ? WSF_VISIBLE : 0;
    *static_cast<USEROBJECTFLAGS*>(information) = flags;
    return TRUE;
}

} // namespace

// The import entries, named as 32-bit stdcall decorates them.
#define IMPORT_ENTRY(name, argumentBytes)                                                          \
    decltype(&::name) ImportEntry##name __asm__("__imp__" #name "@" #argumentBytes) = &Shim##name

IMPORT_ENTRY(SHGetFolderPathW, 20);
IMPORT_ENTRY(PathAppendW, 8);
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
    const auto call = [&] {
        return real(handle, access, object, status, size, attributes, share, disposition, options,
                    extended, extendedLength);
    };
    if (!Intercepting()) {
        return call();
    }
    const bool relative = object->RootDirectory != nullptr;
    const std::wstring name(object->ObjectName->Buffer,
                            object->ObjectName->Length / sizeof(wchar_t));
    const std::wstring path = relative ? PathOfHandle(object->RootDirectory) + L"\\" + name : name;
    const auto refused = State().refusedAccess.find(path);
    if (FailsOnPurpose(Api::NtCreateFile, path, relative) ||
        (refused != State().refusedAccess.end() && (access & refused->second))) {
        return kAccessDenied;
    }
    const NTSTATUS result = call();
    if (NT_SUCCESS(result)) {
        State().openFiles[*handle] = path;
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
    if (!Intercepting()) {
        return real(folder, event, apcRoutine, apcContext, status, buffer, length, kind,
                    returnSingleEntry, mask, restartScan);
    }
    const std::wstring path = PathOfHandle(folder);
    if (FailsOnPurpose(Api::NtQueryDirectoryFile, path)) {
        return kAccessDenied;
    }
    const auto limit = State().listingLimits.find(path);
    if (limit == State().listingLimits.end() || mask != nullptr) {
        return real(folder, event, apcRoutine, apcContext, status, buffer, length, kind,
                    returnSingleEntry, mask, restartScan);
    }
    // One entry at a time, so that the listing can end after any of them.
    int& listed = State().entriesListed[folder];
    if (listed >= limit->second) {
        return kAccessDenied;
    }
    const NTSTATUS result = real(folder, event, apcRoutine, apcContext, status, buffer, length,
                                 kind, TRUE, mask, restartScan);
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
    if (Intercepting() && FailsOnPurpose(Api::NtQueryInformationFile, PathOfHandle(handle))) {
        return kAccessDenied;
    }
    return real(handle, status, information, length, kind);
}

void ResetInterposer() {
    State() = InterposerState();
}

void StartIntercepting() {
    State().intercepting = true;
}

void StopIntercepting() {
    State().intercepting = false;
}

void PlaceSpecialFolder(int folder, const std::wstring& path) {
    State().specialFolders[folder] = path;
}

void FailSpecialFolderLookups(int folder, int firstFailing) {
    State().firstFailingLookup[folder] = firstFailing;
}

void FailCallOn(Api api, const std::wstring& path) {
    State().faults.emplace_back(api, path);
}

void RefuseAccessOn(const std::wstring& path, DWORD access) {
    State().refusedAccess[path] = access;
}

void EndListingAfter(const std::wstring& folder, int entries) {
    State().listingLimits[folder] = entries;
}

void RunBeforeCall(std::uint64_t callNumber, std::function<void()> action) {
    State().actionBeforeCall = State().callsMade + callNumber;
    State().action = std::move(action);
}

void SetWindowStation(WindowStation station) {
    State().station = station;
}

std::uint64_t CallsMade() {
    return State().callsMade;
}

const std::vector<ApiCall>& Calls() {
    return State().calls;
}

const std::vector<MessageBoxCall>& MessageBoxes() {
    return State().messageBoxes;
}

std::size_t HandlesLeftOpen() {
    return State().openFiles.size();
}

void SetElevated(bool elevated) {
    State().elevated = elevated;
}

void SetSession(DWORD session) {
    State().session = session;
}
