#include "platform/RunGuard.h"

namespace {

// The guard of the run on this thread, if any.
thread_local RunGuard* currentGuard = nullptr;

DWORD WINAPI Watch(void* parameter) {
    RunGuard& guard = *static_cast<RunGuard*>(parameter);
    LONG seen = 0;
    while (WaitForSingleObject(guard.stop, guard.periodMilliseconds) == WAIT_TIMEOUT) {
        AcquireSRWLockExclusive(&guard.lock);
        if (guard.callsStarted == seen && guard.callUnderWay) {
            CancelSynchronousIo(guard.guarded);
        }
        seen = guard.callsStarted;
        ReleaseSRWLockExclusive(&guard.lock);
    }
    return 0;
}

// Marks a file call of the run as started or ended.
void MarkFileCall(RunGuard& guard, bool started) {
    AcquireSRWLockExclusive(&guard.lock);
    guard.callsStarted += started ? 1 : 0;
    guard.callUnderWay = started;
    ReleaseSRWLockExclusive(&guard.lock);
}

} // namespace

bool BeginFileCall() {
    RunGuard* guard = currentGuard;
    if (guard == nullptr) {
        return true;
    }
    if (GetTickCount64() >= guard->deadline) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    MarkFileCall(*guard, true);
    return true;
}

void EndFileCall() {
    if (currentGuard != nullptr) {
        MarkFileCall(*currentGuard, false);
    }
}

void StartRunGuard(RunGuard& guard, const RunLimits& limits) {
    guard = {GetTickCount64() + limits.deadlineMilliseconds,
             limits.stallPeriodMilliseconds,
             nullptr,
             CreateEventW(nullptr, TRUE, FALSE, nullptr),
             nullptr,
             SRWLOCK_INIT,
             0,
             false};
    // A part of the access this thread's own handle has (unlike OpenThread,
    // no check against the thread's access list): what the cancel needs.
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                         &guard.guarded, THREAD_TERMINATE, FALSE, 0)) {
        guard.guarded = nullptr;
    }
    if (guard.stop != nullptr && guard.guarded != nullptr) {
        guard.watchdog = CreateThread(nullptr, 0, Watch, &guard, 0, nullptr);
    }
    currentGuard = &guard;
}

void StopRunGuard(RunGuard& guard) {
    currentGuard = nullptr;
    if (guard.watchdog != nullptr) {
        SetEvent(guard.stop);
        WaitForSingleObject(guard.watchdog, INFINITE);
        CloseHandle(guard.watchdog);
    }
    if (guard.stop != nullptr) {
        CloseHandle(guard.stop);
    }
    if (guard.guarded != nullptr) {
        CloseHandle(guard.guarded);
    }
    guard = {};
}
