#!/usr/bin/env python3
"""Times the real executable under Wine removing an installed version folder,
against `wine cmd /c rd /s /q` on the same tree and against a native `rm -rf`
of it on the host (the floor: the kernel's own unlink work). Each contender
gets a freshly generated tree, taking turns. Also measures the time from the
executable's start to its message box, and counts its API calls per file and
per folder from a relay trace.

With --baseline EXE, another build of the executable (an earlier revision,
say) takes turns with it on the same trees, so that the two are compared in
one run.

Usage: wine_benchmark.py [--files N] [--files-per-folder N] [--depth N] [--runs N]
                         [--baseline EXE] BUILD_DIR
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
import wine_harness as wine  # noqa: E402

VERSION = "SU_Tarvex_V2"


def generate_tree(root, files, per_folder, depth):
    """Leaf folders `depth` levels below root, per_folder files in each.
    Returns (files, folders) including root."""
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


def timed(command, environment=None):
    """(seconds, peak KiB) of a command run to its end. GNU time reads the
    peak of the command itself, not of the Python process that starts it."""
    # No pipes: wineserver, started on the way, would hold them open after
    # the command has ended.
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.monotonic()
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "peak %M"]
                       + list(map(str, command)), env=environment, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        seconds = time.monotonic() - start
        peaks = re.findall(r"^peak (\d+)$", report.read(), re.MULTILINE)
    return seconds, int(peaks[-1])


def measure_removals(arguments, contenders, tree, environment):
    """Median seconds and peak KiB per contender, and the tree's (files, folders)."""
    times = {name: [] for name, _ in contenders}
    peaks = {name: 0 for name, _ in contenders}
    for run in range(arguments.runs):
        for turn in range(len(contenders)):
            name, command = contenders[(turn + run) % len(contenders)]
            shape = generate_tree(tree, arguments.files, arguments.files_per_folder,
                                  arguments.depth)
            seconds, peak = timed(command, environment)
            if tree.exists():
                sys.exit("%s left %s behind" % (name, tree))
            times[name].append(seconds)
            peaks[name] = max(peaks[name], peak)
    return {name: statistics.median(values) for name, values in times.items()}, peaks, shape


def measure_time_to_box(arguments, prefix, exe, tree):
    """Median seconds from the executable's start to its message box. Wine's
    timestamps run on the same monotonic clock as Python's."""
    to_box = []
    for _ in range(arguments.runs):
        generate_tree(tree, arguments.files, arguments.files_per_folder, arguments.depth)
        start = time.monotonic()
        result = wine.run_windows(prefix, exe, debug="+timestamp,+dialog")
        stamps = re.findall(r"^(\d+\.\d+):\w+:trace:dialog:",
                            result.stderr.decode(errors="replace"), re.MULTILINE)
        to_box.append(float(stamps[0]) - start)
    return statistics.median(to_box)


def count_calls(prefix, exe):
    """How often the executable called each API function, from a relay trace."""
    _, _, trace = wine.run_uninstaller(prefix, exe)
    counts = {}
    for function, _, _ in wine.calls_from(trace, exe):
        counts[function] = counts.get(function, 0) + 1
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--files-per-folder", type=int, default=100)
    parser.add_argument("--depth", type=int, default=2)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", type=Path, help="another build of the exe to compare")
    parser.add_argument("build_dir", type=Path)
    arguments = parser.parse_args()
    if arguments.runs < 5:
        parser.error("at least 5 runs")

    build = arguments.build_dir.resolve()
    exe = build / "SUTarvexUninstaller2016.exe"
    helper = build / "WineHelper.exe"
    prefix = build / "wineprefix"
    user_windows, user = wine.special_folders(prefix, helper)["CSIDL_APPDATA"]
    plugins = user / wine.PLUGINS
    tree = plugins / VERSION
    tree_windows = user_windows + "\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\" + VERSION
    wine.remove_tree(plugins)
    plugins.mkdir(parents=True)
    headless = wine.wine_environment()
    contenders = [
        ("SUTarvexUninstaller2016.exe", wine.wine_command(prefix, exe)),
        ("wine cmd /c rd /s /q", wine.wine_command(prefix, "cmd", "/c", "rd", "/s", "/q",
                                                    tree_windows)),
        ("rm -rf (host)", ["rm", "-rf", str(tree)]),
    ]
    if arguments.baseline:
        # Run from the build folder too, so that both load the same DLLs.
        baseline_exe = build / "baseline.exe"
        shutil.copy(arguments.baseline, baseline_exe)
        contenders.insert(1, ("baseline exe", wine.wine_command(prefix, baseline_exe)))

    # One wineserver for the whole benchmark, so that no run pays for starting
    # it, and every Windows run pays for starting its own process.
    server_environment = dict(headless, WINEPREFIX=str(prefix))
    wine.wait_for_wine(prefix)
    subprocess.run(["wineserver", "--persistent"], env=server_environment, check=True)
    try:
        medians, peaks, (files, folders) = measure_removals(arguments, contenders, tree, headless)
        empty = statistics.median(timed(contenders[0][1], headless)[0]
                                  for _ in range(arguments.runs))
        to_box = measure_time_to_box(arguments, prefix, exe, tree)
        nothing_installed = count_calls(prefix, exe)
        generate_tree(tree, arguments.files, arguments.files_per_folder, arguments.depth)
        with_tree = count_calls(prefix, exe)
    finally:
        subprocess.run(["wineserver", "--kill"], env=server_environment)
        wine.remove_tree(plugins)
        (build / "baseline.exe").unlink(missing_ok=True)

    print("%d files in %d folders (%d per folder, depth %d), median of %d runs:" % (
        files, folders, arguments.files_per_folder, arguments.depth, arguments.runs))
    ours = medians[contenders[0][0]]
    for name, _ in contenders:
        print("  %-30s %8.0f ms  ours/this %6.2f  peak %6d KiB" % (
            name, 1000 * medians[name], ours / medians[name], peaks[name]))
    print("  the exe with nothing installed: %.0f ms (Wine's process start-up, the run, the box)"
          % (1000 * empty))
    print("  from the exe's start to its message box, with the tree: %.0f ms" % (1000 * to_box))

    def per(function, entries, top_level=0):
        name = "kernel32." + function
        return (with_tree.get(name, 0) - nothing_installed.get(name, 0) + top_level) / entries

    # The calls of a run with nothing installed are taken off; the version
    # folder's own hold is tried then too. Every folder is held, checked (one
    # attribute read), listed, closed, released and removed.
    print("  calls per file:   %.2f GetFileAttributesW, %.2f SetFileAttributesW, %.2f DeleteFileW"
          % (per("GetFileAttributesW", files) - folders / files, per("SetFileAttributesW", files),
             per("DeleteFileW", files)))
    print("  calls per folder: %.2f CreateFileW, %.2f GetFileAttributesW, %.2f FindFirstFileW, "
          "%.2f FindClose, %.2f CloseHandle, %.2f RemoveDirectoryW" % (
              per("CreateFileW", folders, 1), per("GetFileAttributesW", folders) - files / folders,
              per("FindFirstFileW", folders), per("FindClose", folders),
              per("CloseHandle", folders), per("RemoveDirectoryW", folders)))


if __name__ == "__main__":
    main()
