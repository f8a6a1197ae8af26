#!/usr/bin/env bash
# Builds the Debian package and checks it as a user meets it: unpacked into a
# scratch root, the installed program answers --version and --help without a
# display, every shared library it needs resolves, the package declares its
# run-time dependencies, the desktop entry and the metainfo validate, and
# under a virtual display the installed program's web process loads the
# installed page bridge (found relative to the executable).
#
#   scripts/check_package.sh [--build-dir=DIR]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
say() { printf '[check-package] %s\n' "$*"; }
fail() { printf '[check-package] error: %s\n' "$*" >&2; exit 1; }

deb=$("$root/scripts/package.sh" "$@")
scratch=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

say "package $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB"
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
say "Depends: $depends"
for lib in libwebkitgtk-6.0-4 libgtk-4-1 libmodbus5 libpaho-mqtt1.3 libc6 libstdc++6; do
  [[ "$depends" == *"$lib "* || "$depends" == *"$lib," || "$depends" == *"$lib" ]] || fail "Depends lacks $lib"
done

dpkg -x "$deb" "$scratch/root"
usr="$scratch/root/usr"
exe="$usr/bin/kestrel-connect"
bridge="$usr/lib/kestrel-connect/web-extensions/libkvt_page_bridge.so"
for f in "$exe" "$bridge" "$usr/share/icons/hicolor/128x128/apps/kestrel-connect.png" \
         "$usr/share/applications/example.kestrel.Connect.desktop" \
         "$usr/share/metainfo/example.kestrel.Connect.metainfo.xml"; do
  [ -f "$f" ] || fail "missing from the package: ${f#"$scratch/root"}"
done
for f in "$exe" "$bridge"; do
  if ldd "$f" | grep -q 'not found'; then ldd "$f" >&2; fail "unresolved libraries in ${f#"$scratch/root"}"; fi
done

say "the installed program without a display"
got=$(env -u DISPLAY -u WAYLAND_DISPLAY "$exe" --version) || fail "--version failed"
[ "$got" = "kestrel-connect (Kestrel Connect) $version" ] || fail "--version printed '$got'"
env -u DISPLAY -u WAYLAND_DISPLAY "$exe" --help | grep -q '^  --ros2-buffer=SIZE ' || fail "--help lacks --ros2-buffer"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$usr/share/applications/example.kestrel.Connect.desktop" || fail "desktop entry invalid"
  say "desktop entry valid"
else
  say "desktop-file-validate not installed: desktop entry not checked"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$usr/share/metainfo/example.kestrel.Connect.metainfo.xml" >/dev/null ||
    fail "metainfo invalid: $(appstreamcli validate --no-net "$usr/share/metainfo/example.kestrel.Connect.metainfo.xml")"
  say "metainfo valid"
else
  say "appstreamcli not installed: metainfo not checked"
fi

say "the installed program under a virtual display loads the installed page bridge"
Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp 9>"$scratch/display" 2>/dev/null &
pids+=("$!")
for _ in $(seq 50); do [ -s "$scratch/display" ] && break; sleep 0.2; done
display=$(tr -d '\n' <"$scratch/display")
[ -n "$display" ] || fail "Xvfb did not start"
mkdir -p "$scratch/tmp"
# --dev: the start page is on the loopback host, nothing leaves the machine;
# --port=0: any free port, beside other copies of the program.
DISPLAY=":$display" TMPDIR="$scratch/tmp" "$exe" --dev --port=0 >"$scratch/program.log" 2>&1 &
program=$!
pids+=("$program")
loaded=""
for _ in $(seq 150); do
  if grep -qsF "$bridge" /proc/[0-9]*/maps 2>/dev/null; then loaded=yes; break; fi
  kill -0 "$program" 2>/dev/null || break
  sleep 0.2
done
[ -n "$loaded" ] || { cat "$scratch/program.log" >&2; fail "no web process loaded $bridge"; }
kill -TERM "$program"
for _ in $(seq 75); do kill -0 "$program" 2>/dev/null || break; sleep 0.2; done
kill -0 "$program" 2>/dev/null && fail "the program did not end within 15 s of SIGTERM"
status=0
wait "$program" || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/program.log" >&2; fail "the program ended with $status after SIGTERM"; }
say "the package is fine: $deb"
