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
    bool everyEntryWent; // of the folder's own entries met so far
};

// Deletes a folder whose entries were handled. A file deleted the old way
// that another program (a scanner, an indexer) still holds open stays
// pending deletion until that program lets go, and until then its folder
// answers "not empty": where every entry went, the folder is asked again a
// few times over a short while (a wait is no file call: the watchdog never
// cancels one, and past the deadline no try starts).
bool DeleteEmptiedFolder(const EntryHandle& opened, bool everyEntryWent, bool& flagsUnsupported) {
    bool deleted = DeleteOnClose(opened, true, flagsUnsupported);
    for (DWORD wait = 20;
         !deleted && everyEntryWent && wait <= 160 && GetLastError() == ERROR_DIR_NOT_EMPTY;
         wait *= 2) {
        Sleep(wait);
        deleted = DeleteOnClose(opened, true, flagsUnsupported);
    }
    return deleted;
}

void RemoveEntry(const ListedEntry& entry, void* context);

// Whether the entry went: deleted, or pending deletion already (another
// program deleted it).
bool RemoveListedEntry(Level& level, const ListedEntry& entry) {
    // Plain paths reach no further on Windows, and neither does the removal.
    const std::size_t pathLength = level.pathLength + 1 + entry.nameLength;
    if (pathLength >= MAX_PATH) {
        return false;
    }
    const EntryHandle opened = OpenListedEntry(level.folder, entry, EntryUse::RemoveEvenReadOnly);
    if (opened.handle == nullptr) {
        return opened.openedAs == OpenedAs::Gone;
    }
    bool went = false;
    if (opened.openedAs == OpenedAs::Listed && IsFolder(entry)) {
        // Its handle holds it while its own entries are handled.
        Level below = {opened.handle, pathLength, level.flagsUnsupported, true};
        const bool listedWhole =
            ListFolder(opened.handle, RemoveEntry, &below) == Listing::Complete;
        went = DeleteEmptiedFolder(opened, listedWhole && below.everyEntryWent,
                                   level.flagsUnsupported);
    } else if (opened.openedAs != OpenedAs::Other) {
        went = DeleteOnClose(opened, true, level.flagsUnsupported);
    }
    CloseHandle(opened.handle);
    return went;
}

void RemoveEntry(const ListedEntry& entry, void* context) {
    Level& level = *static_cast<Level*>(context);
    level.everyEntryWent = RemoveListedEntry(level, entry) && level.everyEntryWent;
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
        Level level = {opened.handle, path.size(), flagsUnsupported, true};
        const Listing listing = ListFolder(opened.handle, RemoveEntry, &level);
        listed = listing != Listing::NotStarted;
        if (listed) {
            DeleteEmptiedFolder(opened, listing == Listing::Complete && level.everyEntryWent,
                                flagsUnsupported);
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
