// With mingw-w64 every call the uninstaller makes to a system DLL goes
// through an import entry, `__imp__Name@ArgumentBytes`. Defining that entry
// here makes the linker take ours, which points at a shim; the shim reaches
// the real function through GetProcAddress.
#include "tests/Interposer.h"

#include <map>
#include <utility>

namespace {

struct Search {
    std::wstring folder;
    int entriesListed;
};

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
    std::map<HANDLE, std::wstring> openFiles;
    std::map<HANDLE, Search> openSearches;
    std::uint64_t actionBeforeCall = 0;
    std::function<void()> action;
    WindowStation station = WindowStation::Visible;
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

std::wstring FolderOfPattern(const wchar_t* pattern) {
    const std::wstring path = pattern;
    return path.substr(0, path.rfind(L'\\'));
}

bool IsDotOrDotDot(const wchar_t* name) {
    return std::wstring(name) == L"." || std::wstring(name) == L"..";
}

// Counts and records an intercepted call, runs the action due before it, and
// says whether the test wants it to fail.
bool FailsOnPurpose(Api api, const std::wstring& path) {
    InterposerState& state = State();
    if (!state.intercepting || state.inAction) {
        return false;
    }
    if (++state.callsMade == state.actionBeforeCall && state.action) {
        state.inAction = true;
        state.action();
        state.inAction = false;
    }
    state.calls.push_back({api, path});
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
    if (file != State().openFiles.end()) {
        return file->second;
    }
    const auto search = State().openSearches.find(handle);
    return search != State().openSearches.end() ? search->second.folder : std::wstring();
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
    return real(handle);
}

HANDLE WINAPI ShimFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
    REAL(L"kernel32.dll", FindFirstFileW);
    if (!Intercepting()) {
        return real(pattern, entry);
    }
    const std::wstring folder = FolderOfPattern(pattern);
    if (FailsOnPurpose(Api::FindFirstFileW, folder)) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE search = real(pattern, entry);
    if (search != INVALID_HANDLE_VALUE) {
        State().openSearches[search] = {folder, IsDotOrDotDot(entry->cFileName) ? 0 : 1};
    }
    return search;
}

BOOL WINAPI ShimFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW entry) {
    REAL(L"kernel32.dll", FindNextFileW);
    if (!Intercepting()) {
        return real(search, entry);
    }
    Search& listing = State().openSearches[search];
    if (FailsOnPurpose(Api::FindNextFileW, listing.folder)) {
        return FALSE;
    }
    const auto limit = State().listingLimits.find(listing.folder);
    if (limit != State().listingLimits.end() && listing.entriesListed >= limit->second) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL found = real(search, entry);
    if (found && !IsDotOrDotDot(entry->cFileName)) {
        ++listing.entriesListed;
    }
    return found;
}

BOOL WINAPI ShimFindClose(HANDLE search) {
    REAL(L"kernel32.dll", FindClose);
    if (!Intercepting()) {
        return real(search);
    }
    if (FailsOnPurpose(Api::FindClose, PathOfHandle(search))) {
        return FALSE;
    }
    State().openSearches.erase(search);
    return real(search);
}

DWORD WINAPI ShimGetFileAttributesW(LPCWSTR path) {
    REAL(L"kernel32.dll", GetFileAttributesW);
    if (FailsOnPurpose(Api::GetFileAttributesW, path)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return real(path);
}

BOOL WINAPI ShimSetFileAttributesW(LPCWSTR path, DWORD attributes) {
    REAL(L"kernel32.dll", SetFileAttributesW);
    if (FailsOnPurpose(Api::SetFileAttributesW, path)) {
        return FALSE;
    }
    return real(path, attributes);
}

BOOL WINAPI ShimDeleteFileW(LPCWSTR path) {
    REAL(L"kernel32.dll", DeleteFileW);
    if (FailsOnPurpose(Api::DeleteFileW, path)) {
        return FALSE;
    }
    return real(path);
}

BOOL WINAPI ShimRemoveDirectoryW(LPCWSTR path) {
    REAL(L"kernel32.dll", RemoveDirectoryW);
    if (FailsOnPurpose(Api::RemoveDirectoryW, path)) {
        return FALSE;
    }
    return real(path);
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
IMPORT_ENTRY(FindFirstFileW, 8);
IMPORT_ENTRY(FindNextFileW, 8);
IMPORT_ENTRY(FindClose, 4);
IMPORT_ENTRY(GetFileAttributesW, 4);
IMPORT_ENTRY(SetFileAttributesW, 8);
IMPORT_ENTRY(DeleteFileW, 4);
IMPORT_ENTRY(RemoveDirectoryW, 4);
IMPORT_ENTRY(MessageBoxA, 16);
IMPORT_ENTRY(GetUserObjectInformationW, 20);

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
    return State().openFiles.size() + State().openSearches.size();
}
