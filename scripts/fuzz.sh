#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and runs each for a fixed
# number of iterations from its seed corpus (fuzz/corpus/<target>). Any finding fails.
#   FUZZ_RUNS=N scripts/fuzz.sh   (default 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${FUZZ_RUNS:-20000}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    corpus=fuzz/corpus/${name%_fuzz}
    work=$(mktemp -d)
    echo "--- $name: $runs runs from $corpus"
    build-fuzz/fuzz/"$name" -runs="$runs" -seed=1 -max_len=70000 -rss_limit_mb=1024 \
        "$work" "$corpus"
    rm -rf "$work"
done
