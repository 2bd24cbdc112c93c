#!/usr/bin/env python3
"""Shows the uninstaller at work: seeds a sample installation of both versions
in a Wine prefix, runs the executable on a virtual display, saves a screenshot
of its message box, presses OK, and prints what was there before and after.

Every run seeds the sample again, so every run shows the full removal.

Usage: demo.py EXE WINE_HELPER PREFIX OUTPUT_DIR
"""
import sys
import tempfile
from pathlib import Path

import wine_harness as wine


def show_tree(title, roots):
    print(title)
    for name, root in roots:
        entries = sorted(wine.list_tree(root / wine.PLUGINS))
        print("  %s\\SketchUp\\SketchUp 2016\\SketchUp\\Plugins  (%d entries)" % (name, len(entries)))
        for entry in entries:
            print("    " + entry)


def main(exe, helper, prefix, output):
    folders = wine.special_folders(prefix, helper)
    roots = [(windows, host) for windows, host in folders.values()]
    for _, host in roots:
        wine.remove_tree(host / wine.PLUGINS)
        wine.install_everything(host / wine.PLUGINS)
        wine.write_file(host / wine.PLUGINS / "another_plugin.rb")
    show_tree("Before:", roots)

    server, display = wine.start_virtual_display()
    shot = output / "message-box.png"
    try:
        with tempfile.TemporaryFile() as trace:
            status, button, _ = wine.show_and_dismiss(prefix, exe, display, shot,
                                                      debug=wine.CALL_TRACE, stderr=trace)
            trace.seek(0)
            boxes = wine.message_boxes(trace.read().decode("utf-8", errors="replace"), exe)
        wine.wait_for_wine(prefix)
    finally:
        server.kill()
        server.wait()
    if button is None:
        sys.exit("The message box, or its button, did not appear.")

    show_tree("After:", roots)
    for text, caption, style in boxes:
        print('Message box "%s": %s (style 0x%X)' % (caption, text, style))
    print("Exit status: %d" % status)
    print("Screenshot of the message box: %s" % shot)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*(Path(argument).resolve() for argument in sys.argv[1:]))
