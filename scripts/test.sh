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
# counts. The full tier proves only what ran: it fails when a test was
# skipped or not run (naming each), and both fail when there is no test.
set -eu
cd "$(dirname "$0")/.."

case "${1:-}" in
    "") tier=quick presets="host windows" ;;
    --full) tier=full presets="host host-asan windows" ;;
    *) echo "usage: sh scripts/test.sh [--full]" >&2; exit 2 ;;
esac

# GCC 12's AddressSanitizer loops on "AddressSanitizer:DEADLYSIGNAL" where
# mmap is randomised with more than 28 bits: say so, rather than hang.
rnd_bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)
if [ "$tier" = full ] && [ "$rnd_bits" -gt 28 ]; then
    echo "test.sh: vm.mmap_rnd_bits is $rnd_bits here, and the sanitizer tree's AddressSanitizer (GCC 12)" \
        "cannot start above 28: as root, sysctl -w vm.mmap_rnd_bits=28, then run the full tier again" >&2
    exit 1
fi

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
results=$PWD/build/all/results.xml
rm -f "$results"
status=0
(cd build/all && ctest --output-on-failure -j 2 --timeout 900 --no-tests=error --output-junit "$results") || status=$?

# ctest counts a skipped test (GoogleTest's GTEST_SKIP, a script's exit 77)
# as passed and a disabled one as not run, and exits 0: the full tier
# fails on both, naming them, from ctest's JUnit report.
if [ "$tier" = full ]; then
    python3 - "$results" <<'PY' || status=1
import sys
import xml.etree.ElementTree as ET

def why(case):  # GoogleTest's reason, or the test's last line, and ctest's word
    out = [line for line in (case.findtext("system-out") or "").splitlines() if line.strip()]
    reason = next((line for before, line in zip(out, out[1:]) if before.endswith(": Skipped")), out[-1] if out else "")
    skipped = case.find("skipped")
    return "; ".join(filter(None, [reason, skipped.get("message") if skipped is not None else case.get("status")]))

try:
    cases = list(ET.parse(sys.argv[1]).getroot().iter("testcase"))
except (OSError, ET.ParseError) as error:
    sys.exit("test.sh: cannot read ctest's report %s: %s" % (sys.argv[1], error))
unproved = ["%s (%s)" % (case.get("name"), why(case)) for case in cases if case.get("status") not in ("run", "fail")]
if not cases or unproved:
    print("test.sh: the full tier needs every test to run; %s" % (
        "there were no tests" if not cases else "%d did not: %s" % (len(unproved), ", ".join(unproved))),
        file=sys.stderr)
    sys.exit(1)
PY
fi

# Each Wine prefix's server was started persistent for the run; stop them.
for prefix in "$PWD"/build/windows/wineprefix*; do
    [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true
done
if [ "$tier" = quick ]; then
    echo "That was the quick tier (reduced counts, no sanitizer tree; a test that could not run here is listed"
    echo "above as not run, and only the full tier fails on it)."
    echo "The whole proof, as CI runs it: sh scripts/test.sh --full"
fi
exit $status
