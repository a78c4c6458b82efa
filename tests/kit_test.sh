#!/bin/sh
# The verification kit run as a user would: copied into a fresh Wine prefix
# and started with "cmd /c verify.cmd". Every refusal changes nothing; a run
# cut short is finished by the next, which passes, writes its results and
# leaves the machine as it found it; a kit whose exe is swapped for a broken
# one reports failures and exits 1.
#   kit_test.sh SOURCE_DIR KIT_DIR WINE_RUN WINEPREFIX BROKEN_EXE
set -eu
source_dir=$1 kit=$2 wine_run=$3 prefix=$4 broken=$5
case $prefix in */wineprefix-kit) ;; *) echo "not a kit prefix: $prefix" >&2; exit 1 ;; esac
export VELTRAX_WINEPREFIX="$prefix" VELTRAX_WINE_TIMEOUT=1200
drive=$prefix/drive_c
out=$(mktemp) && trap 'rm -f "$out"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
wine() { "$wine_run" "$@"; }
verify() {  # verify FOLDER [ARGS]: runs FOLDER\verify.cmd as a user would; its exit status
    status=0
    wine cmd /c "C:\\$1\\verify.cmd" ${2:+"$2"} >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out" | sed 's/^/    /'
    return $status
}
last_line() { tr -d '\r' <"$out" | grep . | tail -1; }
battmeter='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Applets\SysTray\BattMeter'
# What the kit must leave as it found it: the keys it saves and the ones the
# tests make, the folders of the utility, the tool, the kit's own state.
machine() {
    for key in "$battmeter" 'HKLM\SOFTWARE\Veltrax' 'HKLM\SOFTWARE\veltrax-place'; do
        printf '== %s\n' "$key"
        wine reg query "$key" /s 2>/dev/null | tr -d '\r'  # nothing when the key is absent
    done
    printf '== %s\n' 'HKLM\SOFTWARE'
    wine reg query 'HKLM\SOFTWARE' | tr -d '\r' | grep -i veltrax || true
    echo "== products"
    wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' | tr -d '\r' | grep '{' || true
    echo "== folders"
    (cd "$drive" && ls -d "Program Files"/* "Program Files (x86)"/* ProgramData/* veltrax-* 2>/dev/null | grep -i veltrax) || true
}

echo "a fresh prefix, the kit in C:/kit, a battery meter with an entry of another program"
wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix" "$prefix.lock" "$prefix.boot.log"
wine reg add "$battmeter\\ContextMenu\\1" /v Application /t REG_EXPAND_SZ /d 'C:\other\tool.exe' /f >/dev/null
wine reg add "$battmeter\\ContextMenu\\3" /v Application /t REG_EXPAND_SZ /d '' /f >/dev/null
cp -r "$kit" "$drive/kit"
before=$(machine)
printf '%s\n' "$before" | grep -qF 'other\tool.exe' || fail "the seeded battery meter is not there: $before"

echo "refusals: exit code 2, one line, nothing changed"
refused() {  # refused WHAT FOLDER [ARGS]
    what=$1
    shift
    if verify "$@"; then fail "$what: accepted"; else status=$?; fi
    [ "$status" -eq 2 ] || fail "$what: exit status $status, expected 2"
    [ "$(tr -d '\r' <"$out" | grep -c .)" -eq 1 ] && grep -q '^verify: refused: ' "$out" || fail "$what: not one line"
    [ ! -d "$drive/$1/results" ] || fail "$what: results\\ was made"
}
refused "an unknown argument" kit /force
echo "not a folder" >"$drive/kit/results"
refused "a folder where results\\ cannot be written" kit
rm "$drive/kit/results"
[ "$(machine)" = "$before" ] || fail "an unknown argument changed the machine"
mkdir -p "$drive/Program Files (x86)/VELTRAX/Utilities"
echo "the maker's utility" >"$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe"
holding=$(machine)
refused "a machine holding the utility" kit
[ "$(machine)" = "$holding" ] || fail "the refusal on a machine holding the utility changed it"
rm -rf "$drive/Program Files (x86)/VELTRAX"
cp -r "$kit" "$drive/kit-damaged"
echo "changed" >>"$drive/kit-damaged/packages/minor.msi"
refused "a changed file" kit-damaged
cp "$kit/packages/minor.msi" "$drive/kit-damaged/packages/"
rm "$drive/kit-damaged/property_tests.exe"
refused "a missing file" kit-damaged
rm -rf "$drive/kit-damaged"
[ "$(machine)" = "$before" ] || fail "the refusals changed the machine"

echo "a run cut short, as by a closed window"
"$wine_run" cmd /c 'C:\kit\verify.cmd' >/dev/null 2>&1 &
runner=$!
programs=$(cd "$kit" && ls -- *_tests.exe | sed 's/\.exe$//')
started() { ls "$drive/kit/results/"*.log 2>/dev/null | wc -l; }
for _ in $(seq 1 240); do
    [ "$(started)" -ge 2 ] && break
    sleep 0.5
done
[ "$(started)" -ge 2 ] || fail "the first run never reached its second program"
# A closed console window ends every program in it.
for program in verify-kit $programs; do wine taskkill /f /im "$program.exe" >/dev/null 2>&1 || true; done
wait "$runner" || true
[ -f "$drive/ProgramData/veltrax-place-verify/saved" ] || fail "the run was not cut short while its keys were saved"

echo "the next run finishes the first, then passes"
verify kit || fail "verify.cmd exited $? on a clean machine"
grep -q "an earlier run was cut short" "$out" || fail "the run cut short was not noticed"
last=$(last_line)
printf '%s\n' "$last" | grep -Eq '^[1-9][0-9]* passed, 0 failed$' || fail "last line: $last"
for program in $programs; do
    grep -q '<testsuites tests="[1-9]' "$drive/kit/results/$program.xml" || fail "no JUnit results for $program"
    grep -q "^$program .* 0 failed" "$drive/kit/results/summary.txt" || fail "summary.txt has no line for $program"
done
grep -q "sha256 $(sha256sum "$kit/veltrax-place.exe" | cut -d' ' -f1)" "$drive/kit/results/summary.txt" ||
    fail "summary.txt does not name the exe's checksum"
[ "$(tr -d '\r' <"$drive/kit/results/summary.txt" | tail -1)" = "$last" ] || fail "summary.txt does not end with the counts"
after=$(machine)
[ "$after" = "$before" ] || fail "the machine is not as the kit found it:
$(printf '%s\n' "$before" >"$out.before"; printf '%s\n' "$after" | diff "$out.before" - ; rm -f "$out.before")"

echo "a kit whose exe is broken fails"
cp -r "$kit" "$drive/kit-broken"
cp "$broken" "$drive/kit-broken/veltrax-place.exe"
sh "$source_dir/kit/make-kit.sh" sums "$drive/kit-broken"
if VELTRAX_PROPERTY_RUNS=3 verify kit-broken; then fail "a broken exe passed"; else status=$?; fi
[ "$status" -eq 1 ] || fail "a broken exe: exit status $status, expected 1"
last_line | grep -Eq '^[0-9]+ passed, [1-9][0-9]* failed$' || fail "a broken exe: last line $(last_line)"
[ "$(machine)" = "$before" ] || fail "the failing run did not leave the machine as it found it"
rm -rf "$drive/kit-broken"
echo "all kit checks passed"
