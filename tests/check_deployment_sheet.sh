#!/bin/sh
# The deployment sheet reads in Notepad: DEPLOYMENT.txt, as the release writes
# it from docs/deployment.md (with the product code as msiinfo gives it, CR LF
# after it), ends every line with CR LF and has no other CR, no line longer
# than 100 characters, and no "<version>" left for the reader to fill in; a
# guide the generator refuses (a command split across lines) writes none.
#   check_deployment_sheet.sh SOURCE_DIR
set -eu
python3 "$1/scripts/deployment_sheet.py" "$1/docs/deployment.md" 1.0.0.1 0123abc \
    "$(printf '{00000000-0000-0000-0000-000000000000}\r\n')" 123456 | awk '
    !sub(/\r$/, "") || /\r/ { printf "DEPLOYMENT.txt line %d does not end in one CR LF\n", NR; bad = 1 }
    length($0) > 100 { printf "DEPLOYMENT.txt line %d has %d characters: %.60s...\n", NR, length($0), $0; bad = 1 }
    /<version>/ { printf "DEPLOYMENT.txt line %d leaves <version> to the reader\n", NR; bad = 1 }
    END { if (!NR) print "no DEPLOYMENT.txt was written"; exit bad || !NR }'
