"""The built executable's shape: format, imports and resources."""
import os
import re
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

EXE = Path(os.environ["UNINSTALLER_EXE"])

# Windows' own DLLs; the toolchain's runtime DLLs must not be needed.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "shlwapi.dll", "msvcrt.dll"}

ICON_IMAGES = {(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)}

RT_ICON_GROUP, RT_VERSION, RT_MANIFEST = 14, 16, 24


def read_pe(path):
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    subsystem, = struct.unpack_from("<H", data, optional + 68)
    import_rva, = struct.unpack_from("<I", data, optional + 96 + 8)
    sections = [struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
                for i in range(section_count)]

    def offset_of(rva):
        for _, virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise ValueError(hex(rva))

    imports = []
    at = offset_of(import_rva)
    while True:
        name_rva = struct.unpack_from("<IIIII", data, at)[3]
        if name_rva == 0:
            break
        name = data[offset_of(name_rva):].split(b"\0", 1)[0].decode("ascii")
        imports.append(name.lower())
        at += 20
    return {"signature": data[pe:pe + 4], "machine": machine, "magic": magic,
            "subsystem": subsystem, "imports": imports}


def resources(type_id):
    listing = subprocess.run(["wrestool", "--list", "--type=%d" % type_id, str(EXE)],
                             capture_output=True, text=True, check=True).stdout
    return re.findall(r"--name=(\S+)", listing)


class ExecutableShape(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = read_pe(EXE)

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.pe["signature"], b"PE\0\0")
        self.assertEqual(self.pe["machine"], 0x14C)  # Intel 386
        self.assertEqual(self.pe["magic"], 0x10B)  # PE32
        self.assertEqual(self.pe["subsystem"], 2)  # Windows GUI

    def test_imports_only_windows_system_dlls(self):
        self.assertTrue(self.pe["imports"])
        self.assertLessEqual(set(self.pe["imports"]), SYSTEM_DLLS, self.pe["imports"])

    def test_manifest_runs_as_invoker_without_ui_access(self):
        self.assertEqual(resources(RT_MANIFEST), ["1"])
        manifest = subprocess.run(["wrestool", "--extract", "--raw", "--type=%d" % RT_MANIFEST,
                                   "--name=1", str(EXE)], capture_output=True, check=True).stdout
        levels = ElementTree.fromstring(manifest).findall(
            ".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
        self.assertEqual([level.attrib for level in levels],
                         [{"level": "asInvoker", "uiAccess": "false"}])

    def test_one_icon_group_with_every_size_and_depth(self):
        self.assertEqual(len(resources(RT_ICON_GROUP)), 1)
        with tempfile.TemporaryDirectory() as folder:
            icon = Path(folder, "icon.ico")
            subprocess.run(["wrestool", "--extract", "--type=%d" % RT_ICON_GROUP,
                            "--output=" + str(icon), str(EXE)], check=True)
            listing = subprocess.run(["icotool", "--list", str(icon)], capture_output=True,
                                     text=True, check=True).stdout
        images = [(int(width), int(depth)) for width, height, depth in re.findall(
            r"--width=(\d+) --height=(\d+) --bit-depth=(\d+)", listing) if width == height]
        self.assertEqual(sorted(images), sorted(ICON_IMAGES))

    def test_has_no_version_information(self):
        self.assertEqual(resources(RT_VERSION), [])


if __name__ == "__main__":
    unittest.main()
