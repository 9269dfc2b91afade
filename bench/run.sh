#!/usr/bin/env bash
# Builds the programs and runs the benchmark (bench/bench.py): conversion
# against uconv and iconv, folder copy against cp, the decoders' Google
# Benchmark and, when Wine is there, the progress window's cost. Takes a few
# minutes on a 2-core machine and needs about 7 GB of free disk for a moment;
# the images are deleted at the end.
#
#   bash bench/run.sh [--reps N] [--big BYTES] [--no-wine]
set -euo pipefail
cd "$(dirname "$0")/.."

# The peers and the memory meter: ICU's uconv (icu-devtools) and GNU time.
need=()
command -v uconv >/dev/null || need+=(icu-devtools)
[ -x /usr/bin/time ] || need+=(time)
command -v iconv >/dev/null || need+=(libc-bin)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi

cmake --preset native >/dev/null
cmake --build --preset native --target quenvale copy_bench ring_bench decoders_bench
wine_args=()
if [[ " $* " != *" --no-wine "* ]] && command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target indicator_bench
  export WINEDEBUG=-all
  wineboot -i </dev/null >/dev/null 2>&1 || true
else
  wine_args=(--no-wine)
fi

echo "machine: $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
df -h "$(pwd)" | tail -1
/usr/bin/python3 bench/bench.py "${wine_args[@]}" "$@"
rm -rf build/bench
df -h "$(pwd)" | tail -1
