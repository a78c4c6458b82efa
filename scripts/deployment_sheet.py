#!/usr/bin/env python3
"""Writes the deployment sheet, DEPLOYMENT.txt, from docs/deployment.md as
plain text with CRLF line ends and no line over 100 characters (for Notepad
on any Windows): a table that does not fit becomes a list, one entry a row.

    deployment_sheet.py docs/deployment.md VERSION COMMIT PRODUCT_CODE EXE_BYTES > DEPLOYMENT.txt

Its first lines name what only the release knows: the version, the commit,
the package's product code and the exe's size; every "<version>" in the
guide (file names, detection rules) becomes the version. A code span split
across two lines of the guide (a command that would be copied half) is
refused.
"""
import re
import sys
import textwrap

WIDTH = 100


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
    if sum(widths) + 2 * (len(widths) - 1) <= WIDTH:
        line = lambda r: "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()
        return [line(header), "  ".join("-" * w for w in widths)] + [line(r) for r in body]
    # Too wide: each row an entry, its first cell as the title, then each
    # other cell under its column's name, wrapped.
    out = []
    for row in body:
        out += textwrap.wrap(row[0], WIDTH, initial_indent="* ", subsequent_indent="  ", break_on_hyphens=False)
        for name, cell in zip(header[1:], row[1:]):
            out += textwrap.wrap("%s: %s" % (name, cell), WIDTH, initial_indent="    ", subsequent_indent="      ",
                                 break_on_hyphens=False, break_long_words=False)
        out.append("")
    return out[:-1]


def sheet(text, version, commit, product_code, exe_bytes):
    # msiinfo ends the product code with CR LF: every line break is the sheet's own.
    version, commit, product_code, exe_bytes = (a.strip() for a in (version, commit, product_code, exe_bytes))
    out = ["veltrax-place %s: deployment sheet" % version, "(built from commit %s)" % commit,
           "Product code of this version's package: %s" % product_code,
           "veltrax-place.exe of this version: %s bytes" % "{:,}".format(int(exe_bytes)), ""]
    lines = text.replace("<version>", version).replace("\r\n", "\n").strip("\n").split("\n")
    fenced = False
    for number, line in enumerate(lines, 1):  # a command is copied whole, never from two lines
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced and line.count("`") % 2:
            sys.exit("docs/deployment.md line %d: a code span split across lines: %s" % (number, line.strip()))
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
        elif not line.lstrip().startswith("```"):
            out.append(plain(line))
        i += 1
    return "\r\n".join(out).rstrip() + "\r\n"


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as handle:
        sys.stdout.buffer.write(sheet(handle.read(), *sys.argv[2:6]).encode("utf-8"))
