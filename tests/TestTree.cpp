#include "tests/TestTree.h"

#include "tests/Interposer.h"

#include <stdexcept>
#include <vector>

namespace {

// The tests' own set-up must not fail silently.
void Require(bool done, const std::string& what) {
    if (!done) {
        throw std::runtime_error(what);
    }
}

std::vector<HANDLE>& HeldFiles() {
    static std::vector<HANDLE> held;
    return held;
}

// One argument as the command line of a new process takes it.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    for (const wchar_t c : argument) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
        }
        quoted += c;
    }
    return quoted + L"\"";
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(),
                                    int(wide.size())));
    return wide;
}

std::wstring HostArgument(const std::wstring& path) {
    const std::string host = HostPath(path);
    Require(!host.empty(), "no host path for " + Utf8(path));
    return Quoted(Wide(host));
}

void ListInto(const std::wstring& folder, const std::string& prefix,
              std::set<std::string>& entries) {
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::string relative = prefix + Utf8(name);
        const DWORD attributes = entry.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            entries.insert(relative + "@");
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries.insert(relative + "/");
            ListInto(folder + L"\\" + name, relative + "/", entries);
        } else {
            entries.insert(relative + (attributes & FILE_ATTRIBUTE_READONLY ? " [read-only]" : ""));
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// Where scratch folders and markers go: the host's memory file system when
// it has one (files are made many times faster there than on a disk), else
// Windows' temporary folder.
bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ScratchRoot() {
    const std::wstring memory = L"Z:\\dev\\shm\\";
    if (IsFolder(memory)) {
        return memory;
    }
    wchar_t temporary[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temporary);
    return temporary;
}

} // namespace

void MakeFolders(const std::wstring& path) {
    SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    Require(IsFolder(path), "cannot make folder " + Utf8(path));
}

void WriteTestFile(const std::wstring& path, const std::string& content) {
    MakeFolders(path.substr(0, path.rfind(L'\\')));
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE &&
                    WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) &&
                    written == content.size();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    Require(ok, "cannot write " + Utf8(path));
}

std::string ReadTestFile(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    std::string content(4096, '\0');
    DWORD read = 0;
    ReadFile(file, content.data(), DWORD(content.size()), &read, nullptr);
    CloseHandle(file);
    content.resize(read);
    return content;
}

void MakeReadOnly(const std::wstring& path) {
    Require(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY),
            "cannot make read-only " + Utf8(path));
}

void RunOnHost(const std::string& script, const std::wstring& first, const std::wstring& second) {
    // Wine does not wait for a host program, nor report its exit: the
    // script's last act leaves a marker, and the marker is waited for.
    static int runs = 0;
    const std::wstring marker = ScratchRoot() + L"tarvex-host-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++runs);
    std::wstring command =
        L"Z:\\bin\\sh -c " + Quoted(Wide(script + "\n: >\"$0\"")) + L" " + HostArgument(marker);
    for (const std::wstring* argument : {&first, &second}) {
        if (!argument->empty()) {
            command += L" " + HostArgument(*argument);
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    Require(CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &process),
            "cannot start a host shell");
    // No Windows process stands for a host program: the handles Wine reports
    // for it are not handles (seen: 0 and a stack address), and closing them
    // could close one of this program's own, standard output included.
    for (int waited = 0; !Exists(marker); ++waited) {
        Require(waited < 20000, "host script did not finish: " + script);
        Sleep(1);
    }
    DeleteFileW(marker.c_str());
}

void MakeLink(const std::wstring& target, const std::wstring& link) {
    MakeFolders(link.substr(0, link.rfind(L'\\')));
    RunOnHost("ln -sn \"$1\" \"$2\"", target, link);
    Require(Exists(link), "cannot link " + Utf8(link));
}

void HoldOpenWithoutDeleteSharing(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    Require(file != INVALID_HANDLE_VALUE, "cannot open " + Utf8(path));
    HeldFiles().push_back(file);
}

void CloseHeldFiles() {
    for (const HANDLE file : HeldFiles()) {
        CloseHandle(file);
    }
    HeldFiles().clear();
}

std::set<std::string> ListTree(const std::wstring& root) {
    std::set<std::string> entries;
    ListInto(root, "", entries);
    return entries;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring MakeScratchFolder() {
    static int made = 0;
    const std::wstring folder = ScratchRoot() + L"tarvex-test-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++made);
    RemoveScratchFolder(folder);
    MakeFolders(folder);
    return folder;
}

void RemoveScratchFolder(const std::wstring& folder) {
    CloseHeldFiles();
    if (Exists(folder)) {
        RunOnHost("rm -rf -- \"$1\"", folder);
    }
}

void ActBeforeEachCall(const std::function<void(std::uint64_t)>& prepare,
                       const std::function<void()>& run,
                       const std::function<bool(const std::wstring& path)>& chosen,
                       const std::function<void()>& act,
                       const std::function<void(std::uint64_t)>& check) {
    Interposed() = Interposer();
    prepare(0);
    run();
    check(0);
    std::vector<std::uint64_t> callNumbers;
    for (std::size_t i = 0; i < Interposed().calls.size(); ++i) {
        if (chosen(Interposed().calls[i].path)) {
            callNumbers.push_back(i + 1);
        }
    }
    for (const std::uint64_t callNumber : callNumbers) {
        SCOPED_TRACE("acted before call " + std::to_string(callNumber));
        Interposed() = Interposer();
        prepare(callNumber);
        RunBeforeCall(callNumber, act);
        run();
        check(callNumber);
        if (testing::Test::HasFailure()) {
            return;
        }
    }
}
