#!/usr/bin/env bash
# Builds and runs the whole suite three times (plain, AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer), runs the fuzz targets briefly, then the armel
# cross build under emulation. Fails on any test failure or sanitizer report.
#   scripts/test.sh            everything
#   scripts/test.sh plain      one configuration: plain, asan, tsan, fuzz or armel
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
configs=("${@:-plain asan tsan fuzz armel}")
read -r -a configs <<<"${configs[*]}"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export TSAN_OPTIONS="halt_on_error=1:exitcode=88:second_deadlock_stack=1"

run_suite() {  # <preset>: the configurations of CMakePresets.json
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1" -j "$jobs"
}

# In the order given, plain first by default; the first failing configuration ends the run.
for config in "${configs[@]}"; do
    echo "=== $config ==="
    case $config in
        plain) DVRCORE_SLOW_TESTS=1 run_suite plain ;;  # the one-minute linger runs once
        asan | tsan) run_suite "$config" ;;
        fuzz) scripts/fuzz.sh ;;
        armel) scripts/armel-test.sh ;;
        *) echo "unknown configuration: $config" >&2; exit 2 ;;
    esac
done
