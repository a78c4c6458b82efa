#!/bin/sh
# Before signing: the release is the one CI proved. CI tests the unsigned
# bundle and kit it builds in its container, and publishes their hashes (the
# ci-hashes artifact of the run, veltrax-place-VERSION-ci-hashes.txt); this
# builds the unsigned release of HEAD here, as release.sh builds it, and
# compares the two by hash:
#
#   sh scripts/check-ci-build.sh CI_HASHES_FILE
#
# Exits 0 when both zips are CI's, byte for byte; otherwise non-zero, naming
# each file that differs (or why it could not tell). The build is
# reproducible, so a difference means another commit, other Debian packages
# (release.sh's last line names them), or a build that is not the one CI
# tested: do not sign it. Any VELTRAX_SIGN_ setting is ignored here;
# VELTRAX_RELEASE_BUILD is passed on to release.sh.
set -eu

fail() {
    echo "check-ci-build: $*" >&2
    exit 1
}

[ $# -eq 1 ] || { echo "usage: sh scripts/check-ci-build.sh CI_HASHES_FILE" >&2; exit 2; }
[ -f "$1" ] && [ -r "$1" ] || fail "cannot read CI's hashes '$1'"
hashes=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/.."
commit=$(git rev-parse --verify -q HEAD) || fail "not a git checkout with a commit: the release is built from HEAD"
# HEAD's version, as release.sh reads it (never an uncommitted edit of it).
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(veltrax_place VERSION \([0-9.]*\).*/\1/p')
[ -n "$version" ] || fail "no project version in HEAD's CMakeLists.txt"

# The first line says which release CI hashed: it must be this one.
read -r made_by <"$hashes" || made_by=
[ "$made_by" = "veltrax-place $version commit $commit" ] ||
    fail "'$1' is of '$made_by', not of veltrax-place $version commit $commit (HEAD)"

work=$(mktemp -d "${TMPDIR:-/tmp}/veltrax-ci-check-XXXXXX")
trap 'rm -rf "$work"' EXIT
env -u VELTRAX_SIGN_PKCS12 -u VELTRAX_SIGN_PASSWORD_FILE -u VELTRAX_SIGN_TIMESTAMP_URL \
    VELTRAX_DIST="$work/dist" sh scripts/release.sh >"$work/out" 2>"$work/err" ||
    fail "the unsigned build of $commit failed: $(tail -n 1 "$work/err")"

differ=""
for zip in "veltrax-place-$version-windows-x64.zip" "veltrax-place-$version-verify-kit.zip"; do
    theirs=$(awk -v zip="$zip" '$2 == zip || $2 == "*" zip { print $1 }' "$hashes")
    [ -n "$theirs" ] || fail "'$1' has no hash of $zip"
    ours=$(sha256sum "$work/dist/$version/$zip" | cut -d ' ' -f 1)
    if [ "$ours" != "$theirs" ]; then
        echo "check-ci-build: $zip differs: this build's sha256 is $ours, CI's $theirs" >&2
        differ="$differ $zip"
    fi
done
[ -z "$differ" ] || fail "refused: the unsigned build of $commit is not the one CI tested (differs:$differ); $(tail -n 1 "$work/out")"
echo "the unsigned build of $commit is the one CI tested: both zips match $1"
