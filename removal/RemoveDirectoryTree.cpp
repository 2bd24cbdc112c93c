#include "removal/RemoveDirectoryTree.h"

#include "removal/FolderHold.h"

#include <string>

namespace {

bool IsDotOrDotDot(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// A link (symbolic link, junction or any other reparse point) is never
// descended into: what it points to lies outside the tree.
bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void DeleteFileEntry(const std::wstring& path, DWORD listedAttributes) {
    // Attribute writes follow links, so a file link is deleted as it is; so is
    // one swapped in since the listing, or a file whose attributes are unknown.
    if (!IsLink(listedAttributes)) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !IsLink(attributes)) {
            SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        }
    }
    DeleteFileW(path.c_str());
}

bool RemoveTree(const std::wstring& directory, bool isRemovedFolder);

void RemoveEntry(const std::wstring& directory, const WIN32_FIND_DATAW& entry) {
    const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory && IsDotOrDotDot(entry.cFileName)) {
        return;
    }
    const std::size_t nameLength = std::char_traits<wchar_t>::length(entry.cFileName);
    std::wstring child;
    child.reserve(directory.size() + 1 + nameLength);
    child.append(directory).append(1, L'\\').append(entry.cFileName, nameLength);
    if (isDirectory) {
        // A link to a folder is found out when the folder is held, and so is
        // a folder swapped for a link since the listing.
        RemoveTree(child, false);
    } else {
        DeleteFileEntry(child, entry.dwFileAttributes);
    }
}

// Whether a listing of `directory` starts; nothing listed is acted on.
bool CanBeListed(const std::wstring& directory) {
    WIN32_FIND_DATAW entry = {};
    const HANDLE search = FindFirstFileW((directory + L"\\*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(search);
    return true;
}

// The folder is held from before its listing starts until just before it is
// removed, so that every path below it keeps leading into it: a folder
// swapped for a link in the meantime is refused here, not followed.
bool RemoveTree(const std::wstring& directory, bool isRemovedFolder) {
    const FolderHold hold = HoldFolder(directory.c_str());
    if (hold.state == FolderHoldState::Link) {
        // Only the link goes. The removed folder counts as listed, as a real
        // one would, when a listing through the link starts.
        if (isRemovedFolder && !CanBeListed(directory)) {
            return false;
        }
        RemoveDirectoryW(directory.c_str());
        return true;
    }
    if (hold.state != FolderHoldState::Held) {
        return false;
    }

    WIN32_FIND_DATAW entry = {};
    const std::wstring pattern = directory + L"\\*.*";
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        ReleaseFolder(hold);
        return false;
    }
    do {
        RemoveEntry(directory, entry);
    } while (FindNextFileW(search, &entry) == TRUE);
    FindClose(search);

    ReleaseFolder(hold);
    RemoveDirectoryW(directory.c_str());
    return true;
}

} // namespace

bool RemoveDirectoryTree(const std::wstring& directory) {
    return RemoveTree(directory, true);
}
