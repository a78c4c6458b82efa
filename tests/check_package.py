"""The package's own tables, read with msiinfo: what Windows enforces and Wine
does not (a deferred action outside the script, an impersonated one), and the
settings the README promises.

    check_package.py PACKAGE.msi
"""
import subprocess
import sys

TOOL_TYPE = 18        # run an installed file (the exe)
BINARY_TOOL_TYPE = 2  # run an exe kept in the Binary table
ROLLBACK = 0x100
DEFERRED = 0x400
NO_IMPERSONATE = 0x800
IGNORE_EXIT = 0x40
ASYNC = 0x80
INCLUDE_MAXIMUM = 0x200
ONLY_DETECT = 0x2


def table(package, name):
    text = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True, text=True).stdout
    lines = text.splitlines()
    header = lines[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in lines[3:]]


def main(package):
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    summary = subprocess.run(["msiinfo", "suminfo", package], check=True, capture_output=True, text=True).stdout
    check("Template: x64;1033" in summary.splitlines(), "summary Template is not x64;1033")
    properties = {row["Property"]: row["Value"] for row in table(package, "Property")}
    check(properties.get("ALLUSERS") == "1", "not per-machine (ALLUSERS)")
    check("PANEL" in properties.get("SecureCustomProperties", "").split(";"), "PANEL is not a secure property")

    sequence = {row["Action"]: int(row["Sequence"]) for row in table(package, "InstallExecuteSequence")}
    runs = [row for row in table(package, "CustomAction") if row["Source"] in ("ToolExe", "ToolBinary")]
    check(len(runs) == 8, "expected four runs of the tool and their four rollbacks, got %d actions" % len(runs))
    for row in runs:
        action, kind = row["Action"], int(row["Type"])
        rollback = action.endswith("Rollback")
        # A rollback may run after the installed file is gone: it runs the package's own copy.
        check((kind & 0x3F, row["Source"]) == ((BINARY_TOOL_TYPE, "ToolBinary") if rollback else (TOOL_TYPE, "ToolExe")),
              "%s does not run the %s exe" % (action, "package's" if rollback else "installed"))
        check(kind & DEFERRED, "%s is not deferred" % action)
        check(kind & NO_IMPERSONATE, "%s impersonates the user" % action)
        check(not kind & (IGNORE_EXIT | ASYNC), "%s does not wait for and check the exit code" % action)
        check(bool(kind & ROLLBACK) == rollback, "%s: rollback flag" % action)
        at = sequence.get(action, 0)
        check(sequence["InstallInitialize"] < at < sequence["InstallFinalize"], "%s runs outside the script" % action)
        if not rollback:
            check(sequence.get(action + "Rollback", at) < at, "%s has no rollback run before it" % action)
            removing = action in ("Unplace", "PanelOff")
            check(at < sequence["RemoveFiles"] if removing else at > sequence["InstallFiles"],
                  "%s runs without the exe in place" % action)

    check(sequence["InstallValidate"] < sequence.get("RemoveExistingProducts", 0) < sequence["InstallInitialize"],
          "an older version is not removed before the install")
    upgrades = {row["ActionProperty"]: row for row in table(package, "Upgrade")}
    older, newer = upgrades.get("OLDERFOUND"), upgrades.get("NEWERFOUND")
    check(older is not None and older["VersionMax"] == properties["ProductVersion"]
          and int(older["Attributes"]) & INCLUDE_MAXIMUM, "the same version in the first three fields is not upgraded")
    check(newer is not None and int(newer["Attributes"]) & ONLY_DETECT, "a newer version is not detected")
    check(any("NEWERFOUND" in row["Condition"] for row in table(package, "LaunchCondition")), "a downgrade is not refused")

    binaries = subprocess.run(["msiinfo", "streams", package], check=True, capture_output=True, text=True).stdout
    check("Binary.ToolBinary" in binaries.split(), "no copy of the exe in the Binary table")

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
