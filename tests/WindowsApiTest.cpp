// What the removal relies on from the real Windows API, which the tests over
// the POSIX layer can only model. Run under Wine here.
#include "removal/FolderHold.h"
#include "removal/RemoveDirectoryTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace {

class WindowsApiTest : public testing::Test {
  protected:
    void SetUp() override {
        wchar_t temporary[MAX_PATH] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH, temporary), 0u);
        folder = std::wstring(temporary) + L"tarvex-test-" +
                 std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    }

    std::wstring folder;
};

// The names in a folder, as the Windows API lists them.
std::set<std::wstring> NamesIn(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.insert(name);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

TEST_F(WindowsApiTest, HeldFolderCannotBeRenamed) {
    const std::wstring tree = folder + L"\\tree";
    const std::wstring renamed = folder + L"\\renamed";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    const FolderHold hold = HoldFolder(tree.c_str());
    ASSERT_EQ(hold.state, FolderHoldState::Held);

    EXPECT_FALSE(MoveFileW(tree.c_str(), renamed.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));

    ReleaseFolder(hold);
    EXPECT_TRUE(MoveFileW(tree.c_str(), renamed.c_str()));
}

TEST_F(WindowsApiTest, UnicodeNamesReachTheDiskAndAreRemoved) {
    // Beyond Latin-1, and beyond the Basic Multilingual Plane (a surrogate
    // pair in UTF-16).
    const std::wstring tree = folder + L"\\r\u00e9sum\u00e9 \u30d5\u30a1\u30a4\u30eb";
    const std::wstring file = L"\u00dcn\u00efc\u00f8d\u00e9 \U0001F600.txt";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    const HANDLE created = CreateFileW((tree + L"\\" + file).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    ASSERT_EQ(NamesIn(tree), std::set<std::wstring>{file});

    EXPECT_TRUE(RemoveDirectoryTree(tree));

    EXPECT_EQ(NamesIn(folder), std::set<std::wstring>{});
}

} // namespace
