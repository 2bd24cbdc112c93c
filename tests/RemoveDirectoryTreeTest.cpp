#include "removal/RemoveDirectoryTree.h"
#include "removal/FolderHold.h"

#include "tests/Interposer.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

namespace {

class RemoveDirectoryTreeTest : public testing::Test {
  protected:
    void SetUp() override {
        sandbox = MakeScratchFolder();
        tree = sandbox + L"\\tree";
        outside = sandbox + L"\\outside";
    }
    void TearDown() override {
        RemoveScratchFolder(sandbox);
    }

    bool Remove() {
        return Intercepted([&] { return RemoveDirectoryTree(tree); });
    }

    std::wstring sandbox;
    std::wstring tree;    // what is removed
    std::wstring outside; // what must survive
};

struct TreeCase {
    const char* name;
    void (*build)(const std::wstring& tree, const std::wstring& outside);
    bool listed;
    std::set<std::string> left; // below the sandbox
};

const TreeCase kTreeCases[] = {
    {"FileHeldOpenKeepsItsFoldersAndNothingElse",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\a\\b\\locked.txt");
         WriteTestFile(tree + L"\\a\\b\\free.txt");
         WriteTestFile(tree + L"\\a\\other.txt");
         WriteTestFile(tree + L"\\c\\other.txt");
         WriteTestFile(tree + L"\\top.txt");
         HoldOpenWithoutDeleteSharing(tree + L"\\a\\b\\locked.txt");
     },
     true,
     {"tree/", "tree/a/", "tree/a/b/", "tree/a/b/locked.txt"}},
    {"MissingDirectory",
     [](const std::wstring&, const std::wstring& outside) {
         WriteTestFile(outside + L"\\keep.txt");
     },
     false,
     {"outside/", "outside/keep.txt"}},
    {"FileInsteadOfDirectory",
     [](const std::wstring& tree, const std::wstring&) { WriteTestFile(tree); },
     false,
     {"tree"}},
    {"EmptyDirectory",
     [](const std::wstring& tree, const std::wstring&) { MakeFolders(tree); },
     true,
     {}},
    {"NestedReadOnlyHiddenSystemAndOddNames",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\a\\b\\c\\d\\deep.txt");
         WriteTestFile(tree + L"\\a\\read-only.txt");
         MakeReadOnly(tree + L"\\a\\read-only.txt");
         WriteTestFile(tree + L"\\hidden and system.txt");
         SetFileAttributesW((tree + L"\\hidden and system.txt").c_str(),
                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
         WriteTestFile(tree + L"\\.config\\settings");
         WriteTestFile(tree + L"\\..double-dot");
         // Beyond Latin-1, and beyond the Basic Multilingual Plane (a
         // surrogate pair in UTF-16).
         WriteTestFile(tree + L"\\r\u00e9sum\u00e9 \u30d5\u30a1\u30a4\u30eb\\\u00dcn\u00efc\u00f8d"
                              L"\u00e9 \U0001F600.txt");
         MakeReadOnly(tree + L"\\r\u00e9sum\u00e9 \u30d5\u30a1\u30a4\u30eb\\\u00dcn\u00efc\u00f8d"
                             L"\u00e9 \U0001F600.txt");
     },
     true,
     {}},
    // Wine's RemoveDirectoryW cannot remove a link to a folder that is not
    // empty (Windows removes the link), so here the links stay.
    {"LinkToFolderInside",
     [](const std::wstring& tree, const std::wstring& outside) {
         WriteTestFile(outside + L"\\data\\precious.txt");
         WriteTestFile(tree + L"\\file.txt");
         MakeLink(outside + L"\\data", tree + L"\\sub\\link");
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt", "tree/", "tree/sub/",
      "tree/sub/link@"}},
    {"TreeIsLink",
     [](const std::wstring& tree, const std::wstring& outside) {
         WriteTestFile(outside + L"\\data\\precious.txt");
         WriteTestFile(outside + L"\\data\\sub\\more.txt");
         MakeLink(outside + L"\\data", tree);
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt", "outside/data/sub/",
      "outside/data/sub/more.txt", "tree@"}},
    {"UnreadableFileAttributesAreNotWrittenBack",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\plain.txt");
         WriteTestFile(tree + L"\\read-only.txt");
         MakeReadOnly(tree + L"\\read-only.txt");
         FailCallOn(Api::GetFileAttributesW, tree + L"\\plain.txt");
         FailCallOn(Api::GetFileAttributesW, tree + L"\\read-only.txt");
     },
     true,
     // No attribute value was known to write back, so the read-only file stays.
     {"tree/", "tree/read-only.txt [read-only]"}},
    {"FolderWhoseKindCannotBeReadIsNotEntered",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\unknown\\kept.txt");
         WriteTestFile(tree + L"\\gone.txt");
         FailCallOn(Api::GetFileAttributesW, tree + L"\\unknown");
     },
     true,
     {"tree/", "tree/unknown/", "tree/unknown/kept.txt"}},
    {"FolderThatCannotBeListedIsNotTouched",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\kept.txt");
         FailCallOn(Api::FindFirstFileW, tree);
     },
     false,
     {"tree/", "tree/kept.txt"}},
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
    *out << treeCase.name;
}

class RemoveDirectoryTreeCases : public RemoveDirectoryTreeTest,
                                 public testing::WithParamInterface<TreeCase> {};

TEST_P(RemoveDirectoryTreeCases, RemovesWhatItShouldAndReportsListing) {
    const TreeCase& treeCase = GetParam();
    treeCase.build(tree, outside);
    EXPECT_EQ(Remove(), treeCase.listed);
    EXPECT_EQ(ListTree(sandbox), treeCase.left);
    EXPECT_EQ(HandlesLeftOpen(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Trees, RemoveDirectoryTreeCases, testing::ValuesIn(kTreeCases),
                         [](const testing::TestParamInfo<TreeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RemoveDirectoryTreeTest, ListingThatFailsPartWayLeavesTheRest) {
    for (const wchar_t* name : {L"1", L"2", L"3", L"4", L"5"}) {
        WriteTestFile(tree + L"\\" + name);
    }
    EndListingAfter(tree, 1);

    EXPECT_TRUE(Remove());

    // Only the first listed entry was handled; the folder's removal was still tried.
    EXPECT_EQ(ListTree(tree).size(), 4u);
    EXPECT_EQ(Calls().back().api, Api::RemoveDirectoryW);
    EXPECT_EQ(Calls().back().path, tree);
}

TEST_F(RemoveDirectoryTreeTest, FileThatCannotBeDeletedDoesNotStopTheOthers) {
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt"}) {
        WriteTestFile(tree + L"\\" + name);
    }
    // Whichever file the file system lists first, whatever its order.
    const std::set<std::string> names = ListTree(tree);
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((tree + L"\\*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    while (entry.cFileName[0] == L'.') {
        ASSERT_TRUE(FindNextFileW(search, &entry));
    }
    FindClose(search);
    const std::wstring first = entry.cFileName;
    HoldOpenWithoutDeleteSharing(tree + L"\\" + first);

    EXPECT_TRUE(Remove());

    EXPECT_EQ(ListTree(tree), std::set<std::string>{Utf8(first)});
}

TEST_F(RemoveDirectoryTreeTest, HeldFolderCannotBeRenamedUntilReleased) {
    const std::wstring renamed = sandbox + L"\\renamed";
    MakeFolders(tree);
    const FolderHold hold = HoldFolder(tree.c_str());
    ASSERT_EQ(hold.state, FolderHoldState::Held);

    EXPECT_FALSE(MoveFileW(tree.c_str(), renamed.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));

    ReleaseFolder(hold);
    EXPECT_TRUE(MoveFileW(tree.c_str(), renamed.c_str()));
}

} // namespace
