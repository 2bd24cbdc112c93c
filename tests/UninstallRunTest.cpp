#include "uninstaller/UninstallRun.h"

#include "tests/Interposer.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int);

namespace {

const char kInstalled[] = "All applications have been uninstalled";
const char kNotInstalled[] = "No application installed";

// The folders from a special folder down to Plugins, and a version folder.
const wchar_t* const kWayDown[] = {L"SketchUp", L"SketchUp 2016", L"SketchUp", L"Plugins",
                                   L"SU_Tarvex_V2"};

std::wstring WayDown(const std::wstring& specialFolder, int depth) {
    std::wstring path = specialFolder;
    for (int i = 0; i <= depth; ++i) {
        path += std::wstring(L"\\") + kWayDown[i];
    }
    return path;
}

std::wstring PluginsOf(const std::wstring& specialFolder) {
    return WayDown(specialFolder, 3);
}

void InstallVersion(const std::wstring& plugins, const std::wstring& version) {
    const std::wstring folder = plugins + L"\\" + version;
    WriteTestFile(plugins + L"\\" + version + L".rbs");
    WriteTestFile(folder + L"\\plug_in\\tarvex_tools.rbs");
    WriteTestFile(folder + L"\\plug_in\\core\\geometry.rb");
    WriteTestFile(folder + L"\\resources\\.cache");
    WriteTestFile(folder + L"\\resources\\ic\u00f4ne.png");
    MakeReadOnly(folder + L"\\resources\\ic\u00f4ne.png");
}

void InstallSectionTool(const std::wstring& plugins) {
    WriteTestFile(plugins + L"\\SU_Tarvex_Section_Tool.rb");
    WriteTestFile(plugins + L"\\Ombrisk_Section\\section.rb");
    WriteTestFile(plugins + L"\\tarvex_tools.rbs");
}

void InstallEverything(const std::wstring& plugins) {
    InstallVersion(plugins, L"SU_Tarvex_V2");
    InstallVersion(plugins, L"SU_Tarvex_V2.5");
    InstallSectionTool(plugins);
}

// Other plug-ins, some with names close to ours; the run must leave them.
const std::set<std::string> kOtherPlugins = {"other_plugin.rb", "SU_Tarvex_V3/",
                                             "SU_Tarvex_V3/keep.rb", "SU_Tarvex_V2.5.rbs.bak"};

void InstallOtherPlugins(const std::wstring& plugins) {
    WriteTestFile(plugins + L"\\other_plugin.rb");
    WriteTestFile(plugins + L"\\SU_Tarvex_V3\\keep.rb");
    WriteTestFile(plugins + L"\\SU_Tarvex_V2.5.rbs.bak");
}

std::set<std::string> WithOtherPlugins(std::set<std::string> left) {
    left.insert(kOtherPlugins.begin(), kOtherPlugins.end());
    return left;
}

class UninstallRunTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        userFolder = sandbox + L"\\Users\\Alice\\AppData\\Roaming";
        commonFolder = sandbox + L"\\ProgramData";
        InstallOtherPlugins(PluginsOf(userFolder));
        InstallOtherPlugins(PluginsOf(commonFolder));
        Interposed().specialFolders[CSIDL_APPDATA] = userFolder;
        Interposed().specialFolders[CSIDL_COMMON_APPDATA] = commonFolder;
    }

    // Runs the program as Windows would start it, with arguments that must
    // change nothing, and returns the report.
    std::string RunProgram() {
        const std::size_t reportsBefore = Interposed().messageBoxes.size();
        std::wstring arguments = L"/S /keep --dry-run \"C:\\Program Files\"";
        EXPECT_EQ(Intercepted([&] { return wWinMain(nullptr, nullptr, arguments.data(), 1); }), 1);
        EXPECT_EQ(Interposed().openFiles.size(), 0u);
        const std::vector<MessageBoxCall>& reports = Interposed().messageBoxes;
        EXPECT_EQ(reports.size(), reportsBefore + 1);
        if (reports.size() != reportsBefore + 1) {
            return "";
        }
        EXPECT_EQ(reports.back().caption, "SU Tarvex Uninstaller 2016");
        EXPECT_EQ(reports.back().style, 0x140u);
        return reports.back().text;
    }

    std::wstring userFolder;
    std::wstring commonFolder;
};

struct RunCase {
    const char* name;
    void (*install)(const std::wstring& userPlugins, const std::wstring& commonPlugins);
    const char* report;
    std::set<std::string> userLeft = {}; // besides the other plug-ins
    std::set<std::string> commonLeft = {};
};

const RunCase kRunCases[] = {
    // Ombrisk_Section outlives the first pass (a file in it is held open),
    // and is never a version.
    {"ScriptsAndSectionToolWithoutAVersionFolder",
     [](const std::wstring& user, const std::wstring& common) {
         WriteTestFile(user + L"\\SU_Tarvex_V2.5.rbs");
         InstallSectionTool(user);
         HoldOpenWithoutDeleteSharing(user + L"\\Ombrisk_Section\\section.rb");
         InstallSectionTool(common);
     },
     kNotInstalled,
     {"Ombrisk_Section/", "Ombrisk_Section/section.rb"},
     {}},
    {"OnlyVersion25FolderUnderTheUser",
     [](const std::wstring& user, const std::wstring&) {
         WriteTestFile(user + L"\\SU_Tarvex_V2.5\\plug_in\\tarvex_tools.rbs");
     },
     kInstalled},
    {"OnlyVersion2FolderForAllUsers",
     [](const std::wstring&, const std::wstring& common) {
         MakeFolders(common + L"\\SU_Tarvex_V2");
     },
     kInstalled},
    {"BothVersionsInBothFolders",
     [](const std::wstring& user, const std::wstring& common) {
         InstallEverything(user);
         InstallEverything(common);
     },
     kInstalled},
    {"ReadOnlyFileTargetsStay",
     [](const std::wstring& user, const std::wstring&) {
         InstallEverything(user);
         for (const wchar_t* name :
              {L"SU_Tarvex_V2.rbs", L"SU_Tarvex_Section_Tool.rb", L"tarvex_tools.rbs"}) {
             MakeReadOnly(user + L"\\" + name);
         }
     },
     kInstalled,
     {"SU_Tarvex_V2.rbs [read-only]", "SU_Tarvex_Section_Tool.rb [read-only]",
      "tarvex_tools.rbs [read-only]"},
     {}},
    {"FileThatCannotBeDeletedKeepsItsFoldersAndStillCounts",
     [](const std::wstring&, const std::wstring& common) {
         InstallVersion(common, L"SU_Tarvex_V2");
         HoldOpenWithoutDeleteSharing(common + L"\\SU_Tarvex_V2\\plug_in\\core\\geometry.rb");
     },
     kInstalled,
     {},
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/core/",
      "SU_Tarvex_V2/plug_in/core/geometry.rb"}},
    // Passes 2 and 3 are skipped; in passes 1 and 4 only the targets whose
    // lookup failed.
    {"FailedLookupsSkipOnlyTheirPassOrTarget",
     [](const std::wstring& user, const std::wstring&) {
         InstallEverything(user);
         Interposed().firstFailingLookup[CSIDL_COMMON_APPDATA] = 0;
         // Pass 1 looks the folder up for targets 1 and 2; every later lookup fails.
         Interposed().firstFailingLookup[CSIDL_APPDATA] = 2;
     },
     kInstalled,
     {"SU_Tarvex_Section_Tool.rb", "tarvex_tools.rbs", "Ombrisk_Section/",
      "Ombrisk_Section/section.rb", "SU_Tarvex_V2.5.rbs", "SU_Tarvex_V2.5/",
      "SU_Tarvex_V2.5/plug_in/", "SU_Tarvex_V2.5/plug_in/tarvex_tools.rbs",
      "SU_Tarvex_V2.5/plug_in/core/", "SU_Tarvex_V2.5/plug_in/core/geometry.rb",
      "SU_Tarvex_V2.5/resources/", "SU_Tarvex_V2.5/resources/.cache",
      "SU_Tarvex_V2.5/resources/ic\xc3\xb4ne.png [read-only]"},
     {}},
    // On Windows the folders on the way down are often an administrator's:
    // a user may list them, not delete them. A folder inside a tree whose
    // deletion is refused is still emptied.
    {"DeleteRefusedOnTheWayDownAndOnATreeFolder",
     [](const std::wstring& user, const std::wstring& common) {
         InstallEverything(user);
         InstallEverything(common);
         for (const std::wstring& plugins : {user, common}) {
             Interposed().refusedAccess[plugins] = DELETE;
             Interposed().refusedAccess[plugins.substr(0, plugins.find(L"\\SketchUp") + 9)] =
                 DELETE;
         }
         Interposed().refusedAccess[common + L"\\SU_Tarvex_V2\\plug_in"] = DELETE;
     },
     kInstalled,
     {},
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/"}},
    {"VersionFoldersOwnScriptIsDeletedInEveryPass",
     [](const std::wstring& user, const std::wstring& common) {
         // The version folder's removal does not reach its plug_in's
         // script, so only the pass's sixth target can delete it.
         for (const std::wstring& plugins : {user, common}) {
             for (const wchar_t* version : {L"SU_Tarvex_V2", L"SU_Tarvex_V2.5"}) {
                 const std::wstring plugIn = plugins + L"\\" + version + L"\\plug_in";
                 WriteTestFile(plugIn + L"\\tarvex_tools.rbs");
                 Interposed().listingLimits[plugIn] = 0;
             }
         }
     },
     kInstalled,
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2.5/", "SU_Tarvex_V2.5/plug_in/"},
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2.5/", "SU_Tarvex_V2.5/plug_in/"}},
};

void PrintTo(const RunCase& runCase, std::ostream* out) {
    *out << runCase.name;
}

class UninstallRunCases : public UninstallRunTest, public testing::WithParamInterface<RunCase> {};

TEST_P(UninstallRunCases, RemovesThePlugInAndReports) {
    const RunCase& runCase = GetParam();
    runCase.install(PluginsOf(userFolder), PluginsOf(commonFolder));

    EXPECT_EQ(RunProgram(), runCase.report);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), WithOtherPlugins(runCase.userLeft));
    EXPECT_EQ(ListTree(PluginsOf(commonFolder)), WithOtherPlugins(runCase.commonLeft));
    if (runCase.userLeft.empty() && runCase.commonLeft.empty()) {
        EXPECT_EQ(RunProgram(), kNotInstalled); // what went, went whole
    }
}

INSTANTIATE_TEST_SUITE_P(Situations, UninstallRunCases, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunCase>& info) {
                             return std::string(info.param.name);
                         });

// Only the special folders are opened by their paths; every other open is
// relative to a handle the run holds. Returns the number of those.
std::size_t ExpectOnlyRelativeOpens(const std::set<std::wstring>& specialFolders) {
    std::size_t opened = 0;
    for (const ApiCall& call : Interposed().calls) {
        if (call.api == Api::CreateFileW) {
            EXPECT_EQ(specialFolders.count(call.path), 1u) << Utf8(call.path);
        } else if (call.api == Api::NtCreateFile) {
            EXPECT_TRUE(call.relative) << Utf8(call.path);
            ++opened;
        }
    }
    return opened;
}

TEST_F(UninstallRunTest, NoCallBelowASpecialFolderTakesAPath) {
    InstallEverything(PluginsOf(userFolder));
    InstallEverything(PluginsOf(commonFolder));
    Interposed().elevated = true;

    EXPECT_EQ(RunProgram(), kInstalled);
    EXPECT_GT(ExpectOnlyRelativeOpens({userFolder, commonFolder}), 100u);
}

// Where the system deletes with flags, read-only entries inside the removed
// folders go, and a top-level script only when it is not read-only.
TEST_F(UninstallRunTest, DeletionIgnoresReadOnlyOnlyInsideRemovedFolders) {
    const std::wstring plugins = PluginsOf(userFolder) + L"\\";
    InstallEverything(PluginsOf(userFolder));
    Interposed().refuseDispositionEx = true;

    EXPECT_EQ(RunProgram(), kInstalled);

    std::size_t scripts = 0;
    for (const ApiCall& call : Interposed().calls) {
        if (call.api == Api::SetFileInformationByHandle && call.options == kFileDispositionInfoEx) {
            const bool script = call.path.find(L'\\', plugins.size()) == std::wstring::npos &&
                                call.path.find(L".rb") != std::wstring::npos;
            scripts += script ? 1 : 0;
            EXPECT_EQ((call.access & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE) != 0, !script)
                << Utf8(call.path);
        }
    }
    EXPECT_EQ(scripts, 4u); // each version's .rbs, the section tool, tarvex_tools.rbs
}

// A plug-in layout below the working folder, where a bare relative path, or
// one relative to a drive's working folder ("C:SketchUp\\…"), would land.
TEST_F(UninstallRunTest, SpecialFolderEmptyOrAtADriveRootNeverNamesTheWorkingFolder) {
    const std::wstring workingFolder = sandbox + L"\\working";
    InstallEverything(PluginsOf(workingFolder));
    const std::set<std::string> before = ListTree(workingFolder);
    // A drive whose root is the sandbox, as the per-user folder of a user
    // whose AppData is set to a drive's root.
    std::wstring drive = L"T:\\";
    while (GetDriveTypeW(drive.c_str()) != DRIVE_NO_ROOT_DIR) {
        ++drive[0];
    }
    const std::string link =
        "\"$WINEPREFIX/dosdevices/" + std::string(1, char(drive[0] - L'A' + 'a')) + ":\"";
    RunOnHost("ln -s \"$1\" " + link, sandbox);
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(workingFolder.c_str()));
    InstallEverything(PluginsOf(sandbox));
    Interposed().firstFailingLookup[CSIDL_COMMON_APPDATA] = 0;

    Interposed().specialFolders[CSIDL_APPDATA] = L"";
    const std::string emptyReport = RunProgram();
    ExpectOnlyRelativeOpens({});
    Interposed().specialFolders[CSIDL_APPDATA] = drive;
    const std::string rootReport = RunProgram();
    ExpectOnlyRelativeOpens({drive});
    SetCurrentDirectoryW(previous);
    RunOnHost("rm " + link);

    EXPECT_EQ(emptyReport, kNotInstalled);
    EXPECT_EQ(rootReport, kInstalled);
    EXPECT_EQ(ListTree(workingFolder), before);
    EXPECT_EQ(ListTree(PluginsOf(sandbox)), std::set<std::string>{});
}

TEST_F(UninstallRunTest, TargetThatDoesNotFitThePathBufferIsSkipped) {
    // 188 units of folder leave room for every relative path (65 at most)
    // except the 77 and 79 of the version folders' own tarvex_tools.rbs.
    const std::wstring longFolder = sandbox + L"\\" + std::wstring(188 - sandbox.size() - 1, L'x');
    InstallSectionTool(PluginsOf(longFolder));
    MakeFolders(PluginsOf(longFolder) + L"\\SU_Tarvex_V2");
    Interposed().specialFolders[CSIDL_APPDATA] = longFolder;
    Interposed().firstFailingLookup[CSIDL_COMMON_APPDATA] = 0;

    EXPECT_EQ(RunProgram(), kInstalled);

    EXPECT_EQ(ListTree(PluginsOf(longFolder)), std::set<std::string>{});
    ExpectOnlyRelativeOpens({longFolder});
}

DWORD WINAPI RunWithAShortStallPeriod(void* found) {
    *static_cast<bool*>(found) = Intercepted([] { return RunCleanupPlan(500); });
    return 0;
}

// Another program's opportunistic lock: an open that reports its break in
// progress, and calls that would wait for its owner without end (an open, a
// delete) until the run's guard cancels them. Only those entries stay.
TEST_F(UninstallRunTest, EntriesThatWouldWaitForAnotherProgramAreLeft) {
    const std::wstring version = PluginsOf(commonFolder) + L"\\SU_Tarvex_V2";
    InstallEverything(PluginsOf(commonFolder));
    Interposed().firstFailingLookup[CSIDL_APPDATA] = 0;
    Interposed().oplocked.insert(version + L"\\plug_in\\tarvex_tools.rbs");
    Interposed().stalls.insert({Api::NtCreateFile, version + L"\\plug_in\\core\\geometry.rb"});
    Interposed().stalls.insert({Api::SetFileInformationByHandle, version + L"\\resources\\.cache"});

    bool found = false;
    const HANDLE worker = CreateThread(nullptr, 0, RunWithAShortStallPeriod, &found, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0) << "the run did not end";
    CloseHandle(worker);

    EXPECT_TRUE(found);
    EXPECT_EQ(Interposed().openFiles.size(), 0u);
    EXPECT_EQ(
        ListTree(PluginsOf(commonFolder)),
        WithOtherPlugins({"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/",
                          "SU_Tarvex_V2/plug_in/tarvex_tools.rbs", "SU_Tarvex_V2/plug_in/core/",
                          "SU_Tarvex_V2/plug_in/core/geometry.rb", "SU_Tarvex_V2/resources/",
                          "SU_Tarvex_V2/resources/.cache"}));
}

struct StationCase {
    WindowStation station;
    DWORD session;
    std::size_t reports;
};

class WindowStationCases : public UninstallRunTest,
                           public testing::WithParamInterface<StationCase> {};

TEST_P(WindowStationCases, BoxIsShownUnlessNobodyCanSeeIt) {
    InstallEverything(PluginsOf(userFolder));
    Interposed().station = GetParam().station;
    Interposed().session = GetParam().session;

    std::wstring noArguments;
    EXPECT_EQ(Intercepted([&] { return wWinMain(nullptr, nullptr, noArguments.data(), 1); }), 1);

    EXPECT_EQ(Interposed().messageBoxes.size(), GetParam().reports);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), kOtherPlugins);
}

INSTANTIATE_TEST_SUITE_P(Stations, WindowStationCases,
                         testing::Values(StationCase{WindowStation::Visible, 1, 1},
                                         StationCase{WindowStation::Hidden, 1, 0},
                                         StationCase{WindowStation::Unreadable, 1, 1},
                                         StationCase{WindowStation::Visible, 0, 0}));

enum class Elevation { No, Yes, Unknown };

struct WayDownCase {
    const char* name;
    int specialFolder;
    int depth; // which folder of the way down is a link: 0 to 4
    Elevation elevation;
    bool followed;
};

class LinkOnTheWayDown : public UninstallRunTest,
                         public testing::WithParamInterface<WayDownCase> {};

TEST_P(LinkOnTheWayDown, IsFollowedOnlyAbovePluginsUnderThePerUserFolderUnelevated) {
    const WayDownCase& linkCase = GetParam();
    const std::wstring special =
        linkCase.specialFolder == CSIDL_APPDATA ? userFolder : commonFolder;
    // The same folders elsewhere, holding the plug-in's names; the link
    // replaces one folder of the way down with its counterpart there.
    const std::wstring elsewhere = sandbox + L"\\someone else";
    InstallEverything(PluginsOf(elsewhere));
    const std::set<std::string> elsewhereBefore = ListTree(elsewhere);
    RunOnHost("rm -rf -- \"$1\"", WayDown(special, linkCase.depth));
    MakeLink(WayDown(elsewhere, linkCase.depth), WayDown(special, linkCase.depth));
    Interposed().elevated = linkCase.elevation == Elevation::Yes;
    if (linkCase.elevation == Elevation::Unknown) {
        Interposed().faults.insert({Api::GetTokenInformation, L""});
    }

    const std::string report = RunProgram();

    // Never opened through unless followed: a link met where it is not
    // followed is opened as itself only.
    for (const ApiCall& call : Interposed().calls) {
        if (!linkCase.followed && call.api == Api::NtCreateFile &&
            call.path == WayDown(special, linkCase.depth)) {
            EXPECT_NE(call.options & FILE_OPEN_REPARSE_POINT, 0u);
        }
    }
    if (linkCase.followed) {
        EXPECT_EQ(report, kInstalled);
        EXPECT_EQ(ListTree(PluginsOf(elsewhere)), std::set<std::string>{});
    } else {
        // A link at a version folder's own name counts as that version.
        EXPECT_EQ(report, linkCase.depth == 4 ? kInstalled : kNotInstalled);
        EXPECT_EQ(ListTree(elsewhere), elsewhereBefore);
    }
}

// Depths 0 and 3 bound the folders above Plugins; 4 is the first below it.
const WayDownCase kWayDownCases[] = {
    {"AllUsersSketchUp", CSIDL_COMMON_APPDATA, 0, Elevation::No, false},
    {"AllUsersPlugins", CSIDL_COMMON_APPDATA, 3, Elevation::No, false},
    {"PerUserSketchUp", CSIDL_APPDATA, 0, Elevation::No, true},
    {"PerUserPlugins", CSIDL_APPDATA, 3, Elevation::No, true},
    {"PerUserVersionFolder", CSIDL_APPDATA, 4, Elevation::No, false},
    {"PerUserSketchUpElevated", CSIDL_APPDATA, 0, Elevation::Yes, false},
    {"PerUserPluginsElevated", CSIDL_APPDATA, 3, Elevation::Yes, false},
    {"PerUserPluginsElevationUnknown", CSIDL_APPDATA, 3, Elevation::Unknown, false},
};

INSTANTIATE_TEST_SUITE_P(Links, LinkOnTheWayDown, testing::ValuesIn(kWayDownCases),
                         [](const testing::TestParamInfo<WayDownCase>& info) {
                             return std::string(info.param.name);
                         });

// Another party swaps one folder of an all-users installation for a link to
// a copy of it (or, once the run has removed the folder, plants the link in
// its place), just before one call of the run; every call number of a whole
// run is tried. Whatever the moment, the copy stays whole, read-only
// attributes included.
const wchar_t* const kSwapped[] = {
    L"SketchUp",
    L"SketchUp\\SketchUp 2016",
    L"SketchUp\\SketchUp 2016\\SketchUp",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2\\plug_in",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2\\plug_in\\core",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\SU_Tarvex_V2\\resources",
    L"SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\Ombrisk_Section",
};

std::set<std::string> Lost(const std::set<std::string>& before,
                           const std::set<std::string>& after) {
    std::set<std::string> lost;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::inserter(lost, lost.end()));
    return lost;
}

// A host program swaps the folder for a link to its copy, or plants the link
// where the run has just removed the folder. Sharing does not bind it (nor
// does it bind an owner turning an empty held folder into a junction in place
// on Windows): it swaps held folders too, and so does whatever a rename
// through the Windows API may do.
bool SwapForALink(const std::wstring& folder, const std::wstring& copy) {
    if (Exists(folder)) {
        RunOnHost("mv \"$1\" \"$1 (moved)\" && ln -s \"$2\" \"$1\"", folder, copy);
    } else if (Exists(folder.substr(0, folder.rfind(L'\\')))) {
        MakeLink(copy, folder);
    } else {
        return false;
    }
    return true;
}

class SwappedMidRun : public SandboxTest, public testing::WithParamInterface<const wchar_t*> {};

TEST_P(SwappedMidRun, NeverReachesOutside) {
    const std::wstring swapped = GetParam();
    // One installation, copied afresh on the host for every run: nested
    // folders, files, a read-only file and a link inside.
    const std::wstring model = sandbox + L"\\model";
    const std::wstring linked = sandbox + L"\\linked";
    WriteTestFile(linked + L"\\precious.txt");
    InstallVersion(PluginsOf(model), L"SU_Tarvex_V2");
    InstallSectionTool(PluginsOf(model));
    MakeLink(linked, PluginsOf(model) + L"\\SU_Tarvex_V2\\plug_in\\shared");
    const std::set<std::string> installed = ListTree(model);

    std::uint64_t callsInARun = 0;
    std::wstring run;
    int swaps = 0;
    ActBeforeEachCall(
        [&](std::uint64_t callNumber) {
            run = sandbox + L"\\" + std::to_wstring(callNumber);
            if (callNumber == 0) {
                RunOnHost("mkdir \"$2\" && cp -a \"$1\" \"$2/ProgramData\"", model, run);
            } else if (callNumber == 1) {
                // Every later run's installation and copy, in one go.
                RunOnHost("for n in $(seq 1 " + std::to_string(callsInARun) +
                              "); do mkdir \"$2/$n\" && cp -a \"$1\" \"$2/$n/ProgramData\" &&"
                              " cp -a \"$1\" \"$2/$n/copy\" || exit; done",
                          model, sandbox);
            }
            Interposed().specialFolders[CSIDL_COMMON_APPDATA] = run + L"\\ProgramData";
        },
        [] { Intercepted([] { return RunCleanupPlan(); }); },
        [](const std::wstring&) { return true; },
        [&] {
            if (SwapForALink(run + L"\\ProgramData\\" + swapped, run + L"\\copy\\" + swapped)) {
                ++swaps;
            }
        },
        [&](std::uint64_t callNumber) {
            if (callNumber == 0) {
                callsInARun = Interposed().callsMade;
            } else {
                EXPECT_EQ(Lost(installed, ListTree(run + L"\\copy")), std::set<std::string>{});
            }
            EXPECT_EQ(ListTree(linked), std::set<std::string>{"precious.txt"});
            EXPECT_EQ(Interposed().openFiles.size(), 0u);
        });
    // Folders not yet held were there to swap at some calls.
    EXPECT_GT(swaps, 0);
}

INSTANTIATE_TEST_SUITE_P(Folders, SwappedMidRun, testing::ValuesIn(kSwapped));

} // namespace
