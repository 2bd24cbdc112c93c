"""The built executable's shape: format, imports and resources."""
import os
import struct
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

EXE = Path(os.environ["SHIPPED_EXE"])

# Windows' own DLLs; the toolchain's runtime DLLs must not be needed.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll", "advapi32.dll",
               "ntdll.dll"}

# (size, bits per pixel) of every image the icon must carry.
ICON_IMAGES = {(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)}

MANIFEST = Path(os.environ["SOURCE_DIR"], "uninstaller", "resources",
                "SUTarvexUninstaller2016.manifest")


class ExecutableShape(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(str(EXE))

    def resources(self, type_name):
        """{id: data} of the resources of one type."""
        type_id = pefile.RESOURCE_TYPE[type_name]
        found = {}
        for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id == type_id:
                for entry in kind.directory.entries:
                    language = entry.directory.entries[0].data.struct
                    found[entry.id] = self.pe.get_data(language.OffsetToData, language.Size)
        return found

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_imports_only_windows_system_dlls(self):
        dlls = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertTrue(dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_is_hardened(self):
        header = self.pe.OPTIONAL_HEADER
        for flag in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVER_AWARE"):
            self.assertTrue(getattr(header, "IMAGE_DLLCHARACTERISTICS_" + flag), flag)

    def test_dll_search_restriction_is_not_a_static_import(self):
        # Windows 7 without update KB2533623 would refuse to start the program.
        functions = {function.name.decode() for entry in self.pe.DIRECTORY_ENTRY_IMPORT
                     for function in entry.imports if function.name}
        self.assertIn("GetProcAddress", functions)
        self.assertNotIn("SetDefaultDllDirectories", functions)

    def test_manifest(self):
        # The manifest embedded whole, asking for no elevation.
        manifests = self.resources("RT_MANIFEST")
        self.assertEqual(manifests, {1: MANIFEST.read_bytes()})
        levels = ElementTree.fromstring(manifests[1]).findall(
            ".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        self.assertEqual([level.attrib for level in levels],
                         [{"level": "asInvoker", "uiAccess": "false"}])

    def test_one_icon_group_with_every_size_and_depth(self):
        groups = self.resources("RT_GROUP_ICON")
        self.assertEqual(len(groups), 1)
        group = next(iter(groups.values()))
        _, _, count = struct.unpack_from("<HHH", group)
        ids = [struct.unpack_from("<12xH", group, 6 + 14 * i)[0] for i in range(count)]
        icons = self.resources("RT_ICON")
        images = set()
        for icon_id in ids:
            # Each image is a device-independent bitmap, twice as high as it
            # is wide (the colour rows, then the transparency mask).
            _, width, height, _, bits = struct.unpack_from("<IiiHH", icons[icon_id])
            self.assertEqual(height, 2 * width)
            images.add((width, bits))
        self.assertEqual(len(ids), len(ICON_IMAGES))
        self.assertEqual(images, ICON_IMAGES)

    def test_has_no_version_information(self):
        self.assertEqual(self.resources("RT_VERSION"), {})


if __name__ == "__main__":
    unittest.main()
