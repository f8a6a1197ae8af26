#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer) in build/fuzz and runs each on a scratch copy of its seed corpus
# under build/fuzz-runs: first every saved regression input once, then
# fuzzing for SECONDS (default 60), or for N inputs with --runs=N. Fails when
# any target finds something, and names the input that shows it.
#
#   scripts/fuzz.sh [SECONDS | --runs=N] [TARGET...]
#
# The dispatcher target runs in an empty network namespace (unshare -n, as
# root), so that connection commands cannot reach anything; where that is
# impossible it is skipped.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
say() { printf '[fuzz] %s\n' "$*"; }
# The lines of a run's log that say what went wrong.
what_failed() {
  awk '/check failed/ { print; getline; print; next }
       /Assertion .* failed|runtime error|ERROR: AddressSanitizer|ERROR: libFuzzer|SUMMARY/ { print }' "$1" | head -6 | sed 's/^/         /'
}

limit=(-max_total_time=60)
if [ $# -gt 0 ]; then
  case $1 in
    --runs=*) limit=(-runs="${1#--runs=}"); shift ;;
    [0-9]*) limit=(-max_total_time="$1"); shift ;;
  esac
fi
all=(dispatcher relay signal_exchange fins_reply melsec_reply eip_reply ads_symbols list_identity mqtt_payload launch_options http_request)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

fuzz_deps="$root/build/fuzz-deps/prefix"
"$root/scripts/setup.sh" --fuzz-prefix "$fuzz_deps"

build="$root/build/fuzz"
say "building the fuzz targets (clang) in build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVT_FUZZ=ON -DKVT_WERROR=ON \
  -DKVT_BUILD_TESTS=OFF -DKVT_BUILD_BENCH=OFF -Dopen62541_DIR="$fuzz_deps/lib/cmake/open62541" >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/kvt_fuzz_}"

seeds="$root/tests/fuzz/corpus"
runs="$root/build/fuzz-runs"
passed=0 failed=0 skipped=0
failures=()

for t in "${targets[@]}"; do
  bin="$build/tests/fuzz/kvt_fuzz_$t"
  work="$runs/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$seeds/$t"/* "$work/corpus/"

  wrap=()
  if [ "$t" = dispatcher ]; then
    if unshare -n true 2>/dev/null; then
      wrap=(unshare -n)
    else
      say "$t: skipped: no empty network namespace can be made here (needs root for unshare -n)"
      skipped=$((skipped + 1))
      continue
    fi
  fi
  options=(-artifact_prefix="$work/" -print_final_stats=1 -timeout=25)
  [ -f "$root/tests/fuzz/$t.dict" ] && options+=(-dict="$root/tests/fuzz/$t.dict")

  ok=1
  # Inputs that once showed a fault: each runs once and must pass.
  if compgen -G "$seeds/regression/$t/*" >/dev/null; then
    for input in "$seeds/regression/$t"/*; do
      log="$work/regression-$(basename "$input").log"
      if "${wrap[@]}" "$bin" "${options[@]}" "$input" >"$log" 2>&1; then
        cp "$input" "$work/corpus/"
      else
        say "$t: FAILED on the regression input tests/fuzz/corpus/regression/$t/$(basename "$input")"
        what_failed "$log"
        ok=0
      fi
    done
  fi

  started=$SECONDS
  if "${wrap[@]}" "$bin" "${options[@]}" "${limit[@]}" "$work/corpus" >"$work/log" 2>&1; then
    status=0
  else
    status=$?
  fi
  took=$((SECONDS - started))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$work/log" | tail -1 || true)
  say "$t: ${execs:-?} inputs in ${took} s (${rate:-?}/s, ${cov:-cov: ?}), log build/fuzz-runs/$t/log"
  if [ "$status" -ne 0 ]; then
    ok=0
    say "$t: FOUND A FAULT (exit $status):"
    what_failed "$work/log"
    crash=$(sed -n 's/.*Test unit written to //p' "$work/log" | tail -1)
    say "$t: the input is ${crash:-(not written, see the log)}"
  fi
  if [ "$ok" -eq 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$t"); fi
done

[ ${#failures[@]} -eq 0 ] || say "faults in: ${failures[*]}"
summary="fuzz: $passed passed, $failed failed"
[ "$skipped" -eq 0 ] || summary+=", $skipped skipped"
echo "$summary"
[ "$failed" -eq 0 ]
