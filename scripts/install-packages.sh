#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet,
# quietly. Prints the command to run when it cannot install them itself.
set -euo pipefail

missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

command="apt-get update && apt-get install -y ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo=(sudo)
else
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo sh -c '$command'" >&2
    exit 1
fi

echo "Installing ${missing[*]} ..."
export DEBIAN_FRONTEND=noninteractive
if ! { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; } >/tmp/korva-apt.log 2>&1; then
    tail -n 20 /tmp/korva-apt.log >&2
    echo "Could not install the packages. Run: sudo sh -c '$command'" >&2
    exit 1
fi
