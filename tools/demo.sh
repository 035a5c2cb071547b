#!/usr/bin/env bash
# The main job: builds canlib32.dll and canopen-scan, a small CANopen host program that loads it,
# starts a simulated KORVAL gateway with three nodes, and lists the nodes through the DLL under
# Wine. With a usable DISPLAY the DLL's connect dialog appears for you to answer; without one it
# is answered as a user would: the simulator's address typed in, Enter pressed.
# On a machine that cannot run 32-bit programs, the 64-bit DLL and canopen-scan run under wine64.
# Exit code: that of canopen-scan; any other failure says what failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trap 'echo "demo: \"$BASH_COMMAND\" failed with exit status $?" >&2' ERR
# The build folders' base; another one keeps a second demo apart from the usual build/.
base=${CANLIB_DEMO_BUILD:-$root/build}
native=$base/native-demo
wine_env=$root/tests/wine/wine-env
nodes=5,10,3

"$root/tools/install-deps.sh"

# A broken install stops the demo (the probe said what to install).
probe=0
limit=$("$root/tools/can-run-32bit") || probe=$?
((probe <= 1)) || exit "$probe"
if ((probe == 0)); then
    export CANLIB_WINE_ARCH=win32
    windows=Win32
    toolchain=mingw-i686
    objdump=i686-w64-mingw32-objdump
    wine=(wine)
    # The Wine prefix, and the address the dialog remembers in its registry, live here only.
    export CANLIB_WINE_STATE=$base/demo-wine
else
    echo "$limit: the demo uses the 64-bit DLL"
    export CANLIB_WINE_ARCH=win64
    windows=Win64
    toolchain=mingw-x86_64
    objdump=x86_64-w64-mingw32-objdump
    wine=(env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
    export CANLIB_WINE_STATE=$base/demo-wine64
fi
win=$base/$CANLIB_WINE_ARCH

echo "== building canlib32.dll and canopen-scan ($windows) and the gateway simulator (native)"
cmake -S "$root" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" >/dev/null
cmake --build "$win" --target canlib32 canopen-scan answer-dialog
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$native" --target korval-gateway-sim
bin=$win/bin
exports=$("$objdump" -p "$bin/canlib32.dll" | grep -c ' Export RVA$')
echo "canlib32.dll: $(file -b "$bin/canlib32.dll"), $exports exported functions"

sim_pid='' answer_pid='' wine_started=''
cleanup() {
    local status=$?
    trap "" INT TERM  # a second Ctrl-C must not cut the clean-up short
    if [[ -n $answer_pid ]]; then kill "$answer_pid" 2>/dev/null || true; fi
    if [[ -n $sim_pid ]]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        echo "== the gateway's traffic: $capture; to read it:"
        echo "   tshark -X lua_script:$root/tools/wireshark/korval.lua -2 -r $capture"
    fi
    # Also ends every Wine program still running in the demo prefix.
    if [[ -n $wine_started ]]; then "$wine_env" stop || true; fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The simulator on 127.0.0.1, or on the next loopback address if port 502 is taken there.
sim=$native/gateway-sim/korval-gateway-sim
sim_log=$base/demo-gateway-sim.log
# The traffic the gateway served, for Wireshark or tshark with tools/wireshark/korval.lua.
capture=$base/demo-gateway.pcap
start_simulator() {
    "$sim" --address "$1" --nodes "$nodes" --pcap "$capture" >"$sim_log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        if grep -q '^listening on' "$sim_log"; then return 0; fi
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            wait "$sim_pid" || true
            sim_pid=''
            return 1
        fi
        sleep 0.05
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=''
    return 1
}
address=''
for candidate in 127.0.0.1 $(seq -f '127.0.0.%g' 2 20); do
    if start_simulator "$candidate"; then
        address=$candidate
        break
    fi
done
if [[ -z $address ]]; then
    echo "demo: the gateway simulator did not start: $(cat "$sim_log")" >&2
    exit 1
fi
echo "== gateway simulator listening on $address:502 with nodes $nodes"

echo "== Wine prefix in $CANLIB_WINE_STATE"
wine_started=1
"$wine_env" start

scan_pid=''
run_scan() {
    # Carriage returns of the Windows program's text output removed for the terminal.
    (
        set +e
        "$@" "$bin/canopen-scan.exe" 2>&1 | tr -d '\r'
        exit "${PIPESTATUS[0]}"
    ) &
    scan_pid=$!
}

if [[ -n ${DISPLAY:-} ]] && timeout 5 xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    # The prefix is ready; its wineserver and Xvfb go, so that the dialog shows on your screen.
    "$wine_env" stop
    echo "== the connect dialog opens on $DISPLAY: type $address and press Enter"
    run_scan env WINEPREFIX="$CANLIB_WINE_STATE/prefix" WINEARCH="$CANLIB_WINE_ARCH" \
        WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG="${WINEDEBUG:--all}" "${wine[@]}"
else
    echo "== no usable display: the connect dialog is answered with $address and Enter"
    "$root/tests/wine/wine-run" "$bin/answer-dialog.exe" "$address" --timeout 120 &
    answer_pid=$!
    run_scan "$root/tests/wine/wine-run"
    # Without an answer the dialog would wait for ever.
    if ! wait "$answer_pid"; then
        answer_pid=''
        echo "demo: the connect dialog was not answered" >&2
        exit 1
    fi
    answer_pid=''
fi
set +e
wait "$scan_pid"
status=$?
set -e
if ((status != 0)); then
    echo "demo: canopen-scan exited with status $status" >&2
fi
exit "$status"
