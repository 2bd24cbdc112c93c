// A helper for running the uninstaller under Wine: the demonstration, the
// benchmark and the tests of the real executable.
//
//   WineHelper folders     prints, per special folder the uninstaller uses, its
//                          name, Windows path and host path, tab-separated
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

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"folders") {
        return PrintFolders();
    }
    std::fprintf(stderr, "usage: WineHelper folders\n");
    return 2;
}
