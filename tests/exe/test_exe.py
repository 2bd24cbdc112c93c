"""The real executable under Wine: its image, and one whole run read from its
relay trace."""
import os
import shutil
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile
import wine_harness as wine

ENV = os.environ
EXE, PREFIX, OUTPUT = Path(ENV["UNINSTALLER_EXE"]), Path(ENV["WINE_PREFIX"]), Path(ENV["TEST_OUTPUT_DIR"])
SHIPPED = Path(ENV["SHIPPED_EXE"])
# Windows' own DLLs: the toolchain's runtime DLLs must not be needed.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll",
               "advapi32.dll", "ntdll.dll"}
# (size, bits per pixel) of every image the icon must carry.
ICON_IMAGES = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)]
OTHERS = {"other_plugin.rb", "SU_Tarvex_V3/", "SU_Tarvex_V3/keep.rb"}


class Image(unittest.TestCase):
    """The exe that ships, the 32-bit one, whichever build runs the tests."""

    @classmethod
    def setUpClass(cls):
        assert SHIPPED.exists(), "build the 32-bit exe first: cmake --preset win32 && cmake --build --preset win32"
        cls.pe = pefile.PE(str(SHIPPED))

    def resources(self, kind):
        """{id: data} of the resources of one type."""
        found = {}
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for resource in entry.directory.entries if entry.id == pefile.RESOURCE_TYPE[kind] else []:
                data = resource.directory.entries[0].data.struct
                found[resource.id] = self.pe.get_data(data.OffsetToData, data.Size)
        return found

    def test_is_a_hardened_32_bit_gui_program_of_system_dlls_alone(self):
        header, imports = self.pe.OPTIONAL_HEADER, self.pe.DIRECTORY_ENTRY_IMPORT
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(header.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        for flag in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVER_AWARE"):
            self.assertTrue(getattr(header, "IMAGE_DLLCHARACTERISTICS_" + flag), flag)
        self.assertLessEqual({entry.dll.decode().lower() for entry in imports}, SYSTEM_DLLS)
        # Looked up at run time: Windows 7 without update KB2533623 lacks it.
        functions = {f.name.decode() for entry in imports for f in entry.imports if f.name}
        self.assertNotIn("SetDefaultDllDirectories", functions)

    def test_holds_its_manifest_and_one_icon_of_every_image_and_no_version(self):
        manifest = Path(ENV["SOURCE_DIR"], "uninstaller", "resources",
                        "SUTarvexUninstaller2016.manifest").read_bytes()
        self.assertEqual(self.resources("RT_MANIFEST"), {1: manifest})
        levels = ElementTree.fromstring(manifest).findall(
            ".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        self.assertEqual([level.attrib for level in levels],
                         [{"level": "asInvoker", "uiAccess": "false"}])
        self.assertEqual(self.resources("RT_VERSION"), {})
        # One icon: a group of 14-byte entries, width first, bits per pixel at 6.
        (group,) = self.resources("RT_GROUP_ICON").values()
        entries = [group[6 + 14 * i:20 + 14 * i] for i in range(len(group) // 14)]
        self.assertEqual(sorted((entry[0], entry[6]) for entry in entries), ICON_IMAGES)


class Run(unittest.TestCase):
    def test_whole_installation_goes_through_handles_and_reports_once(self):
        # The whole program as it ships: what each situation leaves is for the
        # logic's rows to show.
        folders = wine.special_folders(PREFIX, Path(ENV["WINE_HELPER"]))
        (user_path, user), (common_path, common) = folders.values()
        for root in (user, common):
            wine.remove_tree(root / "SketchUp")
            wine.install_everything(root / wine.PLUGINS)
            for name in ("other_plugin.rb", "SU_Tarvex_V3/keep.rb"):
                wine.write_file(root / wine.PLUGINS / name)

        # The box loads uxtheme.dll, which Windows would look for beside the
        # exe first unless the search is restricted.
        folder = OUTPUT / "planted"
        wine.remove_tree(folder)
        folder.mkdir(parents=True)
        shutil.copy(EXE, folder / EXE.name)
        shutil.copy(ENV["PLANTED_DLL"], folder / "uxtheme.dll")
        status, boxes, trace = wine.run_uninstaller(PREFIX, folder / EXE.name, "/S", "--keep",
                                                    "C:\\Program Files", native_first=["uxtheme"])

        self.assertEqual(status, 1, trace[-3000:])
        self.assertEqual(boxes, [(wine.INSTALLED, wine.CAPTION, wine.REPORT_STYLE)])
        for root in (user, common):
            self.assertEqual(wine.list_tree(root / wine.PLUGINS), OTHERS)
        loaded = [line for line in trace.splitlines() if "loaddll" in line and "uxtheme" in line]
        self.assertTrue(loaded and all("\\\\system32\\\\" in line for line in loaded), loaded)
        calls = [(name, arguments) for name, arguments, _ in wine.calls_from(trace, EXE)]
        below = [(name, arguments) for name, arguments in calls if not name.startswith("msvcrt.")
                 and (wine.path_argument(arguments) or "").startswith((user_path + "\\",
                                                                       common_path + "\\"))]
        self.assertEqual(below, [], "every entry is reached through its folder's handle")
        first_dll_load = min(i for i, (name, _) in enumerate(calls)
                             if name.split(".")[0] in ("user32", "shell32"))
        self.assertLess(calls.index(("kernel32.SetDefaultDllDirectories", "00000800")),
                        first_dll_load)


if __name__ == "__main__":
    unittest.main()
