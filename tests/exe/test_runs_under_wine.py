"""Whole runs of the real executable under Wine, headless, in the build's
private prefix, with the plug-in seeded where SHGetFolderPathW says the
per-user and all-users folders are."""
import os
import sys
import unittest
from pathlib import Path

import wine_harness as wine

EXE = Path(os.environ["UNINSTALLER_EXE"])
HELPER = Path(os.environ["WINE_HELPER"])
PREFIX = Path(os.environ["WINE_PREFIX"])

# Other plug-ins, some named like ours, that every run must leave alone.
OTHER_PLUGINS = {"other_plugin.rb", "SU_Tarvex_V3/", "SU_Tarvex_V3/keep.rb",
                 "SU_Tarvex_V2.5.rbs.bak"}


FILE_OPEN_REPARSE_POINT = 0x00200000
FILE_OPEN_FOR_BACKUP_INTENT = 0x00004000
FILE_DIRECTORY_FILE = 0x00000001
FILE_SHARE_DELETE = 0x00000004
DELETE = 0x00010000
WAY_TO_PLUGINS = 4


def handle_violations(calls, user_folder, common_folder, elevated):
    """Checks a run's calls: below the special folders no call takes a path
    (each entry is opened relative to its folder's handle, without backup
    intent), every entry is opened as itself, never through a link (but for
    the folders above the per-user Plugins in a run that is not elevated,
    which its user may have moved), the four folders down to Plugins without
    delete access, and a folder to delete without delete sharing. Returns
    (violations, entries opened to be deleted)."""
    violations, opened, way_down, following_allowed = [], 0, 0, False
    for function, arguments, _ in calls:
        path = wine.path_argument(arguments)
        if function == "kernel32.CreateFileW" and path in (user_folder, common_folder):
            way_down, following_allowed = WAY_TO_PLUGINS, path == user_folder and not elevated
        elif (path and "\\" in path and path not in (user_folder, common_folder)
              and not function.startswith("msvcrt.")):
            violations.append((function, path, "a path below a special folder"))
        if function != "ntdll.NtCreateFile":
            continue
        # 64-bit Wine prints a 32-bit argument with whatever the upper half
        # of its register held.
        values = [int(value, 16) & 0xFFFFFFFF for value in arguments.split(",")]
        access, share, options = values[1], values[6], values[8]
        on_the_way, way_down = way_down > 0, max(way_down - 1, 0)
        if options & FILE_OPEN_FOR_BACKUP_INTENT:
            violations.append((function, arguments, "backup intent"))
        if on_the_way and access & DELETE:
            violations.append((function, arguments, "delete access on the way down"))
        # Wine opens a host link's target whatever the flags, so no run here
        # shows what this flag guards against on Windows: a link planted just
        # before the open would be opened through. Hence this check of the
        # arguments.
        if not options & FILE_OPEN_REPARSE_POINT and not (on_the_way and following_allowed):
            violations.append((function, arguments, "would open a link's target"))
        if access & DELETE:
            opened += 1
            if options & FILE_DIRECTORY_FILE and share & FILE_SHARE_DELETE:
                violations.append((function, arguments, "a held folder shares deletion"))
    return violations, opened


class RunsUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folders = wine.special_folders(PREFIX, HELPER)
        cls.user_windows, cls.user = folders["CSIDL_APPDATA"]
        cls.common_windows, cls.common = folders["CSIDL_COMMON_APPDATA"]
        # Link targets live outside both special folders.
        cls.outside = PREFIX / "drive_c" / "tarvex-outside"

    def setUp(self):
        for root in (self.user / "SketchUp", self.common / "SketchUp", self.outside):
            wine.remove_tree(root)
        for root in (self.user, self.common):
            for name in OTHER_PLUGINS - {"SU_Tarvex_V3/"}:
                wine.write_file(root / wine.PLUGINS / name)
            wine.write_file(root / "SketchUp" / "SketchUp 2016" / "SketchUp" / "Materials" / "oak.skm")
        wine.write_file(self.outside / "data" / "precious.txt")
        wine.write_file(self.outside / "data" / "plug_in" / "tarvex_tools.rbs")
        self.kept_elsewhere = self.everything_but_plugins()

    def everything_but_plugins(self):
        return {str(root): {entry for entry in wine.list_tree(root)
                            if not entry.startswith("SketchUp 2016/SketchUp/Plugins/")}
                for root in (self.user / "SketchUp", self.common / "SketchUp", self.outside)}

    def run_and_check(self, report, user_left=(), common_left=(), arguments=()):
        status, boxes, trace = wine.run_uninstaller(PREFIX, EXE, *arguments)
        self.assertEqual(status, 1, trace[-3000:])
        self.assertEqual(boxes, [(report, wine.CAPTION, wine.REPORT_STYLE)])
        self.assertEqual(wine.list_tree(self.user / wine.PLUGINS), OTHER_PLUGINS | set(user_left))
        self.assertEqual(wine.list_tree(self.common / wine.PLUGINS),
                         OTHER_PLUGINS | set(common_left))
        self.assertEqual(self.everything_but_plugins(), self.kept_elsewhere)
        return trace

    def user_plugins(self):
        return self.user / wine.PLUGINS

    def common_plugins(self):
        return self.common / wine.PLUGINS

    def test_whole_installation_is_removed_through_handles(self):
        # Both versions in both folders, with read-only scripts at the top
        # level, a link inside a version folder, and arguments that change
        # nothing. Wine's RemoveDirectoryW cannot remove a link to a folder
        # that is not empty (Windows removes the link), so the link and its
        # folders stay.
        wine.install_everything(self.user_plugins())
        wine.install_everything(self.common_plugins())
        read_only = ["SU_Tarvex_V2.rbs", "SU_Tarvex_Section_Tool.rb", "tarvex_tools.rbs"]
        for name in read_only:
            wine.make_read_only(self.user_plugins() / name)
        os.symlink(self.outside / "data",
                   self.common_plugins() / "SU_Tarvex_V2" / "plug_in" / "shared")
        trace = self.run_and_check(
            wine.INSTALLED, user_left=read_only,
            common_left=["SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/shared@"],
            arguments=["/S", "--keep", "C:\\Program Files", "-?"])
        violations, opened = handle_violations(wine.calls_from(trace, EXE), self.user_windows,
                                               self.common_windows, wine.is_elevated(PREFIX, HELPER))
        self.assertEqual(violations, [])
        self.assertGreater(opened, 50)

    def test_dll_search_is_restricted_before_any_shell_or_window_call(self):
        trace = self.run_and_check(wine.NOT_INSTALLED)
        calls = [(function, arguments) for function, arguments, _ in wine.calls_from(trace, EXE)]
        restriction = calls.index(("kernel32.SetDefaultDllDirectories", "00000800"))
        first_shell_or_window = min(i for i, (function, _) in enumerate(calls)
                                    if function.split(".")[0] in ("user32", "shell32", "shlwapi"))
        self.assertLess(restriction, first_shell_or_window)


if __name__ == "__main__":
    unittest.main()
