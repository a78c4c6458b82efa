#!/usr/bin/python3
"""Checks the built veltrax-place.exe image: what a deployment engineer's
Windows machine will load, independent of the compiler that made it. With
--kit, checks that every program of a verification kit starts on Windows 7
SP1: a 64-bit image for Windows 7 or earlier that imports only what Windows 7
has (windows7_imports.txt beside this file), and that its runner, which runs
elevated from the folder the kit was unzipped into, imports only what
kit_runner_imports.txt allows: functions of KnownDLLs that resolve inside them.

    check_image.py EXE VERSION [LINK_MAP]     VERSION as the build has it: a.b.c.d
    check_image.py --kit FOLDER
"""
import glob
import os
import re
import sys
import unittest

import pefile

EXE = None
VERSION = None
LINK_MAP = None

IMAGE_FILE_MACHINE_AMD64 = 0x8664
SUBSYSTEM_WINDOWS_CUI = 3
DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
RT_MANIFEST = 24
ALLOWED_IMPORTS = {"KERNEL32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"}
ELEVATED_FROM_THE_KIT_FOLDER = ("verify-kit.exe",)
SIZE_BUDGET = 20480
# Runtimes the tool has no use for: C++ exception and RTTI support, and the
# POSIX thread layer (winpthread, also shipped as libpthread.a) that they bring along.
FOREIGN_RUNTIMES = ("libstdc++", "libsupc++", "libwinpthread", "libpthread", "libgcc_eh")


class Image(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_x86_64_console_program_for_windows_7(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(self.pe.FILE_HEADER.Machine, IMAGE_FILE_MACHINE_AMD64)
        self.assertEqual(self.pe.PE_TYPE, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS)
        self.assertEqual(header.Subsystem, SUBSYSTEM_WINDOWS_CUI)
        self.assertEqual((header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), (6, 1))
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 1))

    def test_aslr_and_dep(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertTrue(flags & DYNAMIC_BASE, "dynamic base")
        self.assertTrue(flags & HIGH_ENTROPY_VA, "high-entropy VA")
        self.assertTrue(flags & NX_COMPAT, "NX compatible")

    def test_no_time_stamp(self):
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)

    def test_imports_exactly_the_three_system_dlls(self):
        names = {entry.dll.decode().upper() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(names, ALLOWED_IMPORTS)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "no delay-loaded DLLs")

    def test_size_budget(self):
        # An Authenticode signature is appended to the file and never loaded: it does not count.
        security = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        size = os.path.getsize(EXE) - security.Size
        self.assertLessEqual(size, SIZE_BUDGET, "%d bytes" % size)

    def test_no_cpp_runtime_or_thread_library_linked(self):
        if LINK_MAP is None:
            self.skipTest("no link map given")
        with open(LINK_MAP, encoding="utf-8", errors="replace") as handle:
            link_map = handle.read()
        # Every archive member the linker took in is named "archive.a(member)".
        members = set(re.findall(r"([^\s/()]+\.a)\(", link_map))
        self.assertTrue(members, "the link map names the archive members it used")
        foreign = sorted(m for m in members if m.startswith(FOREIGN_RUNTIMES))
        self.assertEqual(foreign, [], "linked in: %s" % foreign)

    def test_no_manifest(self):
        types = [entry.id for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries]
        self.assertNotIn(RT_MANIFEST, types)

    def test_version_block(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        major, minor, patch, revision = (int(field) for field in VERSION.split("."))
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (major << 16 | minor, patch << 16 | revision))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (major << 16 | minor, patch << 16 | revision))

        string_tables = []
        translations = []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                string_tables.extend(info.StringTable)
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.append(var.entry.get(b"Translation"))
        self.assertEqual([table.LangID for table in string_tables], [b"040904B0"])
        self.assertEqual(translations, ["0x0409 0x04b0"])

        strings = {key.decode(): value.decode() for key, value in string_tables[0].entries.items()}
        self.assertEqual(strings.pop("FileVersion"), ", ".join(VERSION.split(".")))
        self.assertEqual(strings.pop("OriginalFilename"), "veltrax-place.exe")
        self.assertEqual({k: v for k, v in strings.items() if v != ""}, {}, "every other string is empty")


def kit_failures(folder):
    """What keeps a program of the kit from starting on Windows 7 SP1."""
    def listed(name):
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), encoding="utf-8") as handle:
            return {tuple(line.split()) for line in handle if line.strip() and not line.startswith("#")}
    allowed, runner = listed("windows7_imports.txt"), listed("kit_runner_imports.txt")
    # advapi32's Crypt* and SystemFunction* forward out of the KnownDLLs: never on the runner's list.
    runner = {(dll, f) for dll, f in runner if not f.startswith(("Crypt", "SystemFunction"))}
    programs = sorted(glob.glob(os.path.join(folder, "*.exe")))
    if not programs:
        yield "no programs in %s" % folder
    for path in programs:
        name = os.path.basename(path)
        pe = pefile.PE(path)
        header = pe.OPTIONAL_HEADER
        if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_AMD64 or pe.PE_TYPE != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            yield "%s is not a 64-bit image" % name
        for what, version in (("operating system", (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)),
                              ("subsystem", (header.MajorSubsystemVersion, header.MinorSubsystemVersion))):
            if version > (6, 1):
                yield "%s asks for %s version %d.%d, above Windows 7's 6.1" % ((name, what) + version)
        if hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"):
            yield "%s loads DLLs late, which this check cannot see" % name
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            dll = entry.dll.decode().lower()
            for imported in entry.imports:
                function = imported.name.decode() if imported.name else "#%d" % imported.ordinal
                if name.lower() in ELEVATED_FROM_THE_KIT_FOLDER and (dll, function) not in runner:
                    yield "%s imports %s!%s, which kit_runner_imports.txt does not allow" % (name, dll, function)
                if (dll, function) not in allowed:
                    yield "%s imports %s!%s, which is not listed as in Windows 7 SP1" % (name, dll, function)


if __name__ == "__main__" and sys.argv[1:2] == ["--kit"]:
    found = list(kit_failures(sys.argv[2]))
    for failure in found:
        print("FAIL: " + failure)
    print("%d programs checked" % len(glob.glob(os.path.join(sys.argv[2], "*.exe"))))
    sys.exit(1 if found else 0)

if __name__ == "__main__":
    EXE = sys.argv[1]
    VERSION = sys.argv[2]
    LINK_MAP = sys.argv[3] if len(sys.argv) > 3 else None
    del sys.argv[1:]
    unittest.main(verbosity=2)
