// The platform operations over POSIX, with the results the uninstaller relies on
// from their Windows counterparts:
//  - paths are UTF-16 with backslashes and are converted to the host form here;
//    a plain path of MAX_PATH code units or more is refused, as on Windows;
//  - a read-only file is one without the owner's write permission, and it
//    cannot be deleted; a folder has no read-only attribute here (a folder
//    without write permission is one whose entries may not be deleted);
//  - a symbolic link is a reparse point: a link to a directory also carries the
//    directory bit, and RemoveDirectoryW removes the link itself;
//  - names starting with a dot are hidden, as Wine shows them;
//  - a listing gives each entry's type, link and hidden bits; its read-only
//    bit and size are left to GetFileAttributesW;
//  - CreateFileW opens what a path names for as long as the handle lives, and
//    the share modes of open handles bind the layer's own deletions and the
//    test controls' renames as Windows binds every process (host programs
//    are not bound, as under Wine);
//  - every call reaches what it names by its path, as it is at that moment:
//    nothing one call found is kept for the next.
#include "platform/Platform.h"
#include "platform/Unix/TestControls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace {

struct FindSearch {
    DIR* directory;
    WidePath pattern;
    int entriesLeft; // negative: no limit
};

// What one CreateFileW handle has open: the object (as the host names it
// for good), the path it was opened by, and what the opener asked for and
// lets others do. An object held without delete sharing cannot be renamed or
// deleted, so that path keeps naming it while the handle lives.
struct OpenObject {
    dev_t device;
    ino_t inode;
    WidePath path;
    DWORD access;
    DWORD shareMode;
};

struct PlatformState {
    std::map<int, WidePath> specialFolders;
    std::map<int, int> firstFailingLookup;
    std::map<int, int> lookupCount;
    std::set<std::pair<PlatformOperation, WidePath>> failures;
    std::map<WidePath, int> listingLimits;
    std::vector<PlatformCall> calls;
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<std::unique_ptr<OpenObject>> openObjects; // the handles are their addresses
    std::uint64_t callsMade = 0;
    std::uint64_t actionBeforeCall = 0; // 0: none
    std::function<void()> action;
    WindowStationForTest windowStation = WindowStationForTest::Visible;
    // Recording every call costs memory in proportion to the work done, so
    // only tests turn it on; counting is always on.
    bool recordingCalls = false;
    std::uint64_t callCounts[kPlatformOperationCount] = {};
};

PlatformState& State() {
    static PlatformState state;
    return state;
}

const char16_t kSeparator = u'\\';

// Paths as the calls receive them, looked at without a copy.
typedef std::basic_string_view<WCHAR> WideView;

std::string HostPathFromView(WideView widePath);

// Starts every call: runs the action a test placed just before it.
void Enter() {
    PlatformState& state = State();
    if (++state.callsMade == state.actionBeforeCall) {
        state.actionBeforeCall = 0;
        const std::function<void()> action = std::move(state.action);
        action();
    }
}

// Ends every call: counts it and records it for tests.
bool Record(PlatformOperation operation, WideView path, bool succeeded) {
    PlatformState& state = State();
    ++state.callCounts[static_cast<int>(operation)];
    if (state.recordingCalls) {
        state.calls.push_back({operation, WidePath(path), succeeded});
    }
    return succeeded;
}

bool IsFailureRequested(PlatformOperation operation, WideView path) {
    return !State().failures.empty() && State().failures.count({operation, WidePath(path)}) != 0;
}

WideView WideOrEmpty(LPCWSTR path) {
    return path ? WideView(path) : WideView();
}

// A plain Windows path holds fewer than MAX_PATH code units.
bool IsUsablePlainPath(WideView path) {
    return !path.empty() && path.size() < MAX_PATH;
}

void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Host names that are not valid UTF-8 keep their bytes as lone surrogates
// U+DC80..U+DCFF, so that every listed name converts back to the same bytes.
const char16_t kEscapedByteBase = 0xDC00;

bool IsEscapedByte(char16_t unit) {
    return unit >= 0xDC80 && unit <= 0xDCFF;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when it is not one.
size_t DecodeUtf8(const std::string& text, size_t at, char32_t* codePoint) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *codePoint = value;
    return length;
}

// Windows attributes of a host entry, from its own status (not followed).
DWORD AttributesOf(const struct stat& status, bool linksToDirectory, const std::string& name) {
    DWORD attributes = 0;
    if (S_ISLNK(status.st_mode)) {
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        if (linksToDirectory) {
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
    } else {
        if (S_ISDIR(status.st_mode)) {
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        } else if ((status.st_mode & S_IWUSR) == 0) {
            attributes |= FILE_ATTRIBUTE_READONLY;
        }
    }
    if (name.size() > 1 && name[0] == '.' && name != "..") {
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    }
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool LinksToDirectory(int directoryFd, const char* path) {
    struct stat target;
    return fstatat(directoryFd, path, &target, 0) == 0 && S_ISDIR(target.st_mode);
}

// The attributes of a listed entry, from the listing's own type information
// where the file system gives it: the type, link and hidden bits. The
// read-only bit and the size are left to GetFileAttributesW.
DWORD ListedAttributesOf(const FindSearch* search, const dirent& entry) {
    const int folder = dirfd(search->directory);
    struct stat status = {};
    switch (entry.d_type) {
    case DT_DIR:
        status.st_mode = S_IFDIR | S_IWUSR;
        break;
    case DT_REG:
        status.st_mode = S_IFREG | S_IWUSR;
        break;
    case DT_LNK:
        status.st_mode = S_IFLNK;
        break;
    default:
        if (fstatat(folder, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return FILE_ATTRIBUTE_NORMAL;
        }
    }
    const bool linksToDirectory = S_ISLNK(status.st_mode) && LinksToDirectory(folder, entry.d_name);
    return AttributesOf(status, linksToDirectory, entry.d_name);
}

// Fills `findData` with the next entry of the search; false at the end of the
// listing or when a test made the listing fail.
bool ReadNextEntry(FindSearch* search, WIN32_FIND_DATAW* findData) {
    if (search->entriesLeft == 0) {
        return false;
    }
    const dirent* entry = readdir(search->directory);
    if (entry == nullptr) {
        return false;
    }
    const WidePath name = WidePathFromHost(entry->d_name);
    if (name.size() >= MAX_PATH) {
        return false;
    }
    std::memset(findData, 0, sizeof(*findData));
    findData->dwFileAttributes = ListedAttributesOf(search, *entry);
    name.copy(findData->cFileName, name.size());
    if (search->entriesLeft > 0 && std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
        --search->entriesLeft;
    }
    return true;
}

// The directory a search pattern "dir\*.*" lists.
bool DirectoryOfPattern(const WidePath& pattern, WidePath* directory) {
    const WidePath suffix = u"\\*.*";
    if (pattern.size() <= suffix.size() ||
        pattern.compare(pattern.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    *directory = pattern.substr(0, pattern.size() - suffix.size());
    return true;
}

std::string LeafName(const std::string& hostPath) {
    const size_t slash = hostPath.find_last_of('/');
    return slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
}

// A call on one file or folder: its path in both forms, and the status of
// what the path names now (not following a link).
struct FileCall {
    PlatformOperation operation;
    WideView widePath;
    std::string hostPath;
    struct stat status;
};

// Checks the path, applies a failure a test asked for and reads the status.
// False, with the failure recorded, when the call ends there.
bool BeginFileCall(PlatformOperation operation, LPCWSTR path, FileCall* call) {
    Enter();
    call->operation = operation;
    call->widePath = WideOrEmpty(path);
    if (!IsUsablePlainPath(call->widePath)) {
        return Record(operation, call->widePath, false);
    }
    if (IsFailureRequested(operation, call->widePath)) {
        return Record(operation, call->widePath, false);
    }
    call->hostPath = HostPathFromView(call->widePath);
    if (lstat(call->hostPath.c_str(), &call->status) != 0) {
        return Record(operation, call->widePath, false);
    }
    return true;
}

bool EndFileCall(const FileCall& call, bool succeeded) {
    return Record(call.operation, call.widePath, succeeded);
}

bool IsSameObject(const OpenObject& open, const struct stat& status) {
    return open.device == status.st_dev && open.inode == status.st_ino;
}

// The access classes that share modes govern; attributes and waiting are
// none of them.
const DWORD kReadAccess = FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ;
const DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
const DWORD kDeleteAccess = DELETE;

// Whether an open handle keeps a new opener asking for `access` out, or the
// opener's `shareMode` cannot allow what the handle already has.
bool SharingConflicts(const OpenObject& open, DWORD access, DWORD shareMode) {
    const struct {
        DWORD access;
        DWORD share;
    } kClasses[] = {{kReadAccess, FILE_SHARE_READ},
                    {kWriteAccess, FILE_SHARE_WRITE},
                    {kDeleteAccess, FILE_SHARE_DELETE}};
    return std::any_of(std::begin(kClasses), std::end(kClasses), [&](const auto& accessClass) {
        return ((access & accessClass.access) && !(open.shareMode & accessClass.share)) ||
               ((open.access & accessClass.access) && !(shareMode & accessClass.share));
    });
}

// Whether the object with this status may be opened with `access`, as every
// handle already open on it allows.
bool MayOpen(const struct stat& status, DWORD access, DWORD shareMode) {
    const auto& objects = State().openObjects;
    return std::none_of(
        objects.begin(), objects.end(), [&](const std::unique_ptr<OpenObject>& open) {
            return IsSameObject(*open, status) && SharingConflicts(*open, access, shareMode);
        });
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Renaming or deleting needs delete access to the object; a folder also
// cannot go while anything below it is open.
bool MayRenameOrDelete(WideView path, const struct stat& status) {
    const auto& objects = State().openObjects;
    return MayOpen(status, kDeleteAccess, kShareAll) &&
           std::none_of(objects.begin(), objects.end(),
                        [&](const std::unique_ptr<OpenObject>& open) {
                            return open->path.size() > path.size() &&
                                   open->path[path.size()] == kSeparator &&
                                   open->path.compare(0, path.size(), path) == 0;
                        });
}

} // namespace

WidePath WidePathFromHost(const std::string& hostPath) {
    WidePath wide;
    size_t at = 0;
    while (at < hostPath.size()) {
        char32_t codePoint = 0;
        const size_t length = DecodeUtf8(hostPath, at, &codePoint);
        if (length == 0) {
            wide +=
                static_cast<char16_t>(kEscapedByteBase + static_cast<unsigned char>(hostPath[at]));
            ++at;
            continue;
        }
        at += length;
        if (codePoint == U'/') {
            wide += kSeparator;
        } else if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            wide += static_cast<char16_t>(0xD800 + (codePoint >> 10));
            wide += static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            wide += static_cast<char16_t>(codePoint);
        }
    }
    return wide;
}

std::string HostPathFromWide(const WidePath& widePath) {
    return HostPathFromView(widePath);
}

namespace {

std::string HostPathFromView(WideView widePath) {
    std::string host;
    host.reserve(widePath.size());
    for (size_t i = 0; i < widePath.size(); ++i) {
        const char16_t unit = widePath[i];
        if (unit == kSeparator) {
            host += '/';
        } else if (unit < 0x80) {
            host += static_cast<char>(unit);
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < widePath.size() &&
                   widePath[i + 1] >= 0xDC00 && widePath[i + 1] <= 0xDFFF) {
            const char32_t high = unit - 0xD800;
            const char32_t low = widePath[++i] - 0xDC00;
            AppendUtf8(host, 0x10000 + ((high << 10) | low));
        } else if (IsEscapedByte(unit)) {
            host += static_cast<char>(unit - kEscapedByteBase);
        } else {
            AppendUtf8(host, unit);
        }
    }
    return host;
}

} // namespace

void ResetPlatformForTest(bool recordCalls) {
    State() = PlatformState();
    State().recordingCalls = recordCalls;
}

std::uint64_t PlatformCallCountForTest(PlatformOperation operation) {
    return State().callCounts[static_cast<int>(operation)];
}

void SetSpecialFolderForTest(int folder, const WidePath& path) {
    State().specialFolders[folder] = path;
}

void FailSpecialFolderLookupForTest(int folder, int firstFailing) {
    State().firstFailingLookup[folder] = firstFailing;
}

void FailOperationForTest(PlatformOperation operation, const WidePath& path) {
    State().failures.insert({operation, path});
}

void FailListingAfterForTest(const WidePath& directory, int entriesListed) {
    State().listingLimits[directory] = entriesListed;
}

void SetWindowStationForTest(WindowStationForTest station) {
    State().windowStation = station;
}

void RunBeforeCallForTest(std::uint64_t callNumber, std::function<void()> action) {
    State().actionBeforeCall = State().callsMade + callNumber;
    State().action = std::move(action);
}

std::uint64_t PlatformCallsMadeForTest() {
    return State().callsMade;
}

bool RenameForTest(const WidePath& from, const WidePath& to) {
    struct stat status;
    const std::string hostFrom = HostPathFromWide(from);
    return lstat(hostFrom.c_str(), &status) == 0 && MayRenameOrDelete(from, status) &&
           rename(hostFrom.c_str(), HostPathFromWide(to).c_str()) == 0;
}

std::size_t OpenHandleCountForTest() {
    return State().openObjects.size();
}

const std::vector<PlatformCall>& PlatformCallsForTest() {
    return State().calls;
}

const std::vector<MessageBoxCall>& MessageBoxCallsForTest() {
    return State().messageBoxes;
}

HRESULT SHGetFolderPathW(HWND /*owner*/, int folder, HANDLE /*token*/, DWORD flags, LPWSTR path) {
    Enter();
    const int lookup = State().lookupCount[folder]++;
    const auto found = State().specialFolders.find(folder);
    const auto failing = State().firstFailingLookup.find(folder);
    const bool failed = failing != State().firstFailingLookup.end() && lookup >= failing->second;
    const bool available = path != nullptr && flags == SHGFP_TYPE_CURRENT && !failed &&
                           found != State().specialFolders.end() && found->second.size() < MAX_PATH;
    if (path != nullptr) {
        path[0] = 0;
    }
    if (!available) {
        Record(PlatformOperation::SHGetFolderPathW, WidePath(), false);
        return E_FAIL;
    }
    const WidePath& folderPath = found->second;
    folderPath.copy(path, folderPath.size());
    path[folderPath.size()] = 0;
    Record(PlatformOperation::SHGetFolderPathW, folderPath, true);
    return S_OK;
}

BOOL PathAppendW(LPWSTR path, LPCWSTR more) {
    Enter();
    if (path == nullptr || more == nullptr) {
        return Record(PlatformOperation::PathAppendW, WidePath(), false);
    }
    // The folder has no trailing backslash and the relative path no leading one.
    WidePath result = path;
    result.append(1, kSeparator).append(more);
    if (result.size() >= MAX_PATH) {
        return Record(PlatformOperation::PathAppendW, result, false);
    }
    result.copy(path, result.size());
    path[result.size()] = 0;
    return Record(PlatformOperation::PathAppendW, result, true);
}

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* findData) {
    Enter();
    const WidePath patternPath(WideOrEmpty(pattern));
    WidePath directory;
    if (findData == nullptr || !IsUsablePlainPath(patternPath) ||
        !DirectoryOfPattern(patternPath, &directory) ||
        IsFailureRequested(PlatformOperation::FindFirstFileW, directory)) {
        Record(PlatformOperation::FindFirstFileW, patternPath, false);
        return INVALID_HANDLE_VALUE;
    }
    DIR* host = opendir(HostPathFromWide(directory).c_str());
    if (host == nullptr) {
        Record(PlatformOperation::FindFirstFileW, patternPath, false);
        return INVALID_HANDLE_VALUE;
    }
    const auto limit = State().listingLimits.find(directory);
    auto* search = new FindSearch{host, patternPath,
                                  limit == State().listingLimits.end() ? -1 : limit->second};
    if (!ReadNextEntry(search, findData)) {
        closedir(host);
        delete search;
        Record(PlatformOperation::FindFirstFileW, patternPath, false);
        return INVALID_HANDLE_VALUE;
    }
    Record(PlatformOperation::FindFirstFileW, patternPath, true);
    return search;
}

BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* findData) {
    Enter();
    auto* listing = static_cast<FindSearch*>(search);
    const bool read = ReadNextEntry(listing, findData);
    return Record(PlatformOperation::FindNextFileW, listing->pattern, read);
}

BOOL FindClose(HANDLE search) {
    Enter();
    auto* listing = static_cast<FindSearch*>(search);
    const WidePath pattern = listing->pattern;
    closedir(listing->directory);
    delete listing;
    return Record(PlatformOperation::FindClose, pattern, true);
}

DWORD GetFileAttributesW(LPCWSTR path) {
    FileCall call;
    if (!BeginFileCall(PlatformOperation::GetFileAttributesW, path, &call)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    const bool linksToDirectory =
        S_ISLNK(call.status.st_mode) && LinksToDirectory(AT_FDCWD, call.hostPath.c_str());
    const DWORD attributes = AttributesOf(call.status, linksToDirectory, LeafName(call.hostPath));
    EndFileCall(call, true);
    return attributes;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    FileCall call;
    if (!BeginFileCall(PlatformOperation::SetFileAttributesW, path, &call)) {
        return FALSE;
    }
    // Attribute writes follow a link; the status of a link itself will not do.
    struct stat& status = call.status;
    if (S_ISLNK(status.st_mode) && stat(call.hostPath.c_str(), &status) != 0) {
        return EndFileCall(call, false);
    }
    const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY)
                            ? (status.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                            : (status.st_mode | S_IWUSR);
    // Most files are writable already: no write that changes nothing.
    const bool changed = mode == status.st_mode || chmod(call.hostPath.c_str(), mode & 07777) == 0;
    return EndFileCall(call, changed);
}

BOOL DeleteFileW(LPCWSTR path) {
    FileCall call;
    if (!BeginFileCall(PlatformOperation::DeleteFileW, path, &call)) {
        return FALSE;
    }
    const mode_t mode = call.status.st_mode;
    const bool isDirectory =
        S_ISDIR(mode) || (S_ISLNK(mode) && LinksToDirectory(AT_FDCWD, call.hostPath.c_str()));
    const bool isReadOnly = !S_ISLNK(mode) && (mode & S_IWUSR) == 0;
    if (isDirectory || isReadOnly || !MayRenameOrDelete(call.widePath, call.status)) {
        return EndFileCall(call, false);
    }
    return EndFileCall(call, unlink(call.hostPath.c_str()) == 0);
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    FileCall call;
    if (!BeginFileCall(PlatformOperation::RemoveDirectoryW, path, &call)) {
        return FALSE;
    }
    const mode_t mode = call.status.st_mode;
    const bool isDirectoryLink = S_ISLNK(mode) && LinksToDirectory(AT_FDCWD, call.hostPath.c_str());
    if ((!S_ISDIR(mode) && !isDirectoryLink) || !MayRenameOrDelete(call.widePath, call.status)) {
        return EndFileCall(call, false);
    }
    // A directory link goes, not what it points to.
    const bool removed =
        isDirectoryLink ? unlink(call.hostPath.c_str()) == 0 : rmdir(call.hostPath.c_str()) == 0;
    return EndFileCall(call, removed);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*templateFile*/) {
    FileCall call;
    if (!BeginFileCall(PlatformOperation::CreateFileW, path, &call)) {
        return INVALID_HANDLE_VALUE;
    }
    // Only what is there is opened here; a link is followed unless the link
    // itself is asked for, and a folder opens only for backup semantics.
    struct stat& status = call.status;
    const bool opened = disposition == OPEN_EXISTING &&
                        (!S_ISLNK(status.st_mode) || (flags & FILE_FLAG_OPEN_REPARSE_POINT) ||
                         stat(call.hostPath.c_str(), &status) == 0) &&
                        (!S_ISDIR(status.st_mode) || (flags & FILE_FLAG_BACKUP_SEMANTICS)) &&
                        MayOpen(status, access, shareMode);
    if (!opened) {
        EndFileCall(call, false);
        return INVALID_HANDLE_VALUE;
    }
    State().openObjects.push_back(std::make_unique<OpenObject>(
        OpenObject{status.st_dev, status.st_ino, WidePath(call.widePath), access, shareMode}));
    EndFileCall(call, true);
    return State().openObjects.back().get();
}

BOOL CloseHandle(HANDLE object) {
    Enter();
    auto& objects = State().openObjects;
    const auto found = std::find_if(objects.begin(), objects.end(),
                                    [&](const auto& open) { return open.get() == object; });
    if (found == objects.end()) {
        return Record(PlatformOperation::CloseHandle, WidePath(), false);
    }
    const WidePath path = (*found)->path;
    objects.erase(found);
    return Record(PlatformOperation::CloseHandle, path, true);
}

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT type) {
    Enter();
    State().messageBoxes.push_back({text ? text : "", caption ? caption : "", type});
    Record(PlatformOperation::MessageBoxA, WidePath(), true);
    return IDOK;
}

HWINSTA GetProcessWindowStation() {
    static int processWindowStation;
    return reinterpret_cast<HWINSTA>(&processWindowStation);
}

BOOL GetUserObjectInformationW(HANDLE object, int index, void* info, DWORD length, DWORD* needed) {
    Enter();
    if (needed != nullptr) {
        *needed = sizeof(USEROBJECTFLAGS);
    }
    if (object != GetProcessWindowStation() || index != UOI_FLAGS || info == nullptr ||
        length < sizeof(USEROBJECTFLAGS) ||
        State().windowStation == WindowStationForTest::Unreadable) {
        return Record(PlatformOperation::GetUserObjectInformationW, WidePath(), false);
    }
    USEROBJECTFLAGS flags = {};
    flags.dwFlags = State().windowStation == WindowStationForTest::Visible ? WSF_VISIBLE : 0;
    std::memcpy(info, &flags, sizeof(flags));
    return Record(PlatformOperation::GetUserObjectInformationW, WidePath(), true);
}

void RestrictDllSearchToSystem32() {
    Enter();
    // No DLL search to restrict here; recorded so tests can see when it happens.
    Record(PlatformOperation::RestrictDllSearchToSystem32, WidePath(), true);
}
