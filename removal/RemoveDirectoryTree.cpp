#include "removal/RemoveDirectoryTree.h"

#include "removal/EntryHandle.h"

namespace {

// One folder of the tree. A tree lies on one volume (a mounted volume's
// folder is a reparse point, never entered), which answers for all of it
// whether it deletes with flags.
struct Level {
    HANDLE folder;
    std::size_t pathLength; // of the folder's plain full path
    bool& flagsUnsupported;
};

void EmptyHeldFolder(Level level);

void RemoveEntry(const ListedEntry& entry, void* context) {
    const Level& level = *static_cast<const Level*>(context);
    // Plain paths reach no further on Windows, and neither does the removal.
    const std::size_t pathLength = level.pathLength + 1 + entry.nameLength;
    if (pathLength >= MAX_PATH) {
        return;
    }
    const EntryHandle opened = OpenListedEntry(level.folder, entry, EntryUse::RemoveEvenReadOnly);
    if (opened.handle == nullptr) {
        return;
    }
    if (opened.openedAs != OpenedAs::Other) {
        if (opened.openedAs == OpenedAs::Listed && IsFolder(entry)) {
            EmptyHeldFolder({opened.handle, pathLength, level.flagsUnsupported});
        }
        DeleteOnClose(opened, true, level.flagsUnsupported);
    }
    CloseHandle(opened.handle);
}

// Each subfolder's handle holds it while its own entries are handled.
void EmptyHeldFolder(Level level) {
    ListFolder(level.folder, RemoveEntry, &level);
}

} // namespace

bool RemoveDirectoryTree(HANDLE parent, const std::wstring& path) {
    const std::wstring name = path.substr(path.rfind(L'\\') + 1);
    EntryHandle opened = {};
    if (!OpenNamedEntry(parent, name.c_str(), EntryUse::Remove, opened)) {
        return false;
    }
    bool listed = false;
    bool flagsUnsupported = false;
    if (IsHeldFolder(opened)) {
        Level level = {opened.handle, path.size(), flagsUnsupported};
        listed = ListFolder(opened.handle, RemoveEntry, &level);
        if (listed) {
            DeleteOnClose(opened, true, flagsUnsupported);
        }
    } else if (IsLinkEntry(opened)) {
        // Never listed through: it counts as found, and only the link goes,
        // where its handle is the link itself.
        listed = (opened.listedAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (opened.openedAs == OpenedAs::Link) {
            DeleteOnClose(opened, true, flagsUnsupported);
        }
    }
    CloseHandle(opened.handle);
    return listed;
}
