#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every fuzz target for a bounded time.
#
#   tools/run_fuzzers.sh [SECONDS_EACH] [TARGET...]     (default 60, all targets)
#
# Each target starts from its checked-in seeds (fuzz/corpus/<target>) and a
# working corpus kept in build/fuzz/corpus/<target>, which grows from run to
# run. Any finding (crash, sanitizer report, leak, failed check, timeout)
# makes libFuzzer exit non-zero; the script then fails, and the input that
# found it is left in build/fuzz/findings/. The final stats of every run are
# printed (stat::number_of_executed_units is the execution count).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build=build/fuzz
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for exe in "$build"/fuzz/fuzz_*; do
    [ -x "$exe" ] && targets+=("${exe##*/fuzz_}")
  done
fi

# Longest input tried per target: enough for every structure the target
# reads, small enough to keep each run cheap.
max_len() {
  case "$1" in
    to_csv) echo 8192 ;;
    profile) echo 2048 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/findings"
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  echo "== fuzz_$t for ${seconds}s"
  log="$build/findings/fuzz_$t.log"
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/${t}-" \
       "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
  else
    tail -n 60 "$log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzers with findings: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzzers: no findings"
