// Entries reached through the handle of the folder that holds them, never by
// a path: a name is taken from its folder's listing and opened relative to
// that folder's handle exactly as listed (no path rule rewrites a relative
// name), as itself even if it is a link, so nothing between two calls can
// redirect it and nothing is ever opened through a link.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>

// An entry as its folder's listing showed it.
struct ListedEntry {
    const wchar_t* name; // not terminated
    std::size_t nameLength;
    DWORD attributes;
    LONGLONG fileId;
};

bool IsFolder(const ListedEntry& entry);
bool IsLink(const ListedEntry& entry);

// What an opened entry is for, and so the access asked for: a folder on the
// way down is only listed and held; an entry to remove is deleted, a folder
// emptied first (and still emptied where deleting it is refused); inside a
// removed folder a file's read-only attribute is also cleared where the
// system needs that.
enum class EntryUse : std::uint8_t { Hold, Remove, RemoveEvenReadOnly };

// What an entry opened by its listed name turned out to be.
enum class OpenedAs : std::uint8_t {
    Listed, // the very entry listed, and no link
    Link,   // a link itself (never what it points to): removed as a link
    Gone,   // pending deletion: another program deleted it and still holds
            // it open, and it goes when that program lets go (no handle)
    Other,  // anything else (swapped since the listing, a link's target, or
            // unknown): left alone
};

struct EntryHandle {
    HANDLE handle; // nullptr when the entry could not be opened
    OpenedAs openedAs;
    DWORD attributes;       // as the handle shows them
    DWORD listedAttributes; // as the folder's listing showed them
};

// Opens a listed entry relative to `folder`. A folder is opened to be listed
// and held: it shares reading and writing, never deletion, so that nobody
// can rename or delete it while it is worked in. An entry that another
// program's opportunistic lock would make wait is not opened.
EntryHandle OpenListedEntry(HANDLE folder, const ListedEntry& entry, EntryUse use);

// Looks up one name in a folder's listing (the folder's handle must not have
// been listed before), and opens it as OpenListedEntry does. False when the
// name is not there, the listing answers another, or the entry cannot be
// opened.
bool OpenNamedEntry(HANDLE folder, const wchar_t* name, EntryUse use, EntryHandle& opened);

// Whether the opened entry is the real folder that was listed: it is then
// held, and can be entered.
bool IsHeldFolder(const EntryHandle& opened);

// Whether the opened entry is a link, by its handle or its listing.
bool IsLinkEntry(const EntryHandle& opened);

// Opens a folder by name relative to `folder`, following links: only for the
// folders above a per-user Plugins folder that its own user may have moved.
HANDLE OpenFolderFollowingLinks(HANDLE folder, const wchar_t* name);

// How far a folder's listing went.
enum class Listing : std::uint8_t {
    NotStarted, // its first call failed
    EndedEarly, // a later call failed, or answered what does not lie within
                // the bytes it filled: entries may not have been met
    Complete,   // to its end
};

// Calls `visit(entry, context)` for every entry of the held folder but "."
// and "..", in the file system's order, until the listing ends or fails or
// answers what does not lie within the bytes it filled. A name that cannot
// be opened as one entry relative to the folder is passed over.
Listing ListFolder(HANDLE folder, void (*visit)(const ListedEntry& entry, void* context),
                   void* context);

// Deletes the entry when its handle is closed (a folder only if empty). With
// `evenReadOnly` (an entry opened for RemoveEvenReadOnly) a read-only file
// goes too: the system is asked to ignore the attribute, and where the
// volume cannot (`flagsUnsupported`, which the caller keeps for one volume:
// it is set at the first such answer), the attribute is cleared first and
// put back if the deletion is refused; a file with other names then stays
// as it is.
bool DeleteOnClose(const EntryHandle& entry, bool evenReadOnly, bool& flagsUnsupported);
