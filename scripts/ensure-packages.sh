#!/bin/bash
# Installs the Debian packages that one of the project's commands needs and
# that are not installed yet: the one list of them.
#
#   ensure-packages.sh run|test|release|benchmark
#       what that command needs; fails, naming each package it cannot
#       install and apt's reason
#   ensure-packages.sh wine32
#       the 32-bit Wine, the one optional package: where it cannot be had,
#       says why in one line and exits with 1
#
# A package index that fails in part (a mirror mid-sync, a stale proxy) is
# said in one line, and the rest of it is used. As a normal user it only
# says, in one line, what to install.
set -euo pipefail

# The shipped exe alone; both word sizes with the test programs; Wine and
# what the harness drives it with; the checks; signing.
exe=(cmake make g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686)
builds=("${exe[@]}" g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    googletest)
wine=(python3 python3-pefile wine wine64 xvfb xdotool imagemagick)
checks=(git clang-format clang-tidy)
signing=(osslsigncode openssl ca-certificates)
case "${1:-}" in
    release) packages=("${exe[@]}" "${signing[@]}") ;;
    run) packages=("${builds[@]}" "${wine[@]}") ;;
    test) packages=("${builds[@]}" "${wine[@]}" "${checks[@]}" "${signing[@]}") ;;
    benchmark) packages=("${builds[@]}" "${wine[@]}" git hyperfine) ;;
    wine32) packages=(wine32:i386) ;;
    *)
        echo "usage: ensure-packages.sh run|test|release|benchmark|wine32" >&2
        exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    if [[ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]]; then
        missing+=("$package")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

install_32_bit="dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386"
if [[ $(id -u) -ne 0 ]]; then
    if [[ $1 == wine32 ]]; then
        echo "The 32-bit Wine is not installed (as root: $install_32_bit): the 64-bit build runs."
    else
        echo "Missing packages; as root run: apt-get install ${missing[*]}" >&2
    fi
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Waits for another apt (an unattended upgrade, say) rather than failing.
apt_get() {
    apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# apt's first error in its output, on one line, without the mirror's address.
first_error() {
    grep -m 1 '^E: ' | sed -e 's/^E: //' -e 's/ *\[IP: [^]]*\]$//'
}

# Why apt cannot install one package: the dependency of its own that apt
# cannot meet, else apt's first error. Fails where it can be installed.
reason_for() {
    local output
    output=$(apt_get install -s -q "$1" 2>&1) && return 1
    grep -m 1 -E "^ ${1%%:*}(:[a-z0-9]+)? : " <<<"$output" | sed 's/^ *//' ||
        first_error <<<"$output" || echo "apt exited with an error"
}

update_index() {
    local output
    if ! output=$(apt_get update -qq 2>&1); then
        echo "The package index is partly out of date ($(first_error <<<"$output")): going on with the rest of it."
    fi
}

# Installs the missing packages, all or none. Where that fails, `failure`
# names each package that cannot be installed and why, one a line, and dpkg
# is left consistent.
install_missing() {
    local output package reason
    echo "Installing: ${missing[*]}"
    # Finishes what an interrupted install left, which apt would refuse.
    dpkg --configure -a
    output=$(apt_get install -y -qq "${missing[@]}" 2>&1 >/dev/null) && return 0
    dpkg --configure -a
    failure=""
    for package in "${missing[@]}"; do
        if reason=$(reason_for "$package"); then
            failure+="cannot install $package: $reason"$'\n'
        fi
    done
    [[ -n $failure ]] || failure="cannot install ${missing[*]}: $(first_error <<<"$output")"$'\n'
    return 1
}

if [[ $1 != wine32 ]]; then
    update_index
    install_missing && exit 0
    printf '%s' "$failure" >&2
    exit 1
fi

# The i386 architecture is added for it, and taken away again if it brought
# nothing: an index that cannot be had would otherwise fail every later
# `apt-get update` on this machine.
added=""
if ! dpkg --print-foreign-architectures | grep -q -x i386; then
    dpkg --add-architecture i386
    added=i386
fi
update_index
install_missing && exit 0
if [[ -n $added ]]; then
    dpkg --remove-architecture i386 2>/dev/null || true
fi
reason=${failure%%$'\n'*}
echo "The 32-bit Wine cannot be installed (${reason#*wine32:i386: }): the 64-bit build runs;" \
    "run this command again once apt can install it ($install_32_bit)."
exit 1
