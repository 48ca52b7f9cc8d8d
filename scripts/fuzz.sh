#!/usr/bin/env bash
# Runs the libFuzzer targets for longer than the test suite's smoke run.
#   bash scripts/fuzz.sh [seconds-per-target] [target ...]
# Default: 300 s for each fuzz target the build defines. Builds build-fuzz/ (clang) first. New inputs go to
# build-fuzz/tests/fuzz/work/<target>/, crashing inputs to build-fuzz/tests/fuzz/artifacts/; a
# target that crashes makes the script exit with 1 after the others have run.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-300}"
shift || true
targets=("$@")

bash "$here/scripts/install-deps.sh" || exit 1
bash "$here/scripts/build.sh" "$here/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DFORMWRIGHT_FUZZ=ON -DFORMWRIGHT_BUILD_TESTS=OFF -DFORMWRIGHT_BUILD_BENCH=OFF >/dev/null || exit 1

# Without names on the command line, every target that the build registers with ctest is run.
if [ "${#targets[@]}" -eq 0 ]; then
  mapfile -t targets < <(cd "$here/build-fuzz" && ctest -N -L fuzz | sed -n 's/^ *Test *#[0-9]*: fuzz\.//p')
  if [ "${#targets[@]}" -eq 0 ]; then echo "fuzz: the build defines no fuzz target" >&2; exit 1; fi
fi

fuzzdir="$here/build-fuzz/tests/fuzz"
mkdir -p "$fuzzdir/artifacts" "$fuzzdir/logs"
status=0
printf '%-26s %12s %8s %10s  %s\n' target executions seconds exec/s result
for t in "${targets[@]}"; do
  mkdir -p "$fuzzdir/work/$t"
  log="$fuzzdir/logs/$t.log"
  start=$SECONDS
  "$here/build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$fuzzdir/artifacts/$t-" "$fuzzdir/work/$t" "$here/tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  result=ok
  if [ "$rc" -ne 0 ]; then result="FAILED (see $log)"; status=1; fi
  printf '%-26s %12s %8s %10s  %s\n' "$t" "${runs:-?}" "$((SECONDS - start))" "${rate:-?}" "$result"
done
exit $status
