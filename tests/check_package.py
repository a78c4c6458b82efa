"""The package's own tables, read with msiinfo: what Windows enforces and Wine
does not (a deferred action outside the script, an impersonated one), and the
settings docs/deployment.md promises.

    check_package.py PACKAGE.msi
"""
import subprocess
import sys

# CustomAction types: an exe in the Binary table (2), and flags.
BINARY_EXE = 2
ROLLBACK, DEFERRED, NO_IMPERSONATE, IGNORE_EXIT, ASYNC = 0x100, 0x400, 0x800, 0x40, 0x80


def msiinfo(*args):
    return subprocess.run(["msiinfo", *args], check=True, capture_output=True, text=True).stdout


def table(package, name):
    lines = msiinfo("export", package, name).splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:]]


def failures(package):
    properties = {row["Property"]: row["Value"] for row in table(package, "Property")}
    sequence = {row["Action"]: int(row["Sequence"]) for row in table(package, "InstallExecuteSequence")}
    upgrades = {row["ActionProperty"]: row for row in table(package, "Upgrade")}
    runs = [row for row in table(package, "CustomAction") if row["Source"] in ("ToolExe", "ToolBinary")]

    yield "Template: x64;1033" not in msiinfo("suminfo", package).splitlines(), "summary Template is not x64;1033"
    yield properties.get("ALLUSERS") != "1", "not per-machine (ALLUSERS)"
    yield "PANEL" not in properties.get("SecureCustomProperties", "").split(";"), "PANEL is not a secure property"
    yield "Binary.ToolBinary" not in msiinfo("streams", package).split(), "no copy of the exe in the Binary table"
    yield len(runs) != 8, "expected four runs of the tool and their four rollbacks, got %d" % len(runs)
    for row in runs:
        action, kind, at = row["Action"], int(row["Type"]), sequence.get(row["Action"], 0)
        rollback = action.endswith("Rollback")
        # The installed file may be gone (deleted, or removed by a rollback first): every run
        # starts the package's own copy.
        yield (kind & 0x3F, row["Source"]) != (BINARY_EXE, "ToolBinary"), "%s runs the installed exe" % action
        yield not kind & DEFERRED, "%s is not deferred" % action
        yield not kind & NO_IMPERSONATE, "%s impersonates the user" % action
        yield kind & (IGNORE_EXIT | ASYNC), "%s does not wait for and check the exit code" % action
        yield bool(kind & ROLLBACK) != rollback, "%s: rollback flag" % action
        yield not sequence["InstallInitialize"] < at < sequence["InstallFinalize"], "%s runs outside the script" % action
        # A rollback gives back what the machine held before this package run, whatever the run.
        yield (rollback and row["Target"] not in ("[PlacementBefore]", "[EntryBefore]"),
               "%s runs a fixed option, not the state read before the run" % action)
        if not rollback:
            yield not sequence.get(action + "Rollback", at) < at, "%s has no rollback run before it" % action

    # Inside the transaction, so that a failed upgrade rolls the old version's removal back too.
    first_run = min(sequence.get(row["Action"], 0) for row in runs)
    yield (not sequence["InstallInitialize"] < sequence.get("RemoveExistingProducts", 0) < first_run,
           "an older version is not removed inside the install's transaction before the tool runs")
    # The uninstall takes away only a placement the package made.
    conditions = {row["Action"]: row["Condition"] for row in table(package, "InstallExecuteSequence")}
    for action in ("Unplace", "UnplaceRollback"):
        yield "InstalledOwnsPlacement" not in conditions.get(action, ""), "%s runs where the package did not place" % action
    memo = {row["Name"]: row["Value"] for row in table(package, "Registry") if row["Key"] == "SOFTWARE\\veltrax-place"}
    yield memo.get("PlacementOwned") != "owned=[PlacementOwned]", "the memo does not keep who placed the machine"
    # Windows rewrites no registry value in a maintenance run without REINSTALL, nor in a
    # repair whose REINSTALLMODE lacks "m": the memo is kept there. Such a repair must refuse
    # a PANEL change (an error action, before anything is scheduled), a maintenance run given
    # one must be made the repair that takes it (below), and ownership must not change in a
    # run that keeps the memo.
    refuse = next((row for row in table(package, "CustomAction") if row["Action"] == "RefusePanelChange"), None)
    yield refuse is None or int(refuse["Type"]) & 0x3F != 19, "a PANEL change on the installed product is not refused"
    yield (not sequence["AppSearch"] < sequence.get("RefusePanelChange", 0) < sequence["InstallInitialize"]
           or "MemoKept" not in conditions.get("RefusePanelChange", "")), "the PANEL refusal is not where it changes nothing"
    yield "NOT MemoKept" not in conditions.get("OwnPanel", ""), "a run that keeps the memo can change who owns the entry"
    # ... except where the installed product run again with another PANEL is made a repair that
    # rewrites the memo: Windows reads REINSTALL and REINSTALLMODE when it costs the features.
    # Neither condition reads REINSTALL, which the other one sets: they hold in either order.
    sets = {(row["Source"], row["Target"]): row["Action"] for row in table(package, "CustomAction")}
    for name, value in (("REINSTALL", "ALL"), ("REINSTALLMODE", "omus")):
        action = sets.get((name, value), "")
        yield not sequence["AppSearch"] < sequence.get(action, 0) < sequence["CostInitialize"], "%s=%s is not set before costing" % (name, value)
        yield "REINSTALL" in conditions.get(action, "REINSTALL"), "%s=%s depends on the order it is set in" % (name, value)
    older, newer = upgrades.get("OLDERFOUND"), upgrades.get("NEWERFOUND")
    yield (older is None or older["VersionMax"] != properties["ProductVersion"] or not int(older["Attributes"]) & 0x200,
           "the same version in the first three fields is not upgraded (inclusive maximum)")
    yield newer is None or not int(newer["Attributes"]) & 0x2, "a newer version is not detected"
    yield not any("NEWERFOUND" in row["Condition"] for row in table(package, "LaunchCondition")), "a downgrade is not refused"


def main(package):
    found = [what for failed, what in failures(package) if failed]
    for what in found:
        print("FAIL: " + what)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
