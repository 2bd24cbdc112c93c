#include "uninstaller/UninstallRun.h"
#include "platform/Unix/TestControls.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int);

namespace {

const char kInstalled[] = "All applications have been uninstalled";
const char kNotInstalled[] = "No application installed";

fs::path PluginsOf(const fs::path& specialFolder) {
    return specialFolder / "SketchUp" / "SketchUp 2016" / "SketchUp" / "Plugins";
}

void InstallVersion(const fs::path& plugins, const std::string& version) {
    WriteTestFile(plugins / (version + ".rbs"));
    WriteTestFile(plugins / version / "plug_in" / "tarvex_tools.rbs");
    WriteTestFile(plugins / version / "plug_in" / "core" / "geometry.rb");
    WriteTestFile(plugins / version / "resources" / ".cache");
    WriteTestFile(plugins / version / "resources" / u8"icône.png");
    MakeReadOnly(plugins / version / "resources" / u8"icône.png");
}

void InstallSectionTool(const fs::path& plugins) {
    WriteTestFile(plugins / "SU_Tarvex_Section_Tool.rb");
    WriteTestFile(plugins / "Ombrisk_Section" / "section.rb");
    WriteTestFile(plugins / "tarvex_tools.rbs");
}

void InstallEverything(const fs::path& plugins) {
    InstallVersion(plugins, "SU_Tarvex_V2");
    InstallVersion(plugins, "SU_Tarvex_V2.5");
    InstallSectionTool(plugins);
}

// Other plug-ins, some with names close to ours; the run must leave them.
const std::set<std::string> kOtherPlugins = {"other_plugin.rb", "SU_Tarvex_V3/",
                                             "SU_Tarvex_V3/keep.rb", "SU_Tarvex_V2.5.rbs.bak"};

void InstallOtherPlugins(const fs::path& plugins) {
    for (const std::string& name : kOtherPlugins) {
        if (name.back() != '/') {
            WriteTestFile(plugins / name);
        }
    }
}

class UninstallRunTest : public testing::Test {
  protected:
    void SetUp() override {
        sandbox = MakeScratchFolder();
        userFolder = sandbox / "Users" / "Alice" / "AppData" / "Roaming";
        commonFolder = sandbox / "ProgramData";
        InstallOtherPlugins(PluginsOf(userFolder));
        InstallOtherPlugins(PluginsOf(commonFolder));
        SetSpecialFolderForTest(CSIDL_APPDATA, WidePathOf(userFolder));
        SetSpecialFolderForTest(CSIDL_COMMON_APPDATA, WidePathOf(commonFolder));
    }
    void TearDown() override {
        RemoveScratchFolder(sandbox);
    }

    // Runs the program as Windows would start it, with arguments that must
    // change nothing, and returns the report.
    std::string RunProgram() {
        const size_t reportsBefore = MessageBoxCallsForTest().size();
        std::u16string arguments = u"/S /keep --dry-run \"C:\\Program Files\"";
        EXPECT_EQ(wWinMain(nullptr, nullptr, arguments.data(), 1), 1);
        const std::vector<MessageBoxCall>& reports = MessageBoxCallsForTest();
        EXPECT_EQ(reports.size(), reportsBefore + 1);
        if (reports.size() != reportsBefore + 1) {
            return "";
        }
        EXPECT_EQ(reports.back().caption, "SU Tarvex Uninstaller 2016");
        EXPECT_EQ(reports.back().type, 0x140u);
        return reports.back().text;
    }

    fs::path sandbox;
    fs::path userFolder;
    fs::path commonFolder;
};

struct RunCase {
    const char* name;
    void (*install)(const fs::path& userPlugins, const fs::path& commonPlugins);
    const char* report;
    std::set<std::string> userLeft = {}; // besides the other plug-ins
    std::set<std::string> commonLeft = {};
};

const RunCase kRunCases[] = {
    {"NothingInstalled", [](const fs::path&, const fs::path&) {}, kNotInstalled},
    {"OnlyTheSectionToolAndSharedScript",
     [](const fs::path& user, const fs::path& common) {
         InstallSectionTool(user);
         InstallSectionTool(common);
     },
     kNotInstalled},
    {"OnlyTheVersionScriptUnderTheUser",
     [](const fs::path& user, const fs::path&) { WriteTestFile(user / "SU_Tarvex_V2.5.rbs"); },
     kNotInstalled},
    {"OnlyVersion25FolderUnderTheUser",
     [](const fs::path& user, const fs::path&) {
         WriteTestFile(user / "SU_Tarvex_V2.5" / "plug_in" / "tarvex_tools.rbs");
     },
     kInstalled},
    {"OnlyVersion2FolderForAllUsers",
     [](const fs::path&, const fs::path& common) {
         fs::create_directories(common / "SU_Tarvex_V2");
     },
     kInstalled},
    {"BothVersionsInBothFolders",
     [](const fs::path& user, const fs::path& common) {
         InstallEverything(user);
         InstallEverything(common);
     },
     kInstalled},
    {"ReadOnlyFileTargetsStay",
     [](const fs::path& user, const fs::path&) {
         InstallEverything(user);
         for (const char* name :
              {"SU_Tarvex_V2.rbs", "SU_Tarvex_Section_Tool.rb", "tarvex_tools.rbs"}) {
             MakeReadOnly(user / name);
         }
     },
     kInstalled,
     {"SU_Tarvex_V2.rbs [read-only]", "SU_Tarvex_Section_Tool.rb [read-only]",
      "tarvex_tools.rbs [read-only]"},
     {}},
    {"FileThatCannotBeDeletedKeepsItsFoldersAndStillCounts",
     [](const fs::path&, const fs::path& common) {
         InstallVersion(common, "SU_Tarvex_V2");
         HoldOpenWithoutDeleteSharing(common / "SU_Tarvex_V2" / "plug_in" / "core" / "geometry.rb");
     },
     kInstalled,
     {},
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/core/",
      "SU_Tarvex_V2/plug_in/core/geometry.rb"}},
    {"FailedAllUsersLookupSkipsPassesTwoAndThree",
     [](const fs::path& user, const fs::path& common) {
         InstallSectionTool(user);
         WriteTestFile(common / "SU_Tarvex_V2" / "plug_in" / "tarvex_tools.rbs");
         WriteTestFile(common / "tarvex_tools.rbs");
         FailSpecialFolderLookupForTest(CSIDL_COMMON_APPDATA);
     },
     kNotInstalled,
     {},
     {"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/tarvex_tools.rbs",
      "tarvex_tools.rbs"}},
};

void PrintTo(const RunCase& runCase, std::ostream* out) {
    *out << runCase.name;
}

class UninstallRunCases : public UninstallRunTest, public testing::WithParamInterface<RunCase> {};

std::set<std::string> WithOtherPlugins(std::set<std::string> left) {
    left.insert(kOtherPlugins.begin(), kOtherPlugins.end());
    return left;
}

TEST_P(UninstallRunCases, RemovesThePlugInAndReports) {
    const RunCase& runCase = GetParam();
    runCase.install(PluginsOf(userFolder), PluginsOf(commonFolder));

    EXPECT_EQ(RunProgram(), runCase.report);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), WithOtherPlugins(runCase.userLeft));
    EXPECT_EQ(ListTree(PluginsOf(commonFolder)), WithOtherPlugins(runCase.commonLeft));
}

INSTANTIATE_TEST_SUITE_P(Situations, UninstallRunCases, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(UninstallRunTest, SecondRunFindsNothing) {
    InstallEverything(PluginsOf(userFolder));
    InstallEverything(PluginsOf(commonFolder));
    EXPECT_EQ(RunProgram(), kInstalled);
    EXPECT_EQ(RunProgram(), kNotInstalled);
}

// The top-level work of a run: the first operation on each target below a
// Plugins folder, which for a tree, and for a file inside the version folder,
// is holding its first folder. With nothing installed, nothing else happens
// there.
std::vector<std::pair<PlatformOperation, WidePath>> TopLevelCalls() {
    std::vector<std::pair<PlatformOperation, WidePath>> calls;
    for (const PlatformCall& call : PlatformCallsForTest()) {
        if ((call.operation == PlatformOperation::CreateFileW ||
             call.operation == PlatformOperation::DeleteFileW) &&
            call.path.find(u"\\Plugins\\") != WidePath::npos) {
            calls.emplace_back(call.operation, call.path);
        }
    }
    return calls;
}

TEST_F(UninstallRunTest, FullRunMakesItsTwentyFourOperationsInOrder) {
    const WidePath user =
        WidePathOf(userFolder) + u"\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\";
    const WidePath common =
        WidePathOf(commonFolder) + u"\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\";
    using Op = PlatformOperation;
    const auto tree = [](const WidePath& path) { return std::make_pair(Op::CreateFileW, path); };
    const auto file = [](const WidePath& path) { return std::make_pair(Op::DeleteFileW, path); };
    const std::vector<std::pair<PlatformOperation, WidePath>> expected = {
        tree(user + u"SU_Tarvex_V2"),
        file(user + u"SU_Tarvex_V2.rbs"),
        file(user + u"SU_Tarvex_Section_Tool.rb"),
        tree(user + u"Ombrisk_Section"),
        file(user + u"tarvex_tools.rbs"),
        tree(user + u"SU_Tarvex_V2"), // the version folder's own tarvex_tools.rbs
        tree(common + u"SU_Tarvex_V2"),
        file(common + u"SU_Tarvex_V2.rbs"),
        file(common + u"SU_Tarvex_Section_Tool.rb"),
        tree(common + u"Ombrisk_Section"),
        file(common + u"tarvex_tools.rbs"),
        tree(common + u"SU_Tarvex_V2"),
        tree(common + u"SU_Tarvex_V2.5"),
        file(common + u"SU_Tarvex_V2.5.rbs"),
        file(common + u"SU_Tarvex_Section_Tool.rb"),
        tree(common + u"Ombrisk_Section"),
        file(common + u"tarvex_tools.rbs"),
        tree(common + u"SU_Tarvex_V2.5"),
        tree(user + u"SU_Tarvex_V2.5"),
        file(user + u"SU_Tarvex_V2.5.rbs"),
        file(user + u"SU_Tarvex_Section_Tool.rb"),
        tree(user + u"Ombrisk_Section"),
        file(user + u"tarvex_tools.rbs"),
        tree(user + u"SU_Tarvex_V2.5"),
    };

    EXPECT_EQ(RunProgram(), kNotInstalled);
    EXPECT_EQ(TopLevelCalls(), expected);
}

// Every path the run hands to the platform lies inside the Plugins folder of
// `folder`: never the folder itself, a relative path or a cut-off one.
void ExpectOnlyPathsBelowPlugins(const WidePath& folder) {
    const WidePath plugins = folder + u"\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\";
    for (const PlatformCall& call : PlatformCallsForTest()) {
        if (call.operation == PlatformOperation::FindFirstFileW ||
            call.operation == PlatformOperation::CreateFileW ||
            call.operation == PlatformOperation::DeleteFileW ||
            call.operation == PlatformOperation::RemoveDirectoryW) {
            EXPECT_EQ(call.path.compare(0, plugins.size(), plugins), 0)
                << HostPathFromWide(call.path);
        }
    }
}

TEST_F(UninstallRunTest, EmptyFolderPathNeverTurnsIntoARelativeTarget) {
    // A plug-in layout below the working folder, where a bare relative path
    // would land.
    const fs::path workingFolder = sandbox / "working";
    InstallEverything(PluginsOf(workingFolder));
    const std::set<std::string> before = ListTree(workingFolder);
    const fs::path previous = fs::current_path();
    fs::current_path(workingFolder);
    SetSpecialFolderForTest(CSIDL_APPDATA, u"");
    FailSpecialFolderLookupForTest(CSIDL_COMMON_APPDATA);

    const std::string report = RunProgram();
    fs::current_path(previous);

    EXPECT_EQ(report, kNotInstalled);
    EXPECT_EQ(ListTree(workingFolder), before);
    ExpectOnlyPathsBelowPlugins(u"<none>");
}

TEST_F(UninstallRunTest, RepeatedLookupThatFailsSkipsOnlyItsTarget) {
    FailSpecialFolderLookupForTest(CSIDL_COMMON_APPDATA);
    // Pass 1 looks the folder up for targets 1 and 2; every later lookup fails.
    FailSpecialFolderLookupForTest(CSIDL_APPDATA, 2);
    const WidePath plugins = WidePathOf(PluginsOf(userFolder));

    EXPECT_EQ(RunProgram(), kNotInstalled);
    const std::vector<std::pair<PlatformOperation, WidePath>> expected = {
        {PlatformOperation::CreateFileW, plugins + u"\\SU_Tarvex_V2"},
        {PlatformOperation::DeleteFileW, plugins + u"\\SU_Tarvex_V2.rbs"},
    };
    EXPECT_EQ(TopLevelCalls(), expected);
}

TEST_F(UninstallRunTest, TargetThatDoesNotFitThePathBufferIsSkipped) {
    // 188 units of folder leave room for every relative path (65 at most)
    // except the 77 and 79 of the version folders' own tarvex_tools.rbs.
    const WidePath sandboxPath = WidePathOf(sandbox) + u"\\";
    const WidePath longFolder = sandboxPath + WidePath(188 - sandboxPath.size(), u'x');
    SetSpecialFolderForTest(CSIDL_APPDATA, longFolder);
    FailSpecialFolderLookupForTest(CSIDL_COMMON_APPDATA);

    EXPECT_EQ(RunProgram(), kNotInstalled);

    EXPECT_EQ(TopLevelCalls().size(), 10u); // targets 1 to 5 of passes 1 and 4
    ExpectOnlyPathsBelowPlugins(longFolder);
}

} // namespace

namespace {

struct StationCase {
    WindowStationForTest station;
    size_t reports;
};

class WindowStationCases : public UninstallRunTest,
                           public testing::WithParamInterface<StationCase> {};

TEST_P(WindowStationCases, BoxIsShownUnlessNobodyCanSeeIt) {
    InstallEverything(PluginsOf(userFolder));
    SetWindowStationForTest(GetParam().station);

    std::u16string noArguments;
    EXPECT_EQ(wWinMain(nullptr, nullptr, noArguments.data(), 1), 1);

    EXPECT_EQ(MessageBoxCallsForTest().size(), GetParam().reports);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), kOtherPlugins);
    // The DLL search is restricted before anything else happens.
    EXPECT_EQ(PlatformCallsForTest().front().operation,
              PlatformOperation::RestrictDllSearchToSystem32);
}

INSTANTIATE_TEST_SUITE_P(Stations, WindowStationCases,
                         testing::Values(StationCase{WindowStationForTest::Visible, 1},
                                         StationCase{WindowStationForTest::Hidden, 0},
                                         StationCase{WindowStationForTest::Unreadable, 1}));

} // namespace

namespace {

// The folders from a special folder down to Plugins.
const char* const kWayToPlugins[] = {"SketchUp", "SketchUp 2016", "SketchUp", "Plugins"};

fs::path WayDown(const fs::path& specialFolder, int depth) {
    fs::path path = specialFolder;
    for (int i = 0; i <= depth; ++i) {
        path /= kWayToPlugins[i];
    }
    return path;
}

struct WayDownCase {
    const char* name;
    int specialFolder;
    int depth; // which folder of the way down is a link: 0 to 3
    bool followed;
};

class LinkOnTheWayDown : public UninstallRunTest,
                         public testing::WithParamInterface<WayDownCase> {};

TEST_P(LinkOnTheWayDown, IsFollowedOnlyUnderThePerUserFolder) {
    const WayDownCase& linkCase = GetParam();
    const fs::path special = linkCase.specialFolder == CSIDL_APPDATA ? userFolder : commonFolder;
    // The same folders elsewhere, holding the plug-in's names; the link
    // replaces one folder of the way down with its counterpart there.
    const fs::path elsewhere = sandbox / "someone else";
    InstallEverything(PluginsOf(elsewhere));
    const std::set<std::string> elsewhereBefore = ListTree(elsewhere);
    fs::remove_all(WayDown(special, linkCase.depth));
    MakeDirectoryLink(WayDown(elsewhere, linkCase.depth), WayDown(special, linkCase.depth));

    const std::string report = RunProgram();

    if (linkCase.followed) {
        EXPECT_EQ(report, kInstalled);
        EXPECT_EQ(ListTree(PluginsOf(elsewhere)), std::set<std::string>{});
    } else {
        EXPECT_EQ(report, kNotInstalled);
        EXPECT_EQ(ListTree(elsewhere), elsewhereBefore);
    }
}

const WayDownCase kWayDownCases[] = {
    {"AllUsersSketchUp", CSIDL_COMMON_APPDATA, 0, false},
    {"AllUsersSketchUp2016", CSIDL_COMMON_APPDATA, 1, false},
    {"AllUsersInnerSketchUp", CSIDL_COMMON_APPDATA, 2, false},
    {"AllUsersPlugins", CSIDL_COMMON_APPDATA, 3, false},
    {"PerUserSketchUp", CSIDL_APPDATA, 0, true},
    {"PerUserSketchUp2016", CSIDL_APPDATA, 1, true},
    {"PerUserInnerSketchUp", CSIDL_APPDATA, 2, true},
    {"PerUserPlugins", CSIDL_APPDATA, 3, true},
};

INSTANTIATE_TEST_SUITE_P(Links, LinkOnTheWayDown, testing::ValuesIn(kWayDownCases),
                         [](const testing::TestParamInfo<WayDownCase>& info) {
                             return std::string(info.param.name);
                         });

// Another user swaps one folder of the all-users installation for a link to
// a copy of it elsewhere (or, once the run has removed it, plants the link in
// its place), just before one call of the run; every call number of a whole
// run is tried. Whatever the moment, the copy stays whole, read-only
// attributes included.
const char* const kSwapped[] = {
    "SketchUp",
    "SketchUp/SketchUp 2016",
    "SketchUp/SketchUp 2016/SketchUp",
    "SketchUp/SketchUp 2016/SketchUp/Plugins",
    "SketchUp/SketchUp 2016/SketchUp/Plugins/SU_Tarvex_V2",
    "SketchUp/SketchUp 2016/SketchUp/Plugins/SU_Tarvex_V2/plug_in",
    "SketchUp/SketchUp 2016/SketchUp/Plugins/SU_Tarvex_V2/plug_in/core",
    "SketchUp/SketchUp 2016/SketchUp/Plugins/SU_Tarvex_V2/resources",
    "SketchUp/SketchUp 2016/SketchUp/Plugins/Ombrisk_Section",
};

// Nested folders, files, a read-only file and a link inside.
void InstallForSwapping(const fs::path& root, const fs::path& linked) {
    InstallVersion(PluginsOf(root), "SU_Tarvex_V2");
    InstallSectionTool(PluginsOf(root));
    MakeDirectoryLink(linked, PluginsOf(root) / "SU_Tarvex_V2" / "plug_in" / "shared");
}

std::set<std::string> Lost(const std::set<std::string>& before,
                           const std::set<std::string>& after) {
    std::set<std::string> lost;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::inserter(lost, lost.end()));
    return lost;
}

class SwappedMidRun : public testing::TestWithParam<const char*> {};

TEST_P(SwappedMidRun, NeverReachesOutside) {
    const std::string swapped = GetParam();
    std::uint64_t callsInARun = 0;
    int swaps = 0;
    // Call number 0 runs without a swap, to count the calls of a whole run.
    for (std::uint64_t callNumber = 0; callNumber <= callsInARun; ++callNumber) {
        SCOPED_TRACE("swapped before call " + std::to_string(callNumber));
        ResetPlatformForTest(false);
        const fs::path sandbox = MakeScratchFolder();
        const fs::path common = sandbox / "ProgramData";
        const fs::path copy = sandbox / "copy";
        const fs::path linked = sandbox / "linked";
        WriteTestFile(linked / "precious.txt");
        InstallForSwapping(common, linked);
        InstallForSwapping(copy, linked);
        const std::set<std::string> outsideBefore = ListTree(sandbox / "copy");
        SetSpecialFolderForTest(CSIDL_COMMON_APPDATA, WidePathOf(common));
        if (callNumber > 0) {
            RunBeforeCallForTest(callNumber, [&] {
                const fs::path folder = common / swapped;
                const bool removed = !fs::exists(fs::symlink_status(folder)) &&
                                     fs::is_directory(folder.parent_path());
                if (removed ||
                    RenameForTest(WidePathOf(folder), WidePathOf(folder) + u" (moved)")) {
                    MakeDirectoryLink(copy / swapped, folder);
                    ++swaps;
                }
            });
        }

        RunCleanupPlan();

        EXPECT_EQ(Lost(outsideBefore, ListTree(copy)), std::set<std::string>{});
        EXPECT_EQ(ListTree(linked), std::set<std::string>{"precious.txt"});
        EXPECT_EQ(OpenHandleCountForTest(), 0u);
        if (callNumber == 0) {
            callsInARun = PlatformCallsMadeForTest();
        }
        RemoveScratchFolder(sandbox);
        if (HasFailure()) {
            break;
        }
    }
    // Folders not yet held were there to swap at some calls.
    EXPECT_GT(swaps, 0);
}

INSTANTIATE_TEST_SUITE_P(Entries, SwappedMidRun, testing::ValuesIn(kSwapped));

} // namespace
