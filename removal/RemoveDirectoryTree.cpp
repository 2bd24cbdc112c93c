#include "removal/RemoveDirectoryTree.h"

#include <string>

namespace {

bool IsDotOrDotDot(const WCHAR* name) {
    return name[0] == WIDE('.') && (name[1] == 0 || (name[1] == WIDE('.') && name[2] == 0));
}

// A link (symbolic link, junction or any other reparse point) is never
// descended into: what it points to lies outside the tree.
bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void DeleteFileEntry(const WidePath& path, DWORD listedAttributes) {
    // Attribute writes follow links, so a file link is deleted as it is.
    if (!IsLink(listedAttributes)) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            SetFileAttributesW(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        }
    }
    DeleteFileW(path.c_str());
}

bool RemoveTree(const WidePath& directory, bool mayBeLink);

void RemoveEntry(const WidePath& directory, const WIN32_FIND_DATAW& entry) {
    const bool isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory && IsDotOrDotDot(entry.cFileName)) {
        return;
    }
    const std::size_t nameLength = std::char_traits<WCHAR>::length(entry.cFileName);
    WidePath child;
    child.reserve(directory.size() + 1 + nameLength);
    child.append(directory).append(1, WIDE('\\')).append(entry.cFileName, nameLength);
    if (!isDirectory) {
        DeleteFileEntry(child, entry.dwFileAttributes);
    } else if (IsLink(entry.dwFileAttributes)) {
        RemoveDirectoryW(child.c_str());
    } else {
        // The listing has just shown this entry to be a real directory.
        RemoveTree(child, false);
    }
}

bool RemoveTree(const WidePath& directory, bool mayBeLink) {
    WIN32_FIND_DATAW entry = {};
    const WidePath pattern = directory + WIDE("\\*.*");
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }

    // The listing started, so the directory is there. If it is itself a link
    // (or cannot be shown not to be one), only the link goes.
    bool isLink = false;
    if (mayBeLink) {
        const DWORD attributes = GetFileAttributesW(directory.c_str());
        isLink = attributes == INVALID_FILE_ATTRIBUTES || IsLink(attributes);
    }
    if (!isLink) {
        do {
            RemoveEntry(directory, entry);
        } while (FindNextFileW(search, &entry) == TRUE);
    }
    FindClose(search);

    RemoveDirectoryW(directory.c_str());
    return true;
}

} // namespace

bool RemoveDirectoryTree(const WidePath& directory) {
    return RemoveTree(directory, true);
}
