"""Writes the runner's manifest (kit/manifest.cpp) into verify-kit.exe of a
kit folder: the SHA-256 of every program the runner may run (every .exe of
the folder but its own) and every package it may hand to msiexec
(packages\\*.msi), the product codes of those packages and their upgrade
code (the only products the runner uninstalls), and the kit's name
(VERIFY.txt's first line). Run after the
programs are signed and before the runner is; it may be run again.

    embed-manifest.py KIT_DIR
"""
import hashlib
import os
import subprocess
import sys

MARKER = b"VELTRAX-KIT-MANIFEST-1\n"
SIZE = 8192  # manifest_size in kit/kit.h


def properties(package):
    table = subprocess.run(["msiinfo", "export", package, "Property"], check=True, capture_output=True, text=True).stdout
    return dict(line.split("\t", 1) for line in table.splitlines() if "\t" in line)


def manifest(kit):
    names = sorted(n for n in os.listdir(kit) if n.endswith(".exe") and n != "verify-kit.exe")
    names += sorted("packages\\" + n for n in os.listdir(os.path.join(kit, "packages")) if n.endswith(".msi"))
    with open(os.path.join(kit, "VERIFY.txt"), "rb") as handle:
        about = handle.read().split(b"\r\n")[0]
    text = MARKER + b"about " + about + b"\n"
    codes = [properties(os.path.join(kit, *name.split("\\"))) for name in names if name.endswith(".msi")]
    for code in sorted({c["ProductCode"] for c in codes}):
        text += b"product " + code.encode() + b"\n"
    upgrade = {c["UpgradeCode"] for c in codes}
    if len(upgrade) != 1:
        sys.exit("embed-manifest: the packages have upgrade codes %s, not one" % sorted(upgrade))
    text += b"upgrade " + upgrade.pop().encode() + b"\n"
    for name in names:
        with open(os.path.join(kit, *name.split("\\")), "rb") as handle:
            text += hashlib.sha256(handle.read()).hexdigest().encode() + b" " + name.encode() + b"\n"
    return text


def main(kit):
    text = manifest(kit)
    runner = os.path.join(kit, "verify-kit.exe")
    with open(runner, "rb") as handle:
        image = bytearray(handle.read())
    at = image.find(MARKER)
    if at < 0 or image.find(MARKER, at + 1) >= 0 or len(text) >= SIZE:
        sys.exit("embed-manifest: %s has no single manifest with room for %d bytes" % (runner, len(text)))
    image[at:at + SIZE] = text + bytes(SIZE - len(text))
    with open(runner + ".partial", "wb") as handle:
        handle.write(image)
    os.replace(runner + ".partial", runner)


if __name__ == "__main__":
    main(sys.argv[1])
