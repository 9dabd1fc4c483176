#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need on a Debian 12 host (the tests use
# GoogleTest; the benchmarks time themselves).
# Idempotent: when everything is present it returns in well under a second.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    clang libclang-rt-14-dev
    libboost-dev libboost-system-dev libboost-filesystem-dev
    libtinyxml-dev
    libwxbase3.2-1 wx3.2-headers
    googletest libgtest-dev
    passwd
    libzmq3-dev  # optional: ZeroMQ as a peer bus in bench/event_bus_bench
)

# wxWidgets' setup.h and the unversioned link name of the base library only come in the GUI
# development package; we unpack that one package alone (without its GTK dependencies) into a
# private prefix and link the base library only.
WX_DEV_ROOT=${WX_DEV_ROOT:-/opt/dvrcore-deps/wx-host}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
if [ ! -f "$WX_DEV_ROOT/usr/lib/$multiarch/wx/include/gtk3-unicode-3.2/wx/setup.h" ]; then
    echo "setup: unpacking wxWidgets base headers into $WX_DEV_ROOT"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    chmod 777 "$tmp"
    (cd "$tmp" && apt-get download "libwxgtk3.2-dev:$arch" >/dev/null 2>&1 \
        || { $SUDO apt-get update -qq && apt-get download "libwxgtk3.2-dev:$arch" >/dev/null; })
    $SUDO mkdir -p "$WX_DEV_ROOT.tmp"
    $SUDO dpkg-deb -x "$tmp"/libwxgtk3.2-dev_*.deb "$WX_DEV_ROOT.tmp"
    $SUDO rm -rf "$WX_DEV_ROOT"
    $SUDO mv "$WX_DEV_ROOT.tmp" "$WX_DEV_ROOT"
fi
