#!/usr/bin/env bash
# Installs what building and testing quillFern needs on a Debian machine.
# Safe to run again: it does nothing (and says nothing) when everything is there.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools libxcb1-dev
    libgcrypt20-dev libgcrypt-mingw-w64-dev minisign
    fonts-dejavu-core fonts-wqy-microhei
    xvfb xauth x11-xserver-utils
    binutils-mingw-w64-x86-64
    g++-mingw-w64-x86-64-posix wine64 xz-utils
    python3 util-linux procps
    fuse3 libfuse3-3 libfuse3-dev libspdlog1.10 libfmt9
)

missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
