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

# A display of our own for the Windows program's windows, up before Wine's
# prefix is made so that Wine sets its desktop up for it.
if [ -z "${QV_KEEP_DISPLAY:-}" ]; then
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
  done
  display=":$n"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
  export DISPLAY="$display"
  sleep 1
fi

# Wine: a prefix of this checkout's own (no other Wine user's windows or
# server restarts can reach the tests), initialised once, with one server
# kept running and its output detached; otherwise every test pays Wine's
# start-up and ctest waits on the pipes its services hold open.
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wineprefix"
wineboot -i </dev/null >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1 || true

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
