#include "removal/FolderHold.h"

FolderHold HoldFolder(const wchar_t* path) {
    // Listing access takes part in sharing; an open for attributes alone
    // would hold nothing.
    const HANDLE handle =
        CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {FolderHoldState::NotHeld, INVALID_HANDLE_VALUE};
    }
    // The path, not the handle: under Wine a handle does not show a link as
    // a reparse point, while the attributes of its path do.
    const DWORD attributes = GetFileAttributesW(path);
    FolderHoldState state = FolderHoldState::Held;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        state = FolderHoldState::Link;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        state = FolderHoldState::NotHeld;
    }
    if (state != FolderHoldState::Held) {
        CloseHandle(handle);
        return {state, INVALID_HANDLE_VALUE};
    }
    return {state, handle};
}

void ReleaseFolder(const FolderHold& hold) {
    if (hold.state == FolderHoldState::Held) {
        CloseHandle(hold.handle);
    }
}
