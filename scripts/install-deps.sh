#!/bin/sh
# Installs the Debian 12 packages the builds, tests and demo need, if missing.
set -eu

packages="
  ca-certificates cmake make g++ pkg-config
  libgtest-dev googletest libsqlite3-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  python3 python3-pefile
  procps util-linux valgrind cppcheck
  git openssl osslsigncode
  wixl msitools faketime
"

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (or install these with sudo apt-get install):$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
