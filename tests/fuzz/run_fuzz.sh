#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for an equal share of SECONDS (at least one
# second each), starting from the generated seed corpus. Exits non-zero when a build fails or a
# target finds a crash, a leak or undefined behaviour; the input that did it is left in
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

if (($# != 1)) || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS"
  exit 2
fi
total=$1

cmake --preset fuzz
cmake --build --preset fuzz -j2

build=build/fuzz
list=$build/tests/fuzz/fuzzers.txt
mapfile -t fuzzers <"$list"
if ((${#fuzzers[@]} == 0)); then
  echo "no fuzz targets in $list"
  exit 1
fi
share=$((total / ${#fuzzers[@]}))
((share > 0)) || share=1

seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$build/artifacts"
"$(cat "$build/tests/fuzz/seeds.txt")" "$seeds"

export TZ=UTC
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for line in "${fuzzers[@]}"; do
  name=${line%% *}
  program=${line#* }
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  echo "== fuzzing $name for ${share}s"
  "$program" -max_total_time="$share" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$corpus" "$seeds"
done
echo "== fuzzing done: ${#fuzzers[@]} targets, no crash"
