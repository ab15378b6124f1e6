#!/usr/bin/python3
"""In a Wayland session with Xwayland, the application comes up on X.

Starts weston's headless backend with Xwayland, then the application with both WAYLAND_DISPLAY
and DISPLAY set and no platform named, and checks that its Drop Screen and format chooser are
X windows with the layouts' titles: the layouts and the puff stand at screen positions, which
only X lets a window take.

    check_wayland.py MORVELLE

Exits 77 (skipped) when weston, its headless backend or Xwayland cannot start.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from desktopcheck import skip, stop, wait_for


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    for tool in ("weston", "Xwayland", "xdotool", "xprop"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    runtime = tempfile.mkdtemp(prefix="morvelle-wayland-")
    os.chmod(runtime, 0o700)
    log = os.path.join(runtime, "weston.log")
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["XDG_RUNTIME_DIR"] = runtime
    processes = []
    try:
        weston = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--xwayland", "--socket=wayland-test",
             "--width=1280", "--height=1024", "--idle-time=0", "--log=" + log],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(weston)

        def x_display():
            try:
                with open(log) as f:
                    found = re.search(r"xserver listening on display (:\d+)", f.read())
            except OSError:
                return None
            return found.group(1) if found else None

        display = wait_for(lambda: x_display() or weston.poll() is not None, 20)
        if weston.poll() is not None or not x_display():
            skip("weston did not start with its headless backend and Xwayland")
        env["WAYLAND_DISPLAY"] = "wayland-test"
        env["DISPLAY"] = display
        app = subprocess.Popen([program], env=env, stderr=subprocess.PIPE, text=True)
        processes.append(app)

        def titles():
            found = subprocess.run(["xdotool", "search", "--pid", str(app.pid)], env=env,
                                   capture_output=True, text=True).stdout.split()
            names = []
            for window in found:
                shown = subprocess.run(["xprop", "-id", window, "_NET_WM_NAME", "WM_STATE"],
                                       env=env, capture_output=True, text=True).stdout
                # xprop shows an empty name without quotes.
                name = re.search(r'^_NET_WM_NAME\(UTF8_STRING\) = (?:"(.*)")?$', shown, re.M)
                if name and "window state: Normal" in shown:
                    names.append(name.group(1) or "")
            return sorted(names)

        seen = wait_for(lambda: titles() == ["", "Drop Screen"] or app.poll() is not None, 30)
        if app.poll() is not None:
            print("FAIL: the application ended: " + app.stderr.read())
            return 1
        if seen is None:
            print("FAIL: on X the application shows %r, not the Drop Screen and the chooser"
                  % titles())
            return 1
        # Weston starts Xwayland when the first X client comes.
        with open(log) as f:
            if "Spawned Xwayland server" not in f.read():
                print("FAIL: the X server the application is on is not weston's Xwayland")
                return 1
        print("PASS: the application runs on Xwayland")
        return 0
    finally:
        stop(processes)
        shutil.rmtree(runtime, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
