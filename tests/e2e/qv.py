"""End-to-end harness: runs the built program in a temporary program folder.

QV_KIND=native runs build/native/quenvale; QV_KIND=windows runs
build/windows/Quenvale.exe under Wine (as a Japanese Windows: code page 932)
and drives its windows with tools/uiauto. Files are written and read as bytes
(Shift-JIS); text helpers convert with cp932.

    with ProgramFolder() as pf:
        pf.write_text("CUSTOMER.fdf", "PCFO\nPCFL CUSTNO 2 11\n")
        pf.write("CUSTOMER.db2", records)
        res = pf.run_single("CUSTOMER")      # closes the summary box on Windows
        res.code, res.box_texts, pf.read("CUSTOMER.csv")
"""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

KIND = os.environ.get("QV_KIND", "native")
SOURCE_DIR = os.environ.get(
    "QV_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("QV_BUILD_DIR", os.path.join(SOURCE_DIR, "build", KIND))
IS_WINDOWS = KIND == "windows"
EXE_NAME = "Quenvale.exe" if IS_WINDOWS else "quenvale"
NL = b"\r\n" if IS_WINDOWS else b"\n"   # text-mode line end of the program's files
ARTIFACT_DIR = os.path.join(BUILD_DIR, "e2e_artifacts")
UIAUTO = os.path.join(BUILD_DIR, "tools", "uiauto", "uiauto.exe")

sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))
import wine_run  # noqa: E402

WINE = wine_run.WINE

WINE_SETTINGS = os.path.join(SOURCE_DIR, "tools", "wine_settings.reg")

_xvfb = None
_desktop = None   # the process that keeps Wine's desktop up
_prefix_ready = False


def sjis(text):
    return text.encode("cp932")


def wine_env(extra=None):
    env = dict(os.environ)
    # QV_WINEDEBUG: Wine's own messages, to see why a window never came.
    env["WINEDEBUG"] = os.environ.get("QV_WINEDEBUG", "-all")
    # A Japanese Windows: ANSI code page 932, so Shift-JIS texts show as such.
    env["LANG"] = "ja_JP.UTF-8"
    env["LC_ALL"] = "ja_JP.UTF-8"
    ensure_display(env)
    prepare_prefix(dict(env))
    keep_desktop(dict(env))
    if extra:
        env.update(extra)
    return env


def ensure_display(env):
    """Windows need an X display: use DISPLAY, or start an Xvfb of our own."""
    global _xvfb
    if env.get("DISPLAY"):
        return
    if _xvfb is None:
        _xvfb = wine_run.start_display()
        import atexit
        atexit.register(_xvfb[0].terminate)
    os.environ["DISPLAY"] = _xvfb[1]
    env["DISPLAY"] = _xvfb[1]


def prepare_prefix(env):
    """Once per test process, before any window opens: the prefix's fonts
    and desktop (tools/wine_settings.reg; importing it again changes nothing)."""
    global _prefix_ready
    if _prefix_ready:
        return
    _prefix_ready = True
    subprocess.run(WINE + ["regedit", "/S", "Z:" + WINE_SETTINGS.replace("/", "\\")], env=env,
                   timeout=120, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def keep_desktop(env):
    """Once per test process: a Wine process that waits in the background for
    the whole run, so that Wine's desktop is up before any test program or
    uiauto starts and stays up between them. A uiauto started together with
    the program that first brings the desktop up can hang until its time-out.

    The desktop takes its display driver from the program that brings it up.
    One brought up by a Windows program started without DISPLAY (a unit test
    under ctest, a moment before) has none, and no window of a later program
    can be made on it: the keeper then fails to make its window and goes, and
    once that desktop has had no program for a second Wine closes it; the
    next keeper brings up one with our display."""
    global _desktop
    if _desktop is not None or not os.path.exists(UIAUTO):
        return
    for attempt in range(3):
        if attempt:
            time.sleep(2)
        proc = subprocess.Popen(WINE + [UIAUTO, "keep", "86400"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready = select.select([proc.stdout], [], [], 120)[0] and proc.stdout.readline().strip()
        if ready == b"ready":
            break
        proc.kill()
        proc.wait()
        proc.stdout.close()
    else:
        raise RuntimeError("Wine's desktop has no display driver: a Windows program started "
                           "without DISPLAY keeps it up (start every one with qv.wine_env())")
    proc.stdout.close()
    _desktop = proc
    import atexit

    def stop():
        proc.kill()
        proc.wait()
    atexit.register(stop)


def uiauto(*args, timeout=None, extra_env=None):
    """Runs uiauto under Wine; returns (exit code, list of printed texts).
    extra_env: variables to set for it (a locale)."""
    escaped = [escape(a) for a in args]
    if timeout is None:
        # Longer than any wait that uiauto itself is given.
        waits = [float(a) for a in args[1:] if str(a).replace(".", "", 1).isdigit()]
        timeout = 30 + (max(waits) if waits else 30)
    proc = subprocess.Popen(WINE + [UIAUTO] + escaped, env=wine_env(extra_env),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    started = time.time()
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        # Wine itself did not let uiauto end (its own limit did not fire):
        # report it as a failed look, with where it stood.
        sys.stderr.write("uiauto %s did not end (threads: %s):\n%s\n"
                         % (" ".join(escaped), thread_states(proc.pid), wine_backtraces(UIAUTO)))
        proc.kill()
        proc.communicate()
        return 124, []
    lines = out.decode("utf-8", "replace").splitlines()
    if proc.returncode != 0 and err:
        # Wine's own messages (QV_WINEDEBUG), say why uiauto could not start.
        sys.stderr.write("uiauto %s: exit %d after %.1f s: %s\n" % (
            " ".join(escaped), proc.returncode, time.time() - started, err.decode("utf-8", "replace")))
    return proc.returncode, [unescape(l) for l in lines]


def thread_states(pid):
    """Each thread of a Linux process as "id state kernel-wait"."""
    states = []
    try:
        for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
            base = "/proc/%d/task/%s/" % (pid, tid)
            with open(base + "stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            with open(base + "wchan") as f:
                states.append("%s %s %s" % (tid, state, f.read().strip() or "-"))
    except OSError:
        pass
    return ", ".join(states)


def wine_backtraces(exe):
    """Every thread's stack in the running Wine processes named exe, as
    winedbg prints it: what a program that does not end waits on."""
    try:
        out = subprocess.run(["winedbg", "--command", "bt all"], env=wine_env(),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, timeout=120).stdout
    except subprocess.TimeoutExpired:
        return "winedbg did not end"
    blocks = out.decode("utf-8", "replace").split("\nBacktracing for ")
    return "\n".join(b for b in blocks if ("\\" + os.path.basename(exe) + ")") in b)


def escape(text):
    """Non-ASCII characters as \\uXXXX, which uiauto decodes."""
    return "".join(c if ord(c) < 128 else "\\u%04x" % ord(c) for c in str(text))


def unescape(line):
    out, i = [], 0
    while i < len(line):
        if line[i] == "\\" and i + 1 < len(line):
            out.append("\n" if line[i + 1] == "n" else line[i + 1])
            i += 2
        else:
            out.append(line[i])
            i += 1
    return "".join(out)


def window_rects(caption, seconds=30, extra_env=None):
    """Where the window captioned caption and its static texts are on the
    screen: [((left, top, right, bottom), text)], the window first; [] when
    no such window came up."""
    code, lines = uiauto("rects", caption, str(seconds), extra_env=extra_env)
    if code != 0:
        return []
    rects = []
    for line in lines:
        fields = line.split(" ", 4)
        rects.append((tuple(int(f) for f in fields[:4]), fields[4] if len(fields) > 4 else ""))
    return rects


def _crop(rect):
    left, top, right, bottom = rect
    return ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]


def screenshot(name, rect=None, folder=ARTIFACT_DIR):
    """Saves the X screen (or rect of it) as <folder>/<name>.png, a small
    palette PNG with no time stamps; returns its path. Wine's desktop covers
    the screen from its corner, so a window's screen coordinates are those of
    the picture."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name + ".png")
    env = dict(os.environ)
    ensure_display(env)
    subprocess.run(["import", "-window", "root"] + (_crop(rect) if rect else [])
                   + ["-strip", "-define", "png:exclude-chunks=date,time", "PNG8:" + path], env=env,
                   timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


def grey_pixels(rect):
    """rect of the X screen in grey levels: a list of rows of 0-255 values."""
    env = dict(os.environ)
    ensure_display(env)
    command = ["import", "-window", "root"] + _crop(rect) + ["-colorspace", "gray", "-depth", "8",
                                                            "pgm:-"]
    data = subprocess.run(command, env=env, timeout=30, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout
    # ImageMagick's binary PGM: "P5\nWIDTH HEIGHT\n255\n", then the pixels.
    _, size, _, pixels = data.split(b"\n", 3)
    width, height = (int(n) for n in size.split())
    return [list(pixels[y * width:(y + 1) * width]) for y in range(height)]


class Result:
    def __init__(self, code, stdout=b"", stderr=b"", box_texts=None):
        self.code = code            # exit status (-1 is 255)
        self.stdout = stdout
        self.stderr = stderr
        self.box_texts = box_texts or []   # summary box texts (Windows)

    @property
    def messages(self):
        """What the program told the user: stderr (Linux) or box texts (Windows)."""
        if IS_WINDOWS:
            return "\n".join(self.box_texts)
        return self.stderr.decode("utf-8", "replace")


class ProgramFolder:
    """A temporary folder holding a copy of the program."""

    def __init__(self, name=None):
        self.root = tempfile.mkdtemp(prefix="qve2e")
        self.path = os.path.join(self.root, name) if name else self.root
        os.makedirs(self.path, exist_ok=True)
        self.exe = os.path.join(self.path, EXE_NAME)
        self.procs = []
        shutil.copy2(os.path.join(BUILD_DIR, EXE_NAME), self.exe)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # A program left waiting on a box would confuse the next test's windows.
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        if IS_WINDOWS:
            # Wine may run the Windows process apart from the loader we started.
            for pid in os.listdir("/proc"):
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        cmdline = f.read()
                except OSError:
                    continue
                if pid.isdigit() and cmdline.startswith(self.exe.encode()):
                    try:
                        os.kill(int(pid), signal.SIGKILL)
                    except OSError:
                        pass
        shutil.rmtree(self.root, ignore_errors=True)

    def file(self, name):
        return os.path.join(self.path, name)

    def write(self, name, data):
        with open(self.file(name), "wb") as f:
            f.write(data)

    def write_text(self, name, text, newline="\r\n"):
        """Shift-JIS text; line feeds become newline (CR LF by default)."""
        self.write(name, sjis(text.replace("\n", newline)))

    def read(self, name):
        with open(self.file(name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.file(name))

    def command(self, args):
        args = [args] if isinstance(args, str) else list(args)
        return (WINE + [self.exe] if IS_WINDOWS else [self.exe]) + args

    def start(self, args=(), raw=None, extra_env=None, **popen):
        """Starts the program. raw: the exact Windows command-line tail, for
        arguments with quotes (Windows only). extra_env: variables to set for
        it (Windows: a locale other than Japanese)."""
        if raw is not None:
            assert IS_WINDOWS
            cmd = WINE + [UIAUTO, "run", self.exe, raw]
        else:
            cmd = self.command(args)
        env = wine_env(extra_env) if IS_WINDOWS else dict(os.environ, **(extra_env or {}))
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(cmd, cwd=self.path, env=env, **popen)
        self.procs.append(proc)
        return proc

    def run(self, args=(), timeout=120):
        """Runs to its end (a batch run or a refusal; nothing waits on a box
        on Linux). On Windows a box would wait: use run_single."""
        proc = self.start(args)
        out, err = proc.communicate(timeout=timeout)
        return Result(proc.returncode, out, err)

    def run_single(self, args=(), raw=None, caption=None, timeout=120, before_close=None):
        """Single-file mode. On Windows waits for the box captioned caption
        (the file base name by default), reads its texts, calls before_close(),
        and presses OK."""
        proc = self.start(args, raw=raw)
        texts = []
        looked = "no box to wait for"
        if IS_WINDOWS:
            if caption is None:
                caption = raw if raw is not None else (args if isinstance(args, str) else " ".join(args))
            code, texts = uiauto("texts", caption, str(timeout))
            looked = "texts %r: %d" % (caption, code)
            if code == 0:
                if before_close:
                    before_close()
                looked += ", close: %d" % uiauto("close", caption, "1")[0]
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # Say what was seen, so that a rare hang tells its cause.
            windows = uiauto("list")[1] if IS_WINDOWS else []
            stacks = wine_backtraces(self.exe) if IS_WINDOWS else ""
            threads = thread_states(proc.pid)
            proc.kill()
            out, err = proc.communicate()
            raise AssertionError("%s did not end (uiauto %s; windows: %s; threads: %s; stderr: %r)\n%s"
                                 % (self.exe, looked, windows, threads, err[-500:], stacks))
        if IS_WINDOWS and not texts:
            # The test fails on what follows; this says that the box never came.
            sys.stderr.write("%s ended with %d and no box (uiauto %s): %s\n" % (
                self.exe, proc.returncode, looked, err[-3000:].decode("cp932", "replace")))
        return Result(proc.returncode, out, err, texts)


def temp_files(folder):
    """The temporary files the program writes a file into before the file
    takes the place of its predecessor ("~qv<pid>-<n>.tmp")."""
    return [n for n in os.listdir(folder) if re.fullmatch(r"~qv\d+-\d+\.tmp", n, re.I)]


def skip_unless(kind):
    return unittest.skipUnless(KIND == kind, "%s build only" % kind)
