#!/usr/bin/env bash
# Builds Kestrel Connect and runs it against the bundled demo: the demo page
# served as the development server on 127.0.0.1:5173, a simulated Modbus TCP
# controller on 127.0.0.1:15020, and the program started with --dev, so that
# live signals move between the page and the controller.
#
#   scripts/run.sh [--seconds=N] [--screenshot=FILE] [-- program switches...]
#
# Without a display it starts a virtual one (Xvfb) and, after a few seconds,
# saves a screenshot of the window (default build/demo-screenshot.png).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=0
screenshot=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds=*) seconds=${1#--seconds=} ;;
    --screenshot=*) screenshot=${1#--screenshot=} ;;
    --) shift; extra=("$@"); break ;;
    *) extra+=("$1") ;;
  esac
  shift
done

say() { printf '[run] %s\n' "$*"; }

"$root/scripts/setup.sh"
say "building the program, its page bridge and the demo controller"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/release" --target kestrel-connect kvt_page_bridge kvt_modbus_controller

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ -z "${DISPLAY:-}" ]; then
  say "no display: starting a virtual one (Xvfb); the window is not visible, a screenshot is saved"
  read -r display_number < <(
    exec 3>&1
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    echo $! >"$root/build/.xvfb.pid"
  )
  pids+=("$(cat "$root/build/.xvfb.pid")")
  export DISPLAY=":$display_number"
  [ -n "$screenshot" ] || screenshot="$root/build/demo-screenshot.png"
  [ "$seconds" != 0 ] || seconds=15
fi

say "simulated Modbus TCP controller on 127.0.0.1:15020"
"$root/build/release/demo/kvt_modbus_controller" --port=15020 &
pids+=($!)

say "demo page as the development server on http://127.0.0.1:5173"
if python3 -c 'import socket; socket.create_connection(("127.0.0.1", 5173), 0.2)' 2>/dev/null; then
  say "error: port 5173 is taken by another program; stop it and run again" >&2
  exit 1
fi
python3 "$root/demo/dev_server.py" "$root/demo/page" 5173 &
pids+=($!)
for _ in $(seq 50); do
  python3 -c 'import socket; socket.create_connection(("127.0.0.1", 5173), 0.2)' 2>/dev/null && break
  sleep 0.1
done

say "starting Kestrel Connect --dev ${extra[*]:-}"
"$root/build/release/app/kestrel-connect" --dev "${extra[@]}" &
app=$!
pids+=("$app")

if [ "$seconds" != 0 ]; then
  sleep "$seconds"
  if [ -n "$screenshot" ]; then
    xwd -root -silent | convert xwd:- "png:$screenshot"
    say "screenshot of the window: $screenshot"
  fi
  kill -TERM "$app" 2>/dev/null || true
  wait "$app" || true
else
  say "close the window (or press Ctrl-C) to stop"
  wait "$app" || true
fi
