#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the library.
# Quick when everything is present: it only asks apt when a package is missing.
set -euo pipefail

# The same list on a machine that cannot run 32-bit programs: dpkg runs none of the i386 ones,
# and their install scripts carry on where one of their programs fails to start. There
# wine32:i386 cannot run, but its libc6:i386 lets tools/can-run-32bit ask the kernel.
packages=(
    cmake ninja-build file g++ clang libclang-rt-14-dev clang-format googletest
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 xvfb x11-utils
    python3 python3-pefile icoutils pandoc tshark
    python3-can python3-pytest python3-venv python3-setuptools python3-wheel
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
elif [[ -n "${need_update:-}" ]]; then
    apt-get update -qq
fi
