#!/usr/bin/env python3
"""Copies C++ sources, writing every non-ASCII character inside a string or
character literal as octal escapes of its code page 932 bytes.

The product stores its literals as code page 932 (GCC's -fexec-charset), which
clang cannot do. The copies compile with clang to the same bytes. Octal escapes
take at most three digits, so a following digit never joins them, and a trail
byte 0x5C becomes \\134 instead of a stray backslash.

    cp932_literals.py SOURCE_ROOT OUTPUT_ROOT FILE...   (FILE relative to SOURCE_ROOT)
"""
import os
import sys


def convert(text):
    out = []
    i, n = 0, len(text)
    state = None  # None, '"', "'", '//', '/*'
    while i < n:
        c = text[i]
        if state is None:
            if text.startswith("//", i):
                state = "//"
                out.append("//")
                i += 2
                continue
            if text.startswith("/*", i):
                state = "/*"
                out.append("/*")
                i += 2
                continue
            if c in "\"'":
                state = c
        elif state == "//":
            if c == "\n":
                state = None
        elif state == "/*":
            if text.startswith("*/", i):
                state = None
                out.append("*/")
                i += 2
                continue
        else:  # inside a literal
            if c == "\\":
                out.append(text[i:i + 2])
                i += 2
                continue
            if c == state or c == "\n":
                state = None
            elif ord(c) > 0x7F:
                out.append("".join("\\%03o" % b for b in c.encode("cp932")))
                i += 1
                continue
        out.append(c)
        i += 1
    return "".join(out)


def main():
    src_root, out_root = sys.argv[1], sys.argv[2]
    for rel in sys.argv[3:]:
        with open(os.path.join(src_root, rel), encoding="utf-8") as f:
            text = convert(f.read())
        dst = os.path.join(out_root, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        old = None
        if os.path.exists(dst):
            with open(dst, encoding="utf-8") as f:
                old = f.read()
        if old != text:  # untouched copies keep their time: no needless rebuild
            with open(dst, "w", encoding="utf-8") as f:
                f.write(text)


if __name__ == "__main__":
    main()
