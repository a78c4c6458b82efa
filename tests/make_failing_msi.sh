#!/bin/sh
# A copy of a package with steps that fail after the tool ran, on request:
# the exe with an option it refuses (exit -1), right after the last run of the
# tool on install (STAGED_FAILURE=install) or on uninstall
# (STAGED_FAILURE=uninstall), so that msiexec must roll back.
#   make_failing_msi.sh PACKAGE.msi COPY.msi [PACKAGE_CODE]
set -eu
code=${3:-0F0F0F0F-5A5A-4C4C-8D8D-2B2B2B2B2B2B}
cp "$1" "$2.partial"
msibuild "$2.partial" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('StagedFailure', 3090, 'ToolExe', '-staged-failure')"
msibuild "$2.partial" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('StagedFailure', 'STAGED_FAILURE=\"install\" AND NOT REMOVE~=\"ALL\"', 4005)"
msibuild "$2.partial" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('StagedRemoveFailure', 3090, 'ToolExe', '-staged-failure')"
msibuild "$2.partial" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('StagedRemoveFailure', 'STAGED_FAILURE=\"uninstall\" AND REMOVE~=\"ALL\"', 3405)"
# A package that differs needs a package code of its own.
msibuild "$2.partial" -s "veltrax-place (fails on request)" VELTRAX "x64;1033" "{$code}"
mv -f "$2.partial" "$2"
