#!/usr/bin/env bash
# Builds Kestrel Connect and runs every test: a release build (and a check
# of the Debian package made from it), an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the
# threaded tests.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
say() { printf '\n[test] %s\n' "$*"; }

"$root/scripts/setup.sh"

configure_and_build() { # name, cmake options...
  local name=$1
  shift
  say "building $name"
  cmake -S "$root" -B "$root/build/$name" -G Ninja -DKVT_WERROR=ON "$@" >/dev/null
  cmake --build "$root/build/$name"
}

run_tests() { # name, ctest options...
  local name=$1
  shift
  say "running the $name tests"
  ctest --test-dir "$root/build/$name" --output-on-failure -j "$(nproc)" "$@"
}

configure_and_build release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests release -LE gui
# The window tests drive a browser engine and native dialogs under Xvfb: one
# at a time, away from the CPU-heavy suites, and a test that fails on a
# timing hiccup gets one more run (a real fault fails both).
say "running the window tests"
ctest --test-dir "$root/build/release" --output-on-failure -j 1 -L gui --repeat until-pass:2

say "checking the Debian package"
"$root/scripts/check_package.sh" --build-dir="$root/build/release"

configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=address,undefined -DKVT_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests asan -LE "deps|gui"

configure_and_build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_SANITIZE=thread -DKVT_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests tsan -LE "deps|gui"

say "fuzzing every target for 15 seconds"
"$root/scripts/fuzz.sh" 15

say "all test runs passed"
