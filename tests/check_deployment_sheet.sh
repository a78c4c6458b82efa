#!/bin/sh
# The deployment sheet reads in Notepad: no line of DEPLOYMENT.txt, as the
# release writes it from docs/deployment.md, is longer than 100 characters,
# and no "<version>" is left for the reader to fill in.
#   check_deployment_sheet.sh SOURCE_DIR
set -eu
sheet=$(mktemp)
trap 'rm -f "$sheet"' EXIT
python3 "$1/scripts/deployment_sheet.py" "$1/docs/deployment.md" 1.0.0.1 0123abc \
    "{00000000-0000-0000-0000-000000000000}" 123456 >"$sheet"
tr -d '\r' <"$sheet" | awk '
    length($0) > 100 { printf "DEPLOYMENT.txt line %d has %d characters: %.60s...\n", NR, length($0), $0; bad = 1 }
    /<version>/ { printf "DEPLOYMENT.txt line %d leaves <version> to the reader\n", NR; bad = 1 }
    END { exit bad }'
