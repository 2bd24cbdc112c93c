#include "uninstaller/UninstallRun.h"
#include "platform/Unix/TestControls.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

#include <unistd.h>

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

    // Runs the program as Windows would start it, and returns the report.
    std::string RunProgram(const char16_t* commandLine = u"") {
        const size_t reportsBefore = MessageBoxCallsForTest().size();
        std::u16string arguments = commandLine;
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
    const char16_t* commandLine;
    const char* report;
    std::set<std::string> userLeft; // besides the other plug-ins
    std::set<std::string> commonLeft;
};

const RunCase kRunCases[] = {
    {"NothingInstalled", [](const fs::path&, const fs::path&) {}, u"", kNotInstalled, {}, {}},
    {"OnlyTheSectionToolAndSharedScript",
     [](const fs::path& user, const fs::path& common) {
         InstallSectionTool(user);
         InstallSectionTool(common);
     },
     u"",
     kNotInstalled,
     {},
     {}},
    {"OnlyTheVersionScriptUnderTheUser",
     [](const fs::path& user, const fs::path&) { WriteTestFile(user / "SU_Tarvex_V2.5.rbs"); },
     u"",
     kNotInstalled,
     {},
     {}},
    {"OnlyVersion25FolderUnderTheUser",
     [](const fs::path& user, const fs::path&) {
         WriteTestFile(user / "SU_Tarvex_V2.5" / "plug_in" / "tarvex_tools.rbs");
     },
     u"",
     kInstalled,
     {},
     {}},
    {"OnlyVersion2FolderForAllUsers",
     [](const fs::path&, const fs::path& common) {
         fs::create_directories(common / "SU_Tarvex_V2");
     },
     u"",
     kInstalled,
     {},
     {}},
    {"BothVersionsInBothFolders",
     [](const fs::path& user, const fs::path& common) {
         InstallEverything(user);
         InstallEverything(common);
     },
     u"",
     kInstalled,
     {},
     {}},
    {"ArgumentsAreIgnored",
     [](const fs::path& user, const fs::path& common) {
         InstallEverything(user);
         InstallEverything(common);
     },
     u"/S /keep --dry-run \"C:\\Program Files\"",
     kInstalled,
     {},
     {}},
    {"ReadOnlyFileTargetsStay",
     [](const fs::path& user, const fs::path&) {
         InstallEverything(user);
         for (const char* name :
              {"SU_Tarvex_V2.rbs", "SU_Tarvex_Section_Tool.rb", "tarvex_tools.rbs"}) {
             MakeReadOnly(user / name);
         }
     },
     u"",
     kInstalled,
     {"SU_Tarvex_V2.rbs", "SU_Tarvex_Section_Tool.rb", "tarvex_tools.rbs"},
     {}},
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

    EXPECT_EQ(RunProgram(runCase.commandLine), runCase.report);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), WithOtherPlugins(runCase.userLeft));
    EXPECT_EQ(ListTree(PluginsOf(commonFolder)), WithOtherPlugins(runCase.commonLeft));
}

INSTANTIATE_TEST_SUITE_P(Situations, UninstallRunCases, testing::ValuesIn(kRunCases),
                         [](const testing::TestParamInfo<RunCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(UninstallRunTest, FileThatCannotBeDeletedKeepsItsFolderAndStillCountsAsFound) {
    InstallVersion(PluginsOf(commonFolder), "SU_Tarvex_V2");
    const fs::path locked =
        PluginsOf(commonFolder) / "SU_Tarvex_V2" / "plug_in" / "core" / "geometry.rb";
    FailOperationForTest(PlatformOperation::DeleteFileW, WidePathOf(locked));

    EXPECT_EQ(RunProgram(), kInstalled);
    EXPECT_EQ(
        ListTree(PluginsOf(commonFolder)),
        WithOtherPlugins({"SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/core/",
                          "SU_Tarvex_V2/plug_in/core/geometry.rb"}));
}

TEST_F(UninstallRunTest, SecondRunFindsNothing) {
    InstallEverything(PluginsOf(userFolder));
    InstallEverything(PluginsOf(commonFolder));
    EXPECT_EQ(RunProgram(), kInstalled);
    EXPECT_EQ(RunProgram(), kNotInstalled);
}

TEST_F(UninstallRunTest, FailedAllUsersLookupSkipsPassesTwoAndThree) {
    InstallSectionTool(PluginsOf(userFolder));
    InstallEverything(PluginsOf(commonFolder));
    const std::set<std::string> commonBefore = ListTree(PluginsOf(commonFolder));
    FailSpecialFolderLookupForTest(CSIDL_COMMON_APPDATA);

    EXPECT_EQ(RunProgram(), kNotInstalled);
    EXPECT_EQ(ListTree(PluginsOf(userFolder)), kOtherPlugins);
    EXPECT_EQ(ListTree(PluginsOf(commonFolder)), commonBefore);
}

// The top-level work of a run: one listing per tree target, one deletion per
// file target. With nothing installed, nothing else happens.
std::vector<std::pair<PlatformOperation, WidePath>> TopLevelCalls() {
    std::vector<std::pair<PlatformOperation, WidePath>> calls;
    for (const PlatformCall& call : PlatformCallsForTest()) {
        if (call.operation == PlatformOperation::FindFirstFileW ||
            call.operation == PlatformOperation::DeleteFileW) {
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
    const auto tree = [](const WidePath& path) {
        return std::make_pair(Op::FindFirstFileW, path + u"\\*.*");
    };
    const auto file = [](const WidePath& path) { return std::make_pair(Op::DeleteFileW, path); };
    const std::vector<std::pair<PlatformOperation, WidePath>> expected = {
        tree(user + u"SU_Tarvex_V2"),
        file(user + u"SU_Tarvex_V2.rbs"),
        file(user + u"SU_Tarvex_Section_Tool.rb"),
        tree(user + u"Ombrisk_Section"),
        file(user + u"tarvex_tools.rbs"),
        file(user + u"SU_Tarvex_V2\\plug_in\\tarvex_tools.rbs"),
        tree(common + u"SU_Tarvex_V2"),
        file(common + u"SU_Tarvex_V2.rbs"),
        file(common + u"SU_Tarvex_Section_Tool.rb"),
        tree(common + u"Ombrisk_Section"),
        file(common + u"tarvex_tools.rbs"),
        file(common + u"SU_Tarvex_V2\\plug_in\\tarvex_tools.rbs"),
        tree(common + u"SU_Tarvex_V2.5"),
        file(common + u"SU_Tarvex_V2.5.rbs"),
        file(common + u"SU_Tarvex_Section_Tool.rb"),
        tree(common + u"Ombrisk_Section"),
        file(common + u"tarvex_tools.rbs"),
        file(common + u"SU_Tarvex_V2.5\\plug_in\\tarvex_tools.rbs"),
        tree(user + u"SU_Tarvex_V2.5"),
        file(user + u"SU_Tarvex_V2.5.rbs"),
        file(user + u"SU_Tarvex_Section_Tool.rb"),
        tree(user + u"Ombrisk_Section"),
        file(user + u"tarvex_tools.rbs"),
        file(user + u"SU_Tarvex_V2.5\\plug_in\\tarvex_tools.rbs"),
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
        {PlatformOperation::FindFirstFileW, plugins + u"\\SU_Tarvex_V2\\*.*"},
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

    const std::vector<std::pair<PlatformOperation, WidePath>> calls = TopLevelCalls();
    EXPECT_EQ(calls.size(), 10u); // targets 1 to 5 of passes 1 and 4
    for (const auto& call : calls) {
        EXPECT_EQ(call.second.find(u"plug_in"), WidePath::npos);
    }
    ExpectOnlyPathsBelowPlugins(longFolder);
}

} // namespace

namespace {

TEST_F(UninstallRunTest, FileTargetIsNeverDeletedThroughALinkedVersionFolder) {
    // A version folder planted as a link that cannot be removed (as under Wine,
    // or without the right to remove it): the file target inside the version
    // folder would reach through it.
    const fs::path elsewhere = sandbox / "someone else" / "data";
    WriteTestFile(elsewhere / "plug_in" / "tarvex_tools.rbs");
    WriteTestFile(elsewhere / "linked-plug-in" / "tarvex_tools.rbs");
    const fs::path plugins = PluginsOf(commonFolder);
    MakeDirectoryLink(elsewhere, plugins / "SU_Tarvex_V2.5");
    FailOperationForTest(PlatformOperation::RemoveDirectoryW,
                         WidePathOf(plugins / "SU_Tarvex_V2.5"));
    InstallVersion(plugins, "SU_Tarvex_V2");
    fs::remove_all(plugins / "SU_Tarvex_V2" / "plug_in");
    MakeDirectoryLink(elsewhere / "linked-plug-in", plugins / "SU_Tarvex_V2" / "plug_in");
    FailOperationForTest(PlatformOperation::RemoveDirectoryW,
                         WidePathOf(plugins / "SU_Tarvex_V2" / "plug_in"));

    RunProgram();

    EXPECT_EQ(ListTree(elsewhere),
              (std::set<std::string>{"plug_in/", "plug_in/tarvex_tools.rbs", "linked-plug-in/",
                                     "linked-plug-in/tarvex_tools.rbs"}));
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
