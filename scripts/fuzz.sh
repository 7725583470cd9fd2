#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, growing a
# working corpus under fuzz/corpus-work/ from the committed seeds.
#   scripts/fuzz.sh [seconds per target=120] [target...]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
shift || true
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DAMPARO_FUZZ=ON -DAMPARO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

targets=("$@")
if ((${#targets[@]} == 0)); then
    for seeds in "$root"/fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
fi
for target in "${targets[@]}"; do
    work="$root/fuzz/corpus-work/$target"
    mkdir -p "$work"
    echo "== $target: $seconds s"
    "$build/bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$work" "$root/fuzz/corpus/$target"
done
