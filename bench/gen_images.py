#!/usr/bin/python3
"""Writes deterministic host file images for the benchmark.

    gen_images.py FOLDER SIZE

FOLDER receives a program folder's data: MIXED.db2/.fdf (layout A), ORDERS.db2/.fdf
(layout B), HOSTTYPES.db2/.fdf (layout C) and Quenvale.ini, whose [KANJI] and [EBCDIC] sections are those of
examples/Quenvale.ini ([EBCDIC] is the CCSID 930 table). SIZE is the image
size in bytes (rounded down to whole records). The same arguments always give
the same bytes.

Layout A: 100-byte records of one mixed-text field (type A): EBCDIC capitals
and digits, shift-out, 14 Kanji, shift-in, more capitals and digits.

Layout B: 200-byte order records: packed amounts with and without decimals,
a packed date (d), a character date (D), a double-byte name (W), a type 1
note (pure double-byte or mixed), a mixed address (A), an item code (I) and
a price (y).

Layout C: 200-byte records of the other host field types: zoned numbers
with and without decimals (S), binary integers of 2, 4 and 8 bytes (B), a
double (F), bytes in hex (H), a varying mixed-text item name (V), a UTF-16
name (U) and a varying UTF-16 note (N), and a one-byte status (A).

Kanji are taken from the repository's own built-in table (convert/dbcs_table.inc):
host codes whose Shift-JIS code is a JIS level 1 Kanji, which every converter
of code page 930 maps.
"""
import os
import random
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
POOL_RECORDS = 16384  # distinct records; the image repeats them

SO, SI = 0x0E, 0x0F
# EBCDIC capitals and digits (the same in CCSID 930 and 939).
LETTERS = bytes(list(range(0xC1, 0xCA)) + list(range(0xD1, 0xDA)) +
                list(range(0xE2, 0xEA)) + list(range(0xF0, 0xFA)))
DIGITS = bytes(range(0xF0, 0xFA))


def kanji_codes():
    text = open(os.path.join(ROOT, "convert", "dbcs_table.inc"), encoding="ascii").read()
    pairs = re.findall(r"\{0x([0-9A-F]{4}), 0x([0-9A-F]{4})\}", text)
    codes = [int(h, 16) for h, s in pairs if 0x889F <= int(s, 16) <= 0x9872]
    if len(codes) < 1000:
        sys.exit("gen_images: built-in table has too few level 1 Kanji")
    return codes


def unicode_kanji():
    """The level 1 Kanji of the built-in table as Unicode characters (every
    one has a code page 932 code)."""
    text = open(os.path.join(ROOT, "convert", "dbcs_table.inc"), encoding="ascii").read()
    codes = [int(s, 16) for _, s in re.findall(r"\{0x([0-9A-F]{4}), 0x([0-9A-F]{4})\}", text)]
    return [c.to_bytes(2, "big").decode("cp932") for c in codes if 0x889F <= c <= 0x9872]


def settings():
    """[Quenvale], then [KANJI] and [EBCDIC] as examples/Quenvale.ini has them."""
    example = open(os.path.join(ROOT, "examples", "Quenvale.ini"), "rb").read()
    start = example.index(b"[KANJI]")
    return b"[Quenvale]\r\nIPADDRESS=\r\n" + example[start:]


def packed(value, nbytes):
    """Packed decimal of nbytes bytes: digits, then the sign nibble C or D."""
    digits = str(abs(value)).rjust(nbytes * 2 - 1, "0")[-(nbytes * 2 - 1):]
    nibbles = [int(d) for d in digits] + [0xD if value < 0 else 0xC]
    return bytes(nibbles[k] << 4 | nibbles[k + 1] for k in range(0, len(nibbles), 2))


def pad(data, n, blank=0x40):
    return (data + bytes([blank]) * n)[:n]


class Gen:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.kanji = kanji_codes()

    def letters(self, n):
        return bytes(self.r.choice(LETTERS) for _ in range(n))

    def dbcs(self, n):
        out = bytearray()
        for _ in range(n):
            out += self.r.choice(self.kanji).to_bytes(2, "big")
        return bytes(out)

    def mixed(self, width, kanji):
        """Letters, SO, kanji Kanji, SI, letters: exactly width bytes."""
        rest = width - 2 - 2 * kanji
        first = self.r.randint(rest // 4, rest * 3 // 4)
        return self.letters(first) + bytes([SO]) + self.dbcs(kanji) + bytes([SI]) + self.letters(rest - first)

    def date(self):
        return (self.r.randint(2015, 2030), self.r.randint(1, 12), self.r.randint(1, 28))


def layout_a(g):
    return g.mixed(100, 14)


def zoned(value, digits):
    """Zoned decimal of digits bytes: F zones, sign half F or D."""
    text = str(abs(value)).rjust(digits, "0")[-digits:]
    out = bytearray(0xF0 | int(c) for c in text)
    if value < 0:
        out[-1] = 0xD0 | (out[-1] & 0x0F)
    return bytes(out)


def varying(data, maximum, unit=1):
    """A varying field: 2-byte length (bytes, or UTF-16 units), the data, zero bytes."""
    return (len(data) // unit).to_bytes(2, "big") + data + bytes(maximum - len(data))


# (name, type, description length, bytes)
HOSTTYPES_FIELDS = [
    ("ORDNO", "S", "9", 9),
    ("LINENO", "B", "2", 2),
    ("QTY", "S", "7", 7),
    ("PRICE", "B", "4/2", 4),
    ("AMOUNT", "S", "15/2", 15),
    ("TOTAL", "B", "8/2", 8),
    ("RATE", "F", "8", 8),
    ("TAG", "H", "8", 8),
    ("ITEMNM", "V", "60", 62),
    ("SHIPTO", "U", "40", 40),
    ("NOTE", "N", "30", 32),
    ("STATUS", "A", "5", 5),
]
HOSTTYPES_LENGTH = sum(f[3] for f in HOSTTYPES_FIELDS)
assert HOSTTYPES_LENGTH == 200


def layout_c(g, unicode_kanji, index):
    r = g.r
    name = "".join(r.choice(unicode_kanji) for _ in range(r.randint(3, 12)))
    note = "".join(r.choice(unicode_kanji + ["A", "B", "1", "2", " ", "ｱ", "ｲ"]) for _ in range(r.randint(0, 15)))
    rec = b"".join([
        zoned(index + 1, 9),
        r.randint(1, 999).to_bytes(2, "big", signed=True),
        zoned(r.randint(-99999, 9999999), 7),
        r.randint(-99999999, 999999999).to_bytes(4, "big", signed=True),
        zoned(r.randint(-10 ** 14, 10 ** 15 - 1), 15),
        r.randint(-(1 << 62), 1 << 62).to_bytes(8, "big", signed=True),
        struct.pack(">d", r.randint(-10 ** 7, 10 ** 9) / 1000.0),
        bytes(r.randrange(256) for _ in range(8)),
        varying(g.mixed(r.randint(12, 60), r.randint(1, 5)), 60),
        (name.encode("utf-16-be") + "\u3000".encode("utf-16-be") * 20)[:40],
        varying(note.encode("utf-16-be"), 30, 2),
        pad(g.letters(r.randint(1, 5)), 5),
    ])
    assert len(rec) == HOSTTYPES_LENGTH
    return rec


# (name, type, description length, bytes)
ORDERS_FIELDS = [
    ("ORDNO", "2", "11", 5),
    ("CUSTNM", "W", "30", 30),
    ("ADDR", "A", "60", 60),
    ("ORDDATE", "d", "10", 5),
    ("SHPDATE", "D", "8", 8),
    ("AMOUNT", "2", "15/2", 7),
    ("QTY", "2", "9", 4),
    ("NOTE", "1", "30", 30),
    ("ITEM", "I", "12", 12),
    ("PRICE", "y", "13", 6),
    ("RATE", "2", "7/3", 3),
    ("KANA", "A", "20", 20),
    ("STATUS", "I", "2", 2),
    ("BRANCH", "2", "7", 3),
    ("REGION", "A", "5", 5),
]
ORDERS_LENGTH = sum(f[3] for f in ORDERS_FIELDS)
assert ORDERS_LENGTH == 200


def layout_b(g, index):
    r = g.r
    y, m, d = g.date()
    y2, m2, d2 = g.date()
    name = g.dbcs(r.randint(4, 15))
    if index % 2:
        note = g.dbcs(15)  # pure double-byte: type 1 takes it as such
    else:
        note = g.mixed(30, r.randint(3, 12))
    rec = b"".join([
        packed(index + 1, 5),
        pad(name, 30),
        g.mixed(60, r.randint(5, 20)),
        packed(y * 10000 + m * 100 + d, 5),
        b"".join(DIGITS[int(c)].to_bytes(1, "big") for c in "%04d%02d%02d" % (y2, m2, d2)),
        packed(r.randint(-99999999999, 99999999999), 7),
        packed(r.randint(0, 9999999), 4),
        note,
        pad(g.letters(r.randint(6, 12)), 12),
        packed(r.randint(0, 99999999999), 6),
        packed(r.randint(0, 99999), 3),
        pad(g.letters(r.randint(5, 20)), 20),
        g.letters(2),
        packed(r.randint(0, 99999), 3),
        pad(g.letters(r.randint(1, 5)), 5),
    ])
    assert len(rec) == ORDERS_LENGTH
    return rec


def write_image(path, pool, record_length, size):
    records = size // record_length
    block = b"".join(pool)
    per_block = len(pool)
    with open(path, "wb") as f:
        while records >= per_block:
            f.write(block)
            records -= per_block
        f.write(block[:records * record_length])


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, size = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "Quenvale.ini"), "wb") as f:
        f.write(settings())
    with open(os.path.join(folder, "MIXED.fdf"), "wb") as f:
        f.write(b"PCFO MIXED\nPCFL TEXT A 100\n")
    with open(os.path.join(folder, "ORDERS.fdf"), "wb") as f:
        f.write(b"PCFO ORDERS\n" + b"".join(
            ("PCFL %s %s %s\n" % (n, t, l)).encode() for n, t, l, _ in ORDERS_FIELDS))
    g = Gen(930)
    write_image(os.path.join(folder, "MIXED.db2"), [layout_a(g) for _ in range(POOL_RECORDS)], 100, size)
    g = Gen(943)
    write_image(os.path.join(folder, "ORDERS.db2"),
                [layout_b(g, k) for k in range(POOL_RECORDS)], ORDERS_LENGTH, size)
    with open(os.path.join(folder, "HOSTTYPES.fdf"), "wb") as f:
        f.write(b"PCFO HOSTTYPES\n" + b"".join(
            ("PCFL %s %s %s\n" % (n, t, l)).encode() for n, t, l, _ in HOSTTYPES_FIELDS))
    g, kanji = Gen(1200), unicode_kanji()
    write_image(os.path.join(folder, "HOSTTYPES.db2"),
                [layout_c(g, kanji, k) for k in range(POOL_RECORDS)], HOSTTYPES_LENGTH, size)


if __name__ == "__main__":
    main()
