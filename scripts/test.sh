#!/bin/sh
# Second command of the README: installs what is missing, builds, and runs the
# suite as one ctest run (Linux natively, and the exe under Wine).
#
#   sh scripts/test.sh          the quick tier: every test program and check of
#                               both targets, at small counts (a few minutes)
#   sh scripts/test.sh --full   the full tier: the same at full counts, and the
#                               sanitizer tree (CI, and before a release)
#
# The tiers differ only in how much they repeat; docs/testing.md has the
# counts.
set -eu
cd "$(dirname "$0")/.."

case "${1:-}" in
    "") tier=quick presets="host windows" ;;
    --full) tier=full presets="host host-asan windows" ;;
    *) echo "usage: sh scripts/test.sh [--full]" >&2; exit 2 ;;
esac

sh scripts/install-deps.sh
trees=""
for preset in $presets; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    trees="$trees \"$PWD/build/$preset\""
done

# One ctest run over the tier's build trees, so there is one summary.
mkdir -p build/all
echo "subdirs($trees)" >build/all/CTestTestfile.cmake
export VELTRAX_TEST_TIER=$tier
status=0
(cd build/all && ctest --output-on-failure -j 2 --timeout 900) || status=$?

# Each Wine prefix's server was started persistent for the run; stop them.
for prefix in "$PWD"/build/windows/wineprefix*; do
    [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true
done
if [ "$tier" = quick ]; then
    echo "That was the quick tier (reduced counts, no sanitizer tree)."
    echo "The whole proof, as CI runs it: sh scripts/test.sh --full"
fi
exit $status
