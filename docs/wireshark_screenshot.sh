#!/usr/bin/env bash
# Takes the user guide's Wireshark picture: Wireshark with the KORVAL dissector on a capture,
# one packet selected and its tree opened, on an Xvfb display of its own.
#
#   docs/wireshark_screenshot.sh CAPTURE [PACKET] [OUT]
#
# CAPTURE is for example build/demo-gateway.pcap, which tools/demo.sh leaves; PACKET the
# number of the packet to select (default 11); OUT the picture (default
# docs/wireshark-korval.png). Needs the Debian packages wireshark-qt, x11-apps (xwd),
# imagemagick and xdotool; the tests do not. Look at the picture before committing it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
capture=$(realpath "${1:?usage: docs/wireshark_screenshot.sh CAPTURE [PACKET] [OUT]}")
packet=${2:-11}
out=$(realpath -m "${3:-$root/docs/wireshark-korval.png}")
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A display of our own, the first free one from :150 on.
for n in $(seq 150 250); do
    [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=:$n
    break
done
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done

# A profile of our own: the main window fills the screen, the packet list above the details.
export WIRESHARK_CONFIG_DIR=$work/config
mkdir -p "$WIRESHARK_CONFIG_DIR"
cat >"$WIRESHARK_CONFIG_DIR/recent_common" <<'EOF'
gui.geometry_main_x: 0
gui.geometry_main_y: 0
gui.geometry_main_width: 1280
gui.geometry_main_height: 800
gui.geometry_main_maximized: FALSE
gui.geometry_main_upper_pane: 330
gui.geometry_main_lower_pane: 330
privs.warn_if_elevated: FALSE
EOF
cat >"$WIRESHARK_CONFIG_DIR/recent" <<'EOF'
gui.toolbar_show: TRUE
gui.filter_toolbar_show: TRUE
gui.packet_list_show: TRUE
gui.tree_view_show: TRUE
gui.byte_view_show: FALSE
gui.statusbar_show: TRUE
EOF

wireshark -X "lua_script:$root/tools/wireshark/korval.lua" -r "$capture" -Y korval \
    -g "$packet" </dev/null >"$work/wireshark.log" 2>&1 &
pids+=($!)
window=
for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name 'Wireshark' 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && break
    sleep 0.2
done
[[ -n $window ]] || { cat "$work/wireshark.log" >&2; echo "no Wireshark window" >&2; exit 1; }
sleep 3
# Open the dissector's tree of the selected packet: a click on the details pane's first line,
# then its last line (the KORVAL tree, the others stay closed) with every subtree.
xdotool windowfocus --sync "$window" mousemove --window "$window" 300 444 click 1 key End shift+Right
sleep 2
# 96 colours keep the text sharp at half the size.
xwd -root -silent | /usr/bin/convert xwd:- -strip -colors 96 "PNG8:$out"
echo "wrote $out"
