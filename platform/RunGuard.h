// Bounds what another program or user can make a run cost. A watchdog
// thread cancels the guarded thread's synchronous I/O (CancelSynchronousIo)
// when a file call of the run has been under way for a whole period and no
// other has started: the stalled call fails, its entry is left, and the run
// goes on. Sampled once a period, a stall is cancelled after one to two
// periods, and only a file call is ever cancelled, never a special folder's
// lookup or a DLL's load. Past the run's deadline no guarded file call
// starts: each fails at once, and the run reports what it did (its handles
// are still closed, unguarded).
#pragma once

#include "platform/Platform.h"

struct RunLimits {
    DWORD stallPeriodMilliseconds;
    DWORD deadlineMilliseconds; // from the start of the run
};

struct RunGuard {
    ULONGLONG deadline; // in GetTickCount64's time
    DWORD periodMilliseconds;
    HANDLE watchdog; // nullptr when stalls are not watched
    HANDLE stop;     // an event that ends the watch
    HANDLE guarded;  // the thread watched
    // Held by the watchdog from its look at a call to its cancel, so that
    // the call cannot end in between and let the cancel reach a lookup.
    SRWLOCK lock;
    LONG callsStarted;
    bool callUnderWay;
};

// Guards the calling thread's file calls until StopRunGuard. Where no
// watchdog can start (no thread, event or handle to be had), the deadline
// still holds for calls not yet started, but a stalled call is not
// cancelled.
void StartRunGuard(RunGuard& guard, const RunLimits& limits);
void StopRunGuard(RunGuard& guard);

bool BeginFileCall();
void EndFileCall();

// Marks the file call made in its scope as one of the guarded run's, from
// just before the call to the scope's end, where nothing else waits. Past the
// deadline `started` is false (with ERROR_TIMEOUT as the last error): the
// call is not to be made.
struct FileCall {
    bool started = BeginFileCall();
    ~FileCall() {
        EndFileCall();
    }
};
