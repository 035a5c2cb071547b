#!/usr/bin/env bash
# Builds the benchmark programs and canlib32.dll (Release), starts Xvfb, a Wine prefix of their
# own and the native gateway simulator, runs every benchmark RUNS times (default 3) and prints
# the figures; everything it started is stopped at the end, also on failure.
#
#   benchmarks/run.sh [RUNS]
#
# Figures also go to build/bench-win32/results.txt. The machine is shared: expect noise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
[[ $runs =~ ^[1-9][0-9]?$ ]] || { echo "usage: benchmarks/run.sh [RUNS 1-99]" >&2; exit 2; }

win=$root/build/bench-win32
native=$root/build/bench-native
export CANLIB_WINE_STATE=$win/wine
# Ours alone: other builds and tests use other 127.x addresses.
sim_address=127.0.99.10
results=$win/results.txt
programs=(sdo_rate notify_latency idle_cpu footprint)

"$root/tools/install-deps.sh"

echo "== building (Release)"
cmake -S "$root" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$win" --target canlib32 "${programs[@]}" | tail -n 1
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$native" --target korval-gateway-sim | tail -n 1

sim_pid=
cleanup() {
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    "$root/tests/wine/wine-env" stop || true
}
trap cleanup EXIT

echo "== starting Xvfb and the Wine prefix in $CANLIB_WINE_STATE"
"$root/tests/wine/wine-env" start

"$native/gateway-sim/korval-gateway-sim" --address "$sim_address" --nodes 5 \
    >"$win/simulator.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
    grep -q '^listening' "$win/simulator.log" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q '^listening' "$win/simulator.log" || {
    echo "the native simulator did not start:" >&2
    cat "$win/simulator.log" >&2
    exit 1
}

# Our prefix's wineserver: its working folder is named after the prefix's device and inode.
prefix=$CANLIB_WINE_STATE/prefix
server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
server_pid=
for pid in $(pgrep -x 'wineserver(32|64)?' || true); do
    if [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == */$server_dir ]]; then
        server_pid=$pid
    fi
done

failures=0
# One program under Wine, bounded in time; a failure is reported and the run goes on.
bench() {
    echo "-- $*"
    if ! (cd "$win/bin" && timeout 300 "$root/tests/wine/wine-run" "$@"); then
        echo "FAILED: $*"
        failures=$((failures + 1))
    fi
}

{
    echo "== machine"
    echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "commit:  $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "cores:   $(nproc), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
    echo "wine:    $(wine --version)"
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at start"

    echo
    echo "== 1. SDO exchanges per second"
    for i in $(seq "$runs"); do
        bench sdo_rate.exe --address "$sim_address"
        bench sdo_rate.exe
    done

    echo
    echo "== 2. notification latency"
    for i in $(seq "$runs"); do
        bench notify_latency.exe
        bench notify_latency.exe --address "$sim_address"
    done

    echo
    echo "== 3. idle CPU (wineserver pid ${server_pid:-not found})"
    server_args=()
    [[ -n $server_pid ]] && server_args=(--wineserver-pid "$server_pid")
    for i in $(seq "$runs"); do
        bench idle_cpu.exe --baseline "${server_args[@]}"
        bench idle_cpu.exe --baseline --window "${server_args[@]}"
        bench idle_cpu.exe --address "$sim_address" "${server_args[@]}"
    done

    echo
    echo "== 4. size and memory"
    dll=$win/bin/canlib32.dll
    strip_copy=$win/canlib32-stripped.dll
    i686-w64-mingw32-strip -o "$strip_copy" "$dll"
    echo "canlib32.dll as built (Release): $(stat -c %s "$dll") bytes;" \
        "stripped copy: $(stat -c %s "$strip_copy") bytes; sections:"
    debug=0
    while read -r _ name size _; do
        case $name in
        .debug*) debug=$((debug + 16#$size)) ;;
        .text | .rdata | .eh_frame | .rsrc | .data | .reloc)
            printf '  %-10s %7d bytes\n' "$name" $((16#$size))
            ;;
        esac
    done < <(i686-w64-mingw32-objdump -h "$dll")
    printf '  %-10s %7d bytes (plus a symbol table)\n' '.debug_*' "$debug"
    for i in $(seq "$runs"); do
        bench footprint.exe --address "$sim_address"
        bench footprint.exe --address "$sim_address" --window-first
    done
    echo
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
    echo "failures: $failures"
} 2>&1 | tee "$results"

# The pipeline ran in a subshell: its failure count is in the last line it wrote.
[[ $(tail -n 1 "$results") == "failures: 0" ]]
