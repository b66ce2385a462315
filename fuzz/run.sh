#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer),
# compiling the library sources directly, and runs each target for FUZZ_SECONDS seconds
# (default 300) on a copy of its seed corpus in fuzz/corpus/<target>. New inputs go to the
# build directory, not into the repository. Any crash input is left in FUZZ_BUILD/artifacts.
#
#   fuzz/run.sh [TARGET ...]        FUZZ_SECONDS=25 fuzz/run.sh   (the CI's short run)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-300}
jobs=${FUZZ_JOBS:-2}
CXX=${FUZZ_CXX:-clang++}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_parse fuzz_number fuzz_pack fuzz_trace fuzz_receive)
  [ -f tools/config.h ] && targets+=(fuzz_config)
  [ -f bridge/wire.cpp ] && targets+=(fuzz_bridge_wire)
fi

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=all
       -DPXRLIB_BUILDING -I"$root/include" -I"$root" -I"$root/tools" -I"$root/bridge")
mkdir -p "$build/obj" "$build/artifacts"

# The library, compiled once for every target (only what a target uses is linked).
sources=(env/*.cpp msg/*.cpp plat/*.cpp util/*.cpp dump/*.cpp)
[ -f tools/config.cpp ] && sources+=(tools/config.cpp tools/config_bridge.cpp tools/common.cpp tools/view.cpp)
[ -f bridge/wire.cpp ] && sources+=(bridge/wire.cpp)
# An object is rebuilt when its source or any header is newer.
header=$(ls -t include/*.h* env/*.h tools/*.h 2>/dev/null | head -n 1)
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} sh -c '
  src=$1; shift; out="'"$build"'/obj/$(echo "$src" | tr / _).o"
  if [ ! -f "$out" ] || [ "$src" -nt "$out" ] || [ "'"$header"'" -nt "$out" ]; then
    '"$CXX"' "$@" -fno-exceptions -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$out"
  fi' _ {} "${flags[@]}"
rm -f "$build/libpxr_fuzz.a"
ar rcs "$build/libpxr_fuzz.a" "$build"/obj/*.o

status=0
summary=()
for t in "${targets[@]}"; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer,address,undefined "fuzz/$t.cpp" \
    "$build/libpxr_fuzz.a" -o "$build/$t"
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  runner=()
  [ "$t" = fuzz_receive ] && runner=("$root/tests/ipcns.sh")
  log="$build/$t.log"
  echo "== $t: ${seconds}s"
  if "${runner[@]}" "$build/$t" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$t-" -timeout=10 -rss_limit_mb=2048 \
       "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$t: ${execs:-?} executions, no crash")
  else
    status=1
    summary+=("$t: FAILED (see $log and $build/artifacts)")
    tail -n 40 "$log" >&2
  fi
done
printf '%s\n' "${summary[@]}"
exit $status
