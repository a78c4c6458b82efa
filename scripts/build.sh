#!/bin/sh
# First command of the README: installs what is missing, builds the tool for
# Windows and for Linux, and shows what it does on a scratch machine.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh
for preset in windows host; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
echo
echo "built: build/windows/veltrax-place.exe and build/host/veltrax-place"
sh scripts/demo.sh
