// Every situation the uninstaller meets, as a row: the tree installed, the
// answers the interposer plays for Windows, the report and what must be
// left. One test runs the rows, each in a sandbox of its own, under Wine on
// the real Windows API, and checks every run's calls as well.
#include "uninstaller/UninstallRun.h"

#include "tests/Interposer.h"
#include "tools/wine/WineHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

// A test program that dies early still shows how far it came.
[[maybe_unused]] const int kUnbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0);

// A crash in any thread ends the program at once, failing, and says in
// which case: Wine would start its debugger, which may end the program
// with status 0.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception) {
    const testing::TestInfo* running = testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "\n%s: crashed with exception %08lx\n",
                 running != nullptr ? running->name() : "between cases",
                 exception->ExceptionRecord->ExceptionCode);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}
[[maybe_unused]] const auto kCrashFilter = SetUnhandledExceptionFilter(EndOnCrash);

// Trees, one entry a line:
//
//   common: SU_Tarvex_V2/plug_in/a.rb [read-only]
//   user: SU_Tarvex_V2/shared@ -> outside/keep
//   {user,common}: SU_Tarvex_V2/{a,b}.rb
//
// A root (kRoots), then the path below it: a folder ends in "/", a link in
// "@" (to the target after "->"); a file with "->" is another name (a hard
// link) of the target. Marks: read-only, held (kept open without delete
// sharing until the sandbox goes), and any word a row marks an entry with.
// Braces expand as in a shell, not nested; a name "{260}" is "x"s up to a
// full path of that many code units. A tree is written by its leaves. A
// host shell makes the trees (Wine cannot make links from the Windows side,
// nor can a plain path name "x " or "NUL") and lists them, relative to the
// sandbox, in the same notation.

// The roots below a sandbox: the per-user folder (`appdata`, a per-user
// folder 182 code units long `longdata`) and its Plugins, the same for all
// users, a folder outside them and its own Plugins.
const std::string kPlugins = "/SketchUp/SketchUp 2016/SketchUp/Plugins";
const std::map<std::string, std::string> kRoots = {
    {"appdata", "appdata"},         {"user", "appdata" + kPlugins},
    {"longdata", "{182}"},          {"long", "{182}" + kPlugins},
    {"programdata", "programdata"}, {"common", "programdata" + kPlugins},
    {"outside", "outside"},         {"elsewhere", "outside" + kPlugins}};

// A folder of its own for one case, in the host's /dev/shm (Wine's drive Z:
// is the host's root), and its host path.
struct Sandbox {
    std::wstring folder;
    std::string host;
};

// The tests' own set-up must not fail silently.
void Require(bool done, const std::string& what) {
    if (!done) {
        throw std::runtime_error(what);
    }
}

std::wstring Wide(const std::string& utf8) {
    return std::filesystem::u8path(utf8).wstring();
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs a POSIX shell script on the host, and waits for it (Wine's own
// export, which returns the exit status).
bool RunOnHost(const std::string& script) {
    typedef NTSTATUS(CDECL * Spawn)(char* const* arguments, int wait);
    static const auto spawn = reinterpret_cast<Spawn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    const char* arguments[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    return spawn(const_cast<char* const*>(arguments), TRUE) == 0;
}

std::vector<HANDLE> heldFiles;

Sandbox MakeSandbox() {
    // Made for this case alone: no other run, here or in another clone, can
    // have made it, and no other is ever removed.
    std::wstring folder;
    for (ULONGLONG name = GetTickCount64() ^ (ULONGLONG(GetCurrentProcessId()) << 20);
         !CreateDirectoryW(folder.c_str(), nullptr); ++name) {
        Require(folder.empty() || GetLastError() == ERROR_ALREADY_EXISTS, "no sandbox");
        folder = L"Z:\\dev\\shm\\tarvex-test-" + std::to_wstring(name);
    }
    return {folder, HostPath(folder)};
}

void RemoveSandbox(const Sandbox& sandbox) {
    for (const HANDLE file : heldFiles) {
        CloseHandle(file);
    }
    heldFiles.clear();
    RunOnHost("rm -rf -- " + Quoted(sandbox.host) + " " + Quoted(sandbox.host + ".list"));
}

// "{a,b}" spelled out, as a shell does.
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
        const auto more = Expanded(text.substr(0, open) + word + text.substr(close + 1));
        lines.insert(lines.end(), more.begin(), more.end());
    }
    return lines;
}

// The path below the sandbox of "root: a/b" (or "root/a/b"), fills filled.
std::string PathOf(const Sandbox& sandbox, const std::string& line) {
    const std::size_t colon = line.find_first_of(":/");
    std::string path = kRoots.at(line.substr(0, colon)) + "/" +
                       line.substr(std::min(line.find_first_not_of(":/ ", colon), line.size()));
    for (std::size_t fill; (fill = path.find('{')) != std::string::npos;) {
        const std::size_t before = sandbox.folder.size() + 1 + Wide(path.substr(0, fill)).size();
        const std::size_t close = path.find('}', fill);
        path.replace(fill, close + 1 - fill, std::stoul(path.substr(fill + 1)) - before, 'x');
    }
    return path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

std::wstring WindowsPath(const Sandbox& sandbox, const std::string& path) {
    std::wstring below = Wide(path);
    std::replace(below.begin(), below.end(), L'/', L'\\');
    return sandbox.folder + L"\\" + below;
}

struct Entry {
    std::string path; // below the sandbox
    std::string kind; // "/" a folder, "@" a link, "" a file
    std::string marks;
    std::string target; // below the sandbox
};

std::vector<Entry> EntriesOf(const Sandbox& sandbox, const std::string& tree) {
    std::vector<Entry> entries;
    std::istringstream lines(tree);
    for (std::string text; std::getline(lines, text);) {
        for (std::string line : text.empty() ? std::vector<std::string>() : Expanded(text)) {
            Entry entry = {};
            if (line.back() == ']') {
                entry.marks = line.substr(line.rfind(" ["));
                line.erase(line.rfind(" ["));
            }
            const std::size_t arrow = line.find(" -> ");
            if (arrow != std::string::npos) {
                entry.target = PathOf(sandbox, line.substr(arrow + 4));
                line.erase(arrow);
            }
            entry.kind =
                line.back() == '/' || line.back() == '@' ? line.substr(line.size() - 1) : "";
            entry.path = PathOf(sandbox, line.substr(0, line.size() - entry.kind.size()));
            entries.push_back(entry);
        }
    }
    return entries;
}

// The Windows paths a tree names ("dir/" names what is below dir), or those
// of its entries marked so.
std::vector<std::wstring> PathsOf(const Sandbox& sandbox, const std::string& tree,
                                  const char* marked = nullptr) {
    std::vector<std::wstring> paths = {};
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        if (marked == nullptr || entry.marks.find(marked) != std::string::npos) {
            paths.push_back(WindowsPath(sandbox, entry.path) +
                            (entry.kind == "/" && !marked ? L"\\" : L""));
        }
    }
    return tree.empty() && marked == nullptr ? std::vector<std::wstring>{L""} : paths;
}

void MakeTree(const Sandbox& sandbox, const std::string& tree) {
    std::string script;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        const std::string path = Quoted(sandbox.host + "/" + entry.path);
        const std::string target = Quoted(sandbox.host + "/" + entry.target);
        script += "mkdir -p -- \"$(dirname -- " + path + ")\" && ";
        script += entry.kind == "/"      ? "mkdir -p -- " + path
                  : entry.kind == "@"    ? "rm -rf -- " + path + " && ln -s " + target + " " + path
                  : entry.target.empty() ? ": >" + path
                                         : "ln -- " + target + " " + path;
        script += entry.marks.find("read-only") != std::string::npos ? " && chmod a-w " + path : "";
        script += " || exit 1\n";
    }
    Require(RunOnHost(script), "cannot make:\n" + script);
    for (const std::wstring& path : PathsOf(sandbox, tree, "held")) {
        heldFiles.push_back(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }
}

// The lines of a tree, as ListTree writes them (only files are marked
// read-only).
std::set<std::string> ReadTree(const Sandbox& sandbox, const std::string& tree) {
    std::set<std::string> lines;
    for (const Entry& entry : EntriesOf(sandbox, tree)) {
        const bool readOnly = entry.marks.find("read-only") != std::string::npos;
        lines.insert(entry.path + entry.kind + (readOnly ? " [read-only]" : ""));
    }
    return lines;
}

// The leaves of the sandbox: files, links (never followed), empty folders.
std::set<std::string> ListTree(const Sandbox& sandbox) {
    Require(RunOnHost("cd " + Quoted(sandbox.host) +
                      " && find . -mindepth 1 -type l -printf '%P@\\n' -o -type d -empty "
                      "-printf '%P/\\n' -o -type f -perm /222 -printf '%P\\n' -o -type f "
                      "-printf '%P [read-only]\\n' >" +
                      Quoted(sandbox.host + ".list")),
            "cannot list the sandbox");
    std::ifstream listing(Utf8(sandbox.folder) + ".list");
    std::set<std::string> lines;
    for (std::string line; std::getline(listing, line);) {
        lines.insert(line);
    }
    return lines;
}

const char kInstalled[] = "All applications have been uninstalled";
const char kNotInstalled[] = "No application installed";
const NTSTATUS kDenied = STATUS_ACCESS_DENIED;
const DWORD kWithFlags = DWORD(kFileDispositionInfoEx);
const DWORD kOldWay = DWORD(FileDispositionInfo);
// Synchronous I/O, which alone CancelSynchronousIo ends, and no wait for an
// opportunistic lock's owner.
const ULONG kNeverWaits = FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED;

// Other plug-ins, some named like ours, installed in every case: they stay.
const std::string kOthers =
    "{user,common}: {other_plugin.rb,SU_Tarvex_V3/keep.rb,SU_Tarvex_V2.5.rbs.bak}\n";
// The per-user Plugins folder is a link to another folder.
const std::string kPerUserPluginsLink =
    "appdata: SketchUp/SketchUp 2016/SketchUp/Plugins@ -> outside/moved\n"
    "outside: moved/SU_Tarvex_V2.5/\n";

struct Case {
    const char* name;
    // Installed besides the other plug-ins; an entry marked "swapped" is
    // swapped for a link to a copy of it outside (or the link planted where
    // it was) just before each of the run's calls on it in turn, and the
    // outside must stay whole.
    std::string tree;
    const char* report;             // nullptr: no box
    std::string left;               // what must be left, besides the other plug-ins
    std::vector<Rule> answers = {}; // what the interposer plays for Windows
    RunLimits limits = kRunLimits;
    // What the per-user folder's lookup yields: a root, or a path as it is.
    const char* userFolder = "appdata:";
};

const Case kCases[] = {
    // No version folder that can be listed: Ombrisk_Section (a file in it is
    // held open, so it outlives the first pass) is none, nor a file at a
    // version folder's name, nor a folder that cannot be listed, nor one
    // that opens as something else than was listed (its identity unknown).
    // A folder at a script's name is no script: it stays.
    {"NoVersionFolderThatCanBeListed",
     "{user,common}: {SU_Tarvex_V2.5.rbs,SU_Tarvex_Section_Tool.rb,tarvex_tools.rbs}\n"
     "{user,common}: Ombrisk_Section/section.rb\n"
     "user: Ombrisk_Section/section.rb [held]\n"
     "common: {SU_Tarvex_V2,SU_Tarvex_V2.rbs/}\n{user,common}: SU_Tarvex_V2.5/kept.rb\n",
     kNotInstalled,
     "user: Ombrisk_Section/section.rb\ncommon: {SU_Tarvex_V2,SU_Tarvex_V2.rbs/}\n"
     "{user,common}: SU_Tarvex_V2.5/kept.rb\n",
     {{"NtQueryDirectoryFile", "user: SU_Tarvex_V2.5", kDenied},
      {"NtQueryInformationFile", "common: SU_Tarvex_V2.5", kDenied}}},
    // File calls that are slow, each shorter than the stall period, while
    // the run goes on: none is cancelled. The watchdog looks during most of
    // them; it cancels only a call during which none other started for a
    // whole period.
    {"SlowFileCallsShorterThanAPeriodComplete",
     "common: SU_Tarvex_V2/{1,2,3,4}.rb\n",
     kInstalled,
     "",
     {{"NtCreateFile", "common: SU_Tarvex_V2/", kSlow}},
     {1500, kRunLimits.deadlineMilliseconds}},
    // The per-user folder lies on a volume that knows the deletion with
    // flags but not POSIX semantics ("not supported"): the all-users one
    // still asks. There a read-only file whose deletion is refused (a view of
    // it mapped) keeps its attribute, and so does one with another name
    // outside; a plain file's name goes, its other name stays; a read-only
    // folder goes, its attributes untouched (every run's record). Wine keeps read-only in
    // the host file's mode, which all its names share, and reports the
    // host's link count. Read-only and hidden files (Wine shows dot files
    // hidden), names that Windows' path rules would rewrite in a plain path
    // (taken literally), names beyond Latin-1 and the Basic Multilingual
    // Plane go; so do a file with no attribute but read-only once that is
    // cleared, and one whose attributes may not be written; a listing of one
    // entry a call.
    {"EverythingButReadOnlyScripts",
     "{user,common}: {SU_Tarvex_V2,SU_Tarvex_V2.5}.rbs\n"
     "{user,common}: {SU_Tarvex_V2,SU_Tarvex_V2.5}/plug_in/{tarvex_tools.rbs,core/geometry.rb}\n"
     "{user,common}: {SU_Tarvex_V2,SU_Tarvex_V2.5}/resources/{.cache,icône.png [read-only]}\n"
     "user: {SU_Tarvex_V2.rbs,tarvex_tools.rbs} [read-only]\n"
     "common: SU_Tarvex_V2/{a/b/c/d/deep.txt,.config/settings,..cache,plain.txt}\n"
     "common: SU_Tarvex_V2/{com1,x , lead,y.,z ...,NUL}/inside\n"
     "common: SU_Tarvex_V2/{a/read-only.txt,only read-only.txt,a.} [read-only]\n"
     "common: SU_Tarvex_V2/résumé ファイル/Ünïcødé 😀.txt [read-only]\n"
     "user: SU_Tarvex_V2/{refused.txt,locked/} [read-only]\n"
     "outside: hard/{read-only.txt [read-only],plain.txt}\n"
     "user: SU_Tarvex_V2/hard read-only.txt -> outside/hard/read-only.txt\n"
     "user: SU_Tarvex_V2/hard plain.txt -> outside/hard/plain.txt\n",
     kInstalled,
     "user: {SU_Tarvex_V2.rbs,tarvex_tools.rbs} [read-only]\n"
     "user: SU_Tarvex_V2/{refused,hard read-only}.txt [read-only]\n"
     "outside: hard/{read-only.txt [read-only],plain.txt}\n",
     {{"SetFileInformationByHandle", "appdata:/", STATUS_NOT_SUPPORTED, kWithFlags},
      {"SetFileInformationByHandle", "user: SU_Tarvex_V2/refused.txt", kDenied, kOldWay},
      {"GetFileInformationByHandleEx", "common: SU_Tarvex_V2/only read-only.txt", kWithoutArchive},
      {"NtCreateFile", "common: SU_Tarvex_V2/plain.txt", kDenied, FILE_WRITE_ATTRIBUTES},
      {"NtQueryDirectoryFile", "common: SU_Tarvex_V2", kOneEntryPerCall}}},
    // The deadline passes while a read-only file's attribute is cleared, on
    // a system that knows no deletion with flags (Windows 7 to 10 1511: no
    // such class, reported as invalid parameter): the deletion is not
    // asked, and the attribute is put back all the same.
    {"AttributePutBackPastTheDeadline",
     "user: SU_Tarvex_V2/late.txt [read-only]\n",
     kInstalled,
     "user: SU_Tarvex_V2/late.txt [read-only]\n",
     {{"SetFileInformationByHandle", "appdata:/", STATUS_INVALID_INFO_CLASS, kWithFlags},
      {"SetFileInformationByHandle", "user: SU_Tarvex_V2/late.txt", kSlow, FileBasicInfo, 1, 1}},
     {kRunLimits.stallPeriodMilliseconds, 500}},
    // Windows 10 1607 and Server 2016 answer deleting with flags "invalid
    // function" (STATUS_INVALID_DEVICE_REQUEST, or STATUS_NOT_IMPLEMENTED):
    // the all-users folder goes the old way, as in the platform's own C++
    // library (microsoft/STL, filesystem.cpp). The per-user folder lies on
    // FAT32 or exFAT (an SD card, a USB disk), which answer neither the
    // attribute-tag class nor deleting with flags (invalid parameter:
    // Microsoft's fastfat sample, fileinfo.c); its file IDs come from an
    // entry's place in its folder, the same to listing and handle. There a
    // scanner still holds a.rb, just deleted, so its folder answers "not
    // empty" twice and goes at the third try; b.rb, which another program
    // deleted, answers "delete pending" when opened (Wine would open it),
    // and counts as gone.
    {"Windows10Version1607WithPerUserFolderOnFat",
     "{user,common}: SU_Tarvex_V2.5/{a.rb,b/c.rb [read-only],scanned/a.rb,scanned/b.rb}\n"
     "{user,common}: {SU_Tarvex_V2.5.rbs,tarvex_tools.rbs}\n",
     kInstalled,
     "",
     {{"SetFileInformationByHandle", "programdata:/", STATUS_INVALID_DEVICE_REQUEST, kWithFlags},
      {"GetFileInformationByHandleEx", "appdata:/", STATUS_INVALID_PARAMETER, FileAttributeTagInfo},
      {"SetFileInformationByHandle", "appdata:/", STATUS_INVALID_PARAMETER, kWithFlags},
      {"NtCreateFile", "user: SU_Tarvex_V2.5/scanned/b.rb", kDeletedMeanwhile},
      {"SetFileInformationByHandle", "user: SU_Tarvex_V2.5/scanned", STATUS_DIRECTORY_NOT_EMPTY,
       kOldWay, 1, 2}}},
    // Passes 2 and 3 are skipped. In pass 1 the second target's lookup
    // fails: it is skipped, and the pass goes on to its sixth, which deletes
    // the script that an unreadable plug_in kept from the first.
    {"LookupsThatFailSkipOnlyTheirPassOrTarget",
     "user: {SU_Tarvex_V2/plug_in/tarvex_tools.rbs,SU_Tarvex_V2.rbs,SU_Tarvex_V2.5/b.rb}\n"
     "common: SU_Tarvex_V2/c.rb\n",
     kInstalled,
     "user: {SU_Tarvex_V2.rbs,SU_Tarvex_V2/plug_in/}\ncommon: SU_Tarvex_V2/c.rb\n",
     {{"SHGetFolderPathW", "programdata:", kDenied},
      {"SHGetFolderPathW", "appdata:", kDenied, 0, 2, 1},
      {"NtQueryDirectoryFile", "user: SU_Tarvex_V2/plug_in", kDenied, 0, 1, 1}}},
    // The working folder (where a relative path would land) is the per-user
    // folder: an empty lookup must not reach it, nor a drive's root ("Z:\")
    // cut to "Z:", the drive's working folder.
    {"PerUserFolderLookedUpAsEmpty",
     "user: SU_Tarvex_V2/a.rb\n",
     kNotInstalled,
     "user: SU_Tarvex_V2/a.rb\n",
     {},
     kRunLimits,
     ""},
    // In session 0 nobody sees a box, and nobody could dismiss it. The
    // drive's root holds no SketchUp: the open of the way down fails, and
    // the next lookup, which is slow, is no file call, and is not cancelled.
    {"PerUserFolderAtADriveRootInSessionZero",
     "user: SU_Tarvex_V2/a.rb\n",
     nullptr,
     "user: SU_Tarvex_V2/a.rb\n",
     {{"ProcessIdToSessionId", "", kSessionZero}, {"SHGetFolderPathW", "", kSlow, 0, 2, 1}},
     {200, kRunLimits.deadlineMilliseconds},
     "Z:\\"},
    // The version folder's removal cannot list plug_in: only the pass's
    // sixth target deletes its script, where its full path fits MAX_PATH
    // with its terminator (not below a per-user folder of 182 units: 77 and
    // 79 more make 260 and 262).
    {"VersionFoldersOwnScriptGoesWhereItsPathFits",
     "{long,common}: {SU_Tarvex_V2,SU_Tarvex_V2.5}/plug_in/tarvex_tools.rbs\n"
     "long: Ombrisk_Section/section.rb\n",
     kInstalled,
     "long: {SU_Tarvex_V2,SU_Tarvex_V2.5}/plug_in/tarvex_tools.rbs\n"
     "common: {SU_Tarvex_V2,SU_Tarvex_V2.5}/plug_in/\n",
     {{"NtQueryDirectoryFile", "{long,common}: {SU_Tarvex_V2,SU_Tarvex_V2.5}/plug_in", kDenied, 0,
       1, 1}},
     kRunLimits,
     "longdata:"},
    // A file held open keeps its folders, and nothing listed after it; a
    // folder whose deletion is refused, or held open by another program
    // without delete sharing, is still emptied; entries whose kind
    // or identity cannot be read, or whose plain path would reach MAX_PATH
    // (Wine does not enforce it; Windows would) stay, and so does what a
    // listing that fails part-way leaves (Wine lists ".", "..", then names
    // in order); deletion with flags refused for another reason than not
    // knowing them (a cancelled call, an access list) writes no attribute.
    // Links inside, named as path rules would rewrite a plain path's names,
    // are never followed. Wine cannot remove a link to a folder that is not
    // empty (Windows removes the link), so they stay.
    {"WhatCannotGoStaysAndNothingElse",
     "outside: data/{precious.txt,read-only.txt [read-only]}\n"
     "common: SU_Tarvex_V2/{sub/link,x ,lib.,NUL}@ -> outside/data\n"
     "common: SU_Tarvex_V2/{held/1.rb [held],held/2.rb,other/3.rb,x/busy.txt [held]}\n"
     "common: SU_Tarvex_V2/{emptied,shared}/a.rb\n"
     "common: SU_Tarvex_V2/shared/ [held]\n"
     "common: SU_Tarvex_V2/{unknown kind.txt,unknown identity.txt,unknown/a.rb}\n"
     "common: SU_Tarvex_V2/{200}/{259}\n"
     "common: SU_Tarvex_V2/{200}/{260}\n"
     "common: SU_Tarvex_V2/part/{1,2,3}\n"
     "common: SU_Tarvex_V2/{aborted,denied}.txt [read-only]\n",
     kInstalled,
     "outside: data/{precious.txt,read-only.txt [read-only]}\n"
     "common: SU_Tarvex_V2/{sub/link,x ,lib.,NUL}@\n"
     "common: SU_Tarvex_V2/{held/1.rb,x/busy.txt,emptied/,shared/,part/2,part/3}\n"
     "common: SU_Tarvex_V2/{unknown kind.txt,unknown identity.txt,unknown/a.rb}\n"
     "common: SU_Tarvex_V2/{200}/{260}\n"
     "common: SU_Tarvex_V2/{aborted,denied}.txt [read-only]\n",
     {{"NtCreateFile", "common: SU_Tarvex_V2/emptied", kDenied, DELETE},
      {"GetFileInformationByHandleEx", "common: SU_Tarvex_V2/unknown kind.txt", kDenied},
      {"GetFileInformationByHandleEx", "common: SU_Tarvex_V2/unknown", kDenied},
      {"NtQueryInformationFile", "common: SU_Tarvex_V2/unknown identity.txt", kDenied},
      {"NtQueryDirectoryFile", "common: SU_Tarvex_V2/part", kDenied, 0, 4},
      {"NtQueryDirectoryFile", "common: SU_Tarvex_V2/part", kOneEntryPerCall},
      {"SetFileInformationByHandle", "common: SU_Tarvex_V2/{held,part}", kNever, 0, 2},
      {"SetFileInformationByHandle", "common: SU_Tarvex_V2/aborted.txt", STATUS_CANCELLED,
       kWithFlags},
      {"SetFileInformationByHandle", "common: SU_Tarvex_V2/denied.txt", kDenied, kWithFlags}}},
    // Another program's opportunistic lock: an open that reports its break
    // in progress, and calls that would wait for its owner without end (an
    // open, a deletion) until the run's guard cancels them, each ending
    // just as it does. Wine has no opportunistic locks.
    {"EntriesThatWouldWaitForAnotherProgramAreLeft",
     "common: SU_Tarvex_V2/{1,2,3,4}.rb\n",
     kInstalled,
     "common: SU_Tarvex_V2/{1,2,3}.rb\n",
     {{"NtCreateFile", "common: SU_Tarvex_V2/1.rb", STATUS_OPLOCK_BREAK_IN_PROGRESS},
      {"NtCreateFile", "common: SU_Tarvex_V2/2.rb", kStall},
      {"SetFileInformationByHandle", "common: SU_Tarvex_V2/3.rb", kStall},
      {"CancelSynchronousIo", "", kStallEndsFirst}},
     {500, kRunLimits.deadlineMilliseconds}},
    // Whatever another user does, a run ends: entries that each stall until
    // cancelled, then a listing that never ends. Past the deadline the run
    // reports, and what is left stays. Pass 4's first lookup, after the
    // deadline, is slow: only a file call is ever cancelled.
    {"StallsAndAnEndlessListingEndWithTheRun",
     "common: SU_Tarvex_V2/{1,2,3}.rb\n{user,common}: SU_Tarvex_V2.5/b.rb\n",
     kInstalled,
     "common: SU_Tarvex_V2/{1,2,3}.rb\n{user,common}: SU_Tarvex_V2.5/b.rb\n",
     {{"NtCreateFile", "common: SU_Tarvex_V2/", kStall},
      {"NtQueryDirectoryFile", "common: SU_Tarvex_V2", kEndless, 0, 2},
      {"SHGetFolderPathW", "appdata:", kSlow, 0, 7, 1}},
     {200, 2000}},
    // What a file system driver or a redirector may answer. A listing: a
    // success that fills nothing, a next entry or a name past the bytes it
    // filled, names that are no plain names, another name than the one
    // looked up; none is read, the rest goes where it can, and a folder
    // whose listing so ended is asked to go once. No "." and "..": an empty
    // version folder's first listing call answers "no more files" (or "no
    // such file"); it has been listed, and goes. A per-user folder on a
    // share that gives no file IDs: listed, a.rb and a link show 0; opened,
    // what b holds shows -1 (an ID it cannot show). Identity rests on handle
    // and listing agreeing: the link still lists as one, and stays with what
    // it points to.
    {"DriversAndRedirectorsAreReadAsFarAsTheirAnswersAreSound",
     "common: SU_Tarvex_V2.rbs\n"
     "common: SU_Tarvex_V2/{empty,offset,length}/{a,b}.rb\n"
     "common: SU_Tarvex_V2/odd/{1,2,3,4}\n"
     "user: SU_Tarvex_V2/{a.rb,b/c.rb,link@ -> outside/data}\noutside: data/keep.txt\n"
     "{user,common}: SU_Tarvex_V2.5/\n",
     kInstalled,
     "common: SU_Tarvex_V2.rbs\n"
     "common: SU_Tarvex_V2/{offset/b,length/a,length/b}.rb\n"
     "common: SU_Tarvex_V2/odd/{1,2,3}\n"
     "user: SU_Tarvex_V2/link@\noutside: data/keep.txt\n",
     {{"NtQueryDirectoryFile", "common: SU_Tarvex_V2/empty", kFillsNothing, 0, 2},
      {"ListedEntry", "common: SU_Tarvex_V2/offset/a.rb", kOffsetPastFilled},
      {"SetFileInformationByHandle", "common: SU_Tarvex_V2/{offset,length}", kNever, 0, 2},
      {"ListedEntry", "common: SU_Tarvex_V2/length/a.rb", kNameLengthPastFilled},
      {"ListedEntry", "common: SU_Tarvex_V2/odd/", kOddNames},
      {"ListedEntry", "common: SU_Tarvex_V2.rbs", kOddNames},
      {"ListedEntry", "user: SU_Tarvex_V2/{a.rb,link}", kNoFileId},
      {"NtQueryInformationFile", "user: SU_Tarvex_V2/b/", kNoFileId},
      {"NtQueryDirectoryFile", "user: SU_Tarvex_V2.5", STATUS_NO_MORE_FILES},
      {"NtQueryDirectoryFile", "common: SU_Tarvex_V2.5", STATUS_NO_SUCH_FILE}}},
    // A link on the way down is followed only above an unelevated per-user
    // Plugins folder (its user may have moved it): any user may plant one
    // in the all-users folder. A link at a version folder's name counts as
    // the version, and is never entered.
    {"LinksOnTheWayDownFollowedOnlyAbovePerUserPlugins",
     kPerUserPluginsLink + "programdata: SketchUp@ -> outside/SketchUp\n"
                           "elsewhere: SU_Tarvex_V2/\n",
     kInstalled,
     "appdata: SketchUp/SketchUp 2016/SketchUp/Plugins@\n"
     "outside: moved/\n"
     "programdata: SketchUp@\n"
     "elsewhere: SU_Tarvex_V2/\n"},
    // Run by a service or a deployment tool, in a hidden window station: no
    // box. Where the station cannot be read, the box shows as always.
    {"PerUserPluginsLinkElevatedInAHiddenStation",
     kPerUserPluginsLink,
     nullptr,
     kPerUserPluginsLink,
     {{"GetTokenInformation", "", kElevated}, {"GetUserObjectInformationW", "", kHidden}}},
    {"PerUserPluginsLinkElevationAndStationUnknown",
     kPerUserPluginsLink,
     kNotInstalled,
     kPerUserPluginsLink,
     {{"GetTokenInformation", "", kDenied}, {"GetUserObjectInformationW", "", kDenied}}},
    // A link at a version folder's name counts as found, and its handle, as
    // Windows shows a link opened as itself (Wine opens its target), asks
    // it to go as a link, ignoring read-only (every run's record).
    {"PerUserVersionFolderIsALink",
     "user: SU_Tarvex_V2@ -> elsewhere/SU_Tarvex_V2\nelsewhere: SU_Tarvex_V2/a.rb\n",
     kInstalled,
     "user: SU_Tarvex_V2@\nelsewhere: SU_Tarvex_V2/a.rb\n",
     {{"GetFileInformationByHandleEx", "user: SU_Tarvex_V2", kShownAsLink}}},
    // Another party swaps an entry for a link. It is a host program, which
    // sharing binds no more than an owner turning a held empty folder into a
    // junction on Windows; a relative open through a held handle still
    // reaches the original (Wine uses the handle, as Windows does).
    {"FolderSwappedForALinkBeforeAnyOfItsCalls",
     "common: SU_Tarvex_V2/plug_in/ [swapped]\n"
     "common: SU_Tarvex_V2/plug_in/{tarvex_tools.rbs,core/a.rb [read-only]}\n"
     "common: SU_Tarvex_V2/plug_in/shared@ -> outside/linked\n"
     "outside: linked/precious.txt\n",
     kInstalled, ""},
    {"FileSwappedForALinkBeforeAnyOfItsCalls",
     "common: SU_Tarvex_V2/file.txt [read-only swapped]\n", kInstalled, ""},
};

// What lies below `folder` in `path` ("" where nothing does).
std::wstring PartBelow(const std::wstring& path, std::wstring folder) {
    folder += folder.empty() || folder.back() == L'\\' ? L"" : L"\\";
    const bool below = !folder.empty() && path.compare(0, folder.size(), folder) == 0;
    return below ? path.substr(folder.size()) : L"";
}

// What every run must show in the record (a failure names the call's path):
// below the special folders each open is relative to a handle the run
// holds, by one plain name, for synchronous I/O that never waits for an
// opportunistic lock's owner, without backup intent, as itself (but the
// folders above an unelevated per-user Plugins); the way down to Plugins is
// never opened for deletion; no folder shares deletion; only a file inside
// a removed folder may write attributes, and no folder's attributes are
// written. A deletion with flags asks to ignore read-only inside a removed
// folder, never for a top-level script; each target asks with flags before
// it deletes the old way. No handle stays open.
void ExpectSafeCalls(const std::wstring& user, const std::wstring& common, bool userFollowsLinks) {
    bool askedWithFlags = false;
    for (const ApiCall& call : interposed.calls) {
        const bool underUser = !PartBelow(call.path, user).empty();
        const std::wstring below = PartBelow(call.path, underUser ? user : common);
        const std::wstring& name = call.name;
        const std::size_t depth = 1 + std::count(below.begin(), below.end(), L'\\');
        SCOPED_TRACE(Utf8(call.path));
        const bool flags = call.options == ULONG(kFileDispositionInfoEx);
        askedWithFlags = call.api != "CreateFileW" && (askedWithFlags || flags);
        if (!below.empty() && call.api == "NtCreateFile") {
            EXPECT_TRUE(call.path.size() > name.size() && !name.empty() && name != L"." &&
                        name != L".." &&
                        name.find_first_of(std::wstring(L"\\/:\0", 4)) == name.npos);
            EXPECT_EQ(call.options & (FILE_OPEN_FOR_BACKUP_INTENT | kNeverWaits),
                      ULONG(kNeverWaits));
            EXPECT_TRUE((call.options & FILE_OPEN_REPARSE_POINT) ||
                        (depth <= 4 && underUser && userFollowsLinks));
            EXPECT_TRUE(depth > 4 || (call.access & DELETE) == 0);
            EXPECT_TRUE(!call.folder || (call.share & FILE_SHARE_DELETE) == 0);
            EXPECT_TRUE((call.access & FILE_WRITE_ATTRIBUTES) == 0 || (depth > 5 && !call.folder));
        }
        EXPECT_TRUE(!flags || depth < 5 ||
                    below.find(L"\\plug_in\\tarvex_tools.rbs") != below.npos ||
                    ((call.access & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) != 0) ==
                        (depth > 5 || call.folder));
        EXPECT_FALSE(call.folder && call.api == "SetFileInformationByHandle" &&
                     call.options == FileBasicInfo);
        EXPECT_TRUE(askedWithFlags || call.options != FileDispositionInfo);
    }
    EXPECT_EQ(interposed.openFiles.size(), 0u);
}

DWORD WINAPI RunThePlan(void* limits) {
    ReportUninstall(RunCleanupPlan(*static_cast<const RunLimits*>(limits)));
    return 0;
}

// Runs the plan with the case's answers, in a thread of its own; checks the
// report and the record.
void RunThePlanAndCheck(const Case& row) {
    const HANDLE worker =
        CreateThread(nullptr, 0, RunThePlan, const_cast<RunLimits*>(&row.limits), 0, nullptr);
    if (WaitForSingleObject(worker, 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "%s: the run did not end\n", row.name);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    CloseHandle(worker);
    EXPECT_EQ(interposed.reports, row.report != nullptr ? std::vector<std::string>{row.report}
                                                        : std::vector<std::string>{});
    EXPECT_FALSE(interposed.misplaced);
    ExpectSafeCalls(interposed.specialFolders[CSIDL_APPDATA],
                    interposed.specialFolders[CSIDL_COMMON_APPDATA],
                    std::none_of(row.answers.begin(), row.answers.end(), [](const Rule& rule) {
                        return std::string(rule.api) == "GetTokenInformation";
                    }));
}

// The lines of a listing that are outside ("0" follows "/").
std::set<std::string> Outside(const std::set<std::string>& lines) {
    return {lines.lower_bound("outside/"), lines.lower_bound("outside0")};
}

// Installs a case in a fresh sandbox and runs it, with the swap before call
// `swapBefore` (0: none). Returns the numbers of the calls on the swapped
// entry.
std::vector<std::uint64_t> RunCase(const Case& row, std::uint64_t swapBefore) {
    const Sandbox sandbox = MakeSandbox();
    MakeTree(sandbox, kOthers + row.tree);
    interposed = Interposer();
    for (const Rule& rule : row.answers) {
        for (const std::wstring& path : PathsOf(sandbox, rule.at)) {
            interposed.rules.push_back(rule);
            interposed.rules.back().path = path;
        }
    }
    const std::string user = row.userFolder;
    interposed.specialFolders = {{CSIDL_APPDATA, user.find(':') + 1 == user.size()
                                                     ? PathsOf(sandbox, user)[0]
                                                     : std::wstring(user.begin(), user.end())},
                                 {CSIDL_COMMON_APPDATA, PathsOf(sandbox, "programdata:")[0]}};
    std::wstring swapped;
    for (const Entry& entry : EntriesOf(sandbox, row.tree)) {
        if (entry.marks.find("swapped") != std::string::npos) {
            swapped = WindowsPath(sandbox, entry.path);
            const std::string at = Quoted(sandbox.host + "/" + entry.path);
            const std::string copy = Quoted(sandbox.host + "/outside/swapped");
            RunOnHost("mkdir -p " + Quoted(sandbox.host + "/outside") + " && cp -a " + at + " " +
                      copy);
            interposed.actionBeforeCall = swapBefore;
            interposed.action = [=] {
                RunOnHost("cd " + at + "/.. && { [ ! -e " + at + " ] || mv " + at + " " + at +
                          "' (moved)'; } && ln -s " + copy + " " + at);
            };
        }
    }
    const bool swaps = !swapped.empty();
    // The other plug-ins stay, but where a link on the way down took them.
    const std::set<std::string> installed = ListTree(sandbox);
    std::set<std::string> left = ReadTree(sandbox, row.left), others = ReadTree(sandbox, kOthers);
    std::set_intersection(others.begin(), others.end(), installed.begin(), installed.end(),
                          std::inserter(left, left.end()));
    // A relative path would land in the working folder.
    SetCurrentDirectoryW(PathsOf(sandbox, "appdata:")[0].c_str());
    RunThePlanAndCheck(row);
    // Where a row swaps, the outside stays whole.
    const std::set<std::string> after = ListTree(sandbox);
    EXPECT_EQ(swaps ? Outside(after) : after, swaps ? Outside(installed) : left);
    std::vector<std::uint64_t> callsOnSwapped;
    for (std::size_t call = 0; call < interposed.calls.size(); ++call) {
        if (swaps && interposed.calls[call].path == swapped) {
            callsOnSwapped.push_back(call + 1);
        }
    }
    RemoveSandbox(sandbox);
    return callsOnSwapped;
}

class Cases : public testing::TestWithParam<Case> {};

TEST_P(Cases, LeaveWhatTheyShouldAndReport) {
    const std::vector<std::uint64_t> calls = RunCase(GetParam(), 0);
    for (std::size_t i = 0; i < calls.size() && !HasFailure(); ++i) {
        SCOPED_TRACE("swapped before call " + std::to_string(calls[i]));
        RunCase(GetParam(), calls[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Cases, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
