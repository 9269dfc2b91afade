#!/usr/bin/python3
"""Measures the conversion and the folder copy against their peers.

Run through bench/run.sh, which builds the programs first. Everything is
measured in one run, alternating the contenders and repeating them, so that
the ratios compare like with like on a machine whose load changes:

  * conversion of layout A (MIXED, 100-byte mixed text), layout B (ORDERS,
    200-byte business records) and layout C (HOSTTYPES, 200-byte records of
    zoned, binary, floating-point, hex, varying and UTF-16 fields) by the
    native program in single-file mode, against ICU's uconv and glibc's iconv
    converting layout A's image from IBM-930 to IBM-943, at 1 MiB and 1 GiB;
    and the same three conversions writing their CSV in UTF-8
    (CsvEncoding=UTF-8) against Shift-JIS;
  * the same three layouts with Workers=1, Workers=2 and the default (one
    converting thread per processor), on the disk (flushed, as the program
    always flushes) and in tmpfs (/dev/shm, so the disk does not hide the
    processors), with the parts of the scaling model: the reader's and the
    writer's rates, the ring's cost per job (bench driver ring_bench);
  * CopyDb2Files (bench driver copy_bench) against cp --reflink=never on a
    1 GiB image;
  * the decoders' Google Benchmark, in nanoseconds per field byte;
  * under Wine (when built), a conversion with and without the progress
    window (bench driver indicator_bench.exe).

Throughput is image bytes over the best wall time of the repetitions (1 MB =
10^6 bytes); the CPU column is user + system time of the same best run. Peak
memory is /usr/bin/time's maximum resident set size, the largest of the
repetitions.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
import wine_run  # noqa: E402
# The native build to measure (--native): build/native, as run.sh builds it.
NATIVE = os.path.join(ROOT, "build", "native")
WINDOWS = os.path.join(ROOT, "build", "windows")
MIB = 1 << 20
GIB = 1 << 30


def log(*args):
    print(*args, flush=True)


def timed(cmd, cwd=None, env=None):
    """Runs cmd under /usr/bin/time -v: (wall s, cpu s, max RSS KiB)."""
    full = ["/usr/bin/time", "-v"] + cmd
    errfile = open(os.path.join(ROOT, "build", "bench_time.txt"), "w+b")
    start = time.perf_counter()
    p = subprocess.Popen(full, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=errfile)
    # wait4 gives the CPU time of time(1) and the program it waited for, in
    # microseconds (time -v prints hundredths only).
    _, _, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    p.returncode = 0
    errfile.seek(0)
    err = errfile.read().decode("utf-8", "replace")
    errfile.close()
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1))
    cpu = usage.ru_utime + usage.ru_stime
    status = int(re.search(r"Exit status: (\d+)", err).group(1))
    if status != 0:
        sys.exit("bench: %s failed (exit %d):\n%s" % (" ".join(cmd), status, err[-2000:]))
    return wall, cpu, rss


class Runs:
    """Repetitions of one contender."""

    def __init__(self, name, nbytes):
        self.name, self.nbytes, self.runs = name, nbytes, []

    def add(self, run):
        self.runs.append(run)

    def best(self):
        return min(self.runs, key=lambda r: r[0])

    def mbps(self):
        return self.nbytes / self.best()[0] / 1e6

    def cpu_mbps(self):
        return self.nbytes / max(self.best()[1], 1e-6) / 1e6

    def median_mbps(self):
        return self.nbytes / statistics.median(r[0] for r in self.runs) / 1e6

    def peak_mib(self):
        return max(r[2] for r in self.runs) / 1024.0


def remove(*paths):
    for p in paths:
        if os.path.exists(p):
            os.remove(p)


# An earlier build to compare with (--before): its quenvale and copy_bench.
BEFORE = None


def synced(cmd, out):
    """cmd, then its output flushed to the disk (sync FILE), as the program
    flushes every file it writes before it takes its place."""
    return ["sh", "-c", '"$@" && sync "%s"' % out, "sh"] + cmd


def prepare(folder, size):
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    log("generating %s (%d bytes per image)" % (folder, size))
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "gen_images.py"), folder, str(size)], check=True)
    # The program folder is the executable's own folder.
    shutil.copy2(os.path.join(NATIVE, "quenvale"), os.path.join(folder, "quenvale"))
    # A second program folder on the same images that writes its CSV in UTF-8.
    utf8 = os.path.join(folder, "utf8")
    os.mkdir(utf8)
    for name in ("quenvale", "MIXED.db2", "MIXED.fdf", "ORDERS.db2", "ORDERS.fdf", "HOSTTYPES.db2",
                 "HOSTTYPES.fdf"):
        os.link(os.path.join(folder, name), os.path.join(utf8, name))
    settings = open(os.path.join(folder, "Quenvale.ini"), "rb").read()
    with open(os.path.join(utf8, "Quenvale.ini"), "wb") as f:
        f.write(b"[Quenvale]\r\nCsvEncoding=UTF-8\r\n" + settings.replace(b"[Quenvale]\r\n", b"", 1))
    # Program folders on the same images with one and two converting threads.
    for workers in ("1", "2"):
        sub = os.path.join(folder, "w" + workers)
        os.mkdir(sub)
        for name in ("quenvale", "MIXED.db2", "MIXED.fdf", "ORDERS.db2", "ORDERS.fdf", "HOSTTYPES.db2",
                     "HOSTTYPES.fdf"):
            os.link(os.path.join(folder, name), os.path.join(sub, name))
        with open(os.path.join(sub, "Quenvale.ini"), "wb") as f:
            f.write(b"[Quenvale]\r\nWorkers=" + workers.encode() + b"\r\n" +
                    settings.replace(b"[Quenvale]\r\n", b"", 1))
    if BEFORE:
        # A third program folder on the same images: the earlier build.
        before = os.path.join(folder, "before")
        os.mkdir(before)
        for name in ("MIXED.db2", "MIXED.fdf", "ORDERS.db2", "ORDERS.fdf", "Quenvale.ini"):
            os.link(os.path.join(folder, name), os.path.join(before, name))
        shutil.copy2(os.path.join(BEFORE, "quenvale"), os.path.join(before, "quenvale"))


def worker_contenders(folder):
    """Layouts A, B and C with Workers=1, Workers=2 and the default."""
    out = []
    for layout, name in (("A", "MIXED"), ("B", "ORDERS"), ("C", "HOSTTYPES")):
        nbytes = os.path.getsize(os.path.join(folder, name + ".db2"))
        for label, sub in (("Workers=1", "w1/"), ("Workers=2", "w2/"), ("default", "")):
            out.append((Runs("layout %s, %s" % (layout, label), nbytes), ["./quenvale", name], sub + name + ".csv"))
    return out


def run_rounds(folder, contenders, reps):
    for rep in range(reps):
        # Alternate, and rotate who goes first, so that no contender always
        # meets the same state of the machine.
        k = rep % len(contenders)
        for runs, cmd, out in contenders[k:] + contenders[:k]:
            cwd = os.path.join(folder, os.path.dirname(out)) if "/" in out else folder
            runs.add(timed(cmd, cwd=cwd))
            remove(os.path.join(folder, out))


def tmpfs_round(folder, reps):
    """The workers' contenders and uconv in tmpfs, where no disk waits."""
    image = os.path.getsize(os.path.join(folder, "MIXED.db2"))
    contenders = worker_contenders(folder) + [
        (Runs("uconv ibm-930 -> ibm-943 (A)", image),
         ["uconv", "-f", "ibm-930", "-t", "ibm-943", "-o", "uconv.out", "MIXED.db2"], "uconv.out")]
    run_rounds(folder, contenders, reps)
    return [c[0] for c in contenders]


def model_parts(folder):
    """The measured parts of the scaling model, in tmpfs: the reader's rate
    (256 KiB reads of an image), the writer's (512 KiB writes of a new
    file), each layout's CSV bytes per image byte, and the ring's cost per
    job (ring_bench: jobs that convert nothing)."""
    parts = {}
    image = os.path.join(folder, "MIXED.db2")
    nbytes = os.path.getsize(image)
    best = None
    for _ in range(3):
        start = time.perf_counter()
        with open(image, "rb", buffering=0) as f:
            while f.read(1 << 18):
                pass
        t = time.perf_counter() - start
        best = t if best is None else min(best, t)
    parts["reader"] = nbytes / best / 1e6
    block = b"x" * (1 << 19)
    target = os.path.join(folder, "writer.out")
    best = None
    for _ in range(3):
        start = time.perf_counter()
        with open(target, "wb", buffering=0) as f:
            for _ in range(nbytes // len(block)):
                f.write(block)
        t = time.perf_counter() - start
        remove(target)
        best = t if best is None else min(best, t)
    parts["writer"] = (nbytes // len(block)) * len(block) / best / 1e6
    for layout, name in (("A", "MIXED"), ("B", "ORDERS"), ("C", "HOSTTYPES")):
        subprocess.run(["./quenvale", name], cwd=folder, stdout=subprocess.DEVNULL, check=True)
        csv = os.path.join(folder, name + ".csv")
        parts["csv " + layout] = os.path.getsize(csv) / os.path.getsize(os.path.join(folder, name + ".db2"))
        remove(csv)
    drv = os.path.join(NATIVE, "bench", "ring_bench")
    if os.path.exists(drv):
        # Jobs of one 100-byte record: the hand-overs alone; jobs of 2621
        # records (the size layout A's jobs have): with the reads and copies.
        for label, per_job, jobs in (("ring tiny", "1", "200000"), ("ring full", "2621", "-1")):
            p = subprocess.run([drv, image, "100", per_job, jobs], stdout=subprocess.PIPE, check=True)
            us = [float(m) for m in re.findall(r"us_per_job=([\d.]+)", p.stdout.decode())]
            parts[label] = min(us)
    return parts


def convert_round(folder, size, reps):
    image = os.path.getsize(os.path.join(folder, "MIXED.db2"))
    orders = os.path.getsize(os.path.join(folder, "ORDERS.db2"))
    types = os.path.getsize(os.path.join(folder, "HOSTTYPES.db2"))
    contenders = [
        (Runs("quenvale layout A", image), ["./quenvale", "MIXED"], "MIXED.csv"),
        (Runs("uconv ibm-930 -> ibm-943 (A)", image),
         synced(["uconv", "-f", "ibm-930", "-t", "ibm-943", "-o", "uconv.out", "MIXED.db2"], "uconv.out"),
         "uconv.out"),
        (Runs("iconv IBM930 -> IBM943 (A)", image),
         synced(["iconv", "-f", "IBM930", "-t", "IBM943", "-o", "iconv.out", "MIXED.db2"], "iconv.out"),
         "iconv.out"),
        (Runs("quenvale layout B", orders), ["./quenvale", "ORDERS"], "ORDERS.csv"),
        (Runs("quenvale layout A, UTF-8", image), ["./quenvale", "MIXED"], "utf8/MIXED.csv"),
        (Runs("quenvale layout B, UTF-8", orders), ["./quenvale", "ORDERS"], "utf8/ORDERS.csv"),
        (Runs("quenvale layout C", types), ["./quenvale", "HOSTTYPES"], "HOSTTYPES.csv"),
        (Runs("quenvale layout C, UTF-8", types), ["./quenvale", "HOSTTYPES"], "utf8/HOSTTYPES.csv"),
    ]
    if BEFORE:
        contenders += [
            (Runs("quenvale layout A, before", image), ["./quenvale", "MIXED"], "before/MIXED.csv"),
            (Runs("quenvale layout B, before", orders), ["./quenvale", "ORDERS"], "before/ORDERS.csv"),
        ]
    # Workers=1 and 2 on the disk, flushed (layout A/B/C's default above).
    workers = [c for c in worker_contenders(folder) if "default" not in c[0].name]
    run_rounds(folder, contenders + workers, reps)
    return [c[0] for c in contenders + workers]


def copy_round(folder, reps):
    src = os.path.join(folder, "copy_src")
    dst = os.path.join(folder, "copy_dst")
    os.makedirs(src, exist_ok=True)
    os.makedirs(dst, exist_ok=True)
    image = os.path.join(src, "COPY.DB2")
    if not os.path.exists(image):
        os.link(os.path.join(folder, "MIXED.db2"), image)
    nbytes = os.path.getsize(image)
    ours = Runs("CopyDb2Files (copy_bench)", nbytes)
    cp = Runs("cp --reflink=never, synced", nbytes)
    target = os.path.join(dst, "COPY.DB2")
    drv = os.path.join(NATIVE, "bench", "copy_bench")
    order = [(ours, [drv, src, dst]), (cp, synced(["cp", "--reflink=never", image, target], target))]
    if BEFORE:
        order.append((Runs("CopyDb2Files, before", nbytes),
                      [os.path.join(BEFORE, "bench", "copy_bench"), src, dst]))
    for rep in range(reps):
        k = rep % len(order)
        for runs, cmd in order[k:] + order[:k]:
            remove(target)
            runs.add(timed(cmd))
    remove(target, image)
    return [o[0] for o in order]


def decoders():
    exe = os.path.join(NATIVE, "bench", "decoders_bench")
    if not os.path.exists(exe):
        return None
    p = subprocess.run([exe, "--benchmark_format=json", "--benchmark_repetitions=5",
                        "--benchmark_report_aggregates_only=true"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    rows = []
    for b in json.loads(p.stdout)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        n = b["field_bytes"]
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[b["time_unit"]]
        rows.append((b["run_name"], int(n), b["cpu_time"] * scale / n, b["real_time"] * scale / n))
    return rows


def wine_indicator(reps):
    exe = os.path.join(WINDOWS, "bench", "indicator_bench.exe")
    if not os.path.exists(exe) or shutil.which("wine") is None:
        return None
    folder = os.path.join(ROOT, "build", "bench", "wine")
    prepare(folder, 64 * MIB)
    shutil.copy2(exe, os.path.join(folder, "indicator_bench.exe"))
    env = dict(os.environ, WINEDEBUG="-all", LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
    xvfb = None
    if not env.get("DISPLAY"):
        xvfb, env["DISPLAY"] = wine_run.start_display()
    try:
        p = subprocess.run(wine_run.WINE + ["indicator_bench.exe", "MIXED", str(reps)], cwd=folder, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=900)
    finally:
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait()
    out = p.stdout.decode("ascii", "replace")
    times = {"0": [], "1": []}
    for line in out.splitlines():
        m = re.match(r"window=(\d) seconds=([\d.]+) result=(-?\d+) shown=(\d)", line)
        if m:
            times[m.group(1)].append((float(m.group(2)), int(m.group(4))))
    shutil.rmtree(folder)
    if not times["0"] or not times["1"]:
        log("wine: indicator_bench printed nothing usable:\n" + out)
        return None
    return times, 64 * MIB


def main():
    global NATIVE
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=3, help="repetitions of each 1 GiB run")
    ap.add_argument("--big", type=int, default=GIB, help="size of the large images in bytes")
    ap.add_argument("--no-wine", action="store_true")
    ap.add_argument("--native", default=NATIVE, help="the native build folder to measure")
    ap.add_argument("--before", help="build folder of an earlier commit to compare with")
    ap.add_argument("--tmpfs", default="/dev/shm", help="a tmpfs folder for the runs without a disk ('' none)")
    args = ap.parse_args()
    NATIVE = os.path.abspath(args.native)
    global BEFORE
    BEFORE = os.path.abspath(args.before) if args.before else None

    work = os.path.join(ROOT, "build", "bench")
    os.makedirs(work, exist_ok=True)
    results = []
    tmpfs = []
    parts = None
    for label, size, reps in (("1 MiB", MIB, max(args.reps, 10)), ("%d MiB" % (args.big // MIB), args.big, args.reps)):
        folder = os.path.join(work, "images_%d" % size)
        prepare(folder, size)
        log("converting the %s images, %d rounds" % (label, reps))
        results.append((label, convert_round(folder, size, reps)))
        if size == args.big:
            log("copying the %s image, %d rounds" % (label, reps + 2))
            copy = copy_round(folder, reps + 2)
        shutil.rmtree(folder)
        if args.tmpfs and os.path.isdir(args.tmpfs):
            folder = os.path.join(args.tmpfs, "qv_bench_%d" % size)
            prepare(folder, size)
            log("converting the %s images in tmpfs, %d rounds" % (label, reps))
            tmpfs.append((label, tmpfs_round(folder, reps)))
            if size == args.big:
                parts = model_parts(folder)
            shutil.rmtree(folder)
    dec = decoders()
    wine = None if args.no_wine else wine_indicator(max(3 * args.reps, 9))

    log("")
    log("== Conversion (best of the rounds; CPU = user + system of that run)")
    log("%-8s %-30s %10s %10s %10s %9s" % ("images", "contender", "MB/s", "median", "CPU MB/s", "peak MiB"))
    for label, runs in results:
        for r in runs:
            log("%-8s %-30s %10.1f %10.1f %10.1f %9.1f" % (label, r.name, r.mbps(), r.median_mbps(),
                                                            r.cpu_mbps(), r.peak_mib()))
        a, u, i, b, a8, b8, c, c8 = runs[:8]
        log("%-8s ratios: A/uconv %.2f (CPU %.2f), B/uconv %.2f (CPU %.2f), C/uconv %.2f (CPU %.2f), "
            "A/iconv %.2f, B/iconv %.2f" % (
                label, a.mbps() / u.mbps(), a.cpu_mbps() / u.cpu_mbps(), b.mbps() / u.mbps(),
                b.cpu_mbps() / u.cpu_mbps(), c.mbps() / u.mbps(), c.cpu_mbps() / u.cpu_mbps(),
                a.mbps() / i.mbps(), b.mbps() / i.mbps()))
        log("%-8s UTF-8 output costs: A %+.1f %% (CPU %+.1f %%), B %+.1f %% (CPU %+.1f %%), "
            "C %+.1f %% (CPU %+.1f %%)" % (
                label, (a.mbps() / a8.mbps() - 1) * 100, (a.cpu_mbps() / a8.cpu_mbps() - 1) * 100,
                (b.mbps() / b8.mbps() - 1) * 100, (b.cpu_mbps() / b8.cpu_mbps() - 1) * 100,
                (c.mbps() / c8.mbps() - 1) * 100, (c.cpu_mbps() / c8.cpu_mbps() - 1) * 100))
        if BEFORE:
            ab, bb = runs[8:10]
            log("%-8s flush and rename cost (earlier build / this one - 1): A %+.1f %% (median %+.1f %%), "
                "B %+.1f %% (median %+.1f %%)" % (
                label, (ab.mbps() / a.mbps() - 1) * 100, (ab.median_mbps() / a.median_mbps() - 1) * 100,
                (bb.mbps() / b.mbps() - 1) * 100, (bb.median_mbps() / b.median_mbps() - 1) * 100))
    log("")
    log("== Converting threads (best of the rounds; flushed = on the disk, as the program writes)")
    log("%-8s %-8s %-22s %10s %10s %10s %9s" % ("images", "where", "contender", "MB/s", "median", "CPU MB/s",
                                               "peak MiB"))
    every = [(label, "flushed", [r for r in runs if r.name.startswith("layout") or (r.name.startswith("quenvale layout")
                                 and "UTF-8" not in r.name and "before" not in r.name)])
             for label, runs in results] + [(label, "tmpfs", runs) for label, runs in tmpfs]
    for label, where, runs in every:
        by = {}
        for r in runs:
            name = r.name.replace("quenvale layout ", "layout ")
            if name in ("layout A", "layout B", "layout C"):
                name += ", default"
            by[name] = r
            log("%-8s %-8s %-22s %10.1f %10.1f %10.1f %9.1f" % (label, where, name, r.mbps(), r.median_mbps(),
                                                                r.cpu_mbps(), r.peak_mib()))
        for layout in "ABC":
            one, two, dflt = (by.get("layout %s, %s" % (layout, w)) for w in ("Workers=1", "Workers=2", "default"))
            if one and two and dflt:
                log("%-8s %-8s layout %s speed-up: Workers=2 %.2f (median %.2f), default %.2f (median %.2f) "
                    "times Workers=1" % (label, where, layout, two.mbps() / one.mbps(),
                                         two.median_mbps() / one.median_mbps(), dflt.mbps() / one.mbps(),
                                         dflt.median_mbps() / one.median_mbps()))
        u = [r for r in runs if r.name.startswith("uconv")]
        if u:
            for layout in "AB":
                for w in ("Workers=1", "Workers=2", "default"):
                    r = by.get("layout %s, %s" % (layout, w))
                    if r:
                        log("%-8s %-8s layout %s, %s / uconv (A): %.2f" % (label, where, layout, w,
                                                                         r.mbps() / u[0].mbps()))
    if parts:
        log("")
        log("== Parts of the scaling model (tmpfs, %d MiB)" % (args.big // MIB))
        for k, v in parts.items():
            log("%-12s %10.3f %s" % (k, v, "MB/s" if k in ("reader", "writer") else
                                     ("us a job" if k.startswith("ring") else "CSV bytes an image byte")))
        ones = {r.name[7]: r for label, runs in tmpfs if label != "1 MiB" for r in runs
                if r.name.endswith("Workers=1")}
        job = 1 << 18
        for layout, one in sorted(ones.items()):
            w1 = one.mbps()
            caps = {"reader": parts["reader"], "writer": parts["writer"] / parts["csv " + layout]}
            if "ring tiny" in parts:
                caps["ring"] = job / (parts["ring tiny"] * 1e-6) / 1e6
            limit = min(caps.values())
            which = min(caps, key=caps.get)
            log("layout %s: one worker %.0f MB/s; caps %s; stops scaling at %.1f workers (%s)" % (
                layout, w1, ", ".join("%s %.0f" % kv for kv in caps.items()), limit / w1, which))
            log("layout %s model MB/s: %s" % (layout, "  ".join("%d: %.0f" % (n, min(n * w1, limit))
                                                                  for n in (1, 2, 4, 8, 16, 32))))
    log("")
    log("== Folder copy")
    for r in copy:
        log("%-38s %10.1f MB/s (median %.1f)  peak %.1f MiB" % (r.name, r.mbps(), r.median_mbps(), r.peak_mib()))
    log("ratio CopyDb2Files/cp: %.2f (medians %.2f)" % (copy[0].mbps() / copy[1].mbps(),
                                                      copy[0].median_mbps() / copy[1].median_mbps()))
    if BEFORE:
        log("ratio earlier build/cp: %.2f (medians %.2f)" % (copy[2].mbps() / copy[1].mbps(),
                                                           copy[2].median_mbps() / copy[1].median_mbps()))
    if dec:
        log("")
        log("== Decoders (Google Benchmark, median of 5)")
        for name, n, cpu, real in dec:
            log("%-28s %4d-byte field  %.3f ns/byte CPU  (%.3f wall)" % (name, n, cpu, real))
    if wine:
        times, nbytes = wine
        log("")
        log("== Under Wine: layout A, %d MiB, conversion with and without the progress window" % (nbytes // MIB))
        off = min(t for t, _ in times["0"])
        on = min(t for t, _ in times["1"])
        shown = all(s == 1 for _, s in times["1"])
        log("no window   best %.3f s  median %.3f s" % (off, statistics.median(t for t, _ in times["0"])))
        log("window open best %.3f s  median %.3f s  (window shown: %s)" % (
            on, statistics.median(t for t, _ in times["1"]), "yes" if shown else "NO"))
        log("window cost: %+.1f %% (best), %+.1f %% (median)" % (
            (on / off - 1) * 100,
            (statistics.median(t for t, _ in times["1"]) / statistics.median(t for t, _ in times["0"]) - 1) * 100))


if __name__ == "__main__":
    main()
