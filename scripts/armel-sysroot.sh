#!/usr/bin/env bash
# Installs the armel cross toolchain and qemu-user, and makes the armel sysroot the cross build
# compiles and links against and the emulator loads libraries from: Debian's C and C++ runtime,
# Boost, TinyXML, the wxWidgets base library, and GoogleTest built from the host's sources.
# Idempotent: when the packages and a sysroot of the same contents are present it returns at once.
#   scripts/armel-sysroot.sh            (sysroot in $DVRCORE_ARMEL_SYSROOT,
#                                        default /opt/dvrcore-deps/armel-sysroot)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd -P)

SYSROOT=${DVRCORE_ARMEL_SYSROOT:-/opt/dvrcore-deps/armel-sysroot}
MIRROR=${DVRCORE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITE=bookworm

HOST_PACKAGES=(crossbuild-essential-armel qemu-user debootstrap debian-archive-keyring
               googletest cmake ninja-build curl ca-certificates)
TARGET_PACKAGES=(libc6-dev libstdc++-12-dev libatomic1
                 libboost1.74-dev libboost-system1.74-dev libboost-filesystem1.74-dev
                 libtinyxml-dev libwxbase3.2-1 wx3.2-headers)
# wx/setup.h and the unversioned link of the base library only ship in the GUI development
# package; it is unpacked alone, since its dependencies would pull in GTK and OpenGL.
WX_DEV_PACKAGE=libwxgtk3.2-dev

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

missing=()
for p in "${HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "armel-sysroot: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

gtest_version=$(dpkg-query -W -f='${Version}' googletest)
stamp_text="format 1
suite $SUITE
target ${TARGET_PACKAGES[*]}
wx-dev $WX_DEV_PACKAGE
googletest $gtest_version"
stamp=$SYSROOT/.dvrcore-sysroot
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
    exit 0
fi

echo "armel-sysroot: making $SYSROOT"
started=$SECONDS
parent=$(dirname "$SYSROOT")
$SUDO mkdir -p "$parent"
parent=$(cd "$parent" && pwd -P)
work=$parent/$(basename "$SYSROOT").tmp
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
quietly() {  # <command...>: its output only when it fails
    "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; exit 1; }
}
$SUDO rm -rf "$work"

# Only the first stage: it downloads and checks every package but runs nothing of the target.
# The second stage would run maintainer scripts under emulation, and a write to a path missing
# in the sysroot would land on this host.
quietly $SUDO debootstrap --arch=armel --variant=minbase --foreign \
    --include="$(IFS=,; echo "${TARGET_PACKAGES[*]}")" "$SUITE" "$work" "$MIRROR"

# The first stage unpacked the essential set; the packages asked for, with what they depend
# on, wait in the archive.
while read -r package; do
    [ -n "$package" ] || continue
    deb=$(awk -v p="$package" '$1 == p { print $2 }' "$work/debootstrap/debpaths")
    [ -n "$deb" ] || { echo "armel-sysroot: $package was not downloaded" >&2; exit 1; }
    dpkg-deb --fsys-tarfile "$work$deb" | $SUDO tar -x -C "$work" --keep-directory-symlink
done < <(tr -s ' ' '\n' <"$work/debootstrap/base")

# The wx development package from the same index that debootstrap verified against the
# suite's signed Release file, checked by its SHA256 there.
index=$(ls "$work"/var/lib/apt/lists/*_dists_${SUITE}_main_binary-armel_Packages)
read -r wx_file wx_sha < <(awk -v pkg="$WX_DEV_PACKAGE" -v RS= '
    $0 ~ "(^|\n)Package: " pkg "\n" {
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
            if (lines[i] ~ /^Filename: /) file = substr(lines[i], 11)
            if (lines[i] ~ /^SHA256: /) sha = substr(lines[i], 9)
        }
        print file, sha
        exit
    }' "$index") || true
[ -n "${wx_file:-}" ] || { echo "armel-sysroot: $WX_DEV_PACKAGE missing from $index" >&2; exit 1; }
curl -fsSL -o "$scratch/wx-dev.deb" "$MIRROR/$wx_file"
echo "$wx_sha  $scratch/wx-dev.deb" | sha256sum -c --quiet -
dpkg-deb --fsys-tarfile "$scratch/wx-dev.deb" | $SUDO tar -x -C "$work" --keep-directory-symlink

# Absolute links inside the tree would lead the linker and the emulator out to the host.
while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    $SUDO ln -sfn "$(realpath -s -m --relative-to="$(dirname "$link")" "$work$target")" "$link"
done < <(find "$work" -type l -lname '/*' -print0)

# Without a cache the ARM loader would read the host's x86 one. Without tmp/, dev/, proc/ and
# sys/ the emulated programs see the host's: qemu looks up a path in the sysroot first, and a
# directory that exists there hides the host's when listed.
$SUDO rm -f "$work/etc/ld.so.cache"
$SUDO touch "$work/etc/ld.so.cache"
$SUDO rm -rf "$work/tmp" "$work/dev" "$work/proc" "$work/sys" "$work/debootstrap" \
    "$work"/var/cache/apt/archives/*.deb "$work"/var/lib/apt/lists/* \
    "$work"/usr/share/{doc,man,info,locale,lintian}

unpacked=$SECONDS

# GoogleTest for the target, from the host's sources, installed into the sysroot so that the
# project finds it as it finds the host's. -O1: the framework is not what the tests measure, and
# it compiles in half the time of -O3.
quietly cmake -S /usr/src/googletest -B "$scratch/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/armel-toolchain.cmake" -DDVRCORE_ARMEL_SYSROOT="$work" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_STAGING_PREFIX="$work/usr"
quietly cmake --build "$scratch/gtest" -j "${DVRCORE_JOBS:-$(nproc)}"
quietly $SUDO cmake --install "$scratch/gtest"

printf '%s\n' "$stamp_text" | $SUDO tee "$work/.dvrcore-sysroot" >/dev/null
$SUDO rm -rf "$SYSROOT"
$SUDO mv "$work" "$SYSROOT"
echo "armel-sysroot: ready in $((SECONDS - started)) s," \
    "GoogleTest $((SECONDS - unpacked)) s of it ($(du -sh "$SYSROOT" | cut -f1))"
