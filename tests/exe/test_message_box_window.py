"""The report as a person sees it: a real window on a virtual display, closed
with its OK button. The screenshot is kept under the build tree."""
import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import wine_harness as wine  # noqa: E402

EXE = Path(os.environ["UNINSTALLER_EXE"])
PREFIX = Path(os.environ["WINE_PREFIX"])
OUTPUT = Path(os.environ["TEST_OUTPUT_DIR"])


class MessageBoxWindow(unittest.TestCase):
    def setUp(self):
        self.server, self.display = wine.start_virtual_display()

    def tearDown(self):
        # Wine's desktop process holds the display; let every Wine process end
        # before the display goes, so later headless runs start clean.
        wine.wait_for_wine(PREFIX)
        self.server.kill()
        self.server.wait()

    def test_box_shows_and_its_ok_button_ends_the_program(self):
        program = wine.start_windows(PREFIX, EXE, display=self.display)
        try:
            window = wine.find_window(self.display, wine.CAPTION)
            self.assertIsNotNone(window, "no window captioned " + wine.CAPTION)
            shot = OUTPUT / "message-box.png"
            wine.screenshot(self.display, window, shot)
            self.assertIsNone(program.poll(), "the program must wait for the user")

            button = wine.find_button(shot)
            self.assertIsNotNone(button, "no button in " + str(shot))
            x, y, width, height = button
            self.assertTrue(40 <= width <= 120 and 15 <= height <= 40, button)
            wine.click(self.display, window, x, y)
            self.assertEqual(program.wait(timeout=60), 1)
        finally:
            if program.poll() is None:
                program.kill()
        print("\nscreenshot: " + str(shot))


if __name__ == "__main__":
    unittest.main()
