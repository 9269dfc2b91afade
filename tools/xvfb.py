"""An X display for Wine's windows, for the test harness and the benchmark.

Xvfb picks a free display itself and names it once it takes clients: a
number chosen by looking into /tmp can be taken at the same moment by
another session, or belong to a server behind another /tmp (a chroot shares
the abstract sockets), and the windows then go to the other server.
"""
import os
import subprocess


def start():
    """Starts Xvfb; returns (process, ":N") once it takes clients."""
    ready, ours = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(ours), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(ours,), stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(ours)
    with os.fdopen(ready) as f:
        number = f.readline().strip()
    if not number:
        proc.kill()
        proc.wait()
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number
