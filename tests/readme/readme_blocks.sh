#!/bin/sh
# Compiles every C and C++ code block of the README and of docs/*.md as it is printed there,
# and parses every Python one, so the examples a reader copies keep working.
# usage: readme_blocks.sh INCLUDE_DIR CC CXX MARKDOWN...
set -eu
include=$1 cc=$2 cxx=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
total=0
for doc in "$@"; do
  rm -f "$work"/block*
  awk -v dir="$work" '
    /^```(c|cpp|python)$/ { n++; f = sprintf("%s/block%02d.%s", dir, n, substr($0, 4)); next }
    /^```/ { f = ""; next }
    f != "" { print > f }' "$doc"
  for f in "$work"/block*; do
    [ -e "$f" ] || continue
    case $f in
      *.python) "${PYTHON:-/usr/bin/python3}" -c 'import ast, sys; ast.parse(open(sys.argv[1]).read())' \
        "$f" ;;
      *.c) "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$include" -c "$f" -o "$f.o" ;;
      *) "$cxx" -std=c++20 -Wall -Wextra -Werror -I"$include" -c -x c++ "$f" -o "$f.o" ;;
    esac || { echo "$doc: code block $(basename "$f") does not compile" >&2; exit 1; }
    total=$((total + 1))
  done
done
[ "$total" -ge 6 ] || { echo "expected C, C++ and Python code blocks, found $total" >&2; exit 1; }
echo "$total code blocks compile"
