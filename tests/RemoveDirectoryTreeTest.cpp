#include "removal/RemoveDirectoryTree.h"

#include "platform/Unix/TestControls.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

class RemoveDirectoryTreeTest : public testing::Test {
  protected:
    void SetUp() override {
        sandbox = MakeScratchFolder();
        tree = sandbox / "tree";
        outside = sandbox / "outside";
    }
    void TearDown() override {
        RemoveScratchFolder(sandbox);
    }

    fs::path sandbox;
    fs::path tree;    // what is removed
    fs::path outside; // what must survive
};

struct TreeCase {
    const char* name;
    void (*build)(const fs::path& tree, const fs::path& outside);
    bool listed;
    std::set<std::string> left; // below the sandbox
};

const TreeCase kTreeCases[] = {
    {"FileHeldOpenKeepsItsFoldersAndNothingElse",
     [](const fs::path& tree, const fs::path&) {
         WriteTestFile(tree / "a" / "b" / "locked.txt");
         WriteTestFile(tree / "a" / "b" / "free.txt");
         WriteTestFile(tree / "a" / "other.txt");
         WriteTestFile(tree / "c" / "other.txt");
         WriteTestFile(tree / "top.txt");
         HoldOpenWithoutDeleteSharing(tree / "a" / "b" / "locked.txt");
     },
     true,
     {"tree/", "tree/a/", "tree/a/b/", "tree/a/b/locked.txt"}},
    {"MissingDirectory",
     [](const fs::path&, const fs::path& outside) { WriteTestFile(outside / "keep.txt"); },
     false,
     {"outside/", "outside/keep.txt"}},
    {"FileInsteadOfDirectory",
     [](const fs::path& tree, const fs::path&) { WriteTestFile(tree); },
     false,
     {"tree"}},
    {"EmptyDirectory",
     [](const fs::path& tree, const fs::path&) { fs::create_directories(tree); },
     true,
     {}},
    {"NestedReadOnlyHiddenAndOddNames",
     [](const fs::path& tree, const fs::path&) {
         WriteTestFile(tree / "a" / "b" / "c" / "d" / "deep.txt");
         WriteTestFile(tree / "a" / "read-only.txt");
         MakeReadOnly(tree / "a" / "read-only.txt");
         WriteTestFile(tree / ".hidden");
         WriteTestFile(tree / ".config" / "settings");
         WriteTestFile(tree / "..double-dot");
         WriteTestFile(tree / "a" / u8"Ünïcødé ファイル 😀.txt");
     },
     true,
     {}},
    {"LinkToFolderInside",
     [](const fs::path& tree, const fs::path& outside) {
         WriteTestFile(outside / "data" / "precious.txt");
         WriteTestFile(tree / "file.txt");
         MakeDirectoryLink(outside / "data", tree / "sub" / "link");
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt"}},
    {"LinkToReadOnlyFileInsideKeepsTheFileAndItsAttribute",
     [](const fs::path& tree, const fs::path& outside) {
         WriteTestFile(outside / "precious.txt");
         MakeReadOnly(outside / "precious.txt");
         MakeFileLink(outside / "precious.txt", tree / "link.txt");
     },
     true,
     {"outside/", "outside/precious.txt [read-only]"}},
    {"TreeIsLink",
     [](const fs::path& tree, const fs::path& outside) {
         WriteTestFile(outside / "data" / "precious.txt");
         WriteTestFile(outside / "data" / "sub" / "more.txt");
         MakeDirectoryLink(outside / "data", tree);
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt", "outside/data/sub/",
      "outside/data/sub/more.txt"}},
    {"UnreadableAttributesAreNotWrittenBack",
     [](const fs::path& tree, const fs::path&) {
         WriteTestFile(tree / "plain.txt");
         WriteTestFile(tree / "read-only.txt");
         MakeReadOnly(tree / "read-only.txt");
         for (const char* name : {"plain.txt", "read-only.txt"}) {
             FailOperationForTest(PlatformOperation::GetFileAttributesW, WidePathOf(tree / name));
         }
     },
     true,
     // The read-only file stays: no attribute value was known to write back.
     {"tree/", "tree/read-only.txt [read-only]"}},
    {"TreeIsDanglingLink",
     [](const fs::path& tree, const fs::path& outside) {
         MakeDirectoryLink(outside / "gone", tree);
     },
     false,
     {"tree@"}},
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
    *out << treeCase.name;
}

class RemoveDirectoryTreeCases : public RemoveDirectoryTreeTest,
                                 public testing::WithParamInterface<TreeCase> {};

TEST_P(RemoveDirectoryTreeCases, RemovesWhatItShouldAndReportsListing) {
    const TreeCase& treeCase = GetParam();
    treeCase.build(tree, outside);
    EXPECT_EQ(RemoveDirectoryTree(WidePathOf(tree)), treeCase.listed);
    EXPECT_EQ(ListTree(sandbox), treeCase.left);
}

INSTANTIATE_TEST_SUITE_P(Trees, RemoveDirectoryTreeCases, testing::ValuesIn(kTreeCases),
                         [](const testing::TestParamInfo<TreeCase>& info) {
                             return std::string(info.param.name);
                         });

// The operations a removal made, without the FindNextFileW calls whose count
// depends on the listing order.
std::vector<std::pair<PlatformOperation, WidePath>> CallsWithoutFindNext() {
    std::vector<std::pair<PlatformOperation, WidePath>> calls;
    for (const PlatformCall& call : PlatformCallsForTest()) {
        if (call.operation != PlatformOperation::FindNextFileW) {
            calls.emplace_back(call.operation, call.path);
        }
    }
    return calls;
}

TEST_F(RemoveDirectoryTreeTest, CallOrderIsDepthFirstAndEachFolderIsHeldWhileWorkedIn) {
    WriteTestFile(tree / "a" / "b" / "file.txt");
    const WidePath top = WidePathOf(tree);
    const WidePath a = top + u"\\a";
    const WidePath b = a + u"\\b";
    const WidePath file = b + u"\\file.txt";

    ASSERT_TRUE(RemoveDirectoryTree(top));

    using Op = PlatformOperation;
    // Each folder is held (opened, then checked not to be a link) before it
    // is listed, and released only once its listing is closed. No attribute
    // is ever written to a folder.
    std::vector<std::pair<PlatformOperation, WidePath>> expected;
    for (const WidePath& folder : {top, a, b}) {
        expected.insert(expected.end(), {{Op::CreateFileW, folder},
                                         {Op::GetFileAttributesW, folder},
                                         {Op::FindFirstFileW, folder + u"\\*.*"}});
    }
    expected.insert(
        expected.end(),
        {{Op::GetFileAttributesW, file}, {Op::SetFileAttributesW, file}, {Op::DeleteFileW, file}});
    for (const WidePath& folder : {b, a, top}) {
        expected.insert(expected.end(), {{Op::FindClose, folder + u"\\*.*"},
                                         {Op::CloseHandle, folder},
                                         {Op::RemoveDirectoryW, folder}});
    }
    EXPECT_EQ(CallsWithoutFindNext(), expected);
    EXPECT_FALSE(fs::exists(tree));
}

TEST_F(RemoveDirectoryTreeTest, ListingFailingPartWayLeavesTheRest) {
    for (const char* name : {"1", "2", "3", "4", "5"}) {
        WriteTestFile(tree / name);
    }
    FailListingAfterForTest(WidePathOf(tree), 1);

    EXPECT_TRUE(RemoveDirectoryTree(WidePathOf(tree)));

    // Only the first listed entry was handled; the folder's removal was still tried.
    EXPECT_EQ(ListTree(tree).size(), 4u);
    const PlatformCall& last = PlatformCallsForTest().back();
    EXPECT_EQ(last.operation, PlatformOperation::RemoveDirectoryW);
    EXPECT_FALSE(last.succeeded);
}

TEST_F(RemoveDirectoryTreeTest, FileSwappedForALinkBeforeItsAttributesAreReadGetsNoAttributeWrite) {
    const fs::path file = tree / "file.txt";
    const auto build = [&] {
        WriteTestFile(file);
        WriteTestFile(outside / "precious.txt");
        MakeReadOnly(outside / "precious.txt");
    };
    // A first removal finds the call that reads the file's attributes.
    build();
    RemoveDirectoryTree(WidePathOf(tree));
    const auto& calls = PlatformCallsForTest();
    const auto read = std::find_if(calls.begin(), calls.end(), [&](const PlatformCall& call) {
        return call.operation == PlatformOperation::GetFileAttributesW &&
               call.path == WidePathOf(file);
    });
    ASSERT_NE(read, calls.end());
    const auto readNumber = std::uint64_t(read - calls.begin()) + 1;
    RemoveScratchFolder(outside);
    ResetPlatformForTest();

    build();
    RunBeforeCallForTest(readNumber, [&] {
        fs::remove(file);
        MakeFileLink(outside / "precious.txt", file);
    });
    RemoveDirectoryTree(WidePathOf(tree));

    // The link is deleted as a link; what it points to keeps its attribute.
    EXPECT_EQ(ListTree(sandbox),
              (std::set<std::string>{"outside/", "outside/precious.txt [read-only]"}));
}

} // namespace
