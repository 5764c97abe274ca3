#!/usr/bin/env bash
# Takes the README's screenshots: starts an emulated module as port 1 in a throw-away
# settings store, starts the tool, connects, and captures both pages of the window;
# then provisions units on four emulated slots in a terminal and captures the
# operator's view; then korva-station on eight slots in mixed states, and its job
# dialog. Run under an X server (make screenshots uses xvfb-run).
# Usage: BUILD_DIR OUT_DIR
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR OUT_DIR}
out_dir=${2:?usage: $0 BUILD_DIR OUT_DIR}
tool="$build_dir/korva-setup"
emulator="$build_dir/korva-module-emulator"
cli="$build_dir/korva-cli"
station="$build_dir/korva-station"

[ -n "${DISPLAY:-}" ] || { echo "No X display: run under xvfb-run." >&2; exit 1; }
for program in xdotool import xterm; do
    command -v "$program" >/dev/null || { echo "$program not found: run 'make deps-bench'" >&2; exit 1; }
done
for program in "$tool" "$emulator" "$cli" "$station"; do
    [ -x "$program" ] || { echo "$program not built: run 'make build'" >&2; exit 1; }
done
mkdir -p "$out_dir"

work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
mkdir -p "$XDG_CONFIG_HOME"
emulator_pid=
tool_pid=
slot_pids=
terminal_pid=
station_pid=
cleanup() {
    for pid in $tool_pid $emulator_pid $terminal_pid $station_pid $slot_pids; do
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
kill "$tool_pid" 2>/dev/null || true

# Four slots named as by-path links would name them; the units of slot 3 keep
# their old Tx power, so that slot fails.
mkdir -p "$work/by-path"
echo '{"tx-power": "-21 dBm", "rf-frequency": "434"}' >"$work/profile.json"
ports=()
for slot in 1 2 3 4; do
    link="$work/by-path/pci-0000:00:14.0-usb-0:1.$slot:1.0-port0"
    keep=()
    [ "$slot" = 3 ] && keep=(--keep-bytes 10)
    "$emulator" --link "$link" --swap-after $((900 + 300 * slot)) "${keep[@]}" >/dev/null 2>&1 &
    slot_pids="$slot_pids $!"
    ports+=(--port "$link")
done
sleep 0.5
# The unit lines go to a file, as on a line that keeps them; the terminal shows
# the operator's view alone.
xterm -geometry 92x30 -fa 'Liberation Mono' -fs 12 -bg black -fg grey90 -T provision -e \
    sh -c 'out=$1; shift; exec "$@" >"$out"' sh "$work/units.jsonl" \
    "$cli" provision --profile "$work/profile.json" \
    --addresses 00020000-0002FFFF --ledger "$work/ledger.sqlite" "${ports[@]}" &
terminal_pid=$!
terminals=$(timeout 20 xdotool search --sync --onlyvisible --pid "$terminal_pid" \
    --name provision || true)
terminal=${terminals%%$'\n'*}
[ -n "$terminal" ] || { echo "The terminal did not appear." >&2; exit 1; }
# Long enough for every slot to have finished a unit or two.
sleep 8
import -window "$terminal" "$out_dir/operator-view.png"
kill "$terminal_pid" 2>/dev/null || true

# korva-station on eight slots: most pass, the units of slot 5 keep their old
# Tx power and fail, slot 6's adapter is not plugged in, slot 7's module never
# answers.
mkdir -p "$work/fixture"
ports=()
for slot in 1 2 3 4 5 6 7 8; do
    link="$work/fixture/pci-0000:00:14.0-usb-0:2.$slot:1.0-port0"
    ports+=("\"$link\"")
    options=(--link "$link" --swap-after $((700 + 250 * slot)))
    case $slot in
    5) options+=(--keep-bytes 10) ;;
    6) continue ;;
    7) options+=(--silent) ;;
    esac
    "$emulator" "${options[@]}" >/dev/null 2>&1 &
    slot_pids="$slot_pids $!"
done
(IFS=,; cat >"$work/job.json" <<JOB
{"korva-job": 1, "profile": "$work/profile.json", "addresses": "00040000-0004FFFF",
 "ledger": "$work/station.sqlite", "ports": [${ports[*]}], "station": "bench-3",
 "operator": "ana", "order": "PO-4711", "target": 500}
JOB
)
sleep 0.5
"$station" "$work/job.json" --start 2>/dev/null &
station_pid=$!
windows=$(timeout 20 xdotool search --sync --onlyvisible --pid "$station_pid" \
    --name 'KORVA Station' || true)
window=${windows%%$'\n'*}
[ -n "$window" ] || { echo "korva-station's window did not appear." >&2; exit 1; }
# Long enough for the slots to have done a unit or two, and one under way.
sleep 9
import -window "$window" "$out_dir/station.png"
# Stopped, the job can be edited: its dialog. With no window manager the
# keyboard goes to the window given the input focus.
xdotool windowfocus --sync "$window" key shift+F5
sleep 4
xdotool windowfocus --sync "$window" key ctrl+j
dialogs=$(timeout 20 xdotool search --sync --onlyvisible --pid "$station_pid" --name '^Job' || true)
dialog=${dialogs%%$'\n'*}
[ -n "$dialog" ] || { echo "The job dialog did not appear." >&2; exit 1; }
sleep 3
# The dialog is cut out of the screen: a transient window alone comes out black.
eval "$(xdotool getwindowgeometry --shell "$dialog")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out_dir/station-job.png"
echo "Wrote $out_dir/modem-settings.png, $out_dir/comms-setup.png, $out_dir/operator-view.png,"
echo "$out_dir/station.png and $out_dir/station-job.png"
