#include "tests/TestTree.h"

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

// Where sandboxes go, and its host path: the host's memory file system where
// there is one, else Windows' temporary folder.
std::wstring scratch;
std::string scratchOnHost;

std::vector<HANDLE> heldFiles;

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
std::string LineOf(const Sandbox& sandbox, const std::wstring& path, char kind, bool readOnly) {
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
    below += kind == ' ' ? (readOnly ? " [read-only]" : "") : std::string(1, kind);
    return holder.first.empty() ? "" : holder.first + ": " + below;
}

// Returns whether the folder holds anything.
bool ListInto(const Sandbox& sandbox, const std::wstring& folder, std::set<std::string>& lines) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &found);
    bool holds = false;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring path = folder + L"\\" + found.cFileName;
        const DWORD attributes = found.dwFileAttributes;
        const char kind = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? '@'
                          : attributes & FILE_ATTRIBUTE_DIRECTORY   ? '/'
                                                                    : ' ';
        if (found.cFileName != std::wstring(L".") && found.cFileName != std::wstring(L"..")) {
            holds = true;
            if (kind != '/' || !ListInto(sandbox, path, lines)) {
                lines.insert(LineOf(sandbox, path, kind, attributes & FILE_ATTRIBUTE_READONLY));
            }
        }
    }
    FindClose(search);
    return holds;
}

} // namespace

Sandbox MakeSandbox() {
    if (scratch.empty()) {
        wchar_t temporary[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temporary);
        const bool memory = GetFileAttributesW(L"Z:\\dev\\shm") != INVALID_FILE_ATTRIBUTES;
        scratch = memory ? L"Z:\\dev\\shm" : std::wstring(temporary, wcslen(temporary) - 1);
        scratchOnHost = HostPath(scratch);
    }
    // Made for this case alone: no other run, here or in another clone, can
    // have made it, and no other is ever removed.
    std::wstring folder;
    for (ULONGLONG name = GetTickCount64() ^ (ULONGLONG(GetCurrentProcessId()) << 20);
         !CreateDirectoryW(folder.c_str(), nullptr); ++name) {
        Require(folder.empty() || GetLastError() == ERROR_ALREADY_EXISTS, "no sandbox");
        folder = scratch + L"\\tarvex-test-" + std::to_wstring(name);
    }
    const std::wstring plugins = L"\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins";
    // The per-user folder `longdata` is 188 code units long.
    const std::wstring longdata = folder + L"\\" + std::wstring(188 - folder.size() - 1, L'x');
    return {folder,
            {{"appdata", folder + L"\\appdata"},
             {"user", folder + L"\\appdata" + plugins},
             {"programdata", folder + L"\\programdata"},
             {"common", folder + L"\\programdata" + plugins},
             {"outside", folder + L"\\outside"},
             {"elsewhere", folder + L"\\outside" + plugins},
             {"longdata", longdata},
             {"long", longdata + plugins}}};
}

void RemoveSandbox(const Sandbox& sandbox) {
    for (const HANDLE file : heldFiles) {
        CloseHandle(file);
    }
    heldFiles.clear();
    RunOnHost("rm -rf -- " + OnHost(sandbox.folder));
}

void MakeTree(const Sandbox& sandbox, const std::string& tree) {
    std::string script;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        const std::string path = OnHost(entry.path);
        script += "mkdir -p -- " + OnHost(entry.path.substr(0, entry.path.rfind(L'\\'))) + " && ";
        const std::string target = entry.target.empty() ? "" : OnHost(entry.target);
        script += entry.kind == '/'   ? "mkdir -p -- " + path
                  : entry.kind == '@' ? "rm -rf -- " + path + " && ln -s " + target + " " + path
                  : target.empty()    ? ": >" + path
                                      : "ln -- " + target + " " + path;
        script +=
            entry.attributes.find("read-only") != std::string::npos ? " && chmod a-w " + path : "";
        script += " || exit 1\n";
    }
    Require(RunOnHost(script), "cannot make:\n" + script);
    for (const std::wstring& path : PathsOf(sandbox, tree, "held")) {
        heldFiles.push_back(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }
}

std::set<std::string> ReadTree(const Sandbox& sandbox, const std::string& tree) {
    std::set<std::string> lines;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        lines.insert(LineOf(sandbox, entry.path, entry.kind,
                            entry.attributes.find("read-only") != std::string::npos));
    }
    return lines;
}

std::set<std::string> ListTree(const Sandbox& sandbox) {
    std::set<std::string> lines;
    ListInto(sandbox, sandbox.folder, lines);
    lines.erase("");
    return lines;
}

std::vector<std::wstring> PathsOf(const Sandbox& sandbox, const std::string& tree,
                                  const char* marked) {
    std::vector<std::wstring> paths;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        if (marked == nullptr || entry.attributes.find(marked) != std::string::npos) {
            paths.push_back(entry.path + (entry.kind == '/' && !marked ? L"\\" : L""));
        }
    }
    return tree.empty() && marked == nullptr ? std::vector<std::wstring>{L""} : paths;
}

std::string OnHost(const std::wstring& path) {
    Require(path.compare(0, scratch.size(), scratch) == 0, "not in scratch: " + Utf8(path));
    std::string host = scratchOnHost + Utf8(path.substr(scratch.size()));
    std::replace(host.begin() + long(scratchOnHost.size()), host.end(), '\\', '/');
    std::string quoted = "'";
    for (const char c : host) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool RunOnHost(const std::string& script) {
    // Wine neither waits for a host program nor reports its exit: the
    // script's last act writes its status into a marker, which is waited
    // for. The marker is made empty first, and only by this run.
    std::wstring marker;
    for (ULONGLONG name = GetTickCount64(); marker.empty(); ++name) {
        marker = scratch + L"\\tarvex-host-" + std::to_wstring(name);
        const HANDLE made =
            CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        marker = made != INVALID_HANDLE_VALUE && CloseHandle(made) ? marker : L"";
    }
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
    char code = 0;
    DWORD read = 0;
    for (int waited = 0; read == 0; ++waited) {
        Require(waited < 20000, "host script did not finish: " + script);
        Sleep(1);
        const HANDLE file = CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        Require(ReadFile(file, &code, 1, &read, nullptr) && CloseHandle(file), "lost a marker");
    }
    DeleteFileW(marker.c_str());
    return code == '0';
}
