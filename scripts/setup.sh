#!/usr/bin/env bash
# Installs everything Kestrel Connect needs to build and test on Debian 12:
# Debian packages, Snap7 (from the sources inside the node-snap7 npm package,
# with our patches from scripts/patches applied),
# open62541 (from Debian's source package) and the npm client the EtherNet/IP
# simulator's tests use. Third-party builds go into
# the project-local prefix .deps/prefix; a second run only checks and returns.
#
# `setup.sh --fuzz-prefix DIR` also builds open62541 without link-time
# optimisation into DIR (sources and build beside it), for the clang fuzz
# build of scripts/fuzz.sh: clang's linker cannot take GCC's LTO objects.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/.deps"
prefix="$deps/prefix"
downloads="$deps/downloads"
jobs=$(nproc)
fuzz_prefix=""
if [ "${1:-}" = "--fuzz-prefix" ] && [ -n "${2:-}" ]; then fuzz_prefix=$2; fi

snap7_package="node-snap7@1.0.9"
snap7_tarball="node-snap7-1.0.9.tgz"
snap7_sha256="9f57bac2cf593e102e9a6fdb7eb7c42962413faeaf910259a891f420c46a62dd"
# Our changes to Snap7, applied in this order to the verified sources; each
# file's header says what it changes and why.
snap7_patches=("$root/scripts/patches/snap7-answer-wait.patch")

open62541_version="1.4.11.1"
open62541_tarball="open62541_${open62541_version}.orig.tar.gz"
open62541_sha256="2979c0f09b766fd6470bdf06c8500c90ed51327aae1c22af132641a44178b722"

packages=(
  build-essential cmake ninja-build pkg-config python3 dpkg-dev ca-certificates patch
  nodejs npm
  libboost1.81-dev libsimdjson-dev libmodbus-dev libpaho-mqtt-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  mosquitto python3-pymodbus python3-serial python3-serial-asyncio
  libwebkitgtk-6.0-dev libgtk-4-dev xvfb xauth dbus-x11 dbus-daemon fonts-dejavu-core x11-apps xdotool imagemagick
  clang libclang-rt-14-dev
  desktop-file-utils appstream
)

say() { printf '[setup] %s\n' "$*"; }
fail() { printf '[setup] error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    # npm may come from another source (for example Node.js's own package)
    if [ "$p" = npm ] && command -v npm >/dev/null 2>&1; then continue; fi
    if [ "$p" = nodejs ] && command -v node >/dev/null 2>&1; then continue; fi
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    say "Debian packages: all present"
    return
  fi
  say "Debian packages: installing ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

verify_sha256() { # file expected
  local got
  got=$(sha256sum "$1" | cut -d' ' -f1)
  [ "$got" = "$2" ] || fail "checksum mismatch for $1: expected $2, got $got"
}

build_snap7() {
  # The stamp holds the checksum of the patches built in: a changed patch
  # (or a library built before there were patches) builds Snap7 again, once.
  local stamp="$prefix/.snap7-1.0.9"
  local patches_sum
  patches_sum=$(cat "${snap7_patches[@]}" | sha256sum | cut -d' ' -f1)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$patches_sum" ]; then say "Snap7: present in .deps/prefix"; return; fi
  mkdir -p "$downloads"
  if [ ! -f "$downloads/$snap7_tarball" ]; then
    say "Snap7: fetching $snap7_package from the npm registry"
    (cd "$downloads" && npm pack --silent "$snap7_package" >/dev/null)
  fi
  verify_sha256 "$downloads/$snap7_tarball" "$snap7_sha256"
  say "Snap7: unpacking and building a static library"
  rm -rf "$deps/src/snap7" "$deps/build/snap7"
  mkdir -p "$deps/src/snap7"
  tar -xzf "$downloads/$snap7_tarball" -C "$deps/src/snap7" --strip-components=1
  local p
  for p in "${snap7_patches[@]}"; do
    say "Snap7: applying ${p#"$root/"}"
    patch -p1 --forward --batch --quiet -d "$deps/src/snap7" < "$p" || fail "Snap7: ${p#"$root/"} does not apply"
  done
  cmake -S "$root/cmake/deps/snap7" -B "$deps/build/snap7" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DSNAP7_SOURCE_DIR="$deps/src/snap7" \
    -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$deps/build/snap7" -j "$jobs" >/dev/null
  cmake --install "$deps/build/snap7" >/dev/null
  printf '%s\n' "$patches_sum" > "$stamp"
  say "Snap7: installed"
}

# The machine's own Debian mirror, read from its apt sources.
debian_mirror() {
  local uri=""
  if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
    uri=$(awk '
      /^URIs:/ { u=$2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+$/) { print u; exit } }
    ' /etc/apt/sources.list.d/*.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^(https?|file):/) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || fail "no Debian mirror found in the apt sources"
  printf '%s\n' "$uri"
}

fetch_open62541() {
  local work="$deps/apt-src"
  local mirror
  mirror=$(debian_mirror)
  say "open62541: fetching Debian's source package $open62541_version from $mirror (trixie)"
  rm -rf "$work"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s trixie main\n' "$mirror" > "$work/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
              -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o "APT::Sandbox::User=root")
  apt-get "${opts[@]}" -q update >/dev/null
  # Only the .orig tarball is needed; the other files of the source package may 404.
  (cd "$downloads" && apt-get "${opts[@]}" -q source --tar-only --download-only open62541="${open62541_version}-1" >/dev/null 2>&1) || true
  [ -f "$downloads/$open62541_tarball" ] || fail "could not download $open62541_tarball"
  rm -rf "$work"
}

build_open62541() { # install prefix, work folder (sources, build, logs), name, extra cmake options...
  local into=$1 work=$2 name=$3
  shift 3
  local stamp="$into/.open62541-$open62541_version"
  if [ -f "$stamp" ]; then say "$name: present in ${into#"$root/"}"; return; fi
  mkdir -p "$downloads"
  [ -f "$downloads/$open62541_tarball" ] || fetch_open62541
  verify_sha256 "$downloads/$open62541_tarball" "$open62541_sha256"
  say "$name: building static with the reduced namespace zero (about 30 s)"
  rm -rf "$work/src/$name" "$work/build/$name"
  mkdir -p "$work/src/$name"
  tar -xzf "$downloads/$open62541_tarball" -C "$work/src/$name" --strip-components=1
  cmake -S "$work/src/$name" -B "$work/build/$name" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DUA_NAMESPACE_ZERO=REDUCED -DUA_BUILD_EXAMPLES=OFF -DUA_BUILD_UNIT_TESTS=OFF \
    -DUA_ENABLE_AMALGAMATION=OFF -DCMAKE_INSTALL_PREFIX="$into" "$@" >"$work/$name-configure.log" 2>&1 \
    || fail "$name configure failed, see $work/$name-configure.log"
  cmake --build "$work/build/$name" -j "$jobs" >"$work/$name-build.log" 2>&1 \
    || fail "$name build failed, see $work/$name-build.log"
  cmake --install "$work/build/$name" >/dev/null
  touch "$stamp"
  say "$name: installed"
}

# Peers written by others, from the npm registry, pinned with their
# integrity hashes in a lock file: `npm ci` installs each into its folder's
# node_modules, again only when the lock file changed.
#   tests/eip/independent_client: st-ethernet-ip, a client the EtherNet/IP
#     simulator is checked against;
#   tests/opcua/independent_server: node-opcua, a server the OPC UA driver
#     and browsing are also tested against;
#   tests/ads/independent_client: ads-client, a client the ADS simulator is
#     checked against;
#   tests/melsec/independent_client: mcprotocol, an MC protocol client the
#     MELSEC simulator is checked against.
install_npm_peer() { # what, folder below the repository
  local what=$1 dir="$root/$2"
  local stamp="$dir/node_modules/.kvt-lock-sha256"
  local lock_sum
  lock_sum=$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$lock_sum" ]; then
    say "$what: present in $2"
    return
  fi
  say "$what: npm ci in $2"
  npm ci --prefix "$dir" --no-audit --no-fund >/dev/null
  printf '%s\n' "$lock_sum" > "$stamp"
  say "$what: installed"
}

install_packages
install_npm_peer "EtherNet/IP test client" tests/eip/independent_client
install_npm_peer "OPC UA test server" tests/opcua/independent_server
install_npm_peer "ADS test client" tests/ads/independent_client
install_npm_peer "MELSEC test client" tests/melsec/independent_client
build_snap7
build_open62541 "$prefix" "$deps" open62541
if [ -n "$fuzz_prefix" ]; then
  build_open62541 "$fuzz_prefix" "$(dirname "$fuzz_prefix")" open62541-no-lto -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF
fi
say "done: dependencies are in place"
