#!/bin/sh
# Runs the host tool under valgrind memcheck for every option on a seeded
# machine folder; any memory error or leak fails.
set -eu
valgrind=$1
tool=$2
root=$(mktemp -d /tmp/veltrax-valgrind-XXXXXX)
trap 'rm -rf "$root"' EXIT

x86="$root/drive_c/Program Files (x86)/VELTRAX"
mkdir -p "$x86/Utilities/DE-DE" "$x86/Startmenu"
printf 'exe' > "$x86/Utilities/Corvint.exe"
printf 'mui' > "$x86/Utilities/DE-DE/corvint.dll.mui"
head -c 150000 /dev/zero > "$x86/Startmenu/Orbandisplex.dll"

status=0
for option in -i -panelOn -panelOff -u -x ""; do
    code=0
    VELTRAX_PLACE_ROOT="$root" "$valgrind" --quiet --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect,possible "$tool" $option || code=$?
    echo "option '$option': exit $code"
    [ "$code" = 99 ] && status=1
done
[ -f "$root/drive_c/Program Files/VELTRAX/Startmenu/Orbandisplex.dll" ] || { echo "the tool did not run" >&2; exit 1; }
exit $status
