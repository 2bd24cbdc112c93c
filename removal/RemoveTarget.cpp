#include "removal/RemoveTarget.h"

#include "removal/EntryHandle.h"
#include "removal/RemoveDirectoryTree.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

// Opens one folder on the way down, relative to the one above: as the
// listing shows it, a real folder and not a link, when `checked`; else
// following links. Nullptr when it is missing or refused.
HANDLE OpenFolderOnTheWay(HANDLE parent, const std::wstring& name, bool checked) {
    if (!checked) {
        return OpenFolderFollowingLinks(parent, name.c_str());
    }
    const EntryHandle opened = OpenNamedEntry(parent, name.c_str(), EntryUse::Hold);
    if (opened.as == OpenedAs::Folder) {
        return opened.handle;
    }
    CloseEntry(opened);
    return nullptr;
}

// Deletes a file target through its own handle (a link as a link); a
// read-only one stays.
void DeleteFileTarget(HANDLE folder, const wchar_t* name) {
    const EntryHandle opened = OpenNamedEntry(folder, name, EntryUse::RemoveAsIs);
    if (opened.as == OpenedAs::File || opened.as == OpenedAs::Link) {
        bool flagsUnsupported = false;
        DeleteEntry(opened, flagsUnsupported);
    }
    CloseEntry(opened);
}

} // namespace

bool RemoveTarget(const wchar_t* specialFolder, const wchar_t* relativePath, TargetKind kind,
                  std::size_t firstChecked) {
    const std::size_t folderLength = std::wcslen(specialFolder);
    if (folderLength == 0) {
        return false;
    }
    // A drive's root ends in a backslash already.
    const std::size_t pathLength = folderLength +
                                   (specialFolder[folderLength - 1] == L'\\' ? 0 : 1) +
                                   std::wcslen(relativePath);
    if (pathLength >= MAX_PATH) {
        return false;
    }
    // The special folder by exactly the path its lookup gave (cut out of a
    // full path, "C:\\" would lose its backslash and name the drive's working
    // folder), then each folder of the relative path above the target, held
    // until the target is done.
    std::vector<HANDLE> held = {OpenSpecialFolder(specialFolder)};
    const wchar_t* name = relativePath;
    for (const wchar_t* end = std::wcschr(name, L'\\'); held.back() != nullptr && end != nullptr;
         name = end + 1, end = std::wcschr(name, L'\\')) {
        held.push_back(OpenFolderOnTheWay(held.back(), std::wstring(name, end),
                                          held.size() - 1 >= firstChecked));
    }
    bool found = false;
    if (held.back() != nullptr && kind == TargetKind::Tree) {
        found = RemoveDirectoryTree(held.back(), name, pathLength);
    } else if (held.back() != nullptr) {
        DeleteFileTarget(held.back(), name);
    }
    for (auto folder = held.rbegin(); folder != held.rend(); ++folder) {
        if (*folder != nullptr) {
            CloseHandle(*folder);
        }
    }
    return found;
}
