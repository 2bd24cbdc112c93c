// A helper for running the uninstaller under Wine: the demonstration, the
// benchmark and the tests of the real executable.
//
//   WineHelper folders     prints, per special folder the uninstaller uses, its
//                          name, Windows path and host path, tab-separated
//   WineHelper elevated    prints 1 when programs get an administrator's full
//                          token, else 0
#include "tools/wine/WineHost.h"

#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

int PrintFolders() {
    const struct {
        const char* name;
        int folder;
    } kFolders[] = {{"CSIDL_APPDATA", CSIDL_APPDATA},
                    {"CSIDL_COMMON_APPDATA", CSIDL_COMMON_APPDATA}};
    for (const auto& entry : kFolders) {
        wchar_t path[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathW(nullptr, entry.folder, nullptr, SHGFP_TYPE_CURRENT, path))) {
            return 2;
        }
        std::printf("%s\t%s\t%s\n", entry.name, Utf8(path).c_str(), HostPath(path).c_str());
    }
    return 0;
}

int PrintElevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 2;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const bool known =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) != FALSE;
    CloseHandle(token);
    if (!known) {
        return 2;
    }
    std::printf("%d\n", elevation.TokenIsElevated != 0 ? 1 : 0);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"folders") {
        return PrintFolders();
    }
    if (argc == 2 && std::wstring(argv[1]) == L"elevated") {
        return PrintElevated();
    }
    std::fprintf(stderr, "usage: WineHelper folders|elevated\n");
    return 2;
}
