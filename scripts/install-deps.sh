#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run.
# Idempotent: prints nothing and does nothing when everything is present.
#   scripts/install-deps.sh              what make run and make test need
#   scripts/install-deps.sh sanitizers   also clang 14 and its sanitizer runtimes
set -euo pipefail

packages=(
    cmake
    ninja-build
    g++
    make
    libssl-dev
    libgtest-dev
    libgmock-dev
    qt6-base-dev
    qt6-base-dev-tools
    qt6-qpa-plugins
    libgl-dev
    dpkg-dev
    shared-mime-info
    libxml2-utils
    strace
    libarchive-dev
    mtree-netbsd
    libisal-dev
    par2
    age
    zlib1g-dev
    clang-format
    xfsprogs
    btrfs-progs
    libfuse3-dev
    fuse3
    pkg-config
    # The package test (lintian, appstreamcli) and the real window under Xvfb
    # (the screenshots: xvfb, a window manager, xdotool, imagemagick).
    lintian
    appstream
    xvfb
    xauth
    openbox
    xdotool
    imagemagick
    x11-utils
)
if [ "${1:-}" = sanitizers ]; then
    packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
