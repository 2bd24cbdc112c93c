// What a Windows program under Wine needs to reach the host it runs on.
#pragma once

#include <windows.h>

#include <string>

inline std::string Utf8(const std::wstring& text) {
    std::string utf8(text.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(),
                                    int(utf8.size()), nullptr, nullptr));
    return utf8;
}

// The host's path of a Windows path (Wine's own export); empty where there
// is none.
inline std::string HostPath(const std::wstring& path) {
    typedef char*(CDECL * UnixFileName)(LPCWSTR);
    static const auto toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unixPath = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    if (unixPath == nullptr) {
        return "";
    }
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}
