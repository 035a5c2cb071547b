#!/usr/bin/env bash
# Builds the benchmark programs and canlib32.dll (Release), starts Xvfb, a Wine prefix of their
# own and the native gateway simulators, runs every benchmark RUNS times (default 3) and prints
# the figures and a summary of the targets; everything it started is stopped at the end, also
# on failure. The last benchmark, outage, measures the figures the user guide gives a host's
# settings: heartbeat gaps and SDO recovery after each fault of the gateway.
#
#   benchmarks/run.sh [--arch x86|x64] [--before REV] [RUNS]
#
# --arch picks the DLL measured, and the programs that load it: the 32-bit one (x86, under Wine)
# or the 64-bit one (x64, under wine64). The default is x86, or x64 on a machine that cannot run
# 32-bit programs. Every figure names the DLL it measured.
#
# --before REV also builds the library of git revision REV (its canlib32.dll, and its native
# library under the current sdo_rate_native) in build/bench-before, and runs every benchmark for
# it and for the working tree's library in turns, so that both sets of figures come from one run
# on one machine load. REV must have the portable library korval_core (ad947ce has).
#
# Figures also go to build/bench-win32/results.txt (x64: build/bench-win64). The machine is
# shared: expect noise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    echo "usage: benchmarks/run.sh [--arch x86|x64] [--before REV] [RUNS 1-99]" >&2
    exit 2
}
arch=
before_rev=
runs=3
while (($#)); do
    case $1 in
    --arch)
        (($# >= 2)) && [[ $2 == x86 || $2 == x64 ]] || usage
        arch=$2
        shift 2
        ;;
    --before)
        (($# >= 2)) || usage
        before_rev=$2
        shift 2
        ;;
    *)
        [[ $1 =~ ^[1-9][0-9]?$ ]] || usage
        runs=$1
        shift
        ;;
    esac
done

"$root/tools/install-deps.sh"

# A broken install stops the benchmarks (the probe said what to install).
probe=0
limit=$("$root/tools/can-run-32bit") || probe=$?
((probe <= 1)) || exit "$probe"
if ((probe == 1)); then
    if [[ $arch == x86 ]]; then
        echo "benchmarks: --arch x86 needs 32-bit programs, and $limit" >&2
        exit 1
    fi
    [[ -n $arch ]] || echo "$limit: the benchmarks measure the 64-bit DLL"
    arch=x64
fi
arch=${arch:-x86}
if [[ $arch == x86 ]]; then
    export CANLIB_WINE_ARCH=win32
    toolchain=mingw-i686.cmake
    binutils=i686-w64-mingw32
    wine_loader=wine
else
    export CANLIB_WINE_ARCH=win64
    toolchain=mingw-x86_64.cmake
    binutils=x86_64-w64-mingw32
    wine_loader=/usr/lib/wine/wine64
fi
# How every figure of a library under Wine names what it measured.
measured="$arch DLL"

win=$root/build/bench-$CANLIB_WINE_ARCH
native=$root/build/bench-native
before=$root/build/bench-before
export CANLIB_WINE_STATE=$win/wine
# Ours alone: other builds and tests use other 127.x addresses.
sim_address=127.0.99.10
# A second simulator that answers every request only after 500 ms: the worker then waits on
# the socket long enough for canClose to be timed while it does.
slow_address=127.0.99.11
slow_reply_ms=500
results=$win/results.txt
targets=$win/targets.txt
programs=(sdo_rate notify_latency idle_cpu close_latency footprint outage)
release=(-G Ninja -DCMAKE_BUILD_TYPE=Release)
clang=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

echo "== building (Release, $arch)"
cmake -S "$root" -B "$win" "${release[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >/dev/null
cmake --build "$win" --target canlib32 "${programs[@]}" | tail -n 1
cmake -S "$root" -B "$native" "${release[@]}" "${clang[@]}" >/dev/null
cmake --build "$native" --target korval-gateway-sim sdo_rate_native | tail -n 1

# The libraries measured, by label, in the order of the first run.
labels=(after)
declare -A dll=([after]="Z:$win/bin/canlib32.dll")
declare -A native_program=([after]="$native/benchmarks/sdo_rate_native")
declare -A revision=([after]="working tree, HEAD $(git -C "$root" rev-parse --short HEAD)")
git -C "$root" diff --quiet HEAD -- || revision[after]+=" with uncommitted changes"
if [[ -n $before_rev ]]; then
    rev=$(git -C "$root" rev-parse --short "$before_rev^{commit}")
    echo "== building the library of $rev in $before"
    src=$before/src
    # Extracted anew only for another revision, so that an unchanged tree is not rebuilt.
    if [[ $(cat "$before/revision" 2>/dev/null) != "$rev" ]]; then
        rm -rf "$src"
        mkdir -p "$src"
        git -C "$root" archive "$rev" | tar -x -C "$src"
        echo "$rev" >"$before/revision"
    fi
    # The same benchmark sources measure both libraries.
    if ! diff -r -q "$root/benchmarks" "$src/benchmarks" >/dev/null 2>&1; then
        rm -rf "$src/benchmarks"
        cp -r "$root/benchmarks" "$src/benchmarks"
    fi
    cmake -S "$src" -B "$before/$CANLIB_WINE_ARCH" "${release[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$toolchain" >/dev/null
    cmake --build "$before/$CANLIB_WINE_ARCH" --target canlib32 | tail -n 1
    labels=(before after)
    dll[before]="Z:$before/$CANLIB_WINE_ARCH/bin/canlib32.dll"
    revision[before]="$rev"
    if cmake -S "$src" -B "$before/native" "${release[@]}" "${clang[@]}" >"$before/native.log" \
        2>&1 && cmake --build "$before/native" --target sdo_rate_native >>"$before/native.log" 2>&1; then
        native_program[before]="$before/native/benchmarks/sdo_rate_native"
    else
        echo "the native library of $rev does not build with the current benchmark: see" \
            "$before/native.log; its native figures are left out"
    fi
fi

sim_pids=()
cleanup() {
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    "$root/tests/wine/wine-env" stop || true
}
trap cleanup EXIT

echo "== starting Xvfb and the Wine prefix in $CANLIB_WINE_STATE"
"$root/tests/wine/wine-env" start

# One native simulator with node 5 in the background; waits until it listens.
start_simulator() {
    local log=$win/simulator-$1.log
    "$native/gateway-sim/korval-gateway-sim" --address "$1" --nodes 5 "${@:2}" >"$log" 2>&1 &
    sim_pids+=($!)
    for _ in $(seq 50); do
        grep -q '^listening' "$log" && return 0
        kill -0 "${sim_pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "the native simulator on $1 did not start:" >&2
    cat "$log" >&2
    exit 1
}
start_simulator "$sim_address"
start_simulator "$slow_address" --fault "delay:$slow_reply_ms"

# Our prefix's wineserver: its working folder is named after the prefix's device and inode.
prefix=$CANLIB_WINE_STATE/prefix
server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
server_pid=
for pid in $(pgrep -x 'wineserver(32|64)?' || true); do
    if [[ $(readlink "/proc/$pid/cwd" 2>/dev/null) == */$server_dir ]]; then
        server_pid=$pid
    fi
done
server_args=()
[[ -n $server_pid ]] && server_args=(--wineserver-pid "$server_pid")

on_wine() { (cd "$win/bin" && timeout 300 "$root/tests/wine/wine-run" "$@"); }
natively() { timeout 300 "$@"; }

failures=0
: >"$targets"
# One program, bounded in time, for the library of a label (or "-" for none); a failure is
# reported and the run goes on. Its target lines are kept for the summary, each figure's name
# followed by what it measured: the DLL, or the native library.
bench() {
    local label=$1 output=$win/last-output.txt what=$measured
    shift
    [[ $1 == natively ]] && what="native library"
    [[ $label == - ]] && what="$arch program, no DLL"
    echo "-- [$label, $what] ${*:2}"
    if ! "$@" 2>&1 | tee "$output"; then
        echo "FAILED: $*"
        failures=$((failures + 1))
    fi
    # Wine's console ends lines with CR LF. Lines that name their library keep that name.
    tr -d '\r' <"$output" | grep -E '^([a-z]+\|)?(TARGET|INFO)\|' |
        sed -E -e "s/^(TARGET|INFO)\|/$label|&/" \
            -e "s/^([a-z]+\|(TARGET|INFO)\|[^|]*)/\1, $what/" >>"$targets" || true
}

# The labels in turns: the first run starts with the first label, the next with the other.
in_turn() {
    if (($1 % 2 == 1)); then
        printf '%s\n' "${labels[@]}"
    else
        printf '%s\n' "${labels[@]}" | tac
    fi
}

# One row per figure: its target, and for each library the figure of every run with whether
# the target was met in all of them, some or none.
summary() {
    echo "== summary"
    for label in "${labels[@]}"; do
        echo "$label: ${revision[$label]}"
    done
    awk -F'|' -v order="${labels[*]}" '
        BEGIN { n = split(order, label, " ") }
        {
            what = $3 " (" $5 ")"
            if (!(what in seen)) { seen[what] = ++count; name[count] = what }
            values[what, $1] = values[what, $1] (values[what, $1] == "" ? "" : " ") $4
            goal[what] = $2 == "TARGET" ? $6 : "-"
            if ($2 == "TARGET") {
                runs[what, $1]++
                if ($7 == "met") met[what, $1]++
            }
        }
        END {
            printf "%-74s %-8s", "figure", "target"
            for (j = 1; j <= n; j++) printf " | %-26s", label[j]
            printf "\n"
            for (i = 1; i <= count; i++) {
                w = name[i]
                printf "%-74s %-8s", w, goal[w]
                for (j = 1; j <= n; j++) {
                    l = label[j]
                    cell = values[w, l]
                    if (runs[w, l] > 0) {
                        m = met[w, l] + 0
                        cell = cell (m == runs[w, l] ? " met" : m == 0 ? " NOT met" \
                                                          : " met " m "/" runs[w, l])
                    }
                    printf " | %-26s", cell
                }
                printf "\n"
            }
        }' "$targets"
}

{
    echo "== machine"
    echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
    for label in "${labels[@]}"; do
        echo "$label:$(printf '%*s' $((8 - ${#label})) '')${revision[$label]}"
    done
    echo "cores:   $(nproc), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
    echo "dll:     $arch canlib32.dll, $CANLIB_WINE_ARCH Wine prefix"
    echo "wine:    $("$wine_loader" --version)"
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at start"

    echo
    echo "== 1. SDO exchanges per second under Wine, $measured, against the native simulator"
    # Both libraries in one process and in the same rounds: they meet the same machine load.
    before_dll=()
    [[ -n ${dll[before]:-} ]] && before_dll=(--before-dll "${dll[before]}")
    for i in $(seq "$runs"); do
        bench after on_wine sdo_rate.exe --address "$sim_address" --dll "${dll[after]}" \
            "${before_dll[@]}" --traits --exchanges 10000 --rounds 20
    done

    echo
    echo "== 2. SDO exchanges per second, native library against a native client"
    for i in $(seq "$runs"); do
        for label in $(in_turn "$i"); do
            [[ -n ${native_program[$label]:-} ]] || continue
            bench "$label" natively "${native_program[$label]}" --address "$sim_address" \
                --exchanges 20000 --rounds 20
        done
    done

    echo
    echo "== 3. notification latency, $measured"
    for i in $(seq "$runs"); do
        for label in $(in_turn "$i"); do
            bench "$label" on_wine notify_latency.exe --address "$sim_address" \
                --dll "${dll[$label]}"
            bench "$label" on_wine notify_latency.exe --dll "${dll[$label]}"
        done
    done

    echo
    echo "== 4. idle CPU, $measured (wineserver pid ${server_pid:-not found})"
    for i in $(seq "$runs"); do
        bench - on_wine idle_cpu.exe --baseline "${server_args[@]}"
        bench - on_wine idle_cpu.exe --baseline --window "${server_args[@]}"
        for label in $(in_turn "$i"); do
            bench "$label" on_wine idle_cpu.exe --address "$sim_address" --dll "${dll[$label]}" \
                "${server_args[@]}"
        done
        # Node 6 is not listed by the simulator: no heartbeat wakes the blocked reader.
        for label in $(in_turn "$i"); do
            bench "$label" on_wine idle_cpu.exe --address "$sim_address" --dll "${dll[$label]}" \
                --reader --node 6 "${server_args[@]}"
        done
    done

    echo
    echo "== 5. canClose while the worker waits on the gateway, $measured"
    for i in $(seq "$runs"); do
        for label in $(in_turn "$i"); do
            bench "$label" on_wine close_latency.exe --address "$slow_address" \
                --reply-delay "$slow_reply_ms" --dll "${dll[$label]}"
        done
    done

    echo
    echo "== 6. size and memory, $measured"
    for label in "${labels[@]}"; do
        dll_file=${dll[$label]#Z:}
        strip_copy=$win/canlib32-$label-stripped.dll
        "$binutils-strip" -o "$strip_copy" "$dll_file"
        echo "[$label, $measured] canlib32.dll as built (Release): $(stat -c %s "$dll_file")" \
            "bytes; stripped copy: $(stat -c %s "$strip_copy") bytes; sections:"
        while read -r _ name size _; do
            case $name in
            .text | .rdata | .eh_frame | .rsrc | .data | .reloc)
                printf '  %-10s %7d bytes\n' "$name" $((16#$size))
                ;;
            esac
        done < <("$binutils-objdump" -h "$dll_file")
    done
    for i in $(seq "$runs"); do
        for label in $(in_turn "$i"); do
            bench "$label" on_wine footprint.exe --address "$sim_address" --dll "${dll[$label]}"
            bench "$label" on_wine footprint.exe --address "$sim_address" --dll "${dll[$label]}" \
                --window-first
        done
    done

    echo
    echo "== 7. one gateway fault at a time: heartbeat gaps and SDO recovery, $measured"
    # Each program runs its own simulator: about 4 minutes, mostly the library's 3 s limits.
    for i in $(seq "$runs"); do
        for label in $(in_turn "$i"); do
            bench "$label" on_wine outage.exe --dll "${dll[$label]}"
        done
    done
    echo
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
    echo
    summary
    echo "failures: $failures"
} 2>&1 | tee "$results"

# The pipeline ran in a subshell: its failure count is in the last line it wrote.
[[ $(tail -n 1 "$results") == "failures: 0" ]]
