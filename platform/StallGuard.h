// A guard against a file call that never returns: another program's
// opportunistic lock whose break it never acknowledges, a share that stops
// answering. A watchdog thread cancels the guarded thread's synchronous I/O
// (CancelSynchronousIo) when no file call has started for a whole period:
// the stalled call fails, its entry is left, and the run goes on. Sampled
// once a period, a stall is cancelled after one to two periods.
#pragma once

#include "platform/Platform.h"

struct StallGuard {
    HANDLE watchdog; // nullptr when there is no guard
    HANDLE stop;     // an event that ends the watch
    HANDLE guarded;  // the thread watched
    DWORD periodMilliseconds;
};

// Watches the calling thread. Without a thread or its handle, nothing is
// watched and the run goes on unguarded.
void StartStallGuard(StallGuard& guard, DWORD periodMilliseconds);
void StopStallGuard(StallGuard& guard);

// Called as each guarded file call starts.
void NoteFileCall();
