#!/usr/bin/python3
"""What a screen reader learns of the application over AT-SPI.

Starts an X server, a private session bus and the accessibility bus of its own, runs the
application (from a prefix of its own whose tool never ends by itself, so that a run stays
under way), and reads the name, role and states of every control of the Drop Screen, the
format chooser and the progress window, and the text of the notice that a stopped run shows.

    check_accessibility.py MORVELLE DRAG_SOURCE RESOURCE_FILE

Exits 77 (skipped) when a piece it needs cannot start.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from desktopcheck import DragSource, skip, stop, wait_for


def start_reporting(command, env):
    """Starts a program that reports its address on its standard output, first line."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    line = process.stdout.readline().strip()
    return process, line


def prefix_with_hanging_tool(root, program, resources):
    for folder in ("bin", "share/morvelle", "libexec/morvelle"):
        os.makedirs(os.path.join(root, folder))
    shutil.copy(program, os.path.join(root, "bin/morvelle"))
    os.symlink(resources, os.path.join(root, "share/morvelle/morvelle.rcc"))
    tool = os.path.join(root, "libexec/morvelle/sips")
    with open(tool, "w") as f:
        f.write("#!/bin/sh\ntrap 'exit 143' TERM\nwhile :; do sleep 0.05; done\n")
    os.chmod(tool, 0o755)
    return os.path.join(root, "bin/morvelle")


def tiny_png(path):
    import struct
    import zlib

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    rows = b"".join(b"\x00" + b"\x20\x70\xd0" * 8 for _ in range(6))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 8, 6, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    return path


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    program, drag_source, resources = (os.path.abspath(a) for a in sys.argv[1:])
    for tool in ("Xvfb", "dbus-daemon", "xdotool"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    launcher = "/usr/libexec/at-spi-bus-launcher"
    if not os.access(launcher, os.X_OK):
        skip("at-spi2-core's bus launcher is not installed")

    processes = []
    work = tempfile.mkdtemp(prefix="morvelle-a11y-")
    try:
        env = dict(os.environ)
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("WAYLAND_DISPLAY", None)
        # A display number that another X server on the machine has just given up may still
        # be torn down under the new one: a server counts once a client reaches it. Without
        # -noreset the server resets as that client leaves, and turns away whoever comes next.
        for _ in range(3):
            server, number = start_reporting(["Xvfb", "-displayfd", "1", "-noreset", "-screen", "0",
                                              "1280x1024x24", "-nolisten", "tcp"], env)
            processes.append(server)
            env["DISPLAY"] = ":" + number
            reached = number and subprocess.run(["xdotool", "getmouselocation"], env=env,
                                                stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL).returncode == 0
            if reached:
                break
        else:
            skip("no X server could be reached")
        bus, address = start_reporting(["dbus-daemon", "--session", "--nofork", "--print-address"],
                                       env)
        processes.append(bus)
        if not address:
            skip("no private session bus")
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        env["XDG_RUNTIME_DIR"] = work
        processes.append(subprocess.Popen([launcher, "--launch-immediately"], env=env,
                                          stderr=subprocess.DEVNULL))
        os.environ.update(env)
        try:
            import pyatspi
        except ImportError:
            skip("python3-pyatspi is not installed")

        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        app = subprocess.Popen([prefix_with_hanging_tool(os.path.join(work, "prefix"), program,
                                                         resources)], env=env)
        processes.append(app)
        desktop = pyatspi.Registry.getDesktop(0)

        def application():
            for a in desktop:
                if a is not None and a.get_process_id() == app.pid:
                    return a
            return None

        if not wait_for(lambda: application() or app.poll() is not None, 30):
            skip("the application did not register on the accessibility bus")
        if app.poll() is not None:
            print("FAIL: the application ended with status %d" % app.returncode)
            return 1

        def controls():
            """(role, name, accessible) of every control; windows come and go meanwhile."""
            found = []

            def walk(node):
                try:
                    children = list(node)
                except Exception:
                    return
                for child in children:
                    try:
                        found.append((child.getRoleName(), child.name, child))
                    except Exception:
                        continue
                    walk(child)

            walk(application())
            return found

        def named(role, name):
            return [c for r, n, c in controls() if r == role and n == name]

        failures = []

        def expect(role, name):
            if not wait_for(lambda: named(role, name), 10):
                seen = sorted({(r, n) for r, n, _ in controls() if n})
                failures.append("no %s named %r among %r" % (role, name, seen))
                return None
            return named(role, name)[0]

        for name in ("JPEG", "GIF", "TIFF", "TGA", "PNG", "PSD", "PDF", "JPG2", "BMP",
                     "Remove Selected", "Remove All"):
            expect("push button", name)
        expect("check box", "Auto ( Batch-Multiple Files )")
        expect("text", "Desired Image File Name")
        files = expect("tree", "Files to convert")
        if files is not None:
            table = files.queryTable()
            headings = [table.getColumnDescription(c) for c in range(table.nColumns)]
            if headings != ["File Name", "Location"]:
                failures.append("the list's columns are %r" % headings)

        # A run: four files dropped from another program, then JPEG pressed.
        pictures = [tiny_png(os.path.join(work, n)) for n in ("a.png", "b.png", "c.png", "d.png")]
        source = DragSource(drag_source, pictures, env)
        processes.append(source.process)

        def centre(accessible):
            box = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            return box.x + box.width // 2, box.y + box.height // 2

        def xdotool(*steps):
            subprocess.run(["xdotool"] + [str(s) for s in steps], env=env, check=True)

        if files is not None:
            if not source.drag_to(xdotool, *centre(files)):
                failures.append("four files dragged onto the list were not dropped")
            jpeg = expect("push button", "JPEG")
            if jpeg is not None:
                time.sleep(0.5)
                xdotool("mousemove", *centre(jpeg), "click", 1)
                bar = expect("progress bar", "Processing, please wait...")
                if bar is not None and not bar.getState().contains(pyatspi.STATE_BUSY):
                    failures.append("the progress bar is not busy")
                xdotool("key", "Escape")
                sentence = "The run was stopped after 0 of 4 files; all 4 are still listed."
                expect("label", sentence)

        for failure in failures:
            print("FAIL: " + failure)
        if not failures:
            print("PASS: every control has its name and role")
        return 1 if failures else 0
    finally:
        stop(processes)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
