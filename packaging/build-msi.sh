#!/bin/sh
# Builds the Windows Installer package of veltrax-place from a built exe:
#
#   build-msi.sh EXE VERSION OUT.msi STAMP SALT
#
# VERSION is a.b.c.d; STAMP the time (Unix seconds) every time stamp in the
# package gets; SALT what makes the package code (a commit, say). The same
# inputs give the same bytes: the product code comes from the upgrade code and
# the version, the package code from the upgrade code, the version and SALT,
# and wixl runs under faketime. It also sets what wixl 0.101 leaves out: every
# run of the tool as a run of the exe in the Binary table (the installed one
# may be gone: the uninstall, an upgrade, a rerun and a repair work without
# it), the *Rollback ones as rollback actions, the refusal of a PANEL change
# as an error action, the inclusive maximum of the upgrade range (so that
# 1.0.0.1 is found by 1.0.0.2, which compares equal to it in the first three
# fields).
set -eu

[ $# -eq 5 ] || { echo "usage: build-msi.sh EXE VERSION OUT.msi STAMP SALT" >&2; exit 2; }
exe=$1
version=$2
out=$3
stamp=$4
salt=$5
here=$(cd "$(dirname "$0")" && pwd)

case $version in
    *.*.*.*) ;;
    *) echo "build-msi: version '$version' is not a.b.c.d" >&2; exit 2 ;;
esac
for tool in wixl msibuild faketime python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "build-msi: $tool is missing (sh scripts/install-deps.sh installs it)" >&2; exit 1; }
done
[ -f "$exe" ] || { echo "build-msi: no exe at $exe" >&2; exit 1; }

upgrade_code=$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$here/veltrax-place.wxs")
codes=$(python3 -c '
import sys, uuid
upgrade, version, salt = uuid.UUID(sys.argv[1]), sys.argv[2], sys.argv[3]
product = uuid.uuid5(upgrade, "product " + version)
package = uuid.uuid5(upgrade, "package " + version + " " + salt)
print("{%s} {%s}" % (str(product).upper(), str(package).upper()))' "$upgrade_code" "$version" "$salt")
product_code=${codes% *}
package_code=${codes#* }

work=$(mktemp -d "${TMPDIR:-/tmp}/veltrax-msi-XXXXXX")
trap 'rm -rf "$work"' EXIT
# wixl takes a File's Source relative to the folder it runs in.
cp "$exe" "$work/veltrax-place.exe"
cp "$here/veltrax-place.wxs" "$work/"
touch -d "@$stamp" "$work/veltrax-place.exe"
clock=$(TZ=UTC date -d "@$stamp" '+%Y-%m-%d %H:%M:%S')
pinned() { TZ=UTC faketime -f "@$clock" "$@"; }

# Each step must succeed: msibuild would make a new, empty database of a
# package that wixl did not write.
step() {
    pinned "$@" >>"$work/log" 2>&1 || { cat "$work/log" >&2; echo "build-msi: $1 failed" >&2; exit 1; }
}
cd "$work"
step wixl -a x64 -D "Version=$version" -D "VersionBase=${version%.*}" -D "Revision=${version##*.}" \
    -D "ProductCode=$product_code" -o package.msi veltrax-place.wxs
[ -s package.msi ] || { echo "build-msi: wixl wrote no package" >&2; exit 1; }
# 3074: an exe from the Binary table (2), deferred, not impersonating; 3330:
# the same as a rollback action.
step msibuild package.msi -q "UPDATE CustomAction SET Type = 3074, Source = 'ToolBinary' WHERE Action = 'Place' OR Action = 'PanelOn' OR Action = 'PanelOff' OR Action = 'Unplace'"
step msibuild package.msi -q "UPDATE CustomAction SET Type = 3330, Source = 'ToolBinary' WHERE Action = 'PlaceRollback' OR Action = 'PanelOnRollback' OR Action = 'PanelOffRollback' OR Action = 'UnplaceRollback'"
# 19: an error action, which shows its text and fails the run before anything is done.
step msibuild package.msi -q "UPDATE CustomAction SET Type = 19, Source = '' WHERE Action = 'RefusePanelChange'"
# Attributes is part of the Upgrade table's key: the row is written anew.
step msibuild package.msi -q "DELETE FROM Upgrade WHERE ActionProperty = 'OLDERFOUND'"
step msibuild package.msi -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('{$upgrade_code}', '0.0.0', '$version', 768, 'OLDERFOUND')"
step msibuild package.msi -q "UPDATE Property SET Value = 'OLDERFOUND;NEWERFOUND;PANEL' WHERE Property = 'SecureCustomProperties'"
step msibuild package.msi -s "veltrax-place $version" VELTRAX "x64;1033" "$package_code"
cd - >/dev/null
mv "$work/package.msi" "$out.partial"
mv -f "$out.partial" "$out"
