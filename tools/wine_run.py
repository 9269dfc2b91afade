"""How the test harness and the benchmark start Wine and its display.

WINE is the command that starts a Windows program. Debian's Wine has no
preloader, the small program that keeps the addresses Windows needs free
before anything else is loaded. Without it the Linux heap of each Wine
process starts at a random place above the loader (0x7d000000), and in about
one start in a thousand it covers the page Windows keeps for its shared user
data (0x7ffe0000): Wine then cannot start the process ("failed to map the
shared user data", exit 1), and a test waits for a window that never comes.
Without address randomization (setarch -R, inherited by what the process
starts) the heap begins right after the loader, far below that page.

start_display() starts an Xvfb that picks a free display itself and names it
once it takes clients: a number chosen by looking into /tmp can be taken at
the same moment by another session, or belong to a server behind another
/tmp (a chroot shares the abstract sockets), and the windows then go to the
other server.
"""
import os
import shutil
import subprocess

WINE = ["setarch", "-R", "wine"] if shutil.which("setarch") else ["wine"]


def start_display():
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
