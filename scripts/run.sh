#!/usr/bin/env bash
# Builds the core, the example plugins and the example supervisor, and runs the demo: the example supervisor starts the core with the example
# plugins in ./demo, a camera's frames flow to a recorder, log lines are collected, and the
# camera's log level is changed while it runs. Ctrl-C stops it.
#   scripts/run.sh              run until Ctrl-C
#   scripts/run.sh --seconds N  run for N seconds, then stop the core
#   scripts/run.sh --top        open the live statistics view at once (any key leaves it)
#   scripts/run.sh --cameras N  the camera streams N channels (1 to 64) like a recorder's
#                               cameras: 25 frames per second, key frames of 100 to 200 KiB
#                               every 25 frames, 5 to 40 KiB between (the default: one channel,
#                               10 small frames per second)
# DVRCORE_BUILD_DIR picks the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,13s/^# \{0,1\}//p' "$0"; }
supervisor_options=(--demo)
while [ $# -gt 0 ]; do
    case $1 in
        --seconds)
            [ $# -ge 2 ] || { usage >&2; exit 2; }
            supervisor_options+=(--seconds "$2")
            shift 2
            ;;
        --top) supervisor_options+=(--top); shift ;;
        --cameras)
            [[ $# -ge 2 && $2 =~ ^[0-9]+$ ]] && (( 10#$2 >= 1 && 10#$2 <= 64 )) ||
                { echo "run.sh: --cameras needs a number from 1 to 64" >&2; exit 2; }
            # The camera plugin reads these in the core, which inherits our environment.
            export CAMERA_CHANNELS=$2 CAMERA_FPS=25 CAMERA_KEY_INTERVAL=25 CAMERA_SEED=1
            export CAMERA_KEY_BYTES=$((100 * 1024))-$((200 * 1024))
            export CAMERA_DELTA_BYTES=$((5 * 1024))-$((40 * 1024))
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
