#!/bin/sh
# The verification kit run as a user would: copied into a fresh Wine prefix
# and started with "cmd /c verify.cmd". Every refusal changes nothing; a kit
# folder that others may change is refused; what a user plants (links where
# the run copy once went, a program, settings of the test framework, an
# ERRORLEVEL, a product of their own) turns nothing; a second run is refused
# while one runs; the programs make their scratch folders inside the run's
# protected copy; whatever an earlier run left (cut short while saving or
# after, or a give-back that failed) is finished only by /finish, never over
# the maker's utility; earlier results are kept; and one whole run of the
# kit, at reduced counts, passes and leaves the machine as it found it. The
# scenarios that need no whole run use the kit cut down to small programs.
#   kit_test.sh SOURCE_DIR KIT_DIR WINE_RUN WINEPREFIX BROKEN_EXE FAILING_RUNNER
set -eu
source_dir=$1 kit=$2 wine_run=$3 prefix=$4 broken=$5 failing_runner=$6
case $prefix in */wineprefix-kit) ;; *) echo "not a kit prefix: $prefix" >&2; exit 1 ;; esac
export VELTRAX_WINEPREFIX="$prefix" VELTRAX_WINE_TIMEOUT=1200
drive=$prefix/drive_c
# The prefix's server (and the services it keeps running) ends with the test.
out=$(mktemp) && trap 'rm -f "$out"; WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
wine() { "$wine_run" "$@"; }
verify() {  # verify FOLDER [ARGS]: runs FOLDER\verify.cmd as a user would; its exit status
    status=0
    folder=$1
    shift
    wine cmd /c "C:\\$folder\\verify.cmd" "$@" >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out" | sed 's/^/    /'
    return $status
}
last_line() { tr -d '\r' <"$out" | grep . | tail -1; }
battmeter='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Applets\SysTray\BattMeter'
state='HKLM\SOFTWARE\veltrax-place-verify'
# What the kit must leave as it found it: the keys it saves and the ones the
# tests make, the folders of the utility, the tool, the kit's own state.
machine() {
    for key in "$battmeter" 'HKLM\SOFTWARE\Veltrax' 'HKLM\SOFTWARE\veltrax-place' "$state"; do
        printf '== %s\n' "$key"
        wine reg query "$key" /s 2>/dev/null | tr -d '\r'  # nothing when the key is absent
    done
    printf '== %s\n' 'HKLM\SOFTWARE'
    wine reg query 'HKLM\SOFTWARE' | tr -d '\r' | grep -i -e veltrax -e planted || true
    echo "== products"
    wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' | tr -d '\r' | grep '{' || true
    echo "== folders"
    # The planted links themselves may go; what they point to is checked apart.
    (cd "$drive" && find "Program Files" "Program Files (x86)" ProgramData veltrax-* victim -maxdepth 1 2>/dev/null |
        grep -i -e veltrax -e victim | grep -v planted | sort) || true
}
same_machine() {  # same_machine WHAT
    now=$(machine)
    [ "$now" = "$before" ] || fail "$1: the machine is not as the kit found it:
$(printf '%s\n' "$before" >"$out.before"; printf '%s\n' "$now" | diff "$out.before" - ; rm -f "$out.before")"
}
refused() {  # refused WHAT FOLDER [ARGS]: exit code 2, one line, no results\ made
    what=$1
    shift
    had_results=$([ -d "$drive/$1/results" ] && echo yes || true)
    if verify "$@"; then fail "$what: accepted"; else status=$?; fi
    [ "$status" -eq 2 ] || fail "$what: exit status $status, expected 2"
    [ "$(tr -d '\r' <"$out" | grep -c .)" -eq 1 ] && grep -q '^verify: refused: ' "$out" || fail "$what: not one line"
    [ -n "$had_results" ] || [ ! -d "$drive/$1/results" ] || fail "$what: results\\ was made"
}
# A copy of the kit in C:\NAME with only the programs named (and the runner
# given, if one is), the runner's manifest and SHA256SUMS written anew.
cut_down_kit() {  # cut_down_kit NAME RUNNER PROGRAM...
    name=$1 runner=$2
    shift 2
    rm -rf "${drive:?}/$name"
    cp -r "$kit" "$drive/$name"
    rm "$drive/$name/"*_tests.exe
    for program in "$@"; do cp "$kit/$program.exe" "$drive/$name/"; done
    [ -z "$runner" ] || cp "$runner" "$drive/$name/verify-kit.exe"
    remade "$name"
}
remade() {  # remade NAME: the runner's manifest and SHA256SUMS of C:\NAME written anew
    sh "$source_dir/kit/make-kit.sh" embed "$drive/$1" && sh "$source_dir/kit/make-kit.sh" sums "$drive/$1"
}
tests_of() {  # tests_of PROGRAM: how many tests it has
    wine "$kit/$1.exe" --gtest_list_tests | tr -d '\r' | grep -c '^  '
}
xml_count() {  # xml_count FOLDER PROGRAM ATTRIBUTE
    tr -d '\r' <"$drive/$1/results/$2.xml" | grep -o "<testsuites [^>]*" | grep -o " $3=\"[0-9]*\"" | tr -dc 0-9
}
saved_mark() { wine reg query "$state" /v saved >/dev/null 2>&1; }

echo "a fresh prefix, the kit in C:/kit, a battery meter with an entry of another program"
WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true  # the server of the prefix about to go
rm -rf "$prefix" "$prefix.lock" "$prefix.boot.log"
wine reg add "$battmeter\\ContextMenu\\1" /v Application /t REG_EXPAND_SZ /d 'C:\other\tool.exe' /f >/dev/null
wine reg add "$battmeter\\ContextMenu\\3" /v Application /t REG_EXPAND_SZ /d '' /f >/dev/null
cp -r "$kit" "$drive/kit"
# What a standard user may plant: a link where tests once left scratch
# folders, to a folder that holds a file.
mkdir -p "$drive/victim"
echo "someone's file" >"$drive/victim/document.txt"
ln -s "$drive/victim" "$drive/veltrax-scratch-planted"
before=$(machine)
printf '%s\n' "$before" | grep -qF 'other\tool.exe' || fail "the seeded battery meter is not there: $before"

echo "refusals: exit code 2, one line, nothing changed"
refused "an unknown argument" kit /force
echo "not a folder" >"$drive/kit/results"
refused "a folder where results\\ cannot be written" kit
rm "$drive/kit/results"
mkdir -p "$drive/Program Files (x86)/VELTRAX/Utilities"
echo "the maker's utility" >"$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe"
holding=$(machine)
refused "a machine holding the utility" kit
[ "$(machine)" = "$holding" ] || fail "the refusal on a machine holding the utility changed it"
rm -rf "$drive/Program Files (x86)/VELTRAX"
product=$(msiinfo export "$kit/packages/base.msi" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductCode" {print $2}')
wine msiexec /i 'C:\kit\packages\base.msi' /qn REBOOT=ReallySuppress >/dev/null 2>&1 || fail "cannot install the package"
refused "a machine holding the kit's package" kit
grep -q "the installed package $product" "$out" || fail "the refusal does not name the kit's product $product"
wine msiexec /x "$product" /qn REBOOT=ReallySuppress >/dev/null 2>&1 || fail "cannot uninstall the package"
rm -rf "$drive/Program Files/VELTRAX" "$drive/Program Files (x86)/VELTRAX"  # what the package's tool placed
wine reg delete 'HKLM\SOFTWARE\Veltrax' /f >/dev/null
# The kit's product registered for this user too (msiexec /x of its code would remove that one), packed.
user_product="HKCU\\Software\\Microsoft\\Installer\\Products\\$(echo "$product" | tr -d '{}-' |
    awk '{for (at = 1; at <= 32; at += w) {w = at < 17 ? (at < 9 ? 8 : 4) : 2; for (i = at + w - 1; i >= at; i--) printf "%s", substr($0, i, 1)}}')"
wine reg add "$user_product" /f >/dev/null
refused "the kit's product registered for this user" kit
grep -qF "$product is registered for this user" "$out" || fail "the refusal does not name the user's $product"
wine reg delete "$user_product" /f >/dev/null
cp -r "$kit" "$drive/kit-damaged"
echo "changed" >>"$drive/kit-damaged/packages/minor.msi"
refused "a changed file" kit-damaged
cp "$kit/packages/minor.msi" "$drive/kit-damaged/packages/"
rm "$drive/kit-damaged/property_tests.exe"
refused "a missing file" kit-damaged
rm -rf "$drive/kit-damaged"
ln -s "$drive/kit" "$drive/kit-link"
refused "a kit reached through a link" kit-link
grep -q 'link' "$out" || fail "the refusal does not say the kit is reached through a link"
rm "$drive/kit-link"
mkdir -p "$drive/open" && cp -r "$kit" "$drive/open/kit" && chmod 0777 "$drive/open"
refused "a folder above the kit that every user may change" 'open\kit'
grep -q 'a folder above the kit' "$out" || fail "the refusal does not name the folder above"
rm -rf "$drive/open"
# Under Wine a file's DACL is its Unix mode: o+w is a write for Everyone.
chmod 0777 "$drive/kit"
refused "a kit folder every user may change" kit
grep -q 'only SYSTEM and Administrators own and can change' "$out" || fail "the refusal does not say where to unzip instead"
! grep -q 'C:\\veltrax' "$out" || fail "the refusal suggests a folder under C:\\"
chmod 0755 "$drive/kit"
chmod 0666 "$drive/kit/VERIFY.txt"
refused "a file in the kit every user may change" kit
chmod 0644 "$drive/kit/VERIFY.txt"
same_machine "the refusals"

echo "a run with the test framework's and the kit's settings in its environment and a program the runner does not carry, and a second run while it runs"
cut_down_kit small "" e2e_tests property_tests
# A product of the package's upgrade code that the user installed for
# themselves: its registration in their own hive (Wine's msiexec installs no
# per-user product of this package, and drops this key when it removes one).
own_product='HKCU\Software\Microsoft\Installer\UpgradeCodes\1A238FC8D7C8D9741A6B15FACA04FEC5'  # the package's, packed
wine reg add "$own_product" /v 0123456789ABCDEF0123456789ABCDEF /d '' /f >/dev/null
cp "$broken" "$drive/small/planted_tests.exe"
sh "$source_dir/kit/make-kit.sh" sums "$drive/small"
GTEST_FILTER=-* TESTBRIDGE_TEST_ONLY=NoSuchTest VELTRAX_PROPERTY_RUNS=0 GTEST_TOTAL_SHARDS=4 GTEST_SHARD_INDEX=1 \
    TEST_PREMATURE_EXIT_FILE='C:\victim\document.txt' ProgramData='C:\victim' \
    "$wine_run" cmd /c 'C:\small\verify.cmd' /reduced >"$out.first" 2>&1 &
first=$!
for _ in $(seq 1 240); do
    ls "$drive/small/results/"*.log >/dev/null 2>&1 && break
    sleep 0.5
done
[ -d "$drive/small/run" ] || fail "the run's copy is not in the kit's folder"
refused "a second run" small
wait "$first" || fail "the first run exited $?: $(tr -d '\r' <"$out.first")"
tr -d '\r' <"$out.first" | sed 's/^/    /'
grep -q "not the kit's, left alone: the product {76543210-BA98-FEDC-1032-547698BADCFE} installed for this user" "$out.first" ||
    fail "the run does not name the user's own product"
wine reg delete "$own_product" /v 0123456789ABCDEF0123456789ABCDEF /f >/dev/null || fail "the user's own product was touched"
wine reg delete "$own_product" /f >/dev/null
[ "$(xml_count small e2e_tests tests)" = "$(tests_of e2e_tests)" ] || fail "the environment changed which tests ran"
grep -q 'name="sequences" value="5"' "$drive/small/results/property_tests.xml" ||
    fail "VELTRAX_PROPERTY_RUNS from the environment reached the property test"
tr -d '\r' <"$out.first" | grep . | tail -1 | grep -Eq '^[1-9][0-9]* passed, 0 failed \(reduced\)$' ||
    fail "a reduced run does not say so"
grep -q "reduced" "$drive/small/results/summary.txt" || fail "summary.txt does not say the run was reduced"
rm -f "$out.first"
[ ! -e "$drive/small/results/planted_tests.xml" ] && ! grep -q planted "$drive/small/results/summary.txt" ||
    fail "the runner ran a program it does not carry"
rm "$drive/small/planted_tests.exe"
sh "$source_dir/kit/make-kit.sh" sums "$drive/small"
same_machine "a run beside planted settings and links"
[ "$(cat "$drive/victim/document.txt")" = "someone's file" ] || fail "a program wrote or deleted a file the environment named"
[ ! -e "$drive/small/run" ] || fail "the run's copy stayed"

echo "a run cut short while a program works in its scratch folder, then the maker's utility on the machine"
"$wine_run" cmd /c 'C:\small\verify.cmd' /reduced >"$out.cut" 2>&1 &
runner=$!
# Each test's scratch folder lives as long as the test: its mode is read
# while one is there (a finished test's may go between a look and a stat).
# An admin-only DACL shows under Wine as 750: the owner's and the
# Administrators' entries as the owner's and the group's bits (the group's
# without write), nothing for others. A DACL that lets Everyone or Users in
# would set bits for others.
mode=
for _ in $(seq 1 600); do
    mode=$(stat -c %a "$drive"/small/run/scratch-* 2>/dev/null | head -1)
    [ -n "$mode" ] && break
    kill -0 "$runner" 2>/dev/null || break  # it ended without one
    sleep 0.2
done
[ -n "$mode" ] || fail "no program made its scratch folder in the run's copy; the run said: $(tr -d '\r' <"$out.cut")"
rm -f "$out.cut"
[ $((0$mode & 027)) -eq 0 ] || fail "a program's scratch folder has mode $mode: others or the group may change it"
[ -z "$(cd "$drive" && ls -d veltrax-scratch-* 2>/dev/null | grep -v planted)" ] || fail "a program made a folder under C:\\"
# A closed console window ends every program in it.
for program in verify-kit e2e_tests property_tests veltrax-place; do
    wine taskkill /f /im "$program.exe" >/dev/null 2>&1 || true
done
wait "$runner" || true
saved_mark || fail "the run was not cut short while its keys were saved"
mkdir -p "$drive/Program Files (x86)/VELTRAX/Utilities"
echo "the maker's utility" >"$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe"
refused "an earlier run's leftovers beside the maker's utility" small
grep -q "verify.cmd /finish will uninstall or delete .*C:.Program Files (x86).VELTRAX" "$out" ||
    fail "the refusal does not say what /finish deletes"
[ "$(cat "$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe")" = "the maker's utility" ] ||
    fail "the maker's utility did not survive"
rm -rf "$drive/Program Files (x86)/VELTRAX"
refused "an earlier run's leftovers on a machine without the utility" small
grep -q "run verify.cmd /finish" "$out" || fail "the refusal does not name /finish"
verify small /finish || fail "/finish exited $?"
same_machine "/finish"
ls "$drive"/small/results-*/summary.txt >/dev/null 2>&1 || fail "the first run's results were not kept"

echo "a run cut short while saving, then the maker's utility on the machine"
wine reg add "$state" /f >/dev/null
mkdir -p "$drive/Program Files (x86)/VELTRAX/Utilities"
echo "the maker's utility" >"$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe"
refused "a half-saved state beside the maker's utility" small
grep -q "half saved.*run verify.cmd /finish" "$out" || fail "the refusal does not name the half-saved state and /finish"
[ "$(cat "$drive/Program Files (x86)/VELTRAX/Utilities/Corvint.exe")" = "the maker's utility" ] ||
    fail "the maker's utility did not survive"
rm -rf "$drive/Program Files (x86)/VELTRAX"
refused "a half-saved state" small
verify small /finish || fail "/finish of a half-saved state exited $?"
same_machine "/finish of a half-saved state"

echo "a give-back that fails keeps what it saved; the next run finishes it"
cut_down_kit failing "$failing_runner" e2e_tests
cp "$broken" "$drive/failing/veltrax-place.exe"
remade failing
# An ERRORLEVEL in the environment does not stand in for the runner's exit code.
export ERRORLEVEL=0
if verify failing /reduced; then fail "a failed give-back exited 0"; else status=$?; fi
unset ERRORLEVEL
[ "$status" -eq 1 ] || fail "a failed give-back: exit status $status, expected 1"
grep -q "^verify: could not give back HKLM.*BattMeter.*verify.cmd /finish" "$out" || fail "no line says what was not given back"
last_line | grep -Eq '^[0-9]+ passed, [1-9][0-9]* failed \(reduced\) \(not all given back\)$' ||
    fail "a broken exe and a failed give-back: last line $(last_line)"
grep -q "could not give back" "$drive/failing/results/summary.txt" || fail "summary.txt does not say what was not given back"
saved_mark || fail "the saved keys were dropped although they were not given back"
refused "a run after a failed give-back" small
verify small /finish || fail "/finish after a failed give-back exited $?"
same_machine "/finish after a failed give-back"

# The full tier runs the whole kit; the quick tier a kit cut down to three
# of its programs (each program runs in its own ctest entry in both tiers).
if [ "${VELTRAX_TEST_TIER:-full}" = quick ]; then
    echo "the kit cut down to three programs, at reduced counts, on a machine waiting for a restart"
    cut_down_kit kit "" seam_contract_tests e2e_tests property_tests
else
    echo "the whole kit, at reduced counts, on a machine waiting for a restart"
fi
session='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
wine reg add "$session" /v PendingFileRenameOperations /t REG_MULTI_SZ /d 'C:\old.dll' /f >/dev/null
verify kit /reduced || fail "verify.cmd exited $? on a clean machine"
grep -q "^restart: .*PendingFileRenameOperations" "$drive/kit/results/summary.txt" || fail "summary.txt does not name the pending restart"
wine reg delete "$session" /v PendingFileRenameOperations /f >/dev/null
last=$(last_line)
printf '%s\n' "$last" | grep -Eq '^[1-9][0-9]* passed, 0 failed \(reduced\)$' || fail "last line: $last"
programs=$(cd "$drive/kit" && ls -- *_tests.exe | sed 's/\.exe$//')
for program in $programs; do
    grep -q '<testsuites tests="[1-9]' "$drive/kit/results/$program.xml" || fail "no JUnit results for $program"
    grep -q "^$program .* 0 failed" "$drive/kit/results/summary.txt" || fail "summary.txt has no line for $program"
done
grep -q "sha256 $(sha256sum "$kit/veltrax-place.exe" | cut -d' ' -f1)" "$drive/kit/results/summary.txt" ||
    fail "summary.txt does not name the exe's checksum"
[ "$(tr -d '\r' <"$drive/kit/results/summary.txt" | tail -1)" = "$last" ] || fail "summary.txt does not end with the counts"
same_machine "the whole kit"
[ -f "$drive/victim/document.txt" ] || fail "a file behind a link was deleted"
echo "all kit checks passed"
