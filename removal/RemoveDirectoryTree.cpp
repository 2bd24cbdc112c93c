#include "removal/RemoveDirectoryTree.h"

#include "removal/EntryHandle.h"

namespace {

bool IsDotOrDotDot(const ListedEntry& entry) {
    return entry.name[0] == L'.' &&
           (entry.nameLength == 1 || (entry.nameLength == 2 && entry.name[1] == L'.'));
}

void EmptyHeldFolder(HANDLE folder, std::size_t pathLength);

struct Level {
    HANDLE folder;
    std::size_t pathLength; // of the folder's plain full path
};

void RemoveEntry(const ListedEntry& entry, void* context) {
    const Level& level = *static_cast<const Level*>(context);
    if (IsFolder(entry) && IsDotOrDotDot(entry)) {
        return;
    }
    // Plain paths reach no further on Windows, and neither does the removal.
    const std::size_t pathLength = level.pathLength + 1 + entry.nameLength;
    if (pathLength >= MAX_PATH) {
        return;
    }
    const EntryHandle opened = OpenListedEntry(level.folder, entry, EntryUse::Remove);
    if (opened.handle == nullptr) {
        return;
    }
    if (opened.openedAs != OpenedAs::Other) {
        if (opened.openedAs == OpenedAs::Listed && IsFolder(entry)) {
            EmptyHeldFolder(opened.handle, pathLength);
        }
        DeleteOnClose(opened, true);
    }
    CloseHandle(opened.handle);
}

// Each subfolder's handle holds it while its own entries are handled.
void EmptyHeldFolder(HANDLE folder, std::size_t pathLength) {
    Level level = {folder, pathLength};
    ListFolder(folder, RemoveEntry, &level);
}

} // namespace

bool RemoveDirectoryTree(HANDLE parent, const std::wstring& path) {
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    EntryHandle opened = {};
    if (!OpenNamedEntry(parent, name.c_str(), EntryUse::Remove, opened)) {
        return false;
    }
    bool listed = false;
    if (IsHeldFolder(opened)) {
        Level level = {opened.handle, path.size()};
        listed = ListFolder(opened.handle, RemoveEntry, &level);
        if (listed) {
            DeleteOnClose(opened, true);
        }
    } else if (IsLinkEntry(opened)) {
        // Never listed through: it counts as found, and only the link goes,
        // where its handle is the link itself.
        listed = (opened.listedAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (opened.openedAs == OpenedAs::Link) {
            DeleteOnClose(opened, true);
        }
    }
    CloseHandle(opened.handle);
    return listed;
}
