#include "tests/TestTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace {

// The tests' own set-up must not fail silently.
void Require(bool done, const std::string& what) {
    if (!done) {
        throw std::runtime_error(what);
    }
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(),
                                    int(wide.size())));
    return wide;
}

std::wstring Literal(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

std::wstring& Scratch() {
    static std::wstring folder;
    return folder;
}

// This process's scratch folder, made for it alone (no other run, here or in
// another clone, can have made it) before the tests and removed after them:
// on the host's memory file system where there is one, else in Windows'
// temporary folder.
struct ScratchFolder : testing::Environment {
    void SetUp() override {
        wchar_t temporary[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temporary);
        const bool memory = GetFileAttributesW(L"Z:\\dev\\shm") != INVALID_FILE_ATTRIBUTES;
        for (ULONGLONG name = GetTickCount64() ^ (ULONGLONG(GetCurrentProcessId()) << 20);;
             ++name) {
            Scratch() = (memory ? L"Z:\\dev\\shm\\" : temporary) + std::wstring(L"tarvex-test-") +
                        std::to_wstring(name);
            if (CreateDirectoryW(Scratch().c_str(), nullptr)) {
                return;
            }
            Require(GetLastError() == ERROR_ALREADY_EXISTS, "cannot make a scratch folder");
        }
    }
    void TearDown() override {
        RunOnHost("cd " + OnHost(Scratch()) + " && rm -rf -- [0-9]*");
        RemoveDirectoryW(Scratch().c_str());
    }
};

testing::Environment* const kScratchFolder = testing::AddGlobalTestEnvironment(new ScratchFolder);

std::vector<HANDLE>& HeldFiles() {
    static std::vector<HANDLE> held;
    return held;
}

// "{a,b}" spelled out, as a POSIX shell does; "{260}" is a fill (PathOf).
std::vector<std::string> Expanded(const std::string& text) {
    const std::size_t comma = text.find(',');
    const std::size_t open = text.rfind('{', comma);
    if (comma == std::string::npos || open == std::string::npos) {
        return {text};
    }
    const std::size_t close = text.find('}', comma);
    std::istringstream words(text.substr(open + 1, close - open - 1));
    std::vector<std::string> lines;
    for (std::string word; std::getline(words, word, ',');) {
        for (const std::string& line :
             Expanded(text.substr(0, open) + word + text.substr(close + 1))) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The Windows path of "root: a/b" (or "root/a/b").
std::wstring PathOf(const Sandbox& sandbox, const std::string& line) {
    const std::size_t colon = line.find_first_of(":/");
    std::wstring path = sandbox.roots.at(line.substr(0, colon));
    std::istringstream names(
        line.substr(std::min(line.find_first_not_of(":/ ", colon), line.size())));
    for (std::string name; std::getline(names, name, '/');) {
        std::wstring wide = Wide(name);
        const std::size_t fill = wide.find(L'{');
        if (fill != std::wstring::npos) {
            const std::size_t length = std::stoul(wide.substr(fill + 1));
            wide.replace(fill, wide.size(), length - path.size() - 1 - fill, L'x');
        }
        path += L"\\" + wide;
    }
    return path;
}

struct Entry {
    std::wstring path;
    char kind; // '/' a folder, '@' a link, ' ' a file
    std::string attributes;
    std::wstring target;
};

std::vector<Entry> EntriesOf(const Sandbox& sandbox, const std::string& tree) {
    std::vector<Entry> entries;
    std::istringstream lines(tree);
    for (std::string text; std::getline(lines, text);) {
        for (std::string line : text.empty() ? std::vector<std::string>() : Expanded(text)) {
            Entry entry = {};
            if (line.back() == ']') {
                entry.attributes = line.substr(line.rfind(" ["));
                line.erase(line.rfind(" ["));
            }
            const std::size_t arrow = line.find(" -> ");
            if (arrow != std::string::npos) {
                entry.target = PathOf(sandbox, line.substr(arrow + 4));
                line.erase(arrow);
            }
            entry.kind = line.back() == '/' || line.back() == '@' ? line.back() : ' ';
            entry.path = PathOf(sandbox, line.substr(0, line.size() - (entry.kind != ' ')));
            entries.push_back(entry);
        }
    }
    return entries;
}

// A line below the most specific root that holds the path.
std::string LineOf(const Sandbox& sandbox, const std::wstring& path, const std::string& suffix) {
    std::pair<std::string, std::wstring> holder;
    for (const auto& root : sandbox.roots) {
        const std::wstring& folder = root.second;
        if (folder.size() > holder.second.size() && path.size() > folder.size() &&
            path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == L'\\') {
            holder = root;
        }
    }
    std::string below = Utf8(path.substr(std::min(holder.second.size() + 1, path.size())));
    std::replace(below.begin(), below.end(), '\\', '/');
    return holder.first.empty() ? "" : holder.first + ": " + below + suffix;
}

std::string SuffixOf(bool folder, bool link, bool readOnly) {
    return link ? "@" : folder ? "/" : readOnly ? " [read-only]" : "";
}

// Returns whether the folder holds anything.
bool ListInto(const Sandbox& sandbox, const std::wstring& folder, std::set<std::string>& lines) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(Literal(folder + L"\\*").c_str(), &found);
    bool holds = false;
    while (search != INVALID_HANDLE_VALUE) {
        const std::wstring name = found.cFileName;
        const DWORD attributes = found.dwFileAttributes;
        const bool link = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
        const bool isFolder = attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (name != L"." && name != L"..") {
            holds = true;
            if (!isFolder || link || !ListInto(sandbox, folder + L"\\" + name, lines)) {
                lines.insert(
                    LineOf(sandbox, folder + L"\\" + name,
                           SuffixOf(isFolder, link, attributes & FILE_ATTRIBUTE_READONLY)));
            }
        }
        if (!FindNextFileW(search, &found)) {
            FindClose(search);
            break;
        }
    }
    return holds;
}

} // namespace

Sandbox MakeSandbox() {
    static int made = 0;
    const std::wstring folder = Scratch() + L"\\" + std::to_wstring(++made);
    Require(CreateDirectoryW(folder.c_str(), nullptr), "cannot make " + Utf8(folder));
    const std::wstring plugins = L"\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins";
    Sandbox sandbox = {folder, {}};
    for (const std::wstring root : {L"appdata", L"programdata", L"outside"}) {
        sandbox.roots[Utf8(root)] = folder + L"\\" + root;
    }
    sandbox.roots["user"] = sandbox.roots["appdata"] + plugins;
    sandbox.roots["common"] = sandbox.roots["programdata"] + plugins;
    sandbox.roots["elsewhere"] = sandbox.roots["outside"] + plugins;
    // A per-user folder of 188 code units.
    sandbox.roots["longdata"] = folder + L"\\" + std::wstring(188 - folder.size() - 1, L'x');
    sandbox.roots["long"] = sandbox.roots["longdata"] + plugins;
    return sandbox;
}

void RemoveSandbox(const Sandbox& sandbox) {
    for (const HANDLE file : HeldFiles()) {
        CloseHandle(file);
    }
    HeldFiles().clear();
    RunOnHost("rm -rf -- " + OnHost(sandbox.folder));
}

void MakeTree(const Sandbox& sandbox, const std::string& tree) {
    std::string links;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        for (std::size_t at = sandbox.folder.size(); at != std::wstring::npos;) {
            at = entry.path.find(L'\\', at + 1);
            if (at != std::wstring::npos || entry.kind == '/') {
                CreateDirectoryW(Literal(entry.path.substr(0, at)).c_str(), nullptr);
            }
        }
        const auto has = [&](const char* word) {
            return entry.attributes.find(word) != std::string::npos;
        };
        const DWORD attributes = (has("read-only") ? FILE_ATTRIBUTE_READONLY : 0) |
                                 (has("hidden") ? FILE_ATTRIBUTE_HIDDEN : 0) |
                                 (has("system") ? FILE_ATTRIBUTE_SYSTEM : 0);
        if (entry.kind == ' ') {
            const HANDLE file = CreateFileW(Literal(entry.path).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, 0, nullptr);
            Require(CloseHandle(file) &&
                        (attributes == 0 ||
                         SetFileAttributesW(Literal(entry.path).c_str(), attributes)),
                    "cannot write " + Utf8(entry.path));
        }
        if (has("held")) {
            HeldFiles().push_back(CreateFileW(Literal(entry.path).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        }
    }
    // Once every target is there.
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        if (entry.kind == '@') {
            links += "rm -rf -- " + OnHost(entry.path) + " && ln -s " + OnHost(entry.target) + " " +
                     OnHost(entry.path) + " || exit 1\n";
        }
    }
    Require(links.empty() || RunOnHost(links), "cannot link:\n" + links);
}

std::set<std::string> ReadTree(const Sandbox& sandbox, const std::string& tree) {
    std::set<std::string> lines;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        lines.insert(LineOf(sandbox, entry.path,
                            SuffixOf(entry.kind == '/', entry.kind == '@',
                                     entry.attributes.find("read-only") != std::string::npos)));
    }
    return lines;
}

std::set<std::string> ListTree(const Sandbox& sandbox) {
    std::set<std::string> lines;
    ListInto(sandbox, sandbox.folder, lines);
    lines.erase("");
    return lines;
}

std::vector<std::wstring> PathsOf(const Sandbox& sandbox, const std::string& line) {
    std::vector<std::wstring> paths;
    for (const Entry& entry : EntriesOf(sandbox, line)) {
        paths.push_back(entry.path + (entry.kind == '/' ? L"\\" : L""));
    }
    return line.empty() ? std::vector<std::wstring>{L""} : paths;
}

std::string OnHost(const std::wstring& path) {
    const std::string host = HostPath(Literal(path));
    Require(!host.empty(), "no host path for " + Utf8(path));
    std::string quoted = "'";
    for (const char c : host) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool RunOnHost(const std::string& script) {
    // Wine neither waits for a host program nor reports its exit: the
    // script's last act moves its status into a marker, which is waited for.
    static int runs = 0;
    const std::wstring marker = Scratch() + L"\\host-" + std::to_wstring(++runs);
    const std::string part = OnHost(marker + L".part");
    std::wstring command = L"Z:\\bin\\sh -c \"";
    for (const wchar_t c :
         Wide("(\n" + script + "\n)\necho $? >" + part + " && mv " + part + " " + OnHost(marker))) {
        command += c == L'"' ? L"\\\"" : std::wstring(1, c);
    }
    command += L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    Require(CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &process),
            "cannot start a host shell");
    // No Windows process stands for a host program: the handles Wine reports
    // for it are not handles, and closing them could close one of our own.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int waited = 0; file == INVALID_HANDLE_VALUE; ++waited) {
        Require(waited < 20000, "host script did not finish: " + script);
        Sleep(1);
        file = CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    char code = 0;
    DWORD read = 0;
    ReadFile(file, &code, 1, &read, nullptr);
    CloseHandle(file);
    return code == '0';
}
