#!/bin/bash
# Installs the Debian packages named as arguments that are not installed yet.
# Packages of another architecture (name:i386) make dpkg accept it first.
set -euo pipefail

missing=()
for package in "$@"; do
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
