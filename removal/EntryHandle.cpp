#include "removal/EntryHandle.h"

#include "platform/RunGuard.h"

#include <string_view>

namespace {

// Enough for a few hundred entries of average names per listing call.
const ULONG kListingBufferBytes = 16 * 1024;

const NTSTATUS kAccessDenied = NTSTATUS(0xC0000022);
const NTSTATUS kTimedOut = NTSTATUS(0xC00000B5);
const NTSTATUS kSharingViolation = NTSTATUS(0xC0000043);
const NTSTATUS kDeletePending = NTSTATUS(0xC0000056);
const NTSTATUS kNoMoreFiles = NTSTATUS(0x80000006);
const NTSTATUS kNoSuchFile = NTSTATUS(0xC000000F);

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
// an open that succeeds otherwise than plainly (the lock's break is in
// progress, and its owner may hold the entry still) is closed again. Returns
// the open's answer; `handle` is nullptr where it could not be opened.
NTSTATUS OpenRelative(HANDLE folder, UNICODE_STRING relativeName, const OpenMode& mode,
                      HANDLE& handle) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
    for (DWORD access = mode.access;; access &= ~mode.dropWhenRefused) {
        IO_STATUS_BLOCK status = {};
        handle = nullptr;
        const FileCall marked;
        const NTSTATUS result = marked.started
                                    ? NtCreateFile(&handle, access, &attributes, &status, nullptr,
                                                   0, mode.share, FILE_OPEN,
                                                   mode.options | FILE_SYNCHRONOUS_IO_NONALERT |
                                                       FILE_COMPLETE_IF_OPLOCKED,
                                                   nullptr, 0)
                                    : kTimedOut;
        if (result == 0) {
            return result;
        }
        if (NT_SUCCESS(result)) {
            CloseHandle(handle);
        }
        handle = nullptr;
        if (NT_SUCCESS(result) || (result != kAccessDenied && result != kSharingViolation) ||
            (access & mode.dropWhenRefused) == 0) {
            return result;
        }
    }
}

// Reads or writes one class of a handle's information
// (GetFileInformationByHandleEx and SetFileInformationByHandle have the same
// shape) as a file call of the run.
bool InformationCall(decltype(&GetFileInformationByHandleEx) call, HANDLE handle,
                     FILE_INFO_BY_HANDLE_CLASS kind, void* information, DWORD size) {
    const FileCall marked;
    return marked.started && call(handle, kind, information, size) != FALSE;
}

bool IsFolder(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLink(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
OpenedAs Identify(HANDLE handle, const ListedEntry& listed, bool& readOnly) {
    FILE_BASIC_INFO basic = {};
    if (!InformationCall(GetFileInformationByHandleEx, handle, FileBasicInfo, &basic,
                         sizeof(basic))) {
        return IsLink(listed) ? OpenedAs::ListedLink : OpenedAs::Other;
    }
    readOnly = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return OpenedAs::Link;
    }
    LARGE_INTEGER fileId = {};
    IO_STATUS_BLOCK status = {};
    const FileCall marked;
    const NTSTATUS queried = marked.started
                                 ? NtQueryInformationFile(handle, &status, &fileId, sizeof(fileId),
                                                          FileInternalInformation)
                                 : kTimedOut;
    const bool sameId = fileId.QuadPart == listed.fileId || !IsKnownFileId(fileId.QuadPart) ||
                        !IsKnownFileId(listed.fileId);
    if (IsLink(listed)) {
        return OpenedAs::ListedLink;
    }
    if (!NT_SUCCESS(queried) || !sameId) {
        return OpenedAs::Other;
    }
    return IsFolder(listed) ? OpenedAs::Folder : OpenedAs::File;
}

// One call of a listing into its buffer: the next batch of entries (the
// first call restarts it), or with `mask` the one entry of that name (only
// on a handle not listed before). Returns its answer; `filled` is 0 where it
// failed.
NTSTATUS QueryListing(HANDLE folder, FolderListing& listing, UNICODE_STRING* mask) {
    listing.buffer.resize(kListingBufferBytes / sizeof(LONGLONG));
    IO_STATUS_BLOCK status = {};
    const FileCall marked;
    const NTSTATUS result =
        marked.started ? NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &status,
                                              listing.buffer.data(), kListingBufferBytes,
                                              FileIdBothDirectoryInformation, mask != nullptr, mask,
                                              listing.reached == Listing::NotStarted)
                       : kTimedOut;
    listing.filled =
        NT_SUCCESS(result) && status.Information <= kListingBufferBytes ? status.Information : 0;
    listing.at = 0;
    return result;
}

// The listing's next entry in its batch, if it lies whole within the bytes
// filled, name included: a file system driver or a redirector may answer
// otherwise.
const FILE_ID_BOTH_DIR_INFO* EntryAt(const FolderListing& listing) {
    const ULONG_PTR nameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    const ULONG_PTR at = listing.at;
    const ULONG_PTR filled = listing.filled;
    if (at % alignof(FILE_ID_BOTH_DIR_INFO) != 0 || at > filled || filled - at < nameOffset) {
        return nullptr;
    }
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
        reinterpret_cast<const char*>(listing.buffer.data()) + at);
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

// A file's attributes to write, and no time.
FILE_BASIC_INFO AttributesOnly(DWORD attributes) {
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are; attributes of 0 would too
    basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    return basic;
}

// Clears the read-only attribute, read again just before it is written, so
// that no other attribute changes. Returns the attributes it replaced, or 0
// where it wrote none.
DWORD ClearReadOnly(HANDLE handle) {
    FILE_BASIC_INFO basic = {};
    if (!InformationCall(GetFileInformationByHandleEx, handle, FileBasicInfo, &basic,
                         sizeof(basic)) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return 0;
    }
    FILE_BASIC_INFO cleared =
        AttributesOnly(basic.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return InformationCall(SetFileInformationByHandle, handle, FileBasicInfo, &cleared,
                           sizeof(cleared))
               ? basic.FileAttributes
               : 0;
}

// Whether the file has other names than the one opened (hard links), which
// share its attributes and may lie anywhere; taken to when it cannot be told.
bool HasOtherNames(HANDLE handle) {
    FILE_STANDARD_INFO standard = {};
    return !InformationCall(GetFileInformationByHandleEx, handle, FileStandardInfo, &standard,
                            sizeof(standard)) ||
           standard.NumberOfLinks != 1;
}

bool IgnoresReadOnly(EntryUse use) {
    return use == EntryUse::RemoveTreeTop || use == EntryUse::RemoveInTree;
}

// Windows 10 1809 and later: no attribute is written (a hard link's other
// names keep theirs), and the name goes at once, even while an indexer or a
// scanner holds the file open with delete sharing.
bool DeleteWithFlags(const EntryHandle& entry) {
    FILE_DISPOSITION_INFO_EX disposition = {
        FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
        (IgnoresReadOnly(entry.use) ? DWORD(FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) : 0)};
    return InformationCall(SetFileInformationByHandle, entry.handle, kFileDispositionInfoEx,
                           &disposition, sizeof(disposition));
}

// A read-only file loses that attribute first, unless it has other names:
// they share it, and may lie outside what is removed. A file that stays
// stays as it was: its attributes are put back, past the deadline too (no
// guarded call), as that undoes what the run changed.
bool DeleteTheOldWay(const EntryHandle& entry) {
    DWORD cleared = 0;
    if (IgnoresReadOnly(entry.use) && entry.readOnly && !entry.folder) {
        if (HasOtherNames(entry.handle)) {
            return false;
        }
        cleared = ClearReadOnly(entry.handle);
    }
    FILE_DISPOSITION_INFO legacy = {TRUE};
    const bool deleted = InformationCall(SetFileInformationByHandle, entry.handle,
                                         FileDispositionInfo, &legacy, sizeof(legacy));
    if (!deleted && cleared != 0) {
        FILE_BASIC_INFO before = AttributesOnly(cleared);
        SetFileInformationByHandle(entry.handle, FileBasicInfo, &before, sizeof(before));
    }
    return deleted;
}

} // namespace

EntryHandle OpenListedEntry(HANDLE folder, const ListedEntry& entry, EntryUse use) {
    const bool isFolder = IsFolder(entry);
    OpenMode mode = {};
    mode.access = FILE_READ_ATTRIBUTES | SYNCHRONIZE | (use != EntryUse::Hold ? DELETE : 0);
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
        mode.access |= use == EntryUse::RemoveInTree ? FILE_WRITE_ATTRIBUTES : 0;
        mode.dropWhenRefused = FILE_WRITE_ATTRIBUTES;
        mode.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        mode.options |= FILE_NON_DIRECTORY_FILE;
    }
    EntryHandle opened = {nullptr, OpenedAs::Other, use, isFolder, false};
    if (OpenRelative(folder, NameOf(entry.name, entry.nameLength), mode, opened.handle) ==
        kDeletePending) {
        opened.as = OpenedAs::Gone;
    }
    if (opened.handle != nullptr) {
        opened.as = Identify(opened.handle, entry, opened.readOnly);
    }
    return opened;
}

EntryHandle OpenNamedEntry(HANDLE folder, const wchar_t* name, EntryUse use) {
    UNICODE_STRING mask = NameOf(name, wcslen(name));
    FolderListing lookup = {};
    QueryListing(folder, lookup, &mask);
    const FILE_ID_BOTH_DIR_INFO* information = EntryAt(lookup);
    // Only the entry asked for: a listing may answer with any other.
    if (information == nullptr ||
        CompareStringOrdinal(information->FileName,
                             int(information->FileNameLength / sizeof(wchar_t)), name, -1,
                             TRUE) != CSTR_EQUAL) {
        return kNotOpened;
    }
    return OpenListedEntry(folder, EntryOf(*information), use);
}

void CloseEntry(const EntryHandle& entry) {
    if (entry.handle != nullptr) {
        CloseHandle(entry.handle);
    }
}

HANDLE OpenFolderFollowingLinks(HANDLE folder, const wchar_t* name) {
    HANDLE handle = nullptr;
    OpenRelative(folder, NameOf(name, wcslen(name)),
                 {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE},
                 handle);
    return handle;
}

HANDLE OpenSpecialFolder(const wchar_t* path) {
    // Backup semantics: CreateFileW opens no folder without them.
    const FileCall marked;
    const HANDLE folder =
        marked.started ? CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                       : INVALID_HANDLE_VALUE;
    return folder != INVALID_HANDLE_VALUE ? folder : nullptr;
}

bool NextListedEntry(HANDLE folder, FolderListing& listing, ListedEntry& entry) {
    for (;;) {
        if (listing.at == listing.filled) {
            const bool first = listing.reached == Listing::NotStarted;
            const NTSTATUS result = QueryListing(folder, listing, nullptr);
            // File systems and redirectors that list no "." and ".." answer
            // so (or that no such file is there) at once for an empty folder.
            if (result == kNoMoreFiles || (first && result == kNoSuchFile)) {
                listing.reached = Listing::Complete;
                return false;
            }
            if (listing.filled == 0) {
                return false;
            }
            listing.reached = Listing::EndedEarly; // until it completes
        }
        const FILE_ID_BOTH_DIR_INFO* information = EntryAt(listing);
        if (information == nullptr) {
            return false;
        }
        // A next entry that does not lie within the bytes filled ends the
        // listing after this one (EntryAt finds none past them).
        const ULONG next = information->NextEntryOffset;
        if (next == 0) {
            listing.at = listing.filled;
        } else {
            listing.at = next < listing.filled - listing.at ? listing.at + next : ULONG_PTR(-1);
        }
        entry = EntryOf(*information);
        if (IsPlainName(entry)) {
            return true;
        }
    }
}

bool DeleteEntry(const EntryHandle& entry, bool& flagsUnsupported) {
    if (!flagsUnsupported) {
        if (DeleteWithFlags(entry)) {
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
    return DeleteTheOldWay(entry);
}
