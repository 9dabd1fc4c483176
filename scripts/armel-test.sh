#!/usr/bin/env bash
# Cross-builds everything for the device (armel: 32-bit ARM, soft-float, ARMv5TE) into
# build-armel and runs the whole suite under qemu-arm on an ARMv5TE model without floating-point
# hardware, then the process-level tests once more on the ARM926 model.
#   scripts/armel-test.sh
# DVRCORE_ARMEL_SYSROOT picks the sysroot (default /opt/dvrcore-deps/armel-sysroot);
# DVRCORE_ARM926_TESTS names the test executables of the second run (default core_tests;
# "all" runs the whole suite again).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd -P)

export DVRCORE_ARMEL_SYSROOT=${DVRCORE_ARMEL_SYSROOT:-/opt/dvrcore-deps/armel-sysroot}
sysroot=$DVRCORE_ARMEL_SYSROOT
build=$repo/build-armel
jobs=${DVRCORE_JOBS:-$(nproc)}
arm926_tests=${DVRCORE_ARM926_TESTS:-core_tests}
emulator=(qemu-arm -L "$sysroot")
# QEMU_CPU picks the emulated processor for every qemu-arm below, and so for every test
# executable and every core that a test starts. qemu's arm946 is an ARMv5TE without any
# floating-point unit; its arm926 (the ARM926EJ-S, the usual core of such devices) carries VFPv2.
strict_model=arm946
device_model=arm926

started=$SECONDS
phase_start=$SECONDS
phase() {  # <what was done>
    echo "armel: $1 ($((SECONDS - phase_start)) s)"
    phase_start=$SECONDS
}

scripts/armel-sysroot.sh
phase "sysroot ready"

# The toolchain file finds the sysroot through DVRCORE_ARMEL_SYSROOT in the environment.
cmake --preset armel >/dev/null
cmake --build --preset armel -j "$jobs"
phase "built"

# What was built is for the device: 32-bit ARM EABI, soft-float calls, no VFP instructions.
check_target_binary() {  # <file>
    local header attrs
    header=$(readelf -h "$1")
    attrs=$(readelf -A "$1")
    grep -q "Class:.*ELF32" <<<"$header" && grep -q "Machine:.*ARM" <<<"$header" \
        && grep -q "soft-float ABI" <<<"$header" \
        && ! grep -q "Tag_FP_arch\|Tag_VFP_arch\|Tag_ABI_VFP_args" <<<"$attrs" \
        || { echo "armel: $1 is not an armel soft-float binary" >&2; exit 1; }
}
check_target_binary "$build/dvrcore"
while IFS= read -r -d '' plugin; do
    check_target_binary "$plugin"
done < <(find "$build" -name '*.so' -type f -print0)

# The plugin header's layout assertions for 4-byte pointers are the ones this build compiles,
# in C (the plugins) and C++ (the core).
for lang in c c++; do
    expanded=$(arm-linux-gnueabi-gcc --sysroot="$sysroot" -D_FILE_OFFSET_BITS=64 -I. -E -P \
        -x "$lang" include/dvrcore/dvrplugin.h)
    grep -Eq "(_Static_assert|static_assert) *\(sizeof\(_EventParmsIn\) == 184" <<<"$expanded" \
        || { echo "armel: the 32-bit layout assertions are not compiled ($lang)" >&2; exit 1; }
done

# A run on a model only means something if the emulator really takes it: a VFP instruction must
# stop a program on the strict model, an ARMv7 one on the ARM926.
probe() {  # <name> <compiler flags...>: a program that multiplies doubles
    local name=$1
    shift
    printf 'int main(void){volatile double a=3,b=7;return a*b==21.0?0:1;}\n' >"$build/$name.c"
    arm-linux-gnueabi-gcc --sysroot="$sysroot" -O1 -mfloat-abi=softfp "$@" "$build/$name.c" \
        -o "$build/$name"
    "${emulator[@]}" "$build/$name" \
        || { echo "armel: $name fails on qemu's default model" >&2; exit 1; }
}
refused_by() {  # <model> <probe>
    if QEMU_CPU=$1 "${emulator[@]}" "$build/$2" 2>/dev/null; then
        echo "armel: $2 runs on $1: the model does not take effect" >&2
        exit 1
    fi
}
probe vfp-probe -march=armv5te -mfpu=vfp
probe armv7-probe -march=armv7-a -mfpu=vfpv3
refused_by "$strict_model" vfp-probe
refused_by "$device_model" armv7-probe
phase "target binaries checked"

run_suite() {  # <model> [ctest options...]
    local model=$1
    shift
    QEMU_CPU=$model ctest --preset armel -j "$jobs" "$@"
}

run_suite "$strict_model"
phase "suite passed under qemu-arm on $strict_model"

if [ "$arm926_tests" = all ]; then
    run_suite "$device_model"
else
    # CTest numbers of the tests that the named executables hold.
    numbers=$(cd "$build" && ctest -N -V | awk -v names="$arm926_tests" '
        BEGIN { n = split(names, exe, " ") }
        /Test command:/ {
            mine = 0
            for (i = 1; i <= n; i++) if (index($0, "/" exe[i] "\"")) mine = 1
        }
        /^ *Test +#[0-9]+:/ && mine { sub(/^ *Test +#/, ""); sub(/:.*/, ""); printf ",%s", $0 }')
    [ -n "$numbers" ] || { echo "armel: no tests in $arm926_tests" >&2; exit 1; }
    run_suite "$device_model" -I "0,0,0$numbers"
fi
phase "$arm926_tests passed on $device_model"
echo "armel: done in $((SECONDS - started)) s"
