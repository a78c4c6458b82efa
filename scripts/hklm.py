#!/usr/bin/python3
"""Reads and seeds the host build's registry database (<root>/hklm.sqlite).

usage:

  hklm.py ROOT set KEY NAME TYPE TEXT   store TEXT plus its NUL, TYPE 1 (REG_SZ) or 2 (REG_EXPAND_SZ)
  hklm.py ROOT dump KEY...              print each key below KEY with its values
"""
import sqlite3
import sys

SCHEMA = """
CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));
CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name));
"""
TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD"}


def find(db, path, create=False):
    key = 0
    for name in [part for part in path.split("\\") if part]:
        row = db.execute("SELECT id FROM keys WHERE parent = ? AND name = ?", (key, name)).fetchone()
        if row is None:
            if not create:
                return None
            key = db.execute("INSERT INTO keys(parent, name) VALUES(?, ?)", (key, name)).lastrowid
        else:
            key = row[0]
    return key


def show(data, kind):
    if kind in (1, 2) and data.endswith(b"\0"):
        return '"%s"' % data[:-1].decode("latin-1")
    return data.hex()


def dump(db, key, path):
    print("  HKLM\\%s" % path)
    for name, kind, data in db.execute("SELECT name, type, data FROM vals WHERE key = ? ORDER BY name", (key,)):
        print("      %-12s %-14s %s (%d bytes)" % (name, TYPES.get(kind, kind), show(data, kind), len(data)))
    for child, name in db.execute("SELECT id, name FROM keys WHERE parent = ? ORDER BY name", (key,)).fetchall():
        dump(db, child, path + "\\" + name)


def usage(status):
    """The usage, on stdout when asked for (exit 0), on stderr after a mistake (exit 2)."""
    (sys.stdout if status == 0 else sys.stderr).write(__doc__.lstrip("\n"))
    sys.exit(status)


def main(argv):
    if len(argv) == 1 and argv[0] in ("-h", "--help"):
        usage(0)
    is_set = len(argv) == 6 and argv[1] == "set" and argv[4] in ("1", "2")
    is_dump = len(argv) >= 3 and argv[1] == "dump"
    if not (is_set or is_dump):
        usage(2)
    root, command, args = argv[0], argv[1], argv[2:]
    db = sqlite3.connect(root + "/hklm.sqlite")
    db.executescript(SCHEMA)
    if command == "set":
        path, name, kind, text = args
        key = find(db, path, create=True)
        db.execute("INSERT OR REPLACE INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)",
                   (key, name, int(kind), text.encode("latin-1") + b"\0"))
        db.commit()
    else:
        for path in args:
            key = find(db, path)
            if key is None:
                print("  HKLM\\%s: (no such key)" % path)
            else:
                dump(db, key, path)


if __name__ == "__main__":
    main(sys.argv[1:])
