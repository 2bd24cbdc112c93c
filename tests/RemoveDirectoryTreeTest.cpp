#include "removal/RemoveDirectoryTree.h"
#include "removal/EntryHandle.h"

#include "tests/Interposer.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

namespace {

class RemoveDirectoryTreeTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        tree = sandbox + L"\\tree";
        outside = sandbox + L"\\outside";
    }

    // Holds the sandbox, as the run holds Plugins, and removes the tree in it.
    bool Remove() {
        return Intercepted([&] {
            const HANDLE parent = HoldSandbox();
            const bool listed = RemoveDirectoryTree(parent, tree);
            CloseHandle(parent);
            return listed;
        });
    }

    HANDLE HoldSandbox() {
        const HANDLE parent =
            CreateFileW(sandbox.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(parent, INVALID_HANDLE_VALUE);
        return parent;
    }

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
         // Only read-only, as Windows shows such a file: no attribute is
         // left to write when that one is cleared.
         WriteTestFile(tree + L"\\only read-only.txt");
         MakeReadOnly(tree + L"\\only read-only.txt");
         Interposed().withoutArchive.insert(tree + L"\\only read-only.txt");
         // Attribute writing refused, as an access list may refuse it.
         WriteTestFile(tree + L"\\plain.txt");
         Interposed().refusedAccess[tree + L"\\plain.txt"] = FILE_WRITE_ATTRIBUTES;
         // More entries than one listing call returns.
         for (int i = 0; i < 300; ++i) {
             WriteTestFile(tree + L"\\many\\" + std::to_wstring(i) + std::wstring(100, L'n'));
         }
     },
     true,
     {}},
    {"TreeIsLink",
     [](const std::wstring& tree, const std::wstring& outside) {
         WriteTestFile(outside + L"\\data\\precious.txt");
         WriteTestFile(outside + L"\\data\\sub\\more.txt");
         MakeLink(outside + L"\\data", tree);
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt", "outside/data/sub/",
      "outside/data/sub/more.txt", "tree@"}},
    {"EntriesWhoseKindOrIdentityCannotBeReadStay",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\unknown kind.txt");
         MakeReadOnly(tree + L"\\unknown kind.txt");
         WriteTestFile(tree + L"\\unknown identity.txt");
         WriteTestFile(tree + L"\\unknown\\kept.txt");
         WriteTestFile(tree + L"\\gone.txt");
         Interposed().faults.insert(
             {Api::GetFileInformationByHandleEx, tree + L"\\unknown kind.txt"});
         Interposed().faults.insert(
             {Api::NtQueryInformationFile, tree + L"\\unknown identity.txt"});
         Interposed().faults.insert({Api::GetFileInformationByHandleEx, tree + L"\\unknown"});
     },
     true,
     {"tree/", "tree/unknown kind.txt [read-only]", "tree/unknown identity.txt", "tree/unknown/",
      "tree/unknown/kept.txt"}},
    {"FolderThatCannotBeListedIsNotTouched",
     [](const std::wstring& tree, const std::wstring&) {
         WriteTestFile(tree + L"\\kept.txt");
         Interposed().faults.insert({Api::NtQueryDirectoryFile, tree});
     },
     false,
     {"tree/", "tree/kept.txt"}},
    // Links inside, one of them deeper down, and names that Windows' path
    // rules would rewrite in a plain path, taken literally: links named so
    // are never followed (Wine cannot remove a link to a folder that is not
    // empty, where Windows removes the link, so they stay), real entries
    // named so go. Made on the host, as no plain path can make them.
    {"LinksWithNamesThatPathRulesRewrite",
     [](const std::wstring& tree, const std::wstring& outside) {
         WriteTestFile(outside + L"\\data\\precious.txt");
         MakeLink(outside + L"\\data", tree + L"\\sub\\link");
         WriteTestFile(outside + L"\\data\\read-only.txt");
         MakeReadOnly(outside + L"\\data\\read-only.txt");
         WriteTestFile(tree + L"\\x\\busy.txt");
         HoldOpenWithoutDeleteSharing(tree + L"\\x\\busy.txt");
         RunOnHost("cd \"$2\" && for name in 'x ' lib. NUL; do ln -s \"$1\" \"$name\"; done",
                   outside + L"\\data", tree);
     },
     true,
     {"outside/", "outside/data/", "outside/data/precious.txt",
      "outside/data/read-only.txt [read-only]", "tree/", "tree/x/", "tree/x/busy.txt", "tree/x @",
      "tree/lib.@", "tree/NUL@", "tree/sub/", "tree/sub/link@"}},
    {"RealEntriesWithNamesThatPathRulesRewrite",
     [](const std::wstring& tree, const std::wstring&) {
         MakeFolders(tree);
         RunOnHost("cd \"$1\" && for name in 'x ' y. 'z ...' ' lead' NUL ..cache; do\n"
                   "  mkdir \"$name\" && echo data >\"$name/inside\"; done\n"
                   "echo data >com1.txt && echo data >a. && chmod a-w a.",
                   tree);
     },
     true,
     {}},
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
    EXPECT_EQ(Interposed().openFiles.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Trees, RemoveDirectoryTreeCases, testing::ValuesIn(kTreeCases),
                         [](const testing::TestParamInfo<TreeCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RemoveDirectoryTreeTest, EntryAtMaxPathStays) {
    // Wine does not enforce MAX_PATH on plain paths; Windows would, to paths
    // of 259 code units and a terminator.
    const std::wstring folder = tree + L"\\" + std::wstring(200 - sandbox.size(), L'f');
    const std::wstring atLimit(260 - folder.size() - 1, L'l');
    const std::wstring belowLimit(259 - folder.size() - 1, L'b');
    WriteTestFile(folder + L"\\" + atLimit);
    WriteTestFile(folder + L"\\" + belowLimit);

    EXPECT_TRUE(Remove());

    const std::string folderName = Utf8(folder.substr(tree.size() + 1));
    EXPECT_EQ(ListTree(tree),
              (std::set<std::string>{folderName + "/", folderName + "/" + Utf8(atLimit)}));
}

TEST_F(RemoveDirectoryTreeTest, ListingThatFailsPartWayLeavesTheRest) {
    for (const wchar_t* name : {L"1", L"2", L"3", L"4", L"5"}) {
        WriteTestFile(tree + L"\\" + name);
    }
    Interposed().listingLimits[tree] = 1;

    EXPECT_TRUE(Remove());

    // Only the first listed entry was handled.
    EXPECT_EQ(ListTree(tree).size(), 4u);
}

TEST_F(RemoveDirectoryTreeTest, FileHeldOpenKeepsItsFoldersAndNothingElse) {
    const std::wstring deepest = tree + L"\\a\\b";
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt"}) {
        WriteTestFile(deepest + L"\\" + name);
    }
    WriteTestFile(tree + L"\\a\\other.txt");
    WriteTestFile(tree + L"\\c\\other.txt");
    WriteTestFile(tree + L"\\top.txt");
    // Whichever file the file system lists first: those after it still go.
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((deepest + L"\\*").c_str(), &entry);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    while (entry.cFileName[0] == L'.') {
        ASSERT_TRUE(FindNextFileW(search, &entry));
    }
    FindClose(search);
    HoldOpenWithoutDeleteSharing(deepest + L"\\" + entry.cFileName);

    EXPECT_TRUE(Remove());

    EXPECT_EQ(ListTree(tree),
              (std::set<std::string>{"a/", "a/b/", "a/b/" + Utf8(entry.cFileName)}));
}

// Another party swaps a read-only file of the tree for a link to a read-only
// file outside, just before each of the calls the removal makes on the file
// (a host program, which sharing does not bind). The outside file keeps its
// content and attribute.
TEST_F(RemoveDirectoryTreeTest, FileSwappedForALinkBeforeAnyOfItsCallsLeavesTheOutsideAlone) {
    const std::wstring file = tree + L"\\file.txt";
    const std::wstring precious = outside + L"\\precious.txt";
    int swaps = 0;
    ActBeforeEachCall(
        [&](std::uint64_t) {
            RemoveScratchFolder(sandbox);
            WriteTestFile(file);
            MakeReadOnly(file);
            WriteTestFile(precious, "precious");
            MakeReadOnly(precious);
        },
        [&] { Remove(); }, [&](const std::wstring& path) { return path == file; },
        [&] {
            RunOnHost("mv \"$1\" \"$1 (moved)\" && ln -s \"$2\" \"$1\"", file, precious);
            ++swaps;
        },
        [&](std::uint64_t) {
            EXPECT_EQ(ListTree(outside), std::set<std::string>{"precious.txt [read-only]"});
            EXPECT_EQ(ReadTestFile(precious), "precious");
        });
    // Opened, identified, attributes written, deleted, closed.
    EXPECT_GE(swaps, 4);
}

TEST_F(RemoveDirectoryTreeTest, HeldFolderCannotBeRenamedUntilReleased) {
    const std::wstring renamed = sandbox + L"\\renamed";
    MakeFolders(tree);
    const HANDLE parent = HoldSandbox();
    EntryHandle held = {};
    ASSERT_TRUE(OpenNamedEntry(parent, L"tree", EntryUse::Hold, held));
    ASSERT_EQ(held.openedAs, OpenedAs::Listed);

    EXPECT_FALSE(MoveFileW(tree.c_str(), renamed.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));

    CloseHandle(held.handle);
    CloseHandle(parent);
    EXPECT_TRUE(MoveFileW(tree.c_str(), renamed.c_str()));
}

} // namespace
