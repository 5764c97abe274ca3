#!/usr/bin/env bash
# Takes the README's screenshots: starts an emulated module as port 1 in a throw-away
# settings store, starts the tool, connects, and captures both pages of the window.
# Run under an X server (make screenshots uses xvfb-run). Usage: BUILD_DIR OUT_DIR
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR OUT_DIR}
out_dir=${2:?usage: $0 BUILD_DIR OUT_DIR}
tool="$build_dir/korva-setup"
emulator="$build_dir/korva-module-emulator"

[ -n "${DISPLAY:-}" ] || { echo "No X display: run under xvfb-run." >&2; exit 1; }
for program in xdotool import; do
    command -v "$program" >/dev/null || { echo "$program not found: run 'make deps-bench'" >&2; exit 1; }
done
for program in "$tool" "$emulator"; do
    [ -x "$program" ] || { echo "$program not built: run 'make build'" >&2; exit 1; }
done
mkdir -p "$out_dir"

work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME"
emulator_pid=
tool_pid=
cleanup() {
    for pid in $tool_pid $emulator_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

"$emulator" --port 1 >"$work/emulator.out" 2>&1 &
emulator_pid=$!
# The emulator prints its device once it has registered itself as port 1.
for _ in $(seq 1 100); do
    [ -s "$work/emulator.out" ] && break
    kill -0 "$emulator_pid" 2>/dev/null || { cat "$work/emulator.out" >&2; exit 1; }
    sleep 0.05
done
[ -s "$work/emulator.out" ] || { echo "The module emulator did not start." >&2; exit 1; }

"$tool" &
tool_pid=$!
windows=$(timeout 20 xdotool search --sync --onlyvisible --pid "$tool_pid" \
    --name 'KORVA Module Setup Utility' || true)
window=${windows%%$'\n'*}
[ -n "$window" ] || { echo "The tool's window did not appear." >&2; exit 1; }
sleep 0.5

# Positions inside the fixed-size window: Connect sits bottom right above the status
# bar, the "Comms Port Setup" tab is the second one at the top.
click() {
    xdotool mousemove --window "$window" "$1" "$2" click 1
}
click 380 418
# Reading the configuration takes a few tenths of a second; wait well past it.
sleep 1.5
xdotool mousemove --window "$window" 1 1
import -window "$window" "$out_dir/modem-settings.png"

click 140 16
sleep 0.5
xdotool mousemove --window "$window" 1 1
import -window "$window" "$out_dir/comms-setup.png"
echo "Wrote $out_dir/modem-settings.png and $out_dir/comms-setup.png"
