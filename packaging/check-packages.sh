#!/usr/bin/env bash
# Installs the Debian packages of `make package` as a user would (apt install ./FILE.deb),
# builds the two out-of-tree consumers against the installed files alone, runs them, opens a
# man page, and removes the packages again, checking that nothing of them is left. As root it
# works in a private mount namespace whose /usr, /etc and /var are overlays on the host's, so
# the host sees none of it; otherwise it unpacks the packages into a temporary root and checks
# their contents and the builds only.
# Usage: packaging/check-packages.sh DIR_WITH_DEBS
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:?directory of the .deb files}" && pwd)
for p in libpxrlib1 libpxrlib-dev pxr; do
  ls "$debs"/${p}_*.deb >/dev/null || { echo "check-packages: no $p package in $debs" >&2; exit 1; }
done

# The user's side, given the root the packages went into (/ or an unpacked tree).
use_installed() {
  local root=$1 work=$2 libdir
  libdir=$(dirname "$(find "$root/usr/lib" -name libpxrlib.so.1 | head -n 1)")
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  test -x "$root/usr/bin/pxr"
  test -x "$root/usr/bin/pxr-bridge"
  grep -q 'PXR_send (uint32_t dst' <<<"$(man -P cat -M "$root/usr/share/man" PXR_send 2>/dev/null)"
  grep -q 'pxr load' <<<"$(man -P cat -M "$root/usr/share/man" 1 pxr 2>/dev/null)"
  cmake -S "$src/examples/consumer-cmake" -B "$work/consumer-cmake" -G Ninja \
        -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
  cmake --build "$work/consumer-cmake" >/dev/null
  # shellcheck disable=SC2046 # word splitting of the flags is intended
  cc -std=c11 -Wall -Werror "$src/examples/consumer-pkgconfig/main.c" -o "$work/consumer-c" \
     $(pkg-config --cflags --libs pxrlib)
  # shellcheck disable=SC2046
  c++ -Wall -Werror "$src/examples/consumer-cmake/main.cpp" -o "$work/consumer-cxx" \
      $(pkg-config --cflags --libs pxrlib-cxx)
  for prog in "$work/consumer-cmake/consumer" "$work/consumer-c" "$work/consumer-cxx"; do
    LD_LIBRARY_PATH=$([ "$root" = / ] || echo "$libdir") "$src/tests/ipcns.sh" "$prog" >/dev/null
  done
  LD_LIBRARY_PATH=$([ "$root" = / ] || echo "$libdir") "$root/usr/bin/pxr" --version >/dev/null
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null && [ -z "${PXR_UNPACK_ONLY:-}" ]; then
  export -f use_installed
  export src debs work
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare -m bash -euo pipefail -c '
    mount --make-rprivate /
    for d in usr etc var; do
      mkdir -p "$work/$d.upper" "$work/$d.work"
      mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/$d.upper,workdir=$work/$d.work" "/$d"
    done
    export DEBIAN_FRONTEND=noninteractive
    cd "$debs"
    apt-get install -y -qq ./libpxrlib1_*.deb ./libpxrlib-dev_*.deb ./pxr_*.deb \
      >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
    use_installed / "$work"
    # Built against the installed files, the program needs no run path and no LD_LIBRARY_PATH.
    if readelf -d "$work/consumer-c" | grep -q -E "RPATH|RUNPATH"; then exit 1; fi
    owned=$(dpkg -L libpxrlib1 libpxrlib-dev pxr | while read -r f; do [ -d "$f" ] || echo "$f"; done)
    apt-get purge -y -qq libpxrlib1 libpxrlib-dev pxr >>"$work/apt.log" 2>&1
    for f in $owned; do
      [ ! -e "$f" ] || { echo "check-packages: left after removal: $f" >&2; exit 1; }
    done
    for d in /usr/share/doc/pxrlib "$(dirname "$PKG_CONFIG_PATH")/cmake/pxrlib"; do
      [ ! -e "$d" ] || { echo "check-packages: left after removal: $d" >&2; exit 1; }
    done
    if dpkg -s libpxrlib1 >/dev/null 2>&1; then exit 1; fi
  '
  echo "check-packages: installed with apt, used, removed cleanly"
else
  for deb in "$debs"/libpxrlib1_*.deb "$debs"/libpxrlib-dev_*.deb "$debs"/pxr_*.deb; do
    dpkg-deb -x "$deb" "$work/root"
  done
  use_installed "$work/root" "$work"
  echo "check-packages: unpacked into a temporary root and used (not root: apt not tried)"
fi
