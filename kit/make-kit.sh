#!/bin/sh
# Assembles the verification kit in a folder: the tool and its package as
# they ship, the package variants the package test needs (built around that
# same exe), exactly the programs the build's kit-programs.txt names,
# verify.cmd, VERIFY.txt and SHA256SUMS.
#
#   make-kit.sh BUILD_DIR EXE MSI UNSIGNED_MSI VERSION COMMIT STAMP OUT_DIR
#   make-kit.sh embed OUT_DIR     writes the runner's manifest anew (after the programs are signed)
#   make-kit.sh sums OUT_DIR      writes SHA256SUMS anew (after signing)
#
# The runner's manifest (kit/manifest.cpp, written by embed-manifest.py)
# names what it runs: it runs only those bytes.
#
# MSI is the package as it ships (signed or not); the copy that fails on
# request is made from UNSIGNED_MSI, so that no signature is left broken.
# The same inputs give the same bytes.
set -eu

sums() {
    (cd "$1" && rm -f SHA256SUMS && find . -type f ! -name 'SHA256SUMS*' | sed 's|^\./||' | LC_ALL=C sort |
        while IFS= read -r file; do sha256sum "$file"; done >SHA256SUMS.partial && mv SHA256SUMS.partial SHA256SUMS)
}
embed() { python3 "$(dirname "$0")/embed-manifest.py" "$1"; }
case ${1:-} in
    sums) sums "$2"; exit 0 ;;
    embed) embed "$2"; exit 0 ;;
esac
[ $# -eq 8 ] || { echo "usage: make-kit.sh BUILD_DIR EXE MSI UNSIGNED_MSI VERSION COMMIT STAMP OUT_DIR" >&2; exit 2; }
build=$1 exe=$2 msi=$3 unsigned_msi=$4 version=$5 commit=$6 stamp=$7 out=$8
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")

rm -rf "$out.partial"
mkdir -p "$out.partial/packages"
cp "$exe" "$out.partial/veltrax-place.exe"
# The programs the build's kit_programs target makes, by its list; the exe
# comes from EXE (it may be signed).
[ -s "$build/kit-programs.txt" ] || { echo "make-kit: no $build/kit-programs.txt" >&2; exit 1; }
while IFS= read -r program; do
    [ "$program" = veltrax-place.exe ] || cp "$build/$program" "$out.partial/"
done <"$build/kit-programs.txt"
cp "$msi" "$out.partial/packages/base.msi"
IFS=. read -r major minor patch revision <<VERSION
$version
VERSION
build_msi() { sh "$top/packaging/build-msi.sh" "$exe" "$1" "$out.partial/packages/$2" "$stamp" "$commit" >/dev/null; }
build_msi "$major.$minor.$patch.$((revision + 1))" revision.msi
build_msi "$major.$((minor + 1)).0.0" minor.msi
sh "$top/tests/make_failing_msi.sh" "$unsigned_msi" "$out.partial/packages/failing.msi"
sh "$top/tests/make_failing_msi.sh" "$out.partial/packages/revision.msi" "$out.partial/packages/failing-revision.msi" \
    1F1F1F1F-5A5A-4C4C-8D8D-2B2B2B2B2B2B
cp "$here/verify.cmd" "$out.partial/"
sed -e "s/@VERSION@/$version/g" -e "s/@COMMIT@/$commit/g" -e 's/$/\r/' "$here/VERIFY.txt.in" >"$out.partial/VERIFY.txt"
embed "$out.partial"
find "$out.partial" -exec touch -d "@$stamp" {} +
sums "$out.partial"
rm -rf "$out"
mv "$out.partial" "$out"
