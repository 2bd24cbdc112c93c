// Entries reached through the handle of the folder that holds them, never by
// a path: a name is taken from its folder's listing and opened relative to
// that folder's handle exactly as listed (no path rule rewrites a relative
// name), as itself even if it is a link, so nothing between two calls can
// redirect it and nothing is ever opened through a link. Every file call
// here is one of the run's guarded calls (RunGuard.h), but a handle's close
// and an attribute put back.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// An entry as its folder's listing showed it.
struct ListedEntry {
    const wchar_t* name; // not terminated
    std::size_t nameLength;
    DWORD attributes;
    LONGLONG fileId;
};

// What an entry is opened for, and so the access asked for and what its
// deletion may do.
enum class EntryUse : std::uint8_t {
    Hold,          // a folder on the way down: only listed and held
    RemoveAsIs,    // a file target: a read-only one stays
    RemoveTreeTop, // a tree's top (a folder, emptied first, or a link): it
                   // goes even if read-only
    RemoveInTree,  // below a tree's top: the same, and a file's read-only
                   // attribute is cleared where the system needs that
};

// What an opened entry is, decided once, where it is opened.
enum class OpenedAs : std::uint8_t {
    Folder,     // the very folder listed, and no link: held, and can be entered
    File,       // the very file listed, and no link
    Link,       // a link itself (never what it points to): removed as a link
    ListedLink, // listed as a link, opened as something else (Wine opens a
                // host link's target): never entered, left
    Gone,       // pending deletion: another program deleted it and still holds
                // it open, and it goes when that program lets go (no handle)
    Other,      // anything else (swapped since the listing, unknown, not
                // opened): left alone
};

struct EntryHandle {
    HANDLE handle; // nullptr when the entry could not be opened
    OpenedAs as;
    EntryUse use;  // what it was opened for
    bool folder;   // listed, and so opened, as a folder
    bool readOnly; // as its handle showed it
};

const EntryHandle kNotOpened = {nullptr, OpenedAs::Other, EntryUse::Hold, false, false};

// Opens a listed entry relative to `folder`. A folder is opened to be listed
// and held: it shares reading and writing, never deletion, so that nobody
// can rename or delete it while it is worked in. An entry that another
// program's opportunistic lock would make wait is not opened.
EntryHandle OpenListedEntry(HANDLE folder, const ListedEntry& entry, EntryUse use);

// Looks up one name in a folder's listing (the folder's handle must not have
// been listed before), and opens it as OpenListedEntry does; not opened
// where the name is not there or the listing answers another.
EntryHandle OpenNamedEntry(HANDLE folder, const wchar_t* name, EntryUse use);

void CloseEntry(const EntryHandle& entry);

// Opens a folder by name relative to `folder`, following links: only for the
// folders above a per-user Plugins folder that its own user may have moved.
HANDLE OpenFolderFollowingLinks(HANDLE folder, const wchar_t* name);

// Opens a special folder, to be listed and held, by exactly the path its
// lookup gave. Nullptr where it cannot be opened.
HANDLE OpenSpecialFolder(const wchar_t* path);

// How far a folder's listing went.
enum class Listing : std::uint8_t {
    NotStarted, // its first call failed
    EndedEarly, // a later call failed, or answered what does not lie within
                // the bytes it filled: entries may not have been met
    Complete,   // to its end
};

// How far a folder's listing has been read, by NextListedEntry on the
// folder's handle: `= {}` before the first entry.
struct FolderListing {
    Listing reached;              // final once NextListedEntry is false
    std::vector<LONGLONG> buffer; // the batch of entries last listed
    ULONG_PTR filled;             // bytes of it
    ULONG_PTR at;                 // where its next entry lies
};

// The next entry of a listing but "." and "..", in the file system's order,
// until the listing ends or fails or answers what does not lie within the
// bytes it filled. A name that cannot be opened as one entry relative to the
// folder is passed over.
bool NextListedEntry(HANDLE folder, FolderListing& listing, ListedEntry& entry);

// Deletes the entry when its handle is closed (a folder only if empty), as
// its use allows. With flags where the volume can (`flagsUnsupported`, which
// the caller keeps for one volume, is set at the first answer that it
// cannot); else the old way, where a read-only file that may go loses that
// attribute first, and has it put back if the deletion is refused (a file
// with other names then stays as it is).
bool DeleteEntry(const EntryHandle& entry, bool& flagsUnsupported);
