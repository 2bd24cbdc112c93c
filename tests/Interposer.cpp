// The shims that Shims.h puts in the place of the Windows API calls the
// uninstaller makes, in the uninstaller's sources as the tests build them:
// each records the call, plays the rules, and makes the real call (here,
// where the names are Windows' own) unless a rule answers for it.
#include "tests/Interposer.h"

#include <atomic>
#include <cstddef>

namespace {

// Read by the watchdog's thread: the write end of the pipe a stalled call
// reads, while it does; whether a slow call is under way; how many calls
// were recorded.
std::atomic<HANDLE> stalledCall{nullptr};
std::atomic<bool> slowCall{false};
std::atomic<std::size_t> recorded{0};

// A real synchronous read of a pipe that nobody writes to: only
// CancelSynchronousIo ends it (or the watchdog's shim, under a rule).
void Stall() {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    stalledCall = writeEnd;
    char byte = 0;
    DWORD read = 0;
    ReadFile(readEnd, &byte, 1, &read, nullptr);
    stalledCall = nullptr;
    ::CloseHandle(readEnd);
    ::CloseHandle(writeEnd);
}

// The rule that answers a call (or a "ListedEntry": an entry as a listing
// shows it).
const Rule* RuleFor(const ApiCall& call) {
    for (Rule& rule : interposed.rules) {
        const std::wstring& at = rule.path;
        const bool covered = at.empty() || call.path == at ||
                             (at.back() == L'\\' && call.path.compare(0, at.size(), at) == 0);
        const bool wanted =
            rule.when == 0 || (call.api == "NtCreateFile" ? (call.access & rule.when) != 0
                                                          : call.options == rule.when);
        if (call.api == rule.api && covered && wanted && ++rule.matched >= rule.from &&
            (rule.count == 0 || rule.matched < rule.from + rule.count)) {
            return &rule;
        }
    }
    return nullptr;
}

// Records a call of the run, runs the action due before it and returns the
// rules' answer (0 for none).
NTSTATUS Record(const ApiCall& call) {
    if (interposed.calls.size() + 1 == interposed.actionBeforeCall) {
        interposed.action();
    }
    interposed.calls.push_back(call);
    ++recorded;
    const Rule* rule = RuleFor(call);
    const NTSTATUS answer = rule != nullptr ? rule->answer : 0;
    interposed.misplaced |= answer == kNever;
    if (answer == kStall) {
        Stall();
        return STATUS_CANCELLED; // however it ended
    }
    if (answer == kSlow) {
        slowCall = true;
        Sleep(1000);
        slowCall = false;
        return 0;
    }
    return answer;
}

// A name's path below a folder's (a drive's root ends in a backslash).
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() || folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

BOOL Fail(NTSTATUS answer) {
    SetLastError(RtlNtStatusToDosError(answer));
    return FALSE;
}

// A call on a handle, with the path the handle was opened by.
ApiCall OnHandle(const char* api, HANDLE handle, ULONG options = 0, ACCESS_MASK access = 0) {
    const ApiCall& opened = interposed.openFiles[handle]; // closing it erases it
    return {api, opened.path, L"", access, 0, options, opened.folder};
}

// Plays the rules on a listing's entries.
void RewriteEntries(const std::wstring& folder, char* buffer, const IO_STATUS_BLOCK& status) {
    static const std::wstring kNotPlain[] = {L"..", L"a\\b", L"a:b"};
    for (ULONG_PTR at = 0;;) {
        auto& entry = *reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer + at);
        const std::wstring name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
        const ULONG next = entry.NextEntryOffset;
        const Rule* rule = name == L"." || name == L".."
                               ? nullptr
                               : RuleFor({"ListedEntry", Joined(folder, name)});
        const NTSTATUS answer = rule != nullptr ? rule->answer : 0;
        if (answer == kOffsetPastFilled) {
            entry.NextEntryOffset = ULONG(0 - at);
        } else if (answer == kNameLengthPastFilled) {
            entry.FileNameLength =
                ULONG(status.Information - at - offsetof(FILE_ID_BOTH_DIR_INFO, FileName) + 2);
        } else if (answer == kOddNames && rule->matched <= 3) {
            const std::wstring& odd = kNotPlain[rule->matched - 1];
            entry.FileNameLength = ULONG(odd.copy(entry.FileName, odd.size()) * sizeof(wchar_t));
        } else if (answer == kNoFileId) {
            entry.FileId.QuadPart = 0;
        }
        if (next == 0) {
            return;
        }
        at += next;
    }
}

// GetFileInformationByHandleEx and SetFileInformationByHandle; what is set
// first (a disposition's flags) is recorded as the access.
template <typename Function>
BOOL ByHandle(const char* api, Function real, HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
              LPVOID information, DWORD size, DWORD flags) {
    const NTSTATUS answer = Record(OnHandle(api, handle, kind, flags));
    const BOOL result = NT_SUCCESS(answer) ? real(handle, kind, information, size) : Fail(answer);
    if (answer == kWithoutArchive || answer == kShownAsLink) {
        static_cast<FILE_BASIC_INFO*>(information)->FileAttributes ^=
            answer == kWithoutArchive ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return result;
}

} // namespace

HRESULT WINAPI ShimSHGetFolderPathW(HWND /*owner*/, int folder, HANDLE /*token*/, DWORD /*flags*/,
                                    LPWSTR path) {
    // A test never reaches the real special folders.
    const auto placed = interposed.specialFolders.find(folder);
    if (placed == interposed.specialFolders.end() ||
        !NT_SUCCESS(Record({"SHGetFolderPathW", placed->second}))) {
        return E_FAIL;
    }
    path[placed->second.copy(path, MAX_PATH - 1)] = 0;
    return S_OK;
}

HANDLE WINAPI ShimCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
    const ApiCall call = {"CreateFileW", path, L"", access, share, flags, true};
    const NTSTATUS answer = Record(call);
    const HANDLE handle = NT_SUCCESS(answer) ? ::CreateFileW(path, access, share, security,
                                                             disposition, flags, templateFile)
                                             : (Fail(answer), INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) {
        interposed.openFiles[handle] = call;
    }
    return handle;
}

BOOL WINAPI ShimCloseHandle(HANDLE handle) {
    Record(OnHandle("CloseHandle", handle));
    interposed.openFiles.erase(handle);
    return ::CloseHandle(handle);
}

BOOL WINAPI ShimGetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                             LPVOID information, DWORD size) {
    return ByHandle("GetFileInformationByHandleEx", ::GetFileInformationByHandleEx, handle, kind,
                    information, size, 0);
}

BOOL WINAPI ShimSetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                           LPVOID information, DWORD size) {
    return ByHandle("SetFileInformationByHandle", ::SetFileInformationByHandle, handle, kind,
                    information, size,
                    size >= sizeof(DWORD) ? *static_cast<const DWORD*>(information) : 0);
}

// The run asks its token for TokenElevation alone.
BOOL WINAPI ShimGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                    DWORD size, PDWORD needed) {
    const BOOL result = ::GetTokenInformation(token, kind, information, size, needed);
    const NTSTATUS answer = Record({"GetTokenInformation", L""});
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = answer == kElevated;
    return NT_SUCCESS(answer) ? result : Fail(answer);
}

BOOL WINAPI ShimProcessIdToSessionId(DWORD process, DWORD* session) {
    const BOOL result = ::ProcessIdToSessionId(process, session);
    if (Record({"ProcessIdToSessionId", L""}) == kSessionZero) {
        *session = 0;
    }
    return result;
}

// A cancel must never reach a slow call. Under a rule, the stalled call ends
// (failing as cancelled) just as the watchdog cancels it: no other call may
// start before the cancel is through.
BOOL WINAPI ShimCancelSynchronousIo(HANDLE thread) {
    const HANDLE stall = stalledCall;
    interposed.misplaced |= slowCall;
    if (stall != nullptr && RuleFor({"CancelSynchronousIo", L""}) != nullptr) {
        const std::size_t before = recorded;
        DWORD written = 0;
        WriteFile(stall, "x", 1, &written, nullptr);
        Sleep(300);
        interposed.misplaced |= recorded != before;
    }
    return ::CancelSynchronousIo(thread);
}

int WINAPI ShimMessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR /*caption*/, UINT /*style*/) {
    // Recorded, never shown: nobody is there to dismiss it.
    interposed.reports.push_back(text);
    return IDOK;
}

BOOL WINAPI ShimGetUserObjectInformationW(HANDLE object, int index, PVOID information, DWORD length,
                                          LPDWORD needed) {
    const NTSTATUS answer = Record({"GetUserObjectInformationW", L""});
    const BOOL result =
        NT_SUCCESS(answer) ? ::GetUserObjectInformationW(object, index, information, length, needed)
                           : Fail(answer);
    if (result && index == UOI_FLAGS && answer == kHidden) {
        static_cast<USEROBJECTFLAGS*>(information)->dwFlags &= ~DWORD(WSF_VISIBLE);
    }
    return result;
}

NTSTATUS NTAPI ShimNtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG attributes,
                                ULONG share, ULONG disposition, ULONG options, PVOID extended,
                                ULONG extendedLength) {
    ApiCall call = {
        "NtCreateFile", L"", L"", access, share, options, (options & FILE_DIRECTORY_FILE) != 0};
    call.name.assign(object->ObjectName->Buffer, object->ObjectName->Length / sizeof(wchar_t));
    call.path = object->RootDirectory == nullptr
                    ? call.name
                    : Joined(OnHandle("NtCreateFile", object->RootDirectory).path, call.name);
    const NTSTATUS answer = Record(call);
    if (answer == kDeletedMeanwhile) {
        ::DeleteFileW(call.path.c_str());
        return STATUS_DELETE_PENDING;
    }
    const NTSTATUS result =
        NT_SUCCESS(answer) ? ::NtCreateFile(handle, access, object, status, size, attributes, share,
                                            disposition, options, extended, extendedLength)
                           : answer;
    if (NT_SUCCESS(result)) {
        interposed.openFiles[*handle] = call;
    }
    return result == 0 ? answer : result;
}

NTSTATUS NTAPI ShimNtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine,
                                        PVOID apcContext, PIO_STATUS_BLOCK status, PVOID buffer,
                                        ULONG length, FILE_INFORMATION_CLASS kind,
                                        BOOLEAN returnSingleEntry, PUNICODE_STRING mask,
                                        BOOLEAN restartScan) {
    const ApiCall call = OnHandle("NtQueryDirectoryFile", folder);
    const NTSTATUS answer = Record(call);
    if (!NT_SUCCESS(answer) || answer == kFillsNothing) {
        status->Information = 0;
        return answer == kFillsNothing ? 0 : answer;
    }
    // Restarted, a listing never ends: Wine lists "." first, again and again.
    const bool endless = answer == kEndless;
    const NTSTATUS result = ::NtQueryDirectoryFile(
        folder, event, apcRoutine, apcContext, status, buffer, length, kind,
        returnSingleEntry || answer == kOneEntryPerCall || endless, mask, restartScan || endless);
    if (NT_SUCCESS(result)) {
        RewriteEntries(call.path, static_cast<char*>(buffer), *status);
    }
    return result;
}

NTSTATUS NTAPI ShimNtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK status, PVOID information,
                                          ULONG length, FILE_INFORMATION_CLASS kind) {
    const NTSTATUS answer = Record(OnHandle("NtQueryInformationFile", handle, kind));
    const NTSTATUS result =
        NT_SUCCESS(answer) ? ::NtQueryInformationFile(handle, status, information, length, kind)
                           : answer;
    if (answer == kNoFileId) {
        static_cast<LARGE_INTEGER*>(information)->QuadPart = -1;
    }
    return result;
}

Interposer interposed;
