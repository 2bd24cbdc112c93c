#include "removal/EntryHandle.h"

#include <vector>

namespace {

// Enough for a few hundred entries of average names per listing call.
const ULONG kListingBufferBytes = 16 * 1024;

// How an entry is opened: access, sharing and NtCreateFile's options.
struct OpenMode {
    DWORD access;
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

HANDLE OpenRelative(HANDLE folder, UNICODE_STRING relativeName, const OpenMode& mode) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(NtCreateFile(
            &handle, mode.access, &attributes, &status, nullptr, 0, mode.share, FILE_OPEN,
            mode.options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr,
            0))) {
        return nullptr;
    }
    return handle;
}

// On Windows the handle of an entry opened as itself shows whether it is a
// link. Wine opens a host link's target whatever the flags, and its handle
// shows a plain folder; the listing showed the link, though, and a link
// swapped in after the listing has another file ID.
OpenedAs Identify(HANDLE handle, const ListedEntry& listed, DWORD& attributes) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return OpenedAs::Other;
    }
    attributes = tag.FileAttributes;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return OpenedAs::Link;
    }
    LARGE_INTEGER fileId = {};
    IO_STATUS_BLOCK status = {};
    if (!NT_SUCCESS(NtQueryInformationFile(handle, &status, &fileId, sizeof(fileId),
                                           FileInternalInformation)) ||
        fileId.QuadPart != listed.fileId || IsLink(listed)) {
        return OpenedAs::Other;
    }
    return OpenedAs::Listed;
}

// One call of a listing into `buffer`: the next batch of entries, or with
// `mask` the one entry of that name (only on a handle not listed before).
bool QueryListing(HANDLE folder, std::vector<LONGLONG>& buffer, BOOLEAN singleEntry,
                  UNICODE_STRING* mask, BOOLEAN restart) {
    buffer.resize(kListingBufferBytes / sizeof(LONGLONG));
    IO_STATUS_BLOCK status = {};
    return NT_SUCCESS(NtQueryDirectoryFile(
        folder, nullptr, nullptr, nullptr, &status, buffer.data(), kListingBufferBytes,
        FileIdBothDirectoryInformation, singleEntry, mask, restart));
}

ListedEntry EntryOf(const FILE_ID_BOTH_DIR_INFO& information) {
    return {information.FileName, information.FileNameLength / sizeof(wchar_t),
            information.FileAttributes, information.FileId.QuadPart};
}

} // namespace

bool IsFolder(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsLink(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

EntryHandle OpenListedEntry(HANDLE folder, const ListedEntry& entry) {
    // A held folder shares reading and writing but never deletion: nobody
    // can rename or delete it while it is worked in.
    const bool isFolder = IsFolder(entry);
    OpenMode mode = {};
    mode.access = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE |
                  (isFolder ? FILE_LIST_DIRECTORY : FILE_WRITE_ATTRIBUTES);
    mode.share = FILE_SHARE_READ | FILE_SHARE_WRITE | (isFolder ? 0 : FILE_SHARE_DELETE);
    mode.options =
        FILE_OPEN_REPARSE_POINT | (isFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    HANDLE handle = OpenRelative(folder, NameOf(entry.name, entry.nameLength), mode);
    if (handle == nullptr && !isFolder) {
        // Attribute writing may be refused where deleting is not (an access
        // list on Windows; under Wine, a normal user's read-only file, which
        // it would have to open for writing): the file may still go when it
        // is not read-only. (Wine clears the attribute through any handle.)
        mode.access &= ~DWORD(FILE_WRITE_ATTRIBUTES);
        handle = OpenRelative(folder, NameOf(entry.name, entry.nameLength), mode);
    }
    if (handle == nullptr) {
        return {nullptr, OpenedAs::Other, 0};
    }
    DWORD attributes = 0;
    const OpenedAs openedAs = Identify(handle, entry, attributes);
    return {handle, openedAs, attributes};
}

bool OpenNamedEntry(HANDLE folder, const wchar_t* name, EntryHandle& opened) {
    UNICODE_STRING mask = NameOf(name, wcslen(name));
    std::vector<LONGLONG> buffer;
    if (!QueryListing(folder, buffer, TRUE, &mask, TRUE)) {
        return false;
    }
    opened =
        OpenListedEntry(folder, EntryOf(*reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data())));
    return opened.handle != nullptr;
}

bool IsHeldFolder(const EntryHandle& opened) {
    return opened.openedAs == OpenedAs::Listed &&
           (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE OpenFolderFollowingLinks(HANDLE folder, const wchar_t* name) {
    return OpenRelative(folder, NameOf(name, wcslen(name)),
                        {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE});
}

bool CanBeListedThroughLink(HANDLE folder, const wchar_t* name) {
    const HANDLE target =
        OpenRelative(folder, NameOf(name, wcslen(name)),
                     {FILE_LIST_DIRECTORY | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_DIRECTORY_FILE});
    if (target == nullptr) {
        return false;
    }
    std::vector<LONGLONG> buffer;
    const bool listed = QueryListing(target, buffer, TRUE, nullptr, TRUE);
    CloseHandle(target);
    return listed;
}

bool ListFolder(HANDLE folder, void (*visit)(const ListedEntry& entry, void* context),
                void* context) {
    std::vector<LONGLONG> buffer;
    for (BOOLEAN first = TRUE;; first = FALSE) {
        if (!QueryListing(folder, buffer, FALSE, nullptr, first)) {
            return first == FALSE;
        }
        const char* at = reinterpret_cast<const char*>(buffer.data());
        for (;;) {
            const auto& information = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            visit(EntryOf(information), context);
            if (information.NextEntryOffset == 0) {
                break;
            }
            at += information.NextEntryOffset;
        }
    }
}

void ClearReadOnly(const EntryHandle& entry) {
    if ((entry.attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return;
    }
    FILE_BASIC_INFO basic = {}; // times of zero stay as they are
    basic.FileAttributes = entry.attributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof(basic));
}

bool DeleteOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}
