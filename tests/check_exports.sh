#!/bin/sh
# The shared library exports exactly the functions and data that pxrlib.h declares, every one
# listed in the version script under PXRLIB_1; the toolbox names of PXRLIB_SHORT_NAMES, and
# only they, are not the default version of their name.
# Usage: check_exports.sh LIBRARY HEADER VERSION_SCRIPT
set -eu
lib=$1 header=$2 map=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The version node itself is an absolute symbol; AddressSanitizer adds an __odr_asan marker
# per exported variable.
nm -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | grep -v '^__odr_asan\.' | sort -u >"$work/versioned"
sed 's/@.*//' "$work/versioned" | sort -u >"$work/exported"
# Names declared with the export macro: the identifier before the first "(" (functions),
# or before "[" or ";" (data).
grep -E '^(extern )?PXR_API' "$header" |
    sed -E -e 's/^[^(]*[^(A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\1/' \
           -e 's/^extern .*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*(\[.*)?;.*/\1/' |
    sort -u >"$work/declared"
sed -n '/global:/,/local:/p' "$map" | grep -E '^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;' |
    tr -d ' ;' | sort -u >"$work/listed"
sed -n '/^#define PXRLIB_SHORT_NAMES/,/^$/p' "$header" | grep -oE 'X\([a-z_0-9]+\)' |
    sed -E 's/X\((.*)\)/\1/' | sort -u >"$work/short"
status=0
for other in exported listed; do
    if ! diff -u "$work/declared" "$work/$other"; then
        echo "$other names differ from the header (- declared only, + $other only)" >&2
        status=1
    fi
done
if grep -v '@@\{0,1\}PXRLIB_1$' "$work/versioned"; then
    echo "exported without the version PXRLIB_1 (above)" >&2
    status=1
fi
grep -E '^[^@]+@PXRLIB_1$' "$work/versioned" | sed 's/@.*//' >"$work/hidden"
if ! diff -u "$work/short" "$work/hidden"; then
    echo "non-default versions differ from PXRLIB_SHORT_NAMES (- listed only, + library only)" >&2
    status=1
fi
[ "$status" = 0 ] && echo "$(wc -l <"$work/exported") symbols exported, declared and versioned"
exit "$status"
