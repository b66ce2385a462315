#!/bin/sh
# Runs the README's walk-through as printed: its configuration, its C answerer and asker,
# under pxr load. usage: walkthrough.sh PXR INCLUDE_DIR LIB_DIR CC README [CFLAGS]
set -eu
pxr=$1 include=$2 lib=$3 cc=$4 readme=$5 cflags=${6:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed -n '/^\* walk.conf/,/^```/p' "$readme" | sed '$d' >"$work/walk.conf"
awk -v dir="$work" '/^```c$/ { n++; f = dir "/block" n ".c"; next } /^```/ { f = "" } f != "" { print > f }' "$readme"
for program in answerer:1 asker:2; do
  # shellcheck disable=SC2086 # one word per flag
  "$cc" -std=c11 $cflags -I"$include" "$work/block${program#*:}.c" -L"$lib" -Wl,-rpath,"$lib" -lpxrlib \
        -o "$work/${program%:*}"
done
out=$("$pxr" load --timeout 20 "$work/walk.conf")
echo "$out"
[ "$out" = "answer to 1: first byte 0x97, 5 bytes" ]
