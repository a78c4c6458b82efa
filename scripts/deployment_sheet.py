#!/usr/bin/env python3
"""Writes the deployment sheet, DEPLOYMENT.txt, from docs/deployment.md as
plain text with CRLF line ends (for Notepad on any Windows).

    deployment_sheet.py docs/deployment.md VERSION COMMIT PRODUCT_CODE EXE_BYTES > DEPLOYMENT.txt

Its first lines name what only the release knows: the version, the commit,
the package's product code and the exe's size.
"""
import re
import sys


def plain(text):
    """Markdown inline marks removed; code spans kept as they are."""
    pieces = text.split("`")
    for i in range(0, len(pieces), 2):  # outside code spans
        pieces[i] = re.sub(r"\*\*(.+?)\*\*", r"\1", pieces[i])
        pieces[i] = re.sub(r"(?<![\w*])\*([^*\s][^*]*?)\*(?![\w*])", r"\1", pieces[i])
    return "".join(pieces)


def table(rows):
    cells = [[plain(c.strip()) for c in row.strip().strip("|").split("|")] for row in rows]
    header, body = cells[0], [r for r in cells[1:] if not all(set(c) <= set("-: ") for c in r)]
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    line = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()
    return [line(header), "  ".join("-" * w for w in widths)] + [line(r) for r in body]


def sheet(text, version, commit, product_code, exe_bytes):
    out = ["veltrax-place %s: deployment sheet" % version, "(built from commit %s)" % commit,
           "Product code of this version's package: %s" % product_code,
           "veltrax-place.exe of this version: %s bytes" % "{:,}".format(int(exe_bytes)), ""]
    lines = text.strip("\n").split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            out += table(rows)
            continue
        heading = re.match(r"(#+)\s+(.*)", line)
        if heading:
            title = plain(heading.group(2))
            out += [title, ("=" if len(heading.group(1)) <= 2 else "-") * len(title)]
        elif not line.startswith("```"):
            out.append(plain(line))
        i += 1
    return "\r\n".join(out).rstrip() + "\r\n"


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as handle:
        sys.stdout.buffer.write(sheet(handle.read(), *sys.argv[2:6]).encode("utf-8"))
