#!/bin/sh
# Builds veltrax-place.exe again from a copy of the sources at another path
# and compares it byte for byte with the build under test.
set -eu
source_dir=$1
built_exe=$2
work=$(mktemp -d /tmp/veltrax-repro-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir "$work/src"
(cd "$source_dir" && tar --exclude=./build --exclude=./.git -cf - .) | (cd "$work/src" && tar -xf -)
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DVELTRAX_TESTS=OFF >/dev/null
cmake --build "$work/build" --target veltrax-place -j 2 >/dev/null
if cmp "$built_exe" "$work/build/veltrax-place.exe"; then
    echo "identical: $(wc -c < "$built_exe") bytes"
else
    echo "the two builds differ" >&2
    exit 1
fi
