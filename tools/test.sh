#!/usr/bin/env bash
# Builds the library five ways and runs every test in one CTest run:
#   build/native-asan  native, AddressSanitizer + UndefinedBehaviorSanitizer, fuzz targets
#   build/native-tsan  native, ThreadSanitizer, the threaded tests
#   build/win32        the real canlib32.dll and Win32 test programs, run under Wine and Xvfb;
#                      on a machine that cannot run 32-bit programs the DLL is built and checked
#                      as a file, and its Wine tests are reported as skipped
#   build/win64        the same for 64-bit hosts, run under wine64 in a prefix of its own
#   build/linux        libcanlib.so.1, loaded by a C host and by python-can (pytest, in a venv)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
# A broken install stops here, before the builds (the probe said what to install); only a
# kernel that refuses 32-bit programs is a reason to skip.
probe=0
limit=$("$root/tools/can-run-32bit") || probe=$?
((probe <= 1)) || exit "$probe"

configure_and_build() {
    local dir=$root/build/$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir"
}

native=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
configure_and_build native-asan "${native[@]}" -DCANLIB_SANITIZE=address -DCANLIB_FUZZ=ON
configure_and_build native-tsan "${native[@]}" -DCANLIB_SANITIZE=thread
configure_and_build win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
configure_and_build linux

# One CTest run over the five builds, so that one summary ends the output.
cat >"$root/build/CTestTestfile.cmake" <<CTEST
subdirs("native-asan" "native-tsan" "win32" "win64" "linux")
CTEST
if ((probe == 1)); then
    echo "$limit: the 32-bit DLL is built and checked as a file; its Wine tests are skipped"
fi
cd "$root/build"
# CTest's own summary counts skipped tests as passed: the last lines say how many were skipped
# and why. CTest writes to the terminal itself (no pipe that Wine's servers could hold open);
# its exit status is this script's.
results=$root/build/last-run.junit.xml
rm -f "$results"
status=0
ctest --output-on-failure -j4 --output-junit "$results" "$@" || status=$?
if [[ -f $results ]]; then
    /usr/bin/python3 "$root/tools/skipped-tests.py" "$results"
fi
exit "$status"
