#include "platform/StallGuard.h"

namespace {

volatile LONG fileCallsStarted = 0;

DWORD WINAPI Watch(void* parameter) {
    const StallGuard& guard = *static_cast<const StallGuard*>(parameter);
    LONG seen = InterlockedCompareExchange(&fileCallsStarted, 0, 0);
    while (WaitForSingleObject(guard.stop, guard.periodMilliseconds) == WAIT_TIMEOUT) {
        const LONG now = InterlockedCompareExchange(&fileCallsStarted, 0, 0);
        if (now == seen) {
            CancelSynchronousIo(guard.guarded);
        }
        seen = now;
    }
    return 0;
}

} // namespace

void NoteFileCall() {
    InterlockedIncrement(&fileCallsStarted);
}

void StartStallGuard(StallGuard& guard, DWORD periodMilliseconds) {
    guard = {nullptr, CreateEventW(nullptr, TRUE, FALSE, nullptr),
             OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId()), periodMilliseconds};
    if (guard.stop != nullptr && guard.guarded != nullptr) {
        guard.watchdog = CreateThread(nullptr, 0, Watch, &guard, 0, nullptr);
    }
}

void StopStallGuard(StallGuard& guard) {
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
