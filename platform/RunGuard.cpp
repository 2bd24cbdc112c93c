#include "platform/RunGuard.h"

namespace {

// The guard of the run on this thread, if any.
thread_local RunGuard* currentGuard = nullptr;

DWORD WINAPI Watch(void* parameter) {
    RunGuard& guard = *static_cast<RunGuard*>(parameter);
    LONG seen = InterlockedCompareExchange(&guard.callsStarted, 0, 0);
    while (WaitForSingleObject(guard.stop, guard.periodMilliseconds) == WAIT_TIMEOUT) {
        const LONG now = InterlockedCompareExchange(&guard.callsStarted, 0, 0);
        if (now == seen && InterlockedCompareExchange(&guard.callUnderWay, 0, 0) != 0) {
            CancelSynchronousIo(guard.guarded);
        }
        seen = now;
    }
    return 0;
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
    InterlockedIncrement(&guard->callsStarted);
    InterlockedExchange(&guard->callUnderWay, 1);
    return true;
}

void EndFileCall() {
    if (currentGuard != nullptr) {
        InterlockedExchange(&currentGuard->callUnderWay, 0);
    }
}

void StartRunGuard(RunGuard& guard, const RunLimits& limits) {
    guard = {GetTickCount64() + limits.deadlineMilliseconds,
             limits.stallPeriodMilliseconds,
             nullptr,
             CreateEventW(nullptr, TRUE, FALSE, nullptr),
             OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId()),
             0,
             0};
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
