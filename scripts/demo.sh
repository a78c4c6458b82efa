#!/bin/sh
# Shows what veltrax-place does: seeds a scratch machine with the utility's
# x86 layout and an empty battery-meter slot, then runs -i, -panelOn,
# -panelOff and -u, listing the program folders and the registry keys the
# tool touches after each step. Once under Wine with the Windows exe, once
# with the Linux build against a machine folder.
set -eu
cd "$(dirname "$0")/.."
top=$PWD
demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo"

languages="CS-CZ DA-DK DE-DE EL-GR EN-US ES-ES FI-FI FR-FR HU-HU IT-IT JA-JP KO-KR NB-NO NL-NL PL-PL PT-PT RU-RU SK-SK SV-SE TR-TR ZH-CN"
slot='SOFTWARE\Microsoft\Windows\CurrentVersion\Applets\SysTray\BattMeter\ContextMenu\3'
notify='SOFTWARE\Veltrax\Glimmertab\Notify'

# seed DRIVE_C: the utility in the 32-bit folder, with made-up contents.
seed() {
    x86="$1/Program Files (x86)/VELTRAX"
    mkdir -p "$x86/Utilities" "$x86/Startmenu"
    printf 'MZ made-up Corvint.exe\n' > "$x86/Utilities/Corvint.exe"
    printf 'MZ made-up Corvint.dll\n' > "$x86/Utilities/Corvint.dll"
    for language in $languages; do
        mkdir -p "$x86/Utilities/$language"
        printf 'made-up %s resources\n' "$language" > "$x86/Utilities/$language/corvint.dll.mui"
    done
    head -c 120000 /dev/zero | tr '\0' 'L' > "$x86/Startmenu/Orbandisplex.dll"
}

# list DRIVE_C: the files of both program folders with their sizes; the 21
# language files and folders are counted rather than listed.
list() {
    for folder in "Program Files" "Program Files (x86)"; do
        if [ ! -d "$1/$folder/VELTRAX" ]; then
            printf '  C:\\%s\\VELTRAX: (none)\n' "$folder"
            continue
        fi
        printf '  C:\\%s\\VELTRAX\n' "$folder"
        (
            cd "$1/$folder/VELTRAX"
            find . -type f ! -name corvint.dll.mui -printf '      %P  (%s bytes)\n' | sort | tr '/' '\\'
            printf '      Utilities\\<language>\\corvint.dll.mui: %s files; language folders: %s\n' \
                "$(find . -type f -name corvint.dll.mui | wc -l)" \
                "$(find . -mindepth 2 -maxdepth 2 -type d -path './Utilities/*' | wc -l)"
        )
    done
}

step() {
    echo
    echo "== $1"
}

# ---------------------------------------------------------------- Windows
wine_run() { VELTRAX_WINEPREFIX="$demo/wineprefix" "$top/build/windows/wine-run.sh" "$@"; }
wine_keys() {
    for key in "$notify" "$slot"; do
        if out=$(wine_run reg query "HKLM\\$key" /s 2>/dev/null); then
            printf '%s\n' "$out" | tr -d '\r' | grep -v '^$' | sed 's/^/  /'
        else
            printf '  HKLM\\%s: (no such key)\n' "$key"
        fi
    done
}

echo "==================== veltrax-place.exe under Wine (prefix: build/demo/wineprefix)"
wine_run cmd /c exit >/dev/null 2>&1  # boots the prefix
drive_c="$demo/wineprefix/drive_c"
seed "$drive_c"
wine_run reg add "HKLM\\$slot" /v Application /t REG_EXPAND_SZ /d "" /f >/dev/null
step "before"
list "$drive_c"
wine_keys
for option in -i -panelOn -panelOff -u; do
    status=0
    wine_run "$top/build/windows/veltrax-place.exe" "$option" || status=$?
    step "after veltrax-place.exe $option (exit code $status)"
    list "$drive_c"
    wine_keys
done

WINEPREFIX="$demo/wineprefix" wineserver -k </dev/null >/dev/null 2>&1 || true

# ------------------------------------------------------------------- Linux
echo
echo "==================== build/host/veltrax-place (machine folder: build/demo/host)"
root="$demo/host"
mkdir -p "$root/drive_c"
seed "$root/drive_c"
/usr/bin/python3 scripts/hklm.py "$root" set "$slot" Application 2 ""
step "before"
list "$root/drive_c"
/usr/bin/python3 scripts/hklm.py "$root" dump "$notify" "$slot"
for option in -i -panelOn -panelOff -u; do
    status=0
    VELTRAX_PLACE_ROOT="$root" build/host/veltrax-place "$option" || status=$?
    step "after veltrax-place $option (exit code $status)"
    list "$root/drive_c"
    /usr/bin/python3 scripts/hklm.py "$root" dump "$notify" "$slot"
done
