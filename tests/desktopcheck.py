"""What the desktop checks share: skipping with a reason, waiting, stopping what they started."""

import os
import select
import subprocess
import sys
import time

# ctest's SKIP_RETURN_CODE for these checks.
SKIP = 77


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


def wait_for(condition, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return None


def stop(processes):
    """Ends the processes, the last started first, each given five seconds before it is killed."""
    for process in reversed(processes):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class DragSource:
    """tests/dragsource on some files, at the screen's top left corner, 120 pixels square."""

    def __init__(self, program, files, env):
        self.process = subprocess.Popen([program] + files, env=env, stdout=subprocess.PIPE)
        self.said = b"\n"

    def has_said(self, line):
        out = self.process.stdout
        while select.select([out], [], [], 0)[0]:
            chunk = os.read(out.fileno(), 4096)
            if not chunk:
                break
            self.said += chunk
        return (b"\n" + line.encode() + b"\n") in self.said

    def drag_to(self, xdotool, x, y):
        """Drags the files to a point as a person would, letting go only once the window there
        has said it takes them: a busy machine makes the drop slower, never lost. True when
        the files were dropped."""
        if not wait_for(lambda: self.has_said("shown"), 20):
            return False
        xdotool("mousemove", 60, 60, "mousedown", 1)
        if not wait_for(lambda: self.has_said("dragging"), 20):
            return False
        xdotool("mousemove", 200, 200, "sleep", 0.1, "mousemove", x, y)
        for nudge in range(80):
            if wait_for(lambda: self.has_said("accepted"), 0.25):
                break
            xdotool("mousemove", x + nudge % 2, y + 1)
        xdotool("mouseup", 1)
        wait_for(lambda: self.has_said("dropped") or self.has_said("not dropped"), 20)
        return self.has_said("dropped")
