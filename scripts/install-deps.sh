#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, if any is missing.
# apt installs no recommended packages here, so every package a step uses is named, also
# those that a desktop machine tends to have already (scripts/check-fresh-root.sh proves it).
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config ccache
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    zlib1g-dev libminizip-dev libsodium-dev libexpat1-dev libzstd-dev zstd minisign
    clang libclang-rt-14-dev clang-format-14
    g++-mingw-w64-x86-64-posix dpkg-dev autoconf automake libtool wine64 wine fonts-dejavu-core
    fonts-wine
    xvfb xdotool xauth zip unzip curl time
    python3-pyatspi dbus-daemon imagemagick
    nginx libnginx-mod-stream tinyproxy openssl
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
# Debian starts nginx (port 80) and tinyproxy (port 8888) as services when they are
# installed; the tests start their own on free ports, so no service may start meanwhile.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    own_policy=1
    trap '"${sudo[@]}" rm -f "$policy"' EXIT
fi
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
if [ "$own_policy" -eq 1 ]; then
    for service in nginx tinyproxy; do
        if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
            "${sudo[@]}" systemctl disable --now "$service" >/dev/null 2>&1 || true
        fi
    done
fi
