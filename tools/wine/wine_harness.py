"""Runs the uninstaller under Wine in a private prefix, and reads what it did.

Shared by the end-to-end tests and the demonstration run.
"""
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pefile

REPO = Path(__file__).resolve().parents[2]
RUN_UNDER_WINE = REPO / "cmake" / "run-under-wine.sh"

PLUGINS = Path("SketchUp", "SketchUp 2016", "SketchUp", "Plugins")
CAPTION = "SU Tarvex Uninstaller 2016"
INSTALLED = "All applications have been uninstalled"
NOT_INSTALLED = "No application installed"
REPORT_STYLE = 0x140


def runs_32_bit_code():
    """Whether this machine runs 32-bit programs: Wine's 32-bit loader starts."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"],
                              capture_output=True).returncode == 0
    except OSError:
        return False


def wine_environment(debug="-all", display=None, native_first=()):
    """The environment for a Windows program: no display unless one is given,
    so that a message box returns at once. DLLs named in native_first are
    searched for as Windows would, before Wine's own."""
    environment = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        environment.pop(name, None)
    if display:
        environment["DISPLAY"] = display
    environment["WINEDEBUG"] = debug
    environment["WINEDLLOVERRIDES"] = ";".join(
        ["mscoree,mshtml="] + [name + "=n,b" for name in native_first])
    return environment


def wine_command(prefix, program, *arguments):
    return [str(RUN_UNDER_WINE), str(prefix), str(program), *map(str, arguments)]


def run_windows(prefix, program, *arguments, debug="-all", timeout=300, native_first=()):
    return subprocess.run(wine_command(prefix, program, *arguments), capture_output=True,
                          env=wine_environment(debug, None, native_first), timeout=timeout)


def start_windows(prefix, program, *arguments, display=None, debug="-all", native_first=(),
                  **popen):
    return subprocess.Popen(wine_command(prefix, program, *arguments),
                            env=wine_environment(debug, display, native_first), **popen)


def wait_for_wine(prefix):
    """Waits until every Wine process of the prefix has ended."""
    environment = wine_environment()
    environment["WINEPREFIX"] = str(prefix)
    subprocess.run(["wineserver", "--wait"], env=environment, timeout=120)


def special_folders(prefix, helper):
    """{CSIDL name: (Windows path, host Path)}, as SHGetFolderPathW gives them."""
    result = run_windows(prefix, helper, "folders")
    if result.returncode != 0:
        raise RuntimeError("WineHelper folders failed: " + result.stderr.decode(errors="replace"))
    folders = {}
    for line in result.stdout.decode("utf-8").splitlines():
        name, windows_path, host_path = line.rstrip("\r").split("\t")
        folders[name] = (windows_path, Path(host_path))
    return folders


# What the calls of one process are read from: Wine's +pid puts the process
# before the thread on every line, +loaddll tells where each module loaded.
CALL_TRACE = "+pid,+loaddll,+relay"
RELAY_LINE = re.compile(
    r"^([0-9a-f]+):[0-9a-f]+:(Call|Ret)\s+([\w.]+)\((.*)\)(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
LOADED_LINE = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at ([0-9A-Fa-f]+)')
MESSAGE_BOX_ARGUMENTS = re.compile(r'^[0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)$')


def exe_process(trace, exe):
    """(process, first address, end address) of the executable in a trace
    taken with CALL_TRACE. Wine's own 64-bit programs (the desktop, services)
    load at the same address as a 64-bit exe, so the process tells them apart."""
    size = pefile.PE(str(exe), fast_load=True).OPTIONAL_HEADER.SizeOfImage
    for line in trace.splitlines():
        match = LOADED_LINE.match(line)
        if match and match.group(2).endswith("\\\\" + Path(exe).name):
            base = int(match.group(3), 16)
            return match.group(1), base, base + size
    raise ValueError("the trace shows no process of " + Path(exe).name)


def calls_from(trace, exe):
    """(dll.Function, arguments, return value) of each API call made from the
    executable's own code, in order, read from a trace taken with CALL_TRACE;
    DLL names in lower case, the return value None where the call did not
    return."""
    process, start, end = exe_process(trace, exe)
    calls = []
    for line in trace.splitlines():
        match = RELAY_LINE.match(line)
        if not match or match.group(1) != process or not start <= int(match.group(6), 16) < end:
            continue
        kind, name, arguments, value = match.group(2, 3, 4, 5)
        dll, _, function = name.partition(".")
        name = dll.lower() + "." + function
        if kind == "Call":
            calls.append([name, arguments, None])
        elif calls and calls[-1][0] == name and calls[-1][2] is None and value is not None:
            calls[-1][2] = int(value, 16)
    return [tuple(call) for call in calls]


RELAY_ESCAPE = re.compile(r"\\([0-9a-f]{4}|.)")


def path_argument(arguments):
    """The first wide-string argument of a relay line, unescaped: Wine writes
    a backslash as two and other characters outside ASCII as four hex digits."""
    match = re.search(r'L"((?:[^"\\]|\\.)*)"', arguments)
    if not match:
        return None
    return RELAY_ESCAPE.sub(lambda escape: chr(int(escape.group(1), 16))
                            if len(escape.group(1)) == 4 else escape.group(1), match.group(1))


def message_boxes(trace, exe):
    """(text, caption, style) of each MessageBoxA call the executable made."""
    boxes = []
    for function, arguments, _ in calls_from(trace, exe):
        if function == "user32.MessageBoxA":
            match = MESSAGE_BOX_ARGUMENTS.match(arguments)
            boxes.append((match.group(1), match.group(2), int(match.group(3), 16))
                         if match else arguments)
    return boxes


def run_uninstaller(prefix, exe, *arguments, native_first=()):
    """Runs the executable headless; returns (exit status, message boxes, trace)."""
    result = run_windows(prefix, exe, *arguments, debug=CALL_TRACE, native_first=native_first)
    trace = result.stderr.decode("utf-8", errors="replace")
    return result.returncode, message_boxes(trace, exe), trace


def list_tree(root):
    """Every entry below root, relative, with "/" separators; folders end in
    "/", links in "@". Links are not followed."""
    root = Path(root)
    entries = set()
    if not root.exists() and not root.is_symlink():
        return entries
    for folder, subfolders, files in os.walk(root):
        for name in subfolders + files:
            path = Path(folder, name)
            relative = path.relative_to(root).as_posix()
            if path.is_symlink():
                entries.add(relative + "@")
            elif path.is_dir():
                entries.add(relative + "/")
            else:
                entries.add(relative)
    return entries


def write_file(path, content="data"):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(content, encoding="utf-8")


def make_read_only(path):
    os.chmod(path, 0o444)


def install_version(plugins, version):
    """A plausible installed version: nested folders, a read-only file, a
    hidden (dot) file and non-ASCII names."""
    plugins = Path(plugins)
    write_file(plugins / (version + ".rbs"))
    write_file(plugins / version / "plug_in" / "tarvex_tools.rbs")
    write_file(plugins / version / "plug_in" / "core" / "geometry" / "section_plane.rb")
    write_file(plugins / version / "resources" / ".cache")
    write_file(plugins / version / "resources" / "icône résumé ファイル 😀.png")
    make_read_only(plugins / version / "resources" / "icône résumé ファイル 😀.png")


def install_section_tool(plugins):
    write_file(Path(plugins) / "SU_Tarvex_Section_Tool.rb")
    write_file(Path(plugins) / "Ombrisk_Section" / "section.rb")
    write_file(Path(plugins) / "tarvex_tools.rbs")


def install_everything(plugins):
    install_version(plugins, "SU_Tarvex_V2")
    install_version(plugins, "SU_Tarvex_V2.5")
    install_section_tool(plugins)


def remove_tree(path):
    """Removes a test tree from the host side, links as links."""
    path = Path(path)
    if path.is_symlink() or path.is_file():
        path.unlink()
    elif path.exists():
        for folder, subfolders, files in os.walk(path):
            os.chmod(folder, 0o755)
        shutil.rmtree(path)


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def start_virtual_display():
    """Starts Xvfb on a free display; returns (process, display name)."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        server.kill()
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number.decode().strip()


def x_command(display, *command):
    environment = dict(os.environ, DISPLAY=display)
    return subprocess.run(list(command), env=environment, capture_output=True, text=True,
                          timeout=60)


def find_window(display, title, timeout=60):
    """The id of the visible window with exactly this title, or None."""
    found = []

    def look():
        result = x_command(display, "xdotool", "search", "--onlyvisible", "--name",
                           "^" + re.escape(title) + "$")
        found[:] = result.stdout.split()
        return bool(found)

    return found[0] if wait_until(look, timeout) else None


def screenshot(display, window, path):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    x_command(display, "import", "-window", window, str(path))


def find_button(png):
    """The centre (x, y) of the button in the lower part of a message box
    screenshot: the box of pixels there that differ from the background."""
    ppm = subprocess.run(["convert", str(png), "-depth", "8", "ppm:-"], capture_output=True,
                         check=True).stdout
    header = ppm.split(maxsplit=4)
    width, height = int(header[1]), int(header[2])
    pixels = header[4][:width * height * 3]
    colour = [pixels[i:i + 3] for i in range(0, len(pixels), 3)]
    background = max(set(colour), key=colour.count)
    # The icon and the text fill the upper part; the buttons sit below them.
    top = height * 55 // 100
    points = [(x, y) for y in range(top, height) for x in range(width)
              if colour[y * width + x] != background]
    if not points:
        return None
    xs, ys = [x for x, _ in points], [y for _, y in points]
    return (min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2, max(xs) - min(xs) + 1, max(ys) - min(ys) + 1


def click(display, window, x, y):
    x_command(display, "xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1")


def show_and_dismiss(prefix, exe, display, shot, **start_options):
    """Runs the executable on `display`, saves a screenshot of its message box
    to `shot` and clicks the box's button. Returns (exit status, button,
    waited): the button as find_button gives it, and whether the program was
    still waiting for the user when the box was shot. Status and button are
    None where it got no further."""
    program = start_windows(prefix, exe, display=display, **start_options)
    try:
        window = find_window(display, CAPTION)
        if window is None:
            return None, None, False
        # The window may be shown a moment before it is painted.
        found = []

        def painted():
            screenshot(display, window, shot)
            found[:] = [find_button(shot)]
            return found[0] is not None

        wait_until(painted, 30)
        waited = program.poll() is None
        button = found[0]
        if button is None:
            return None, None, waited
        click(display, window, button[0], button[1])
        return program.wait(timeout=60), button, waited
    finally:
        if program.poll() is None:
            program.kill()
            program.wait(timeout=60)
