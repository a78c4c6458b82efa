#!/bin/sh
# The release bundle and the verification kit: the unsigned zips are
# reproducible (two builds of one commit) and their SHA256SUMS cover every
# other file in them; the kit holds the bundle's very exe and package, and its
# programs start on Windows 7; signed with a throw-away certificate, every
# exe and package of both verifies, fails once a byte changes, is still a
# valid image and runs under Wine; every bad input, and a signing that fails
# after its checks passed, is refused with one line and leaves dist/ as it was;
# so is a version whose tag is on another commit, or one untagged below a tag.
#   release_test.sh SOURCE_DIR WINE_RUN WINEPREFIX PYTHON TREE_BUILD KEEP
# TREE_BUILD is the Windows build the test runs in, which the quick tier
# packs instead of building HEAD again. The unsigned release it made first
# (once the second matched it) is kept in KEEP/VERSION, for the checks that
# want a real release, and in $VELTRAX_RELEASE_TEST_KEEP/VERSION when that is
# set (CI uploads that one rather than building the release a third time).
set -eu
source_dir=$1
wine_run=$2
prefix=$3
python=$4
tree_build=$5
keep=$6

cd "$source_dir"
git rev-parse --verify -q HEAD >/dev/null 2>&1 || { echo "not a git checkout: nothing to release"; exit 77; }
version=$(sed -n 's/^project(veltrax_place VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=veltrax-place-$version-windows-x64
kit=veltrax-place-$version-verify-kit
msi=veltrax-place-$version-x64.msi
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrax-release-test-XXXXXX")
# The prefix's server (and the services it keeps running) ends with the test.
trap 'rm -rf "$work"; WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT

fail() {  # also shows the logs the release runs named (they go with $work)
    echo "FAIL: $*" >&2
    for log in $(cat "$work/err" "$work/out" 2>/dev/null | grep -o "$work/veltrax-release-log-[A-Za-z0-9]*" | sort -u); do
        echo "--- the end of $log:" >&2
        tail -n 40 "$log" >&2
    done
    exit 1
}
release() {  # release DIST [NAME=value ...]: runs the release script into DIST (its files land in DIST/VERSION; the logs of failed ones in $work)
    dist=$1
    shift
    env TMPDIR="$work" VELTRAX_DIST="$dist" "$@" sh "$source_dir/scripts/release.sh" >"$work/out" 2>"$work/err"
}
unpack() {  # unpack ZIP FOLDER
    "$python" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"
}

# The full tier builds the release from HEAD twice, the second build its
# own, and compares them. The quick tier packs it twice from the Windows
# build this test runs in, handed to release.sh as it hands itself a build of
# HEAD between runs (HEAD's sources beside it, the build of the working
# tree): nothing is compiled again, and the compiler's reproducibility is
# left to windows.image.reproducible.
if [ "${VELTRAX_TEST_TIER:-full}" = quick ]; then
    mkdir -p "$work/build/src/build"
    git archive --format=tar HEAD | tar -xf - -C "$work/build/src"
    ln -s "$tree_build" "$work/build/src/build/windows"
    git rev-parse HEAD >"$work/build/src/.commit"
    second_build=$work/build
    echo "unsigned, twice: the tree's build, packed twice"
else
    second_build=
    echo "unsigned, twice: two builds"
fi
# The first build is kept for the runs after these two.
release "$work/one" VELTRAX_RELEASE_BUILD="$work/build" || fail "release: $(cat "$work/err")"
release "$work/two" VELTRAX_RELEASE_BUILD="$second_build" || fail "release: $(cat "$work/err")"
[ "$(ls "$work/one/$version")" = "$(printf '%s\n' "$kit.zip" "$kit.zip.sha256" "$name.zip" "$name.zip.sha256")" ] ||
    fail "dist/$version holds: $(ls "$work/one/$version")"
for zip in "$name.zip" "$kit.zip"; do
    cmp "$work/one/$version/$zip" "$work/two/$version/$zip" || fail "two unsigned $zip of one commit differ"
    cmp "$work/one/$version/$zip.sha256" "$work/two/$version/$zip.sha256" || fail "the checksum files of $zip differ"
    (cd "$work/one/$version" && sha256sum --quiet -c "$zip.sha256") || fail "$zip does not match its .sha256"
done
for folder in "$keep" ${VELTRAX_RELEASE_TEST_KEEP:+"$VELTRAX_RELEASE_TEST_KEEP"}; do
    mkdir -p "$folder" && rm -rf "$folder/$version" && cp -R "$work/one/$version" "$folder/" ||
        fail "cannot keep the release in $folder"
done
# The remaining runs use the first build.
export VELTRAX_RELEASE_BUILD="$work/build"

echo "checked against CI's hashes: one zip changed is refused, naming it alone"
{
    echo "veltrax-place $version commit $(git rev-parse HEAD)"
    (cd "$work/one/$version" && sha256sum "$name.zip" && echo "$(printf '%064d' 0)  $kit.zip")
} >"$work/ci-hashes"
TMPDIR="$work" sh "$source_dir/scripts/check-ci-build.sh" "$work/ci-hashes" >"$work/out" 2>"$work/err" &&
    fail "a build that differs from CI's hashes was accepted"
grep -q "^check-ci-build: $kit.zip differs" "$work/err" && ! grep -q "$name.zip differs" "$work/err" ||
    fail "expected the kit alone named as differing, got: $(cat "$work/err")"
sed 's/^/  /' "$work/err"
unpack "$work/one/$version/$name.zip" "$work/unsigned"
unpack "$work/one/$version/$kit.zip" "$work/unsigned-kit"
entries=$("$python" -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$work/one/$version/$name.zip")
[ "$entries" = "veltrax-place.exe $msi DEPLOYMENT.txt SHA256SUMS" ] || fail "unexpected entries: $entries"
sums_cover_the_bundle() {  # FOLDER: SHA256SUMS matches, and names every other file (sha256sum -c checks only what it lists)
    (cd "$1" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
    listed=$(awk '{print $2}' "$1/SHA256SUMS" | sort | tr '\n' ' ')
    present=$(cd "$1" && find . -type f | sed 's|^\./||' | grep -vx SHA256SUMS | sort | tr '\n' ' ')
    [ "$listed" = "$present" ] || fail "SHA256SUMS lists '$listed', the bundle holds '$present'"
}
sums_cover_the_bundle "$work/unsigned"
sums_cover_the_bundle "$work/unsigned-kit"
same_as_the_bundle() {  # BUNDLE KIT: the kit tests what ships
    cmp "$1/veltrax-place.exe" "$2/veltrax-place.exe" || fail "the kit's exe is not the bundle's"
    cmp "$1/$msi" "$2/packages/base.msi" || fail "the kit's package is not the bundle's"
}
same_as_the_bundle "$work/unsigned" "$work/unsigned-kit"
"$python" "$source_dir/tests/check_image.py" --kit "$work/unsigned-kit" >"$work/image" ||
    fail "the kit's programs fail the Windows 7 check: $(cat "$work/image")"
"$python" "$source_dir/tests/check_package.py" "$work/unsigned/$msi" || fail "the bundle's package fails its table checks"
grep -q "veltrax-place $version" "$work/unsigned/DEPLOYMENT.txt" || fail "the sheet does not name the version"
product_code=$(msiinfo export "$work/unsigned/$msi" Property | awk -F '\t' '$1 == "ProductCode" {print $2}')
grep -q "Product code of this version's package: $product_code" "$work/unsigned/DEPLOYMENT.txt" ||
    fail "the sheet does not name the package's product code $product_code"
# The sheet is the committed docs/deployment.md, every line of it, as plain text.
# (Tables become lists there, and each "<version>" the version.)
git show HEAD:docs/deployment.md | "$python" -c '
import re, sys
sheet = {re.sub(r"[`*]", "", line).strip() for line in open(sys.argv[1], encoding="utf-8").read().splitlines()}
lost = [line for line in sys.stdin.read().replace("<version>", sys.argv[2]).splitlines()
        if line.strip() and not line.lstrip().startswith(("|", "```"))
        and re.sub(r"^#+ |[`*]", "", line).strip() not in sheet]
sys.exit("lines of docs/deployment.md not in DEPLOYMENT.txt: %s" % lost[:3] if lost else 0)
' "$work/unsigned/DEPLOYMENT.txt" "$version" || fail "the sheet is not its source"

echo "signed with a throw-away certificate"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=veltrax-place test signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
echo "test password" >"$work/password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" -passout "file:$work/password"
# Signed over an unsigned release of the same version: the folder is replaced whole.
cp -r "$work/one" "$work/signed"
release "$work/signed" VELTRAX_SIGN_PKCS12="$work/signer.p12" VELTRAX_SIGN_PASSWORD_FILE="$work/password" ||
    fail "signed release: $(cat "$work/err")"
[ "$(ls -A "$work/signed")" = "$version" ] || fail "dist/ holds more than the version's folder: $(ls -A "$work/signed")"
[ "$(ls "$work/signed/$version" | grep -vc -- -signed)" -eq 0 ] ||
    fail "unsigned files stayed beside the signed release: $(ls "$work/signed/$version")"
unpack "$work/signed/$version/$name-signed.zip" "$work/s"
unpack "$work/signed/$version/$kit-signed.zip" "$work/s-kit"
sums_cover_the_bundle "$work/s"
sums_cover_the_bundle "$work/s-kit"
same_as_the_bundle "$work/s" "$work/s-kit"
for file in "$work/s-kit"/*.exe "$work/s-kit/packages"/*.msi; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify" 2>&1 ||
        fail "the signature of the kit's $(basename "$file") does not verify: $(tail -3 "$work/verify")"
done
# The runner carries the hashes of the signed programs and packages: written after they were signed.
"$python" - "$work/s-kit" <<'PY' || fail "the signed kit's runner does not carry the signed files' hashes"
import hashlib, os, sys
kit = sys.argv[1]
image = open(os.path.join(kit, "verify-kit.exe"), "rb").read()
at = image.find(b"VELTRAX-KIT-MANIFEST-1\n")
lines = image[at:image.index(b"\0", at)].decode().splitlines()[2:]
listed = [line.split(" ", 1) for line in lines if not line.startswith(("product ", "upgrade "))]
files = sorted(n for n in os.listdir(kit) if n.endswith(".exe") and n != "verify-kit.exe")
files += sorted("packages\\" + n for n in os.listdir(os.path.join(kit, "packages")))
assert [name for _, name in listed] == files, listed
for digest, name in listed:
    assert hashlib.sha256(open(os.path.join(kit, *name.split("\\")), "rb").read()).hexdigest() == digest, name
PY
for file in veltrax-place.exe "$msi"; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/s/$file" >"$work/verify" 2>&1 ||
        fail "the signature of $file does not verify: $(tail -3 "$work/verify")"
    cp "$work/s/$file" "$work/flipped"
    # A byte the signature covers: inside the exe's DOS message (in the package, the exe's copy in it).
    at=$(grep -obUa 'This program cannot' "$work/flipped" | head -1 | cut -d: -f1)
    printf '\377' | dd of="$work/flipped" bs=1 seek="$((at + 5))" conv=notrunc 2>/dev/null
    if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/flipped" >/dev/null 2>&1; then
        fail "a signed $file with one byte changed still verifies"
    fi
done
"$python" "$source_dir/tests/check_image.py" "$work/s/veltrax-place.exe" "$version" 2>"$work/image" ||
    fail "the signed exe fails the image checks: $(cat "$work/image")"
drive=$prefix/drive_c
rm -rf "$drive/Program Files/VELTRAX" "$drive/Program Files (x86)/VELTRAX"
"$wine_run" "$work/s/veltrax-place.exe" -i || fail "the signed exe exits $? under Wine"
[ -d "$drive/Program Files/VELTRAX/Startmenu" ] || fail "the signed exe's -i made no Startmenu folder"
rm -rf "$drive/Program Files/VELTRAX" "$drive/Program Files (x86)/VELTRAX"

echo "bad input leaves dist/ as it was"
release "$work/dist" || fail "release: $(cat "$work/err")"
listing() { (cd "$work/dist" && find . | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort); }
before=$(listing)
refused() {  # refused WHAT: the last release failed with one line, and dist/ is unchanged
    [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q '^release: ' "$work/err" ||
        fail "$1: expected one line of error, got: $(cat "$work/err")"
    [ "$(listing)" = "$before" ] || fail "$1: dist/ changed"
    echo "  $1: $(cat "$work/err")"
}
release "$work/dist" VELTRAX_SIGN_PASSWORD_FILE="$work/password" && fail "a password file without a PKCS#12 file was accepted"
refused "a password file alone"
release "$work/dist" VELTRAX_SIGN_PKCS12="$work/signer.p12" && fail "a PKCS#12 file without a password file was accepted"
refused "a PKCS#12 file alone"
release "$work/dist" VELTRAX_SIGN_TIMESTAMP_URL=http://127.0.0.1:9 && fail "a timestamp server alone was accepted"
refused "a timestamp server alone"
release "$work/dist" VELTRAX_SIGN_PKCS12="$work/absent.p12" VELTRAX_SIGN_PASSWORD_FILE="$work/password" &&
    fail "a missing PKCS#12 file was accepted"
refused "missing PKCS#12"
echo "not a certificate" >"$work/garbage.p12"
release "$work/dist" VELTRAX_SIGN_PKCS12="$work/garbage.p12" VELTRAX_SIGN_PASSWORD_FILE="$work/password" &&
    fail "a file that is not PKCS#12 was accepted"
refused "not a PKCS#12 file"
echo "wrong" >"$work/wrong"
release "$work/dist" VELTRAX_SIGN_PKCS12="$work/signer.p12" VELTRAX_SIGN_PASSWORD_FILE="$work/wrong" &&
    fail "a wrong password was accepted"
refused "wrong password"
mkdir "$work/bin" && printf '#!/bin/sh\necho "wixl: broken" >&2\nexit 1\n' >"$work/bin/wixl" && chmod +x "$work/bin/wixl"
release "$work/dist" PATH="$work/bin:$PATH" && fail "a package that wixl could not build was released"
refused "wixl failing"
# Every check passes, then the signing itself fails: a timestamp server that is not there.
release "$work/dist" VELTRAX_SIGN_PKCS12="$work/signer.p12" VELTRAX_SIGN_PASSWORD_FILE="$work/password" \
    VELTRAX_SIGN_TIMESTAMP_URL=http://127.0.0.1:9 && fail "a failed signing was released"
refused "signing that fails"
# Without the tags (on a tag run, HEAD carries this version's): the failed build is refused for its build.
git clone -q --no-tags "$source_dir" "$work/broken"
# A commit that does not build (it stops at configuring: the same refusal, in seconds).
echo 'message(FATAL_ERROR "this commit does not build")' >>"$work/broken/CMakeLists.txt"
git -C "$work/broken" -c user.name=test -c user.email=test@invalid commit -qam "does not build"
dist=$work/dist
TMPDIR="$work" VELTRAX_DIST="$dist" VELTRAX_RELEASE_BUILD= sh "$work/broken/scripts/release.sh" >"$work/out" 2>"$work/err" && fail "a failed build was released"
refused "failed build"
# Its version tagged there, the commit before it (whose build is at hand) is refused before anything is built.
git -C "$work/broken" tag "v$version"
git -C "$work/broken" checkout -q HEAD~1
TMPDIR="$work" VELTRAX_DIST="$dist" sh "$work/broken/scripts/release.sh" >"$work/out" 2>"$work/err" && fail "version $version, tagged on another commit, was released"
refused "a version tagged on another commit"
# Untagged, below the highest tag, it is refused too (every installed machine would refuse it).
git -C "$work/broken" tag -d "v$version" >/dev/null && git -C "$work/broken" tag v99999.0.0.0
TMPDIR="$work" VELTRAX_DIST="$dist" sh "$work/broken/scripts/release.sh" >"$work/out" 2>"$work/err" && fail "version $version, below a tag, was released"
refused "an untagged version below the highest tag"
echo "all release checks passed"
