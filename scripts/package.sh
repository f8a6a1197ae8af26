#!/usr/bin/env bash
# Builds the Debian package of Kestrel Connect from the release build and
# prints its path: build/release/packages/kestrel-connect_<version>_<arch>.deb.
# Install it with: sudo apt install ./build/release/packages/kestrel-connect_*.deb
#
#   scripts/package.sh [--build-dir=DIR]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/release"
for arg in "$@"; do
  case "$arg" in
    --build-dir=*) build=${arg#--build-dir=} ;;
    *) printf 'usage: %s [--build-dir=DIR]\n' "$0" >&2; exit 2 ;;
  esac
done

# Only the package's path goes to standard output.
say() { printf '[package] %s\n' "$*" >&2; }

"$root/scripts/setup.sh" >&2
say "building the program and its page bridge in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kestrel-connect kvt_page_bridge >&2

say "packing"
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake) >&2
debs=("$build"/packages/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { say "error: expected one package in $build/packages"; exit 1; }
say "$(du -h "${debs[0]}" | cut -f1) ${debs[0]}"
printf '%s\n' "${debs[0]}"
