#include "tests/TestTree.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#ifndef _WIN32
#include "platform/Unix/TestControls.h"

#include <stdlib.h>
#endif

void WriteTestFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

bool IsReadOnly(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
}

#ifdef _WIN32

namespace {

std::vector<HANDLE> heldFiles;

bool IsLinkAttribute(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine's CreateSymbolicLinkW reports success and makes nothing; a host
// symbolic link is what Wine itself shows as a link, so make one of those.
void MakeHostLink(const fs::path& target, const fs::path& link) {
    typedef char*(CDECL * UnixFileName)(LPCWSTR);
    const auto toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix == nullptr) {
        throw std::runtime_error("no wine_get_unix_file_name");
    }
    char* unixTarget = toUnix(target.wstring().c_str());
    char* unixLink = toUnix(link.wstring().c_str());
    std::string command = std::string("ln -s \"") + unixTarget + "\" \"" + unixLink + "\"";
    HeapFree(GetProcessHeap(), 0, unixTarget);
    HeapFree(GetProcessHeap(), 0, unixLink);
    std::wstring wideCommand(command.begin(), command.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", wideCommand.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        throw std::runtime_error("cannot start ln");
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

void MakeLink(const fs::path& target, const fs::path& link, DWORD flags) {
    fs::create_directories(link.parent_path());
    CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(),
                        flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (GetFileAttributesW(link.wstring().c_str()) == INVALID_FILE_ATTRIBUTES &&
        IsRunningUnderWine()) {
        MakeHostLink(target, link);
    }
    if (GetFileAttributesW(link.wstring().c_str()) == INVALID_FILE_ATTRIBUTES) {
        throw std::runtime_error("cannot make link " + link.string() +
                                 " (needs Developer Mode or administrator rights)");
    }
}

void ListTreeInto(const fs::path& root, const std::string& prefix, std::set<std::string>& out) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((root / L"*").wstring().c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::string relative = prefix + fs::path(name).u8string();
        if (IsLinkAttribute(entry.dwFileAttributes)) {
            out.insert(relative + "@");
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.insert(relative + "/");
            ListTreeInto(root / name, relative + "/", out);
        } else {
            out.insert(relative);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

} // namespace

void MakeDirectoryLink(const fs::path& target, const fs::path& link) {
    MakeLink(target, link, SYMBOLIC_LINK_FLAG_DIRECTORY);
}

void MakeFileLink(const fs::path& target, const fs::path& link) {
    MakeLink(target, link, 0);
}

void HoldOpenWithoutDeleteSharing(const fs::path& path) {
    const HANDLE file =
        CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path.string());
    }
    heldFiles.push_back(file);
}

std::set<std::string> ListTree(const fs::path& root) {
    std::set<std::string> entries;
    ListTreeInto(root, "", entries);
    return entries;
}

WidePath WidePathOf(const fs::path& path) {
    return path.wstring();
}

bool IsRunningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

fs::path MakeScratchFolder() {
    static int counter = 0;
    const fs::path folder =
        fs::temp_directory_path() /
        ("tarvex-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
    fs::create_directories(folder);
    return folder;
}

#else // POSIX

void MakeDirectoryLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

void MakeFileLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

void HoldOpenWithoutDeleteSharing(const fs::path& path) {
    FailOperationForTest(PlatformOperation::DeleteFileW, WidePathOf(path));
}

std::set<std::string> ListTree(const fs::path& root) {
    std::set<std::string> entries;
    if (!fs::exists(fs::symlink_status(root))) {
        return entries;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string name = it->path().lexically_relative(root).generic_u8string();
        if (it->is_symlink()) {
            name += "@";
        } else if (it->is_directory()) {
            name += "/";
        }
        entries.insert(name);
    }
    return entries;
}

WidePath WidePathOf(const fs::path& path) {
    return WidePathFromHost(path.string());
}

bool IsRunningUnderWine() {
    return false;
}

fs::path MakeScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "tarvex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::canonical(pattern);
}

#endif

void RemoveScratchFolder(const fs::path& folder) {
#ifdef _WIN32
    for (const HANDLE file : heldFiles) {
        CloseHandle(file);
    }
    heldFiles.clear();
#endif
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink()) {
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(folder, ignored);
}
