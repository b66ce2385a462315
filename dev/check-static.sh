#!/bin/sh
# Static checks: clang-format over the tracked C and C++ sources (nothing may need
# reformatting) and clang-tidy (.clang-tidy: bugprone and concurrency checks) over the library
# and the pxr command, with the compile commands of a build directory.
#
#   dev/check-static.sh [BUILD_DIR]      (default: build; configured when missing)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
status=0

files=$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '^fuzz/corpus/')
# shellcheck disable=SC2086 # one word per file
clang-format --dry-run -Werror $files || status=1

[ -f "$build/compile_commands.json" ] || cmake -S . -B "$build" -G Ninja >/dev/null
sources=$(git ls-files 'env/*.cpp' 'msg/*.cpp' 'plat/*.cpp' 'util/*.cpp' 'dump/*.cpp' 'tools/*.cpp' 'bridge/*.cpp')
for f in $sources; do
  clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option "$f" 2>/dev/null || status=1
done

[ "$status" -eq 0 ] && echo "static checks: ok"
exit "$status"
