"""What the desktop checks share: skipping with a reason, waiting, stopping what they started."""

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
