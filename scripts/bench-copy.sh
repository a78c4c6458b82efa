#!/bin/sh
# Benchmark: copy_file (host build) against cp + sync of the same 256 MiB file.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target copy_benchmark >/dev/null
exec build/host/copy_benchmark "${1:-256}" "${2:-5}"
