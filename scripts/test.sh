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

run_suite() {  # <build dir> <cmake options...>
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

for config in "${configs[@]}"; do
    echo "=== $config ==="
    case $config in
        plain) DVRCORE_SLOW_TESTS=1 run_suite build ;;  # the one-minute linger runs once
        asan) run_suite build-asan -DDVRCORE_SANITIZE=address,undefined -DDVRCORE_BENCH=OFF ;;
        tsan) run_suite build-tsan -DDVRCORE_SANITIZE=thread -DDVRCORE_BENCH=OFF ;;
        fuzz) scripts/fuzz.sh ;;
        armel) scripts/armel-test.sh ;;
        *) echo "unknown configuration: $config" >&2; exit 2 ;;
    esac
done
