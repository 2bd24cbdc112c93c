#include "tests/TestTree.h"

#include <fstream>
#include <random>
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

std::string UnixPathOf(const fs::path& path) {
    typedef char*(CDECL * UnixFileName)(LPCWSTR);
    const auto toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unixPath = toUnix ? toUnix(path.wstring().c_str()) : nullptr;
    if (unixPath == nullptr) {
        throw std::runtime_error("no Unix path for " + path.string());
    }
    const std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// Under Wine a Windows process can start a host program; some fixtures can
// only be made or cleared from the host side. Wine does not wait for a host
// process, so the command leaves a marker when it is done.
void RunHostCommand(const std::string& command) {
    const fs::path marker =
        fs::temp_directory_path() / ("tarvex-host-done-" + std::to_string(std::random_device()()));
    const std::string unixMarker =
        UnixPathOf(marker.parent_path()) + "/" + marker.filename().u8string();
    // Wine splits the command line by the Windows rules: the script is one
    // double-quoted argument with its own quotes escaped.
    std::string script = command + "; touch '" + unixMarker + "'";
    std::string commandLine = "sh -c \"";
    for (const char c : script) {
        commandLine += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    commandLine += "\"";
    std::wstring wideCommand(commandLine.begin(), commandLine.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", wideCommand.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        throw std::runtime_error("cannot start a host command");
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; !DeleteFileW(marker.wstring().c_str()); waited += 10) {
        if (waited > 30000) {
            throw std::runtime_error("host command did not finish: " + command);
        }
        Sleep(10);
    }
}

// Wine's CreateSymbolicLinkW reports success and makes nothing; a host
// symbolic link is what Wine itself shows as a link, so make one of those.
// The paths are taken from existing parents, as a missing path has no Unix
// name under Wine.
void MakeHostLink(const fs::path& target, const fs::path& link) {
    const std::string unixTarget =
        UnixPathOf(target.parent_path()) + "/" + target.filename().u8string();
    const std::string unixLink = UnixPathOf(link.parent_path()) + "/" + link.filename().u8string();
    RunHostCommand("ln -s \"" + unixTarget + "\" \"" + unixLink + "\"");
}

void MakeLink(const fs::path& target, const fs::path& link, DWORD flags) {
    fs::create_directories(link.parent_path());
    if (IsRunningUnderWine()) {
        MakeHostLink(target, link);
    } else {
        CreateSymbolicLinkW(link.wstring().c_str(), target.wstring().c_str(),
                            flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    }
    if (GetFileAttributesW(link.wstring().c_str()) == INVALID_FILE_ATTRIBUTES &&
        fs::exists(target)) {
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
    // Process ids are reused quickly under Wine: take a name nobody holds.
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path folder =
            fs::temp_directory_path() / ("tarvex-test-" + std::to_string(random()));
        if (CreateDirectoryW(folder.wstring().c_str(), nullptr)) {
            return folder;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
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
    if (IsRunningUnderWine()) {
        // Wine's API cannot remove a host link to a folder that is not empty.
        RunHostCommand("rm -rf \"" + UnixPathOf(folder) + "\"");
        return;
    }
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
