#!/usr/bin/env bash
# The main job: builds canlib32.dll and shows what it is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
dir=$root/build/win32
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$dir" --target canlib32
dll=$dir/canlib32.dll
file "$dll"
echo "imports:"
i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^\tDLL Name: /  /p'
echo "exports: $(i686-w64-mingw32-objdump -p "$dll" | grep -c '^\t\[ *[0-9]*\] ')"
