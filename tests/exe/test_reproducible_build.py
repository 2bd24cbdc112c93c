"""Two clean builds of the same sources, in folders of different names, give
byte-identical executables."""
import hashlib
import os
import shutil
import subprocess
import unittest
from pathlib import Path

SOURCE = Path(os.environ["SOURCE_DIR"])
OUTPUT = Path(os.environ["TEST_OUTPUT_DIR"]) / "reproducible"


def copy_sources(destination):
    listed = subprocess.run(["git", "-c", "safe.directory=" + str(SOURCE), "ls-files", "-z"], cwd=SOURCE, capture_output=True)
    if listed.returncode == 0:
        for name in listed.stdout.decode().split("\0"):
            if name and (SOURCE / name).is_file():
                (destination / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(SOURCE / name, destination / name)
    else:
        shutil.copytree(SOURCE, destination, ignore=shutil.ignore_patterns("build", ".git"))


def build(folder):
    shutil.rmtree(folder, ignore_errors=True)
    source, binary = folder / "source", folder / "build"
    source.mkdir(parents=True)
    copy_sources(source)
    subprocess.run(["cmake", "-S", source, "-B", binary, "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_TOOLCHAIN_FILE=" + str(source / "cmake" / "mingw-i686.cmake"),
                    "-DUNINSTALLER_BUILD_TESTS=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", binary, "--target", "SUTarvexUninstaller2016"],
                   check=True, capture_output=True)
    return hashlib.sha256((binary / "SUTarvexUninstaller2016.exe").read_bytes()).hexdigest()


class ReproducibleBuild(unittest.TestCase):
    def test_two_clean_builds_are_identical(self):
        first = build(OUTPUT / "a")
        second = build(OUTPUT / "another-folder" / "with-a-longer-name")
        self.assertEqual(first, second)
        shutil.rmtree(OUTPUT)


if __name__ == "__main__":
    unittest.main()
