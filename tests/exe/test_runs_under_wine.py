"""Whole runs of the real executable under Wine, headless, in the build's
private prefix, with the plug-in seeded where SHGetFolderPathW says the
per-user and all-users folders are."""
import os
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import wine_harness as wine  # noqa: E402

EXE = Path(os.environ["UNINSTALLER_EXE"])
HELPER = Path(os.environ["WINE_HELPER"])
PREFIX = Path(os.environ["WINE_PREFIX"])

# Other plug-ins, some named like ours, that every run must leave alone.
OTHER_PLUGINS = {"other_plugin.rb", "SU_Tarvex_V3/", "SU_Tarvex_V3/keep.rb",
                 "SU_Tarvex_V2.5.rbs.bak"}


# How every folder is held: listing access, shared for reading and writing
# but not deleting, opened as itself even if a link.
HOLD_ARGUMENTS = "00100081,00000003,00000000,00000003,02200000,00000000"
CALLS_ON_PATHS = {"kernel32." + name for name in (
    "CreateFileW", "FindFirstFileW", "GetFileAttributesW", "SetFileAttributesW", "DeleteFileW",
    "RemoveDirectoryW")}
REMOVED_FOLDERS = ("SU_Tarvex_V2", "SU_Tarvex_V2.5", "Ombrisk_Section")


def folders_from(top, path):
    """The folders from top down to the parent of path."""
    folders, folder = [], path.rpartition("\\")[0]
    while len(folder) >= len(top):
        folders.append(folder)
        folder = folder.rpartition("\\")[0]
    return folders


def hold_violations(calls, plugins_folders, common_folder):
    """Checks a run's calls against the holds it must keep: every call on a
    path below a removed folder while each folder from it down to the path's
    parent is held; every call below the all-users Plugins while the four
    folders above it are held; no folder held when it is removed, and none
    left held. Returns (violations, calls checked below removed folders)."""
    removed = [plugins + "\\" + name for plugins in plugins_folders for name in REMOVED_FOLDERS]
    common_plugins = plugins_folders[1]
    way_down = folders_from(common_folder + "\\", common_plugins + "\\x")
    held, violations, checked = {}, [], 0
    for function, arguments, result in calls:
        path = wine.path_argument(arguments)
        if function in CALLS_ON_PATHS and path:
            needed = []
            for top in removed:
                if path.startswith(top + "\\"):
                    needed += folders_from(top, path)
                    checked += 1
            if path.startswith(common_plugins + "\\"):
                needed += way_down
            missing = [folder for folder in needed if folder not in held.values()]
            if missing:
                violations.append((function, path, "not held", missing))
            if function == "kernel32.RemoveDirectoryW" and path in held.values():
                violations.append((function, path, "still held"))
        if function == "kernel32.CreateFileW" and result not in (None, 0xFFFFFFFF):
            if arguments.partition('",')[2] != HOLD_ARGUMENTS:
                violations.append((function, arguments, "not opened as a hold"))
            held[result] = path
        elif function == "kernel32.CloseHandle":
            held.pop(int(arguments, 16), None)
    if held:
        violations.append(("left held", sorted(held.values())))
    return violations, checked


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

    def test_whole_installation_is_removed_under_holds(self):
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
        plugins = [folder + "\\" + str(wine.PLUGINS).replace("/", "\\")
                   for folder in (self.user_windows, self.common_windows)]
        violations, checked = hold_violations(wine.calls_from(trace, EXE), plugins,
                                              self.common_windows)
        self.assertEqual(violations, [])
        self.assertGreater(checked, 50)

    def test_file_held_open_stays_with_its_folders(self):
        wine.install_version(self.common_plugins(), "SU_Tarvex_V2")
        held = "SU_Tarvex_V2\\plug_in\\core\\geometry\\section_plane.rb"
        holder = wine.start_windows(
            PREFIX, HELPER, "hold",
            self.common_windows + "\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins\\" + held,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            self.run_and_check(wine.INSTALLED, common_left=[
                "SU_Tarvex_V2/", "SU_Tarvex_V2/plug_in/", "SU_Tarvex_V2/plug_in/core/",
                "SU_Tarvex_V2/plug_in/core/geometry/",
                "SU_Tarvex_V2/plug_in/core/geometry/section_plane.rb"])
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)
            holder.stdout.close()

    def test_planted_links_are_not_followed(self):
        # A version folder that is a link to a folder holding
        # plug_in\tarvex_tools.rbs: only the link may go (Wine cannot remove
        # it), and the version's own file target must not reach through it.
        # An all-users Plugins that is a link: any user may create the folders
        # down to it, so nothing there is touched.
        os.symlink(self.outside / "data", self.user_plugins() / "SU_Tarvex_V2.5")
        elsewhere = PREFIX / "drive_c" / "tarvex-elsewhere"
        wine.remove_tree(elsewhere)
        wine.install_everything(elsewhere)
        before = wine.list_tree(elsewhere)
        wine.remove_tree(self.common_plugins())
        os.symlink(elsewhere, self.common_plugins())
        try:
            status, boxes, trace = wine.run_uninstaller(PREFIX, EXE)
            self.assertEqual(status, 1, trace[-3000:])
            self.assertEqual(boxes, [(wine.INSTALLED, wine.CAPTION, wine.REPORT_STYLE)])
            self.assertEqual(wine.list_tree(self.user_plugins()),
                             OTHER_PLUGINS | {"SU_Tarvex_V2.5@"})
            self.assertEqual(wine.list_tree(elsewhere), before)
            self.assertEqual(wine.list_tree(self.outside), self.kept_elsewhere[str(self.outside)])
        finally:
            wine.remove_tree(elsewhere)

    def test_dll_search_is_restricted_before_any_shell_or_window_call(self):
        trace = self.run_and_check(wine.NOT_INSTALLED)
        calls = [(function, arguments) for function, arguments, _ in wine.calls_from(trace, EXE)]
        restriction = calls.index(("kernel32.SetDefaultDllDirectories", "00000800"))
        first_shell_or_window = min(i for i, (function, _) in enumerate(calls)
                                    if function.split(".")[0] in ("user32", "shell32", "shlwapi"))
        self.assertLess(restriction, first_shell_or_window)


if __name__ == "__main__":
    unittest.main()
