#!/usr/bin/env bash
# Builds Kestrel Connect and runs the exchange demo: two simulated
# controllers, the signal exchange and a simulated page stepping through the
# signal buffer. Pass --seconds=N to change how long it runs (default 10).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
printf '[run] building\n'
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" --target kvt_exchange_demo
printf '[run] starting the exchange demo\n'
exec "$root/build/release/demo/kvt_exchange_demo" "$@"
