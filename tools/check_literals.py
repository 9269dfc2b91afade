#!/usr/bin/env python3
"""Fails when a product source holds a string or character literal with a
byte outside ASCII. The program's texts are Shift-JIS bytes from
base/texts.h (generated from base/texts.txt); a UTF-8 literal elsewhere would
reach files and windows as UTF-8, and only GCC could be told otherwise.

    check_literals.py SOURCE_DIR
"""
import pathlib
import re
import sys

LAYERS = ["base", "platform", "convert", "transfer", "backup", "app"]
LITERAL = re.compile(rb'"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'')


def code_of(line):
    """The line without a // comment (outside literals)."""
    out, i = b"", 0
    while i < len(line):
        m = LITERAL.match(line, i)
        if m:
            out += m.group(0)
            i = m.end()
        elif line.startswith(b"//", i):
            break
        else:
            out += line[i:i + 1]
            i += 1
    return out


def main(root):
    bad = []
    for layer in LAYERS:
        for path in sorted(pathlib.Path(root, layer).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".inc"):
                continue
            in_block = False
            for number, line in enumerate(path.read_bytes().splitlines(), 1):
                if in_block:
                    if b"*/" not in line:
                        continue
                    line = line.split(b"*/", 1)[1]
                    in_block = False
                if b"/*" in line and b"*/" not in line.split(b"/*", 1)[1]:
                    line, in_block = line.split(b"/*", 1)[0], True
                for literal in LITERAL.findall(code_of(line)):
                    if any(b >= 0x80 for b in literal):
                        bad.append("%s:%d: %s" % (path, number, literal.decode("utf-8", "replace")))
    for entry in bad:
        print(entry)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
