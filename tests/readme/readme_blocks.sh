#!/bin/sh
# Compiles every C and C++ code block of the README as it is printed there, and parses every
# Python one, so the examples a reader copies keep working. usage: readme_blocks.sh README
# INCLUDE_DIR CC CXX
set -eu
readme=$1 include=$2 cc=$3 cxx=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk -v dir="$work" '
  /^```(c|cpp|python)$/ { n++; f = sprintf("%s/block%02d.%s", dir, n, substr($0, 4)); next }
  /^```/ { f = ""; next }
  f != "" { print > f }' "$readme"
count=0
for f in "$work"/block*; do
  [ -e "$f" ] || continue
  case $f in
    *.python) "${PYTHON:-/usr/bin/python3}" -c 'import ast, sys; ast.parse(open(sys.argv[1]).read())' \
      "$f" ;;
    *.c) "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$include" -c "$f" -o "$f.o" ;;
    *) "$cxx" -std=c++20 -Wall -Wextra -Werror -I"$include" -c -x c++ "$f" -o "$f.o" ;;
  esac || { echo "README code block $(basename "$f") does not compile" >&2; exit 1; }
  count=$((count + 1))
done
[ "$count" -ge 3 ] || { echo "README: expected C, C++ and Python code blocks, found $count" >&2; exit 1; }
echo "$count README code blocks compile"
