// Times RemoveDirectoryTree over the POSIX layer against `rm -rf` and
// std::filesystem::remove_all, each on a freshly generated tree of the same
// shape, taking turns so that drift of the machine hits all of them.
//
//   tree_removal_benchmark [--runs N] [--files-per-folder N] [--depth N]
//                          [--file-size BYTES] [--scratch DIR] FILES...
//
// Each removal runs in a child process, so that its peak memory can be read
// on its own. One more removal per size, in this process, counts the platform
// calls per file and per folder.
#include "platform/Unix/TestControls.h"
#include "removal/RemoveDirectoryTree.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TreeShape {
    std::size_t files;
    std::size_t filesPerFolder;
    std::size_t depth;
    std::size_t fileSize;
};

struct TreeCounts {
    std::size_t files;
    std::size_t folders;
};

struct Measurement {
    double milliseconds;
    long peakKilobytes;
};

struct Contender {
    const char* name;
    void (*remove)(const std::string& root); // runs in a child process
};

// Leaf folders at `depth` below the root, each holding up to filesPerFolder
// files, spread over as few branches as the depth allows.
TreeCounts GenerateTree(const std::string& root, const TreeShape& shape) {
    const std::size_t leaves = (shape.files + shape.filesPerFolder - 1) / shape.filesPerFolder;
    const auto branching = std::max<std::size_t>(
        2,
        static_cast<std::size_t>(std::ceil(std::pow(double(leaves), 1.0 / double(shape.depth)))));
    const std::string content(shape.fileSize, 'x');
    std::size_t written = 0;
    for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
        std::string folder = root;
        for (std::size_t level = 0, rest = leaf; level < shape.depth; ++level, rest /= branching) {
            folder += "/d" + std::to_string(rest % branching);
        }
        fs::create_directories(folder);
        for (std::size_t i = 0; i < shape.filesPerFolder && written < shape.files; ++i, ++written) {
            const std::string file = folder + "/file" + std::to_string(i) + ".rb";
            const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (descriptor < 0 || write(descriptor, content.data(), content.size()) < 0) {
                std::perror(file.c_str());
                std::exit(2);
            }
            close(descriptor);
        }
    }
    TreeCounts counts = {0, 1};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        ++(entry.is_directory() ? counts.folders : counts.files);
    }
    return counts;
}

void RemoveWithOurTree(const std::string& root) {
    RemoveDirectoryTree(WidePathFromHost(root));
}

void RemoveWithRm(const std::string& root) {
    execlp("rm", "rm", "-rf", root.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

void RemoveWithFilesystem(const std::string& root) {
    fs::remove_all(root);
}

const Contender kContenders[] = {
    {"RemoveDirectoryTree", RemoveWithOurTree},
    {"rm -rf", RemoveWithRm},
    {"std::filesystem::remove_all", RemoveWithFilesystem},
};
const std::size_t kContenderCount = sizeof(kContenders) / sizeof(kContenders[0]);

Measurement MeasureInChild(const Contender& contender, const std::string& root) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        contender.remove(root);
        _exit(0);
    }
    int status = 0;
    rusage usage = {};
    wait4(child, &status, 0, &usage);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fs::exists(root)) {
        std::fprintf(stderr, "%s did not remove %s\n", contender.name, root.c_str());
        std::exit(2);
    }
    return {std::chrono::duration<double, std::milli>(elapsed).count(), usage.ru_maxrss};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void PrintCallsPerEntry(const std::string& root, const TreeShape& shape) {
    const TreeCounts tree = GenerateTree(root, shape);
    ResetPlatformForTest(false);
    const auto count = [](PlatformOperation operation) {
        return double(PlatformCallCountForTest(operation));
    };
    RemoveWithOurTree(root);
    const double files = double(tree.files);
    const double folders = double(tree.folders);
    // Every folder is held, checked (one attribute read), listed, closed,
    // released and removed.
    std::printf("  calls per file:   %.2f GetFileAttributesW, %.2f SetFileAttributesW, %.2f "
                "DeleteFileW\n",
                (count(PlatformOperation::GetFileAttributesW) - folders) / files,
                count(PlatformOperation::SetFileAttributesW) / files,
                count(PlatformOperation::DeleteFileW) / files);
    std::printf("  calls per folder: %.2f CreateFileW, %.2f GetFileAttributesW, %.2f "
                "FindFirstFileW, %.2f FindClose, %.2f CloseHandle, %.2f RemoveDirectoryW; %.2f "
                "FindNextFileW per entry listed\n",
                count(PlatformOperation::CreateFileW) / folders,
                (count(PlatformOperation::GetFileAttributesW) - files) / folders,
                count(PlatformOperation::FindFirstFileW) / folders,
                count(PlatformOperation::FindClose) / folders,
                count(PlatformOperation::CloseHandle) / folders,
                count(PlatformOperation::RemoveDirectoryW) / folders,
                count(PlatformOperation::FindNextFileW) / (files + folders - 1 + 2 * folders));
}

void RunSize(const std::string& scratch, TreeShape shape, int runs) {
    std::vector<double> times[kContenderCount];
    long peak[kContenderCount] = {};
    TreeCounts tree = {};
    for (int run = 0; run < runs; ++run) {
        for (std::size_t turn = 0; turn < kContenderCount; ++turn) {
            const std::size_t index = (turn + std::size_t(run)) % kContenderCount;
            const std::string root = scratch + "/tree";
            tree = GenerateTree(root, shape);
            const Measurement measured = MeasureInChild(kContenders[index], root);
            times[index].push_back(measured.milliseconds);
            peak[index] = std::max(peak[index], measured.peakKilobytes);
        }
    }
    std::printf("%zu files in %zu folders (%zu per folder, depth %zu, %zu bytes each), median of "
                "%d runs:\n",
                tree.files, tree.folders, shape.filesPerFolder, shape.depth, shape.fileSize, runs);
    const double ours = Median(times[0]);
    for (std::size_t i = 0; i < kContenderCount; ++i) {
        const double median = Median(times[i]);
        std::printf("  %-28s %9.1f ms  ours/this %5.2f  %7.1f us/file  peak %ld KiB\n",
                    kContenders[i].name, median, ours / median, 1000 * median / double(tree.files),
                    peak[i]);
    }
    PrintCallsPerEntry(scratch + "/tree", shape);
}

} // namespace

int main(int argc, char** argv) {
    TreeShape shape = {0, 100, 3, 0};
    int runs = 5;
    std::string scratch = (fs::temp_directory_path() / "tarvex-benchmark").string();
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--runs" && hasValue) {
            runs = std::atoi(argv[++i]);
        } else if (argument == "--files-per-folder" && hasValue) {
            shape.filesPerFolder = std::strtoul(argv[++i], nullptr, 10);
        } else if (argument == "--depth" && hasValue) {
            shape.depth = std::strtoul(argv[++i], nullptr, 10);
        } else if (argument == "--file-size" && hasValue) {
            shape.fileSize = std::strtoul(argv[++i], nullptr, 10);
        } else if (argument == "--scratch" && hasValue) {
            scratch = argv[++i];
        } else if (std::strtoul(argument.c_str(), nullptr, 10) > 0) {
            sizes.push_back(std::strtoul(argument.c_str(), nullptr, 10));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--runs N] [--files-per-folder N] [--depth N] "
                         "[--file-size BYTES] [--scratch DIR] FILES...\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) {
        sizes = {1000, 10000, 100000};
    }
    if (runs < 5 || shape.filesPerFolder == 0 || shape.depth == 0) {
        std::fprintf(stderr, "at least 5 runs, 1 file per folder and depth 1\n");
        return 2;
    }
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    scratch = fs::canonical(scratch).string();
    for (const std::size_t files : sizes) {
        shape.files = files;
        RunSize(scratch, shape, runs);
    }
    fs::remove_all(scratch);
    return 0;
}
