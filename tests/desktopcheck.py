"""What the desktop checks share: skipping with a reason, and waiting for a condition."""

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
