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

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


def read_pe(path):
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    subsystem, dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
    import_rva, = struct.unpack_from("<I", data, optional + 96 + 8)
    sections = [struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
                for i in range(section_count)]

    def offset_of(rva):
        for _, virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise ValueError(hex(rva))

    def string_at(rva):
        return data[offset_of(rva):].split(b"\0", 1)[0].decode("ascii")

    imports, functions = [], []
    at = offset_of(import_rva)
    while True:
        lookup_rva, _, _, name_rva, address_rva = struct.unpack_from("<IIIII", data, at)
        if name_rva == 0:
            break
        imports.append(string_at(name_rva).lower())
        thunk = offset_of(lookup_rva or address_rva)
        while True:
            entry, = struct.unpack_from("<I", data, thunk)
            if entry == 0:
                break
            if not entry & 0x80000000:  # by name, not by ordinal
                functions.append(string_at(entry + 2))
            thunk += 4
        at += 20
    return {"signature": data[pe:pe + 4], "machine": machine, "magic": magic,
            "subsystem": subsystem, "dll_characteristics": dll_characteristics,
            "imports": imports, "functions": functions}


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

    def test_is_hardened(self):
        for name, bit in [("DYNAMIC_BASE", 0x40), ("NX_COMPAT", 0x100), ("NO_SEH", 0x400),
                          ("TERMINAL_SERVER_AWARE", 0x8000)]:
            self.assertTrue(self.pe["dll_characteristics"] & bit, name)

    def test_dll_search_restriction_is_not_a_static_import(self):
        # Windows 7 without update KB2533623 would refuse to start the program.
        self.assertIn("GetProcAddress", self.pe["functions"])
        self.assertNotIn("SetDefaultDllDirectories", self.pe["functions"])

    def test_manifest(self):
        self.assertEqual(resources(RT_MANIFEST), ["1"])
        manifest = ElementTree.fromstring(subprocess.run(
            ["wrestool", "--extract", "--raw", "--type=%d" % RT_MANIFEST, "--name=1", str(EXE)],
            capture_output=True, check=True).stdout)

        def all_of(namespace, tag):
            return manifest.findall(".//{%s}%s" % (namespace, tag))

        levels = all_of("urn:schemas-microsoft-com:asm.v3", "requestedExecutionLevel")
        self.assertEqual([level.attrib for level in levels],
                         [{"level": "asInvoker", "uiAccess": "false"}])
        systems = all_of("urn:schemas-microsoft-com:compatibility.v1", "supportedOS")
        self.assertEqual({system.attrib["Id"] for system in systems}, SUPPORTED_OS)
        controls = [identity.attrib for identity in
                    all_of("urn:schemas-microsoft-com:asm.v1", "assemblyIdentity")]
        self.assertIn({"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                       "version": "6.0.0.0", "processorArchitecture": "*",
                       "publicKeyToken": "6595b64144ccf1df", "language": "*"}, controls)
        self.assertEqual([e.text for e in all_of(
            "http://schemas.microsoft.com/SMI/2005/WindowsSettings", "dpiAware")], ["true"])
        self.assertEqual([e.text for e in all_of(
            "http://schemas.microsoft.com/SMI/2016/WindowsSettings", "dpiAwareness")],
            ["PerMonitorV2"])

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
