#!/bin/bash
# Installs the Debian packages that the project's commands need and that are
# not installed yet: the one list of them. As a normal user it only says, in
# one line, what to install.
set -euo pipefail

packages=(
    git cmake make googletest python3 python3-pefile clang-format clang-tidy
    g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    wine wine32:i386 wine64 xvfb xdotool imagemagick
    osslsigncode openssl ca-certificates hyperfine
)

missing=()
for package in "${packages[@]}"; do
    if [[ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]]; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages; as root run: apt-get install ${missing[*]}" >&2
    exit 1
fi
for package in "${missing[@]}"; do
    if [[ "$package" == *:* ]]; then
        dpkg --add-architecture "${package##*:}"
    fi
done
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
