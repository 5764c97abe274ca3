#!/usr/bin/env bash
# Starts the tool. With no USB or ACM serial adapter attached (or EMULATOR=1),
# an emulated module is started first and registered as port 1 in a settings
# store of its own under the build directory; it is stopped when the tool exits.
# EMULATOR=0 runs the tool against the real ports with the user's own settings.
set -euo pipefail

build_dir=${1:-build}
tool="$build_dir/korva-setup"
emulator="$build_dir/korva-module-emulator"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi

use_emulator=${EMULATOR:-auto}
if [ "$use_emulator" = auto ]; then
    if compgen -G "/dev/ttyUSB*" >/dev/null || compgen -G "/dev/ttyACM*" >/dev/null; then
        use_emulator=0
    else
        use_emulator=1
    fi
fi
if [ "$use_emulator" = 0 ]; then
    exec "$tool"
fi

export XDG_CONFIG_HOME="$PWD/$build_dir/run-config"
mkdir -p "$XDG_CONFIG_HOME"
log="$build_dir/module-emulator.log"
"$emulator" --port 1 --log >"$log" 2>&1 &
emulator_pid=$!
trap 'kill "$emulator_pid" 2>/dev/null; wait "$emulator_pid" 2>/dev/null || true' EXIT

# The emulator prints its device first; wait until it has registered itself.
for _ in $(seq 1 100); do
    [ -s "$log" ] && break
    kill -0 "$emulator_pid" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.05
done
echo "Module emulator on $(head -n 1 "$log") as port 1; its wire log: $log"
"$tool"
