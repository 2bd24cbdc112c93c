#include "removal/RemoveDirectoryTree.h"

#include "removal/EntryHandle.h"

namespace {

// How far a held folder was emptied.
enum class Emptied : std::uint8_t {
    NotListed, // its listing could not start: nothing was touched
    Partly,    // an entry stayed, or the listing ended early
    Wholly,    // every entry of a listing that ran to its end went
};

// Deletes a folder whose entries were handled. A file deleted the old way
// that another program (a scanner, an indexer) still holds open stays
// pending deletion until that program lets go, and until then its folder
// answers "not empty": where it was emptied wholly, the folder is asked
// again a few times over a short while (a wait is no file call: the
// watchdog never cancels one, and past the deadline no try starts).
bool DeleteEmptiedFolder(const EntryHandle& folder, Emptied emptied, bool& flagsUnsupported) {
    bool deleted = DeleteEntry(folder, flagsUnsupported);
    for (DWORD wait = 20; !deleted && emptied == Emptied::Wholly && wait <= 160 &&
                          GetLastError() == ERROR_DIR_NOT_EMPTY;
         wait *= 2) {
        Sleep(wait);
        deleted = DeleteEntry(folder, flagsUnsupported);
    }
    return deleted;
}

// Removes the entries of a held folder, as its listing gives them, each
// opened relative to the folder's handle, which holds the folder meanwhile:
// a folder with everything below it, a file or a link as it is, anything
// else left. An entry went when it was deleted, or was pending deletion
// already (another program deleted it). A tree lies on one volume (a
// mounted volume's folder is a reparse point, never entered), which answers
// for all of it whether it deletes with flags.
Emptied EmptyHeldFolder(HANDLE folder, std::size_t pathLength, bool& flagsUnsupported) {
    FolderListing listing = {};
    bool everyEntryWent = true;
    for (ListedEntry entry = {}; NextListedEntry(folder, listing, entry);) {
        // Plain paths reach no further on Windows, and neither does the removal.
        const std::size_t entryPathLength = pathLength + 1 + entry.nameLength;
        const EntryHandle opened = entryPathLength < MAX_PATH
                                       ? OpenListedEntry(folder, entry, EntryUse::RemoveInTree)
                                       : kNotOpened;
        bool went = opened.as == OpenedAs::Gone;
        if (opened.as == OpenedAs::Folder) {
            went = DeleteEmptiedFolder(
                opened, EmptyHeldFolder(opened.handle, entryPathLength, flagsUnsupported),
                flagsUnsupported);
        } else if (opened.as == OpenedAs::File || opened.as == OpenedAs::Link) {
            went = DeleteEntry(opened, flagsUnsupported);
        }
        CloseEntry(opened);
        everyEntryWent = went && everyEntryWent;
    }
    if (listing.reached == Listing::NotStarted) {
        return Emptied::NotListed;
    }
    return listing.reached == Listing::Complete && everyEntryWent ? Emptied::Wholly
                                                                  : Emptied::Partly;
}

} // namespace

bool RemoveDirectoryTree(HANDLE parent, const wchar_t* name, std::size_t pathLength) {
    const EntryHandle top = OpenNamedEntry(parent, name, EntryUse::RemoveTreeTop);
    bool flagsUnsupported = false;
    // A link is never listed through: it counts as found, and only the link
    // goes, where its handle is the link itself.
    bool found = top.folder && (top.as == OpenedAs::Link || top.as == OpenedAs::ListedLink);
    if (top.as == OpenedAs::Folder) {
        const Emptied emptied = EmptyHeldFolder(top.handle, pathLength, flagsUnsupported);
        found = emptied != Emptied::NotListed;
        if (found) {
            DeleteEmptiedFolder(top, emptied, flagsUnsupported);
        }
    } else if (top.as == OpenedAs::Link) {
        DeleteEntry(top, flagsUnsupported);
    }
    CloseEntry(top);
    return found;
}
