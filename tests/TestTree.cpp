#include "tests/TestTree.h"

#include "platform/Unix/TestControls.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

void WriteTestFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file << content;
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

void MakeDirectoryLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

void MakeFileLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

void HoldOpenWithoutDeleteSharing(const fs::path& path) {
    if (CreateFileW(WidePathOf(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path.string());
    }
}

std::set<std::string> ListTree(const fs::path& root) {
    std::set<std::string> entries;
    if (!fs::exists(fs::symlink_status(root))) {
        return entries;
    }
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        std::string name = it->path().lexically_relative(root).generic_u8string();
        if (it->is_symlink()) {
            name += "@";
        } else if (it->is_directory()) {
            name += "/";
        } else if ((it->status().permissions() & fs::perms::owner_write) == fs::perms::none) {
            name += " [read-only]";
        }
        entries.insert(name);
    }
    return entries;
}

WidePath WidePathOf(const fs::path& path) {
    return WidePathFromHost(path.string());
}

fs::path MakeScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "tarvex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::canonical(pattern);
}

void RemoveScratchFolder(const fs::path& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
