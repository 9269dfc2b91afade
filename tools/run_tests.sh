#!/usr/bin/env bash
# Builds the Linux and Windows programs and runs every test: unit and
# end-to-end tests natively, then the same under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh

cmake --preset native >/dev/null && cmake --build --preset native
cmake --preset windows >/dev/null && cmake --build --preset windows

# The release archives, each made by one command: they hold what the guide
# promises (its first command converts the example image), the zip's guides
# in CR LF and UTF-8 with a byte-order mark for every Notepad, the tarball's
# as in docs/, and the tarball's systemd units pass systemd-analyze.
cmake --build --preset windows --target package >/dev/null
cmake --build --preset native --target package >/dev/null
/usr/bin/python3 - build/windows/Quenvale-*-win64.zip build/native/Quenvale-*-linux-x86_64.tar.gz <<'PY'
import sys, tarfile, zipfile
BOM = b"\xef\xbb\xbf"
examples = {"CUSTOMER.fdf", "CUSTOMER.db2", "ORDERS.fdf", "ORDERS.db2", "CUSTOMER.FFD", "ORDERS.FFD",
            "ORDERS.dds", "ORDERS.sql"}
common = {"ftp.exe", "Quenvale.ini", "ccsid939-EBCDIC.txt", "GUIDE.ja.txt", "GUIDE.en.txt",
          "progress.png", "cancel.png", "summary.png"} | examples
want = {"zip": common | {"Quenvale.exe", "fdfmake.exe"},
        "tgz": common | {"quenvale", "fdfmake", "quenvale.service", "quenvale.timer", "quenvale.cron"}}
sources = dict({"GUIDE.ja.txt": "docs/", "GUIDE.en.txt": "docs/", "Quenvale.ini": "examples/"},
               **{name: "examples/" for name in examples})

def windows_text(data):
    """UTF-8 with a byte-order mark and CR LF line ends, as every Notepad reads it."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return data.startswith(BOM) and data.count(b"\n") == data.count(b"\r\n")

failed = False
for path, kind in zip(sys.argv[1:], ("zip", "tgz")):
    if kind == "zip":
        archive = zipfile.ZipFile(path)
        files = {n.split("/", 1)[1]: n for n in archive.namelist() if not n.endswith("/")}
        read = lambda n: archive.read(files[n])
    else:
        archive = tarfile.open(path)
        files = {m.name.split("/", 1)[1]: m for m in archive.getmembers() if m.isfile()}
        read = lambda n: archive.extractfile(files[n]).read()
    problems = ["missing " + n for n in sorted(want[kind] - files.keys())]
    for name in sorted(sources.keys() & files.keys()):
        data = read(name)
        with open(sources[name] + name, "rb") as f:
            expected = f.read()
        if kind == "zip" and name.startswith("GUIDE"):
            if not windows_text(data):
                problems.append(name + " is not UTF-8 with a byte-order mark and CR LF")
                continue
            data = data[len(BOM):].replace(b"\r\n", b"\n")
        if data != expected:
            problems.append(name + " is not " + sources[name] + name)
    for program in ("quenvale", "fdfmake"):
        if kind == "tgz" and program in files and not files[program].mode & 0o111:
            problems.append(program + " is not executable")
    print("release archive:", path, "complete" if not problems else "; ".join(problems))
    failed = failed or bool(problems)
sys.exit(1 if failed else 0)
PY
if command -v systemd-analyze >/dev/null; then
  units=$(mktemp -d)
  tar -xzf build/native/Quenvale-*-linux-x86_64.tar.gz -C "$units" --strip-components=1
  # As installed in /opt/quenvale, here in the unpacked folder.
  sed -i "s|/opt/quenvale|$units|g" "$units/quenvale.service"
  (cd "$units" && systemd-analyze verify ./quenvale.timer ./quenvale.service)
  rm -rf "$units"
fi

# An X display and the Wine prefix, set up for the windows.
source tools/wine_session.sh

ctest --preset native
ctest --preset windows

# ---- Sanitizers and fuzzing ------------------------------------------------
# The native program and its unit and end-to-end tests with AddressSanitizer
# and UndefinedBehaviorSanitizer, the disk threads under ThreadSanitizer,
# then every fuzz target for about a minute (QV_FUZZ_SECONDS each). Any
# finding fails the run.
cmake --preset sanitize >/dev/null && cmake --build --preset sanitize
ctest --preset sanitize
# The conversion reads and writes on threads of their own: their tests under ThreadSanitizer.
cmake --preset tsan >/dev/null && cmake --build --preset tsan
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/block_io_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/to_csv_test
bash tools/run_fuzzers.sh "${QV_FUZZ_SECONDS:-60}"
