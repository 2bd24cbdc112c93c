#include "removal/EntryHandle.h"

#include "platform/RunGuard.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace {

// Enough for a few hundred entries of average names per listing call.
const ULONG kListingBufferBytes = 16 * 1024;

const NTSTATUS kAccessDenied = NTSTATUS(0xC0000022);
const NTSTATUS kTimedOut = NTSTATUS(0xC00000B5);
const NTSTATUS kSharingViolation = NTSTATUS(0xC0000043);
const NTSTATUS kDeletePending = NTSTATUS(0xC0000056);
const NTSTATUS kNoMoreFiles = NTSTATUS(0x80000006);
const NTSTATUS kNoSuchFile = NTSTATUS(0xC000000F);
// A success status: the open went through, and another program's
// opportunistic lock is being broken; its owner may hold the entry still.
const NTSTATUS kOplockBreakInProgress = NTSTATUS(0x00000108);

// How an entry is opened: the access to ask for first, what is dropped from
// it when that is refused, the sharing and NtCreateFile's options.
struct OpenMode {
    DWORD access;
    DWORD dropWhenRefused;
    DWORD share;
    DWORD options;
};

UNICODE_STRING NameOf(const wchar_t* name, std::size_t length) {
    UNICODE_STRING counted;
    counted.Buffer = const_cast<wchar_t*>(name);
    counted.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

// Never waits for an opportunistic lock's owner (FILE_COMPLETE_IF_OPLOCKED):
// an entry whose lock is being broken is left to that owner. Nullptr, with
// the answer in `refusal`, where it cannot be opened.
HANDLE OpenRelative(HANDLE folder, UNICODE_STRING relativeName, const OpenMode& mode,
                    NTSTATUS& refusal) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
    for (DWORD access = mode.access;; access &= ~mode.dropWhenRefused) {
        IO_STATUS_BLOCK status = {};
        HANDLE handle = nullptr;
        const NTSTATUS result = GuardedFileCall(kTimedOut, [&] {
            return NtCreateFile(
                &handle, access, &attributes, &status, nullptr, 0, mode.share, FILE_OPEN,
                mode.options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED, nullptr,
                0);
        });
        refusal = result;
        if (result == 0) {
            return handle;
        }
        if (NT_SUCCESS(result) || result == kOplockBreakInProgress) {
            CloseHandle(handle);
            return nullptr;
        }
        if ((result != kAccessDenied && result != kSharingViolation) ||
            (access & mode.dropWhenRefused) == 0) {
            return nullptr;
        }
    }
}

// A file ID that names a file: shares and redirectors may give 0, and -1
// stands for one that cannot be shown in 64 bits.
bool IsKnownFileId(LONGLONG fileId) {
    return fileId != 0 && fileId != -1;
}

// On Windows the handle of an entry opened as itself shows whether it is a
// link, in attributes that every file system gives (FAT and exFAT answer no
// attribute-tag query). Wine opens a host link's target whatever the flags,
// and its handle shows a plain folder; the listing showed the link, though,
// and a link swapped in after the listing has another file ID. Where the
// volume gives no file ID, neither may show a link (the open asked for the
// listed kind: folder or not).
OpenedAs Identify(HANDLE handle, const ListedEntry& listed, DWORD& attributes) {
    FILE_BASIC_INFO basic = {};
    if (!GuardedFileCall(FALSE, [&] {
            return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic));
        })) {
        return OpenedAs::Other;
    }
    attributes = basic.FileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return OpenedAs::Link;
    }
    LARGE_INTEGER fileId = {};
    IO_STATUS_BLOCK status = {};
    const NTSTATUS queried = GuardedFileCall(kTimedOut, [&] {
        return NtQueryInformationFile(handle, &status, &fileId, sizeof(fileId),
                                      FileInternalInformation);
    });
    const bool sameId = fileId.QuadPart == listed.fileId || !IsKnownFileId(fileId.QuadPart) ||
                        !IsKnownFileId(listed.fileId);
    return NT_SUCCESS(queried) && !IsLink(listed) && sameId ? OpenedAs::Listed : OpenedAs::Other;
}

// One call of a listing into `buffer`: the next batch of entries, or with
// `mask` the one entry of that name (only on a handle not listed before).
// Returns how many bytes it filled (0 when it failed or filled none), and
// its answer in `result`.
ULONG_PTR QueryListing(HANDLE folder, std::vector<LONGLONG>& buffer, BOOLEAN singleEntry,
                       UNICODE_STRING* mask, BOOLEAN restart, NTSTATUS& result) {
    buffer.resize(kListingBufferBytes / sizeof(LONGLONG));
    IO_STATUS_BLOCK status = {};
    result = GuardedFileCall(kTimedOut, [&] {
        return NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &status, buffer.data(),
                                    kListingBufferBytes, FileIdBothDirectoryInformation,
                                    singleEntry, mask, restart);
    });
    return NT_SUCCESS(result) && status.Information <= kListingBufferBytes ? status.Information : 0;
}

// The entry `at` bytes into a batch, if it lies whole within the bytes
// filled, name included: a file system driver or a redirector may answer
// otherwise.
const FILE_ID_BOTH_DIR_INFO* EntryAt(const std::vector<LONGLONG>& buffer, ULONG_PTR filled,
                                     ULONG_PTR at) {
    const ULONG_PTR nameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    if (at % alignof(FILE_ID_BOTH_DIR_INFO) != 0 || at > filled || filled - at < nameOffset) {
        return nullptr;
    }
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
        reinterpret_cast<const char*>(buffer.data()) + at);
    return entry->FileNameLength <= filled - at - nameOffset ? entry : nullptr;
}

ListedEntry EntryOf(const FILE_ID_BOTH_DIR_INFO& information) {
    return {information.FileName, information.FileNameLength / sizeof(wchar_t),
            information.FileAttributes, information.FileId.QuadPart};
}

// Whether a listed name names one entry of the folder, opened relative to
// it: not empty, "." or "..", with no "\" (which would walk through the
// folders named before it), "/", ":" (a stream of the folder itself) or NUL.
bool IsPlainName(const ListedEntry& entry) {
    const std::wstring_view name(entry.name, entry.nameLength);
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(std::wstring_view(L"\\/:\0", 4)) == std::wstring_view::npos;
}

// Writes a file's attributes, and no time.
bool WriteAttributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are; attributes of 0 would too
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

// Clears the read-only attribute, read again just before it is written, so
// that no other attribute changes. Returns the attributes it replaced, or 0
// where it wrote none.
DWORD ClearReadOnly(HANDLE handle) {
    FILE_BASIC_INFO basic = {};
    if (!GuardedFileCall(FALSE,
                         [&] {
                             return GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                                                 sizeof(basic));
                         }) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return 0;
    }
    const DWORD before = basic.FileAttributes;
    return GuardedFileCall(
               false,
               [&] { return WriteAttributes(handle, before & ~DWORD(FILE_ATTRIBUTE_READONLY)); })
               ? before
               : 0;
}

// Whether the file has other names than the one opened (hard links), which
// share its attributes and may lie anywhere; taken to when it cannot be told.
bool HasOtherNames(HANDLE handle) {
    FILE_STANDARD_INFO standard = {};
    return !GuardedFileCall(FALSE, [&] {
        return GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard));
    }) || standard.NumberOfLinks != 1;
}

} // namespace

bool IsFolder(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLink(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

EntryHandle OpenListedEntry(HANDLE folder, const ListedEntry& entry, EntryUse use) {
    const bool isFolder = IsFolder(entry);
    const bool remove = use != EntryUse::Hold;
    OpenMode mode = {};
    mode.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE | (remove ? DELETE : 0);
    mode.options = FILE_OPEN_REPARSE_POINT;
    if (isFolder) {
        // Deleting it may be refused where emptying it is not.
        mode.access |= FILE_LIST_DIRECTORY;
        mode.dropWhenRefused = DELETE;
        mode.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        mode.options |= FILE_DIRECTORY_FILE;
    } else {
        // Only a file inside a removed folder may have its read-only
        // attribute cleared. Attribute writing may be refused where deleting
        // is not (an access list on Windows; under Wine, a normal user's
        // read-only file, which it would have to open for writing): the file
        // may still go.
        mode.access |= use == EntryUse::RemoveEvenReadOnly ? FILE_WRITE_ATTRIBUTES : 0;
        mode.dropWhenRefused = FILE_WRITE_ATTRIBUTES;
        mode.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        mode.options |= FILE_NON_DIRECTORY_FILE;
    }
    NTSTATUS refusal = 0;
    const HANDLE handle = OpenRelative(folder, NameOf(entry.name, entry.nameLength), mode, refusal);
    if (handle == nullptr) {
        return {nullptr, refusal == kDeletePending ? OpenedAs::Gone : OpenedAs::Other, 0,
                entry.attributes};
    }
    DWORD attributes = 0;
    const OpenedAs openedAs = Identify(handle, entry, attributes);
    return {handle, openedAs, attributes, entry.attributes};
}

bool OpenNamedEntry(HANDLE folder, const wchar_t* name, EntryUse use, EntryHandle& opened) {
    UNICODE_STRING mask = NameOf(name, wcslen(name));
    std::vector<LONGLONG> buffer;
    NTSTATUS result = 0;
    const ULONG_PTR filled = QueryListing(folder, buffer, TRUE, &mask, TRUE, result);
    const FILE_ID_BOTH_DIR_INFO* information = EntryAt(buffer, filled, 0);
    // Only the entry asked for: a listing may answer with any other.
    if (information == nullptr ||
        CompareStringOrdinal(information->FileName,
                             int(information->FileNameLength / sizeof(wchar_t)), name, -1,
                             TRUE) != CSTR_EQUAL) {
        return false;
    }
    opened = OpenListedEntry(folder, EntryOf(*information), use);
    return opened.handle != nullptr;
}

bool IsHeldFolder(const EntryHandle& opened) {
    return opened.openedAs == OpenedAs::Listed &&
           (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLinkEntry(const EntryHandle& opened) {
    return opened.openedAs == OpenedAs::Link ||
           (opened.listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HANDLE OpenFolderFollowingLinks(HANDLE folder, const wchar_t* name) {
    NTSTATUS refusal = 0;
    return OpenRelative(folder, NameOf(name, wcslen(name)),
                        {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE},
                        refusal);
}

Listing ListFolder(HANDLE folder, void (*visit)(const ListedEntry& entry, void* context),
                   void* context) {
    std::vector<LONGLONG> buffer;
    for (BOOLEAN first = TRUE;; first = FALSE) {
        NTSTATUS result = 0;
        const ULONG_PTR filled = QueryListing(folder, buffer, FALSE, nullptr, first, result);
        // File systems and redirectors that list no "." and ".." answer so
        // (or that no such file is there) at once for an empty folder.
        if (result == kNoMoreFiles || (first && result == kNoSuchFile)) {
            return Listing::Complete;
        }
        if (filled == 0) {
            return first ? Listing::NotStarted : Listing::EndedEarly;
        }
        // An entry that does not lie whole within the bytes filled ends the
        // listing, as a failed call does.
        for (ULONG_PTR at = 0;;) {
            const FILE_ID_BOTH_DIR_INFO* information = EntryAt(buffer, filled, at);
            if (information == nullptr) {
                return Listing::EndedEarly;
            }
            if (IsPlainName(EntryOf(*information))) {
                visit(EntryOf(*information), context);
            }
            const ULONG next = information->NextEntryOffset;
            if (next == 0) {
                break;
            }
            if (next >= filled - at) {
                return Listing::EndedEarly;
            }
            at += next;
        }
    }
}

bool DeleteOnClose(const EntryHandle& entry, bool evenReadOnly, bool& flagsUnsupported) {
    if (!flagsUnsupported) {
        // Windows 10 1809 and later: no attribute is written (a hard link's
        // other names keep theirs), and the name goes at once, even while an
        // indexer or a scanner holds the file open with delete sharing.
        FILE_DISPOSITION_INFO_EX disposition = {FILE_DISPOSITION_FLAG_DELETE |
                                                FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
        if (evenReadOnly) {
            disposition.Flags |= FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
        }
        if (GuardedFileCall(FALSE, [&] {
                return SetFileInformationByHandle(entry.handle, kFileDispositionInfoEx,
                                                  &disposition, sizeof(disposition));
            })) {
            return true;
        }
        // Only a volume that knows neither the class nor its flags is asked
        // the old way: systems before Windows 10 1809 answer invalid
        // parameter, 1607 invalid function (STATUS_INVALID_DEVICE_REQUEST,
        // STATUS_NOT_IMPLEMENTED), FAT and exFAT invalid parameter or not
        // supported. Any other refusal (access, sharing, a cancelled call)
        // leaves the entry as it is, its attributes untouched.
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
            error != ERROR_INVALID_FUNCTION) {
            return false;
        }
        flagsUnsupported = true;
    }
    // There a read-only file loses that attribute first, unless it has other
    // names: they share it, and may lie outside what is removed.
    const DWORD kind = entry.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    DWORD cleared = 0;
    if (evenReadOnly && kind == FILE_ATTRIBUTE_READONLY) {
        if (HasOtherNames(entry.handle)) {
            return false;
        }
        cleared = ClearReadOnly(entry.handle);
    }
    FILE_DISPOSITION_INFO legacy = {TRUE};
    const bool deleted = GuardedFileCall(FALSE, [&] {
                             return SetFileInformationByHandle(entry.handle, FileDispositionInfo,
                                                               &legacy, sizeof(legacy));
                         }) != FALSE;
    // A file that stays stays as it was: its attributes are put back, past
    // the deadline too, as that undoes what the run changed.
    if (!deleted && cleared != 0) {
        WriteAttributes(entry.handle, cleared);
    }
    return deleted;
}
