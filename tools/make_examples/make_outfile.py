#!/usr/bin/env python3
"""Writes DSPFFD outfile images (record format QWHDRFFD, as
`DSPFFD FILE(...) OUTPUT(*OUTFILE)` leaves them and FTP fetches them in
binary): examples/CUSTOMER.FFD and examples/ORDERS.FFD, the descriptions of
the two example files. Made from the record format's table alone (positions,
forms), not from the program's reader, so that the reader is tested against
an image it did not make. The end-to-end tests import outfile() to build
descriptions of their own.

Usage (from the repository root): python3 tools/make_examples/make_outfile.py examples
"""
import os
import sys

RECORD_LENGTH = 1040  # QADSPFFD's on the releases seen
BLANK = 0x40

# The characters every Japanese host code page has at the same codes.
_EBCDIC = {" ": 0x40, "_": 0x6D}
for _i, _c in enumerate("ABCDEFGHI"):
    _EBCDIC[_c] = 0xC1 + _i
for _i, _c in enumerate("JKLMNOPQR"):
    _EBCDIC[_c] = 0xD1 + _i
for _i, _c in enumerate("STUVWXYZ"):
    _EBCDIC[_c] = 0xE2 + _i
for _i, _c in enumerate("0123456789"):
    _EBCDIC[_c] = 0xF0 + _i


def ebcdic(text, width):
    """text (capitals, digits, _) as EBCDIC, blank-padded to width."""
    return bytes(_EBCDIC[c] for c in text.ljust(width)[:width])


def zoned(value, width):
    """An unsigned zoned number: F-zone digits, the last with the F sign."""
    return bytes(0xF0 + int(d) for d in str(value).rjust(width, "0")[-width:])


def packed5(value):
    """A packed 5,0 number: five digits and the sign F in three bytes."""
    digits = [int(d) for d in str(value).rjust(5, "0")] + [0xF]
    return bytes(digits[i] << 4 | digits[i + 1] for i in range(0, 6, 2))


def put(record, position, data):
    """data at a 1-based position of the record."""
    record[position - 1:position - 1 + len(data)] = data


class Field:
    """One field as DSPFFD describes it: its data type letter (A O J E G P
    S B F H L T Z 5), the bytes it takes in the buffer (a varying field's
    2-byte length included), digits and decimals of a number, CCSID."""

    def __init__(self, name, type, bytes, digits=0, decimals=0, ccsid=0,
                 varying=False, null=False, internal=None, position=None):
        self.name, self.type, self.bytes = name, type, bytes
        self.digits, self.decimals, self.ccsid = digits, decimals, ccsid
        self.varying, self.null = varying, null
        self.internal = internal or name
        self.position = position


def outfile(library, file, format, level, fields, record_length=None,
            record_size=RECORD_LENGTH, count=None):
    """The records of one file: one a field. record_length and count (the
    record's WHRLEN and WHFLDN) and each field's position default to what
    the fields add up to; a test gives others to describe a broken file."""
    total = sum(f.bytes for f in fields)
    out = bytearray()
    position = 1
    for f in fields:
        r = bytearray([BLANK] * record_size)
        put(r, 1, ebcdic(file, 10))
        put(r, 11, ebcdic(library, 10))
        put(r, 21, ebcdic("PF", 10))  # WHFTYP and what follows: not read
        put(r, 47, ebcdic(format, 10))
        put(r, 57, ebcdic(level, 13))
        put(r, 120, zoned(len(fields) if count is None else count, 5))
        put(r, 125, zoned(total if record_length is None else record_length, 5))
        put(r, 130, ebcdic(f.internal, 10))
        put(r, 140, ebcdic(f.name, 10))
        put(r, 150, zoned(position if f.position is None else f.position, 5))
        put(r, 155, zoned(position, 5))  # WHIBO, the input position: not read
        put(r, 160, zoned(f.bytes, 5))
        put(r, 165, zoned(f.digits, 2))
        put(r, 167, zoned(f.decimals, 2))
        put(r, 322, bytes([0xF5]) if f.type == "5" else ebcdic(f.type, 1))
        put(r, 492, packed5(f.ccsid if f.ccsid else 65535 if f.type in "PSBFLTZ" else 0))
        put(r, 500, ebcdic("Y" if f.varying else "N", 1))
        put(r, 504, ebcdic("Y" if f.null else "N", 1))
        out += r
        position += f.bytes
    return bytes(out)


# The example files, as the host would describe them.
CUSTOMER = outfile("SALESLIB", "CUSTOMER", "CUSTR", "4F1A2B3C4D5E6", [
    Field("CUSTNO", "P", 4, 7),
    Field("CNAME", "G", 20, 0, ccsid=300),
    Field("KANA", "A", 20, ccsid=930),
    Field("ZIP", "A", 8, ccsid=930),
    Field("ADDR", "O", 40, ccsid=930),
    Field("INVNO", "P", 5, 9),
    Field("INVDATE", "P", 5, 8),
    Field("DUEDATE", "A", 8, ccsid=930),
    Field("AMOUNT", "P", 7, 13, 2),
    Field("RATE", "P", 2, 3, 3),
    Field("TAX", "P", 5, 9),
    Field("TOTAL", "P", 6, 11),
    Field("MEMO", "O", 20, ccsid=930),
    Field("STATUS", "A", 1, ccsid=930),
])

ORDERS = outfile("SALESLIB", "ORDERS", "ORDERSR", "3C0E9D8A7B6F5", [
    Field("ORDNO", "S", 9, 9),
    Field("LINENO", "B", 2, 4),
    Field("ORDDATE", "S", 8, 8),
    Field("CUSTNO", "P", 4, 7),
    Field("ITEMCD", "A", 8, ccsid=930),
    Field("ITEMNM", "A", 42, ccsid=930, varying=True),
    Field("QTY", "S", 5, 5),
    Field("PRICE", "B", 4, 9, 2),
    Field("AMOUNT", "S", 11, 11, 2),
    Field("WEIGHT", "F", 4, 7),
    Field("TRACKNO", "B", 8, 18),
    Field("SHIPTO", "G", 20, ccsid=1200),
    Field("NOTE", "G", 42, ccsid=1200, varying=True, null=True),
    Field("RFID", "H", 8, ccsid=65535),
    Field("STATUS", "A", 1, ccsid=930),
])


def main(folder):
    for name, image in (("CUSTOMER", CUSTOMER), ("ORDERS", ORDERS)):
        with open(os.path.join(folder, name + ".FFD"), "wb") as f:
            f.write(image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples")
