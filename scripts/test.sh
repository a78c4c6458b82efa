#!/bin/sh
# Second command of the README: installs what is missing, builds everything,
# and runs the whole suite (Linux natively, again with sanitizers, and Windows
# under Wine) as one ctest run.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh
for preset in host host-asan windows; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

# One ctest run over every build tree, so there is one summary.
mkdir -p build/all
cat > build/all/CTestTestfile.cmake <<CTEST
subdirs("$PWD/build/host" "$PWD/build/host-asan" "$PWD/build/windows")
CTEST
status=0
(cd build/all && ctest --output-on-failure -j 2 --timeout 900) || status=$?

# Each Wine prefix's server was started persistent for the run; stop them.
for prefix in "$PWD"/build/windows/wineprefix*; do
    [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true
done
exit $status
