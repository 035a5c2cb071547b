#!/usr/bin/env bash
# Builds the Release DLL from two copies of the sources in differently named folders, one
# after the other, and fails unless the two files are byte for byte the same: a user can then
# rebuild a release and compare it with the one handed to them.
# Usage: reproducible_dll.sh SOURCE_ROOT TOOLCHAIN_FILE WORK_FOLDER
set -euo pipefail
root=$1
toolchain=$(basename "$2")
work=$3
rm -rf "$work"
dlls=()
for copy in one second-copy-of-the-sources; do
    source=$work/$copy/src
    mkdir -p "$source"
    tar -C "$root" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$source" -xf -
    cmake -S "$source" -B "$source/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCANLIB_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$source/cmake/$toolchain" >/dev/null
    cmake --build "$source/build" --target canlib32 >/dev/null
    dlls+=("$source/build/bin/canlib32.dll")
done
if ! cmp "${dlls[@]}"; then
    echo "the DLL differs between builds in two folders" >&2
    exit 1
fi
echo "same $(stat -c %s "${dlls[0]}") bytes from both folders: $(sha256sum "${dlls[0]}" | cut -d' ' -f1)"
rm -rf "$work"
