#!/usr/bin/env bash
# Builds the Linux and Windows programs and runs every test: unit and
# end-to-end tests natively, then the same under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh

cmake --preset native >/dev/null && cmake --build --preset native
cmake --preset windows >/dev/null && cmake --build --preset windows

# The release archive a Windows user downloads: made by one command, and it
# holds what the guide promises.
cmake --build --preset windows --target package >/dev/null
/usr/bin/python3 - build/windows/Quenvale-*-win64.zip <<'PY'
import sys, zipfile
names = {n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
want = {"Quenvale.exe", "ftp.exe", "Quenvale.ini", "CUSTOMER.fdf", "ccsid939-EBCDIC.txt", "GUIDE.ja.txt", "GUIDE.en.txt"}
missing = want - names
print("release archive:", sys.argv[1], "missing:" if missing else "complete", *sorted(missing))
sys.exit(1 if missing else 0)
PY

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
