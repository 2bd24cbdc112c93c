"""The report as a person sees it: a real window on a virtual display, closed
with its OK button. The screenshot is kept under the build tree."""
import os
import shutil
import sys
import unittest
from pathlib import Path

import wine_harness as wine

EXE = Path(os.environ["UNINSTALLER_EXE"])
PREFIX = Path(os.environ["WINE_PREFIX"])
OUTPUT = Path(os.environ["TEST_OUTPUT_DIR"])
PLANTED_DLL = Path(os.environ["PLANTED_DLL"])


class MessageBoxWindow(unittest.TestCase):
    def setUp(self):
        # Wine's desktop takes the display of the first program of a
        # wineserver session: this one must start a session of its own.
        wine.wait_for_wine(PREFIX)
        self.server, self.display = wine.start_virtual_display()

    def tearDown(self):
        # Wine's desktop process holds the display; let every Wine process end
        # before the display goes, so later headless runs start clean.
        wine.wait_for_wine(PREFIX)
        self.server.kill()
        self.server.wait()

    def show_and_dismiss(self, exe, shot, native_first=()):
        """Runs the program, screenshots its box, presses OK; returns the exit
        status."""
        status, button, waited = wine.show_and_dismiss(PREFIX, exe, self.display, shot,
                                                       native_first=native_first)
        self.assertTrue(waited, "no box captioned %s waiting for the user" % wine.CAPTION)
        self.assertIsNotNone(button, "no button in " + str(shot))
        x, y, width, height = button
        self.assertTrue(40 <= width <= 120 and 15 <= height <= 40, button)
        return status

    def test_box_shows_and_its_ok_button_ends_the_program(self):
        shot = OUTPUT / "message-box.png"
        self.assertEqual(self.show_and_dismiss(EXE, shot), 1)
        print("\nscreenshot: " + str(shot))

    def test_dll_planted_beside_the_exe_is_never_loaded(self):
        # Showing the box loads uxtheme.dll; Windows would look for it beside
        # the executable first unless the search is restricted.
        folder = OUTPUT / "planted"
        wine.remove_tree(folder)
        folder.mkdir(parents=True)
        shutil.copy(EXE, folder / EXE.name)
        shutil.copy(PLANTED_DLL, folder / "uxtheme.dll")
        status = self.show_and_dismiss(folder / EXE.name, OUTPUT / "message-box-planted.png",
                                       native_first=["uxtheme"])
        self.assertEqual(status, 1)
        self.assertFalse((folder / "uxtheme.dll.loaded").exists())


if __name__ == "__main__":
    unittest.main()
