#!/usr/bin/env bash
# Builds the core, the example plugins and the example supervisor, and runs the demo: the example supervisor starts the core with the example
# plugins in ./demo, a camera's frames flow to a recorder, log lines are collected, and the
# camera's log level is changed while it runs. Ctrl-C stops it.
#   scripts/run.sh              run until Ctrl-C
#   scripts/run.sh --seconds N  run for N seconds, then stop the core
# DVRCORE_BUILD_DIR picks the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,7s/^# \{0,1\}//p' "$0"; }
supervisor_options=(--demo)
while [ $# -gt 0 ]; do
    case $1 in
        --seconds)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            supervisor_options+=(--seconds "$2")
            shift 2
            ;;
        -h | --help) usage; exit 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

scripts/setup.sh
build=${DVRCORE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
# What the demo runs, not the test suite or the benchmarks.
cmake --build "$build" -j "$(nproc)" --target dvrcore examples

# The layout of a device: the core with its plugins directory beside it, and a working
# directory of its own, where it reads and writes core.xml and the plugins write their files.
# A fresh working directory each time, so that the demo starts from the plugins' own levels.
demo=$(pwd)/demo
rm -rf "$demo"
mkdir -p "$demo/plugins" "$demo/work"
cp "$build/dvrcore" "$build/examples/supervisor" "$demo/"
cp "$build"/examples/plugins/*.so "$demo/plugins/"

echo "demo: $demo/supervisor starts $demo/dvrcore in $demo/work"
status=0
(cd "$demo/work" && ../supervisor "${supervisor_options[@]}") || status=$?
echo "demo: what the core and the plugins wrote, in $demo/work:"
ls -l "$demo/work"
exit "$status"
