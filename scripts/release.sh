#!/bin/sh
# Builds the release of veltrax-place from the current commit (HEAD) into a
# folder of its own version:
#
#   dist/<version>/veltrax-place-<version>-windows-x64.zip         veltrax-place.exe,
#                                                                  veltrax-place-<version>-x64.msi,
#                                                                  DEPLOYMENT.txt, SHA256SUMS
#   dist/<version>/veltrax-place-<version>-windows-x64.zip.sha256  the zip's own checksum
#   dist/<version>/veltrax-place-<version>-verify-kit.zip          the verification kit: the same exe
#                                                                  and package with the Windows test programs
#   dist/<version>/veltrax-place-<version>-verify-kit.zip.sha256
#
# The version is the one in CMakeLists.txt's project(); a version whose tag
# v<version> is on another commit than HEAD, or that is untagged and not above
# the highest tag v<a.b.c.d>, is refused. Unsigned, two runs on
# one commit give byte-identical files. To sign the exe, the package and the
# kit's programs (Authenticode, SHA-256) before they are hashed and packed,
# set both of
#
#   VELTRAX_SIGN_PKCS12=FILE           the PKCS#12 file with the certificate and key
#   VELTRAX_SIGN_PASSWORD_FILE=FILE    a file holding its password (never on a command line)
#
# and, optionally, VELTRAX_SIGN_TIMESTAMP_URL=URL (an RFC 3161 timestamp
# server); the zips are then named ...-signed.zip. Any of these set without
# the first two is refused: a misspelt name must not give an unsigned release.
#
# VELTRAX_DIST names another folder than dist. The version's folder is made
# aside and renamed into place whole, replacing the one a run before made:
# dist/<version> holds either the complete new release or what it held
# before, never a mix, and on any error nothing in dist/ changes.
# VELTRAX_RELEASE_BUILD names a folder that keeps the build between runs on
# one commit (the release test uses it; a build of another commit there is
# replaced).
set -eu

fail() {
    echo "release: $*" >&2
    exit 1
}

cd "$(dirname "$0")/.."
command -v git >/dev/null 2>&1 && git rev-parse --verify -q HEAD >/dev/null 2>&1 ||
    fail "not a git checkout with a commit: the bundle is built from HEAD"
commit=$(git rev-parse HEAD)
# HEAD's version, as the build sees it (never an uncommitted edit of it).
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(veltrax_place VERSION \([0-9.]*\).*/\1/p')
[ -n "$version" ] || fail "no project version in HEAD's CMakeLists.txt"
# A version is built from one commit only: every build of a version has the
# same product code, so a machine holding one build refuses any other (1638).
# A release is tagged v<version>; that tag on another commit ends it here.
tagged=$(git rev-parse -q --verify "refs/tags/v$version^{commit}" 2>/dev/null) || tagged=
[ -z "$tagged" ] || [ "$tagged" = "$commit" ] ||
    fail "version $version was released from $tagged (tag v$version), not from HEAD $commit; raise the version in CMakeLists.txt"
# An untagged version at or below the highest release tag is a downgrade that every installed machine refuses.
highest=$(git tag -l 'v[0-9]*' | sed 's/^v//' | sort -V | tail -1)
[ -n "$tagged" ] || [ -z "$highest" ] || [ "$(printf '%s\n' "$highest" "$version" | sort -V | tail -1)" != "$highest" ] ||
    fail "version $version is not above the highest release tag v$highest: machines holding it would refuse it; raise the version"
dist=${VELTRAX_DIST:-dist}
name=veltrax-place-$version-windows-x64
kit_name=veltrax-place-$version-verify-kit
msi=veltrax-place-$version-x64.msi
stamp=$(git log -1 --format=%ct HEAD)

# Everything about signing is checked before the build.
signing=${VELTRAX_SIGN_PKCS12:-}
password=${VELTRAX_SIGN_PASSWORD_FILE:-}
if [ -n "$signing" ] || [ -n "$password" ] || [ -n "${VELTRAX_SIGN_TIMESTAMP_URL:-}" ]; then
    [ -n "$signing" ] && [ -n "$password" ] ||
        fail "signing needs both VELTRAX_SIGN_PKCS12 and VELTRAX_SIGN_PASSWORD_FILE; set both to sign, or none of the VELTRAX_SIGN_ settings for an unsigned release"
    [ -f "$signing" ] && [ -r "$signing" ] || fail "cannot read the PKCS#12 file '$signing'"
    [ -f "$password" ] && [ -r "$password" ] || fail "cannot read the password file '$password'"
    command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1 ||
        fail "signing needs osslsigncode and openssl (sh scripts/install-deps.sh installs them)"
    openssl pkcs12 -in "$signing" -passin "file:$password" -noout >/dev/null 2>&1 ||
        fail "'$signing' is not a PKCS#12 file that the password in '$password' opens"
    name=$name-signed
    kit_name=$kit_name-signed
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/veltrax-release-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The last step's output, kept (and named) only when the release fails: a file
# of its own, never a fixed name in a folder others can write.
log=$(mktemp "${TMPDIR:-/tmp}/veltrax-release-log-XXXXXX")

# The committed sources only, built as the windows preset builds them: the
# exe, and the programs of the verification kit.
src=${VELTRAX_RELEASE_BUILD:-$work/build}/src
if [ "$(cat "$src/.commit" 2>/dev/null)" != "$commit" ]; then
    rm -rf "$src"
    mkdir -p "$src"
    git archive --format=tar HEAD | tar -xf - -C "$src"
    if ! (cd "$src" && cmake --preset windows && cmake --build --preset windows --target kit_programs) \
        >"$log" 2>&1; then
        fail "the build of $commit failed; its output is in $log"
    fi
    echo "$commit" >"$src/.commit"
fi
mkdir "$work/bundle"
exe=$work/bundle/veltrax-place.exe
cp "$src/build/windows/veltrax-place.exe" "$exe"

sign() {  # sign FILE: replaces FILE with its signed self
    [ -n "$signing" ] || return 0
    file=$1
    rm -f "$work/signed"
    set --
    if [ -n "${VELTRAX_SIGN_TIMESTAMP_URL:-}" ]; then set -- -ts "$VELTRAX_SIGN_TIMESTAMP_URL"; fi
    osslsigncode sign -pkcs12 "$signing" -readpass "$password" -h sha256 -n "veltrax-place $version" "$@" \
        -in "$file" -out "$work/signed" >"$log" 2>&1 && [ -s "$work/signed" ] ||
        fail "signing $(basename "$file") failed; osslsigncode's output is in $log"
    mv "$work/signed" "$file"
}
sign "$exe"

# The Windows Installer package around the (signed) exe, signed in its turn.
sh "$src/packaging/build-msi.sh" "$exe" "$version" "$work/unsigned.msi" "$stamp" "$commit" >"$log" 2>&1 ||
    fail "cannot build the Windows Installer package; see $log"
cp "$work/unsigned.msi" "$work/bundle/$msi"
sign "$work/bundle/$msi"

# The sheet comes from the same commit's documentation.
# Its first lines name what only this release knows: the product code, the exe's size.
product_code=$(msiinfo export "$work/unsigned.msi" Property 2>"$log" | awk -F '\t' '$1 == "ProductCode" {print $2}')
[ -n "$product_code" ] || fail "cannot read the package's product code; see $log"
python3 "$src/scripts/deployment_sheet.py" "$src/docs/deployment.md" "$version" "$commit" "$product_code" \
    "$(wc -c <"$exe")" >"$work/bundle/DEPLOYMENT.txt" 2>"$log" || fail "cannot write the deployment sheet; see $log"
(cd "$work/bundle" && sha256sum veltrax-place.exe "$msi" DEPLOYMENT.txt >SHA256SUMS)

# The verification kit: the bundle's exe and package, with the test programs
# and the package variants, signed like them.
sh "$src/kit/make-kit.sh" "$src/build/windows" "$exe" "$work/bundle/$msi" "$work/unsigned.msi" \
    "$version" "$commit" "$stamp" "$work/kit" >"$log" 2>&1 || fail "cannot assemble the verification kit; see $log"
# The runner carries the hashes of the programs and packages it runs, so it
# is built into (its manifest written) after they are signed, and signed last.
for file in "$work/kit"/*.exe "$work/kit/packages"/*.msi; do
    case $file in */veltrax-place.exe | */base.msi | */verify-kit.exe) ;; *) sign "$file" ;; esac
done
sh "$src/kit/make-kit.sh" embed "$work/kit" >"$log" 2>&1 || fail "cannot write the kit runner's manifest; see $log"
sign "$work/kit/verify-kit.exe"
sh "$src/kit/make-kit.sh" sums "$work/kit"

# Zips with fixed entry order, times (the commit's) and permissions, stored
# uncompressed: the same bytes on any machine.
pack() {  # pack FOLDER ZIP ENTRY...
    python3 - "$stamp" "$@" <<'PY'
import sys, time, zipfile
stamp, folder, target, names = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
when = time.gmtime(max(stamp, 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(target, "w", zipfile.ZIP_STORED) as bundle:
    for name in names:
        entry = zipfile.ZipInfo(name, when)
        entry.create_system = 0  # MS-DOS/Windows: no Unix owner or mode
        entry.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
        with open(folder + "/" + name, "rb") as handle:
            bundle.writestr(entry, handle.read())
PY
    (cd "$(dirname "$2")" && sha256sum "$(basename "$2")" >"$(basename "$2").sha256")
}
pack "$work/bundle" "$work/$name.zip" veltrax-place.exe "$msi" DEPLOYMENT.txt SHA256SUMS
# shellcheck disable=SC2046
pack "$work/kit" "$work/$kit_name.zip" $(cd "$work/kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)

# Only now is dist/ touched: the version's folder is filled aside, then
# swapped in by two renames. A run cut short between them leaves the old
# folder as .<version>.old, which the next run puts back first.
out=$dist/$version
mkdir -p "$dist"
if [ -d "$dist/.$version.old" ] && [ ! -e "$out" ]; then
    mv "$dist/.$version.old" "$out" || fail "cannot put back $dist/.$version.old"
fi
rm -rf "$dist/.$version.partial" "$dist/.$version.old"
mkdir "$dist/.$version.partial" || fail "cannot write to $dist"
for file in "$name.zip" "$name.zip.sha256" "$kit_name.zip" "$kit_name.zip.sha256"; do
    cp "$work/$file" "$dist/.$version.partial/" || { rm -rf "$dist/.$version.partial"; fail "cannot write to $dist"; }
done
if [ -e "$out" ]; then
    mv "$out" "$dist/.$version.old" || { rm -rf "$dist/.$version.partial"; fail "cannot move the old $out aside"; }
fi
if ! mv "$dist/.$version.partial" "$out"; then
    [ ! -d "$dist/.$version.old" ] || mv "$dist/.$version.old" "$out"
    rm -rf "$dist/.$version.partial"
    fail "cannot rename the new release into $out"
fi
rm -rf "$dist/.$version.old"
rm -f "$log"
echo "$out/$name.zip"
echo "$out/$kit_name.zip"
# What the bytes depend on besides the commit: the Debian packages that built them.
echo "built with: $(dpkg-query -W -f '${Package} ${Version}, ' cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    mingw-w64-x86-64-dev wixl msitools faketime osslsigncode python3 2>/dev/null | sed 's/, $//')"
