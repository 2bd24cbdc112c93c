// The test bed's one seam: the Windows API calls the uninstaller makes go to
// shims (Shims.h, Interposer.cpp) that forward to the real functions. The
// shims record the calls and play the answers of a few rules: this call on
// this path answers this;
// this open is refused this access; this call waits until it is cancelled;
// another party acts before call N; the token, session and window station
// answer so. Every call that no rule answers is the real one.
#pragma once

#include "platform/Platform.h"

#include <ntstatus.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// Answers of the interposer's own, besides Windows' statuses (an error: the
// call is not made; a success: it is made, and answers that).
// Real synchronous I/O that only a cancellation ends (then the call answers
// STATUS_CANCELLED), as behind another program's opportunistic lock; or a
// second's wait, no cancel arriving meanwhile, and the call is made.
const NTSTATUS kStall = NTSTATUS(0xE0000001);
const NTSTATUS kSlow = NTSTATUS(0xE0000002);
// Another program deleted the entry, and a scanner still holds it open: its
// open answers STATUS_DELETE_PENDING, as Windows does (Wine opens it), and
// it goes from the host as the scanner lets go.
const NTSTATUS kDeletedMeanwhile = NTSTATUS(0xE0000003);
// A call that the run must not make: it fails the row.
const NTSTATUS kNever = NTSTATUS(0xE0000004);
// The token shows an elevated run.
const NTSTATUS kElevated = NTSTATUS(0x20000001);
// A handle's attributes (FILE_BASIC_INFO) with FILE_ATTRIBUTE_ARCHIVE
// flipped, which Wine shows on every file: as Windows shows a file that has
// no other; or FILE_ATTRIBUTE_REPARSE_POINT, which Wine shows on no handle:
// as Windows shows a link opened as itself (Wine opens its target).
const NTSTATUS kWithoutArchive = NTSTATUS(0x20000002);
const NTSTATUS kShownAsLink = NTSTATUS(0x2000000C);
// The volume gives no file ID: a listed entry's is 0, a handle's -1 (one
// that cannot be shown).
const NTSTATUS kNoFileId = NTSTATUS(0x2000000D);
// A listing gives one entry a call; or fills nothing; or never ends: each
// call restarts it.
const NTSTATUS kOneEntryPerCall = NTSTATUS(0x20000003);
const NTSTATUS kFillsNothing = NTSTATUS(0x20000004);
const NTSTATUS kEndless = NTSTATUS(0x20000005);
// A listed entry (API "ListedEntry": the rule names the entry, not its
// folder) has a next offset of 2^32 less its own (in 32-bit code, back to
// the batch's start); a name that runs past the bytes filled; or, in turn,
// the names "..", "a\b" and "a:b".
const NTSTATUS kOffsetPastFilled = NTSTATUS(0x20000006);
const NTSTATUS kNameLengthPastFilled = NTSTATUS(0x20000007);
const NTSTATUS kOddNames = NTSTATUS(0x20000008);
// The watchdog's cancel: the stalled call ends just before it, failing all
// the same.
const NTSTATUS kStallEndsFirst = NTSTATUS(0x20000009);
// The process runs in session 0; its window station is not visible.
const NTSTATUS kSessionZero = NTSTATUS(0x2000000A);
const NTSTATUS kHidden = NTSTATUS(0x2000000B);

// "This API, on this path, answers this": from the `from`th matching call
// on, `count` of them (0: all).
struct Rule {
    const char* api; // the function's name
    const char* at;  // in the trees' notation; "" for any path, "dir/" for all below dir
    NTSTATUS answer;
    // Only an NtCreateFile that asks any of these rights, or an information
    // call of this class.
    DWORD when = 0;
    int from = 1, count = 0, matched = 0;
    std::wstring path = {}; // `at` as a Windows path
};

// One call and its path: the one given or, for a call on a
// handle, the one the handle was opened by. A relative open's path is its
// folder's, a backslash and the name given.
struct ApiCall {
    std::string api;
    std::wstring path;
    std::wstring name = {};       // a relative open's
    ACCESS_MASK access = 0;       // an open's, or a disposition's flags
    ULONG share = 0, options = 0; // an open's; options: an information call's class
    bool folder = false;          // opened as a folder, or a call on such a handle
};

struct Interposer {
    // What SHGetFolderPathW yields; a folder not placed is not found.
    std::map<int, std::wstring> specialFolders;
    std::vector<Rule> rules = {};
    // Run as another party acting at that moment, just before call
    // `actionBeforeCall` (1 is the first).
    std::size_t actionBeforeCall = 0;
    std::function<void()> action = {};

    std::vector<ApiCall> calls = {};
    std::vector<std::string> reports = {}; // the texts of the message boxes
    // The handles the calls opened and did not close.
    std::map<HANDLE, ApiCall> openFiles = {};
    // Whether the watchdog cancelled while a slow call was under way, or a
    // call started while it cancelled one that had ended (its cancel could
    // have reached that call), or a call was made that must not be.
    bool misplaced = false;
};

// The one interposer: its rules, and the record of the run under way.
extern Interposer interposed;
