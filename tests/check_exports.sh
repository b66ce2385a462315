#!/bin/sh
# The shared library exports exactly the functions and data that pxrlib.h declares.
# Usage: check_exports.sh LIBRARY HEADER
set -eu
lib=$1 header=$2
exported=$(mktemp) declared=$(mktemp)
trap 'rm -f "$exported" "$declared"' EXIT
# AddressSanitizer adds an __odr_asan marker per exported variable.
nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^__odr_asan\.' | sort -u >"$exported"
# Names declared with the export macro: the identifier before the first "(" (functions),
# or before "[" or ";" (data).
grep -E '^(extern )?PXR_API' "$header" |
    sed -E -e 's/^[^(]*[^(A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/\1/' \
           -e 's/^extern .*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*(\[.*)?;.*/\1/' |
    sort -u >"$declared"
if ! diff -u "$declared" "$exported"; then
    echo "exported symbols differ from the header (- declared only, + exported only)" >&2
    exit 1
fi
echo "$(wc -l <"$exported") symbols exported, all declared"
