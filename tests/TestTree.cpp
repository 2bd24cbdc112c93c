#include "tests/TestTree.h"

#include <fstream>
#include <stdexcept>

#ifndef _WIN32
#include "platform/Unix/TestControls.h"

#include <stdlib.h>
#include <sys/stat.h>
#endif

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

bool IsReadOnly(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void MakeDirectoryLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directory_symlink(target, link);
}

void MakeFileLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
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
        }
        entries.insert(name);
    }
    return entries;
}

WidePath WidePathOf(const fs::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return WidePathFromHost(path.string());
#endif
}

fs::path MakeScratchFolder() {
#ifdef _WIN32
    static int counter = 0;
    fs::path folder =
        fs::temp_directory_path() /
        ("tarvex-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
    fs::create_directories(folder);
    return folder;
#else
    std::string pattern = (fs::temp_directory_path() / "tarvex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::canonical(pattern);
#endif
}

void RemoveScratchFolder(const fs::path& folder) {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink()) {
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(folder, ignored);
}
