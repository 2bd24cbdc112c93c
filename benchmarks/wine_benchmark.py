#!/usr/bin/env python3
"""What the benchmark needs besides hyperfine.

  wine_benchmark.py where BUILD_DIR
      the Windows and host paths of the version folder the benchmark removes
      (under the all-users folder of the build's prefix), one a line
  wine_benchmark.py tree HOST_PATH [--files N] [--files-per-folder N] [--depth N]
      a fresh tree there: leaf folders DEPTH levels down, FILES_PER_FOLDER
      files in each
  wine_benchmark.py calls BUILD_DIR EXE HOST_PATH [tree options]
      the API calls of one run of EXE on a fresh tree, per file and per folder
      (those of a run with nothing installed taken off), from a relay trace
"""
import argparse
import os
import shutil
import sys
from pathlib import Path

import wine_harness as wine

VERSION = "SU_Tarvex_V2"


def generate_tree(root, files, per_folder, depth):
    """Returns (files, folders), root included."""
    root = Path(root)
    wine.remove_tree(root)
    leaves = -(-files // per_folder)
    branching = max(2, round(leaves ** (1 / depth) + 0.4999))
    written = 0
    for leaf in range(leaves):
        folder, rest = root, leaf
        for _ in range(depth):
            folder, rest = folder / ("d%d" % (rest % branching)), rest // branching
        folder.mkdir(parents=True, exist_ok=True)
        for i in range(min(per_folder, files - written)):
            (folder / ("file%d.rb" % i)).touch()
            written += 1
    folders = 1 + sum(len(subfolders) for _, subfolders, _ in os.walk(root))
    return written, folders


def count_calls(prefix, exe):
    _, _, trace = wine.run_uninstaller(prefix, exe)
    counts = {}
    for function, _, _ in wine.calls_from(trace, exe):
        counts[function] = counts.get(function, 0) + 1
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["where", "tree", "calls"])
    parser.add_argument("paths", nargs="+", type=Path)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--files-per-folder", type=int, default=100)
    parser.add_argument("--depth", type=int, default=2)
    arguments = parser.parse_args()
    shape = (arguments.files, arguments.files_per_folder, arguments.depth)

    if arguments.command == "where":
        build = arguments.paths[0].resolve()
        windows, host = wine.special_folders(build / "wineprefix", build / "WineHelper.exe")[
            "CSIDL_COMMON_APPDATA"]
        plugins = "\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\"
        print(windows + plugins + VERSION)
        print(host / wine.PLUGINS / VERSION)
    elif arguments.command == "tree":
        generate_tree(arguments.paths[0], *shape)
    else:
        build, exe, tree = arguments.paths
        wine.remove_tree(tree)
        nothing = count_calls(build / "wineprefix", exe)
        files, folders = generate_tree(tree, *shape)
        counts = count_calls(build / "wineprefix", exe)
        print("%s on %d files in %d folders, calls beyond a run with nothing installed:"
              % (exe.name, files, folders))
        for function in sorted(counts):
            extra = counts[function] - nothing.get(function, 0)
            if extra:
                print("  %-45s %7d  %5.2f per file  %6.2f per folder"
                      % (function, extra, extra / files, extra / folders))
        wine.remove_tree(tree)


if __name__ == "__main__":
    main()
