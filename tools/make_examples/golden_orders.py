#!/usr/bin/env python3
"""Writes examples/ORDERS.csv (Shift-JIS) and examples/ORDERS.utf8.csv, the
expected output of the order example, by decoding ORDERS.db2 field by field
from ORDERS.fdf and the code tables of Quenvale.ini, here in Python and
without the program: the numbers with int and struct, the host Kanji through
iconv (IBM930 to IBM-943), the Unicode fields with the codecs and Shift-JIS
as `iconv -f UTF-16BE -t CP932` maps them. Prints the conversions' error
totals and CodeErr.csv rows, which the end-to-end test holds.

Usage (from the repository root): python3 tools/make_examples/golden_orders.py examples
"""
import decimal
import fractions
import functools
import os
import struct
import subprocess
import sys

NAME = "ORDERS"


def iconv(data, source, target):
    """data converted by the C library's iconv, or None when it refuses."""
    res = subprocess.run(["iconv", "-f", source, "-t", target], input=data,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return res.stdout if res.returncode == 0 else None


def hex_value(text):
    """Hex digits as the settings reader takes them ('A'-'F' and 'a'-'f' alike)."""
    return int(text, 16)


def settings(path):
    """The single-byte table, the user Kanji table and the substitution pair."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\r\n")
    sections, current = {}, None
    for line in lines:
        line = line.rstrip(b" ")
        if line.startswith(b"[") and line.endswith(b"]"):
            current = sections.setdefault(line[1:-1].decode(), [])
        elif line and current is not None:
            current.append(line)
    single = {}
    for entry in sections["EBCDIC"]:
        if len(entry) == 4:
            single[hex_value(entry[2:4].decode())] = b" "
        elif entry[4:5] == b"=":
            single[hex_value(entry[2:4].decode())] = b"="
        else:
            single[hex_value(entry[2:4].decode())] = entry[5:6]
    user, substitution = {}, b"\0\0"
    for entry in sections["KANJI"]:
        code = hex_value(entry[2:6].decode())
        if code == 0xFFFF:
            substitution = entry[7:9]
        else:
            user.setdefault(code, entry[7:9])
    return single, user, substitution


class Decoder:
    def __init__(self, settings_path):
        self.single, self.user, self.substitution = settings(settings_path)
        self.record = 0
        self.errors = 0
        self.report = []          # CodeErr.csv rows, Shift-JIS output
        self.unicode_errors = []  # the rows of Unicode characters among them

    def error(self, row, unicode_char=False):
        self.errors += 1
        self.report.append(row)
        if unicode_char:
            self.unicode_errors.append(row)

    @functools.lru_cache(maxsize=None)
    def host_kanji(self, code):
        if code in self.user:
            return self.user[code]
        return iconv(bytes([0x0E, code >> 8, code & 0xFF, 0x0F]), "IBM930", "IBM-943")

    def mixed(self, data):
        """Host mixed text to Shift-JIS (quotes doubled), untrimmed."""
        out, i = b"", 0
        while i < len(data):
            if data[i] == 0x0E:
                j = data.find(b"\x0F", i + 1)
                j = len(data) if j < 0 else j
                run = data[i + 1:j]
                assert len(run) % 2 == 0, "odd Kanji run"
                for k in range(0, len(run), 2):
                    code = run[k] << 8 | run[k + 1]
                    sjis = self.host_kanji(code)
                    if sjis is None or len(sjis) != 2:
                        self.error("%s,%d,0x%04x" % (NAME, self.record, code))
                        sjis = self.substitution
                    out += sjis
                i = j + 1
                continue
            ch = self.single.get(data[i], b"\0")
            if ch == b"\0":
                self.error("%s,%d,0x%02x" % (NAME, self.record, data[i]))
                ch = b" "
            out += ch * 2 if ch == b'"' else ch
            i += 1
        return out

    def text(self, data):
        """Type A: trimmed (blanks and full-width blanks), in quotes; nothing when empty."""
        sjis = self.mixed(data)
        while sjis.startswith(b" ") or sjis.startswith(b"\x81\x40"):
            sjis = sjis[1:] if sjis.startswith(b" ") else sjis[2:]
        while sjis.endswith(b" ") or sjis.endswith(b"\x81\x40"):
            sjis = sjis[:-1] if sjis.endswith(b" ") else sjis[:-2]
        return [b'"' + sjis + b'"'] if sjis else []

    def unicode(self, data):
        """UTF-16 text: (Shift-JIS pieces, UTF-8 pieces)."""
        chars = data.decode("utf-16-be").replace("\0", " ").rstrip(" \u3000")
        if not chars:
            return [], []
        sjis = b""
        for ch in chars:
            code = iconv(ch.encode("utf-16-be"), "UTF-16BE", "CP932")
            if code is None:
                self.error("%s,%d,U+%04X" % (NAME, self.record, ord(ch)), unicode_char=True)
                code = self.substitution
            sjis += code * 2 if code == b'"' else code
        return [b'"' + sjis + b'"'], ['"' + chars.replace('"', '""') + '"']


def number(value, decimals):
    """An integer as type 2 writes it: plain, or fixed point with the decimals ("0." for zero)."""
    if decimals == 0:
        return b"%d" % value
    if value == 0:
        return b"0."
    digits = ("%0*d" % (decimals + 1, abs(value)))
    return (("-" if value < 0 else "") + digits[:-decimals] + "." + digits[-decimals:]).encode()


def zoned(data):
    value = int("".join("%d" % (b & 0x0F) for b in data))
    assert all(b & 0x0F <= 9 for b in data) and all(b >> 4 == 0xF for b in data[:-1])
    sign = data[-1] >> 4
    assert sign in (0xD, 0xF)
    return -value if sign == 0xD else value


def packed(data):
    nibbles = "".join("%02X" % b for b in data)
    assert nibbles[:-1].isdigit() and nibbles[-1] in "CDF"
    return -int(nibbles[:-1]) if nibbles[-1] == "D" else int(nibbles[:-1])


def float32_bits_neighbours(x):
    bits = struct.unpack(">I", struct.pack(">f", x))[0]
    assert 0 < bits < 0x7F800000, "positive finite floats only"
    down = struct.unpack(">f", struct.pack(">I", bits - 1))[0]
    up = struct.unpack(">f", struct.pack(">I", bits + 1))[0]
    return down, up, bits & 1 == 0


def shortest_float32(x):
    """The text std::to_chars(float) writes: the fewest significant digits
    that read back as the same float (the nearest such decimal), in fixed or
    scientific form, whichever is shorter (fixed when equal)."""
    if x == 0:
        return "0"
    negative, x = x < 0, abs(x)
    down, up, even = float32_bits_neighbours(x)
    low = (fractions.Fraction(down) + fractions.Fraction(x)) / 2
    high = (fractions.Fraction(x) + fractions.Fraction(up)) / 2

    def reads_back(d):
        f = fractions.Fraction(d)
        return low < f < high or (even and (f == low or f == high))

    exact = decimal.Decimal(x)
    for digits in range(1, 10):
        exponent = exact.adjusted()
        quantum = decimal.Decimal(1).scaleb(exponent - digits + 1)
        candidates = {exact.quantize(quantum, rounding=r) for r in (decimal.ROUND_FLOOR, decimal.ROUND_CEILING)}
        good = sorted((abs(c - exact), c) for c in candidates if reads_back(c))
        if good:
            best = good[0][1]
            break
    sign, digit_tuple, exp = best.normalize().as_tuple()
    text = "".join(map(str, digit_tuple))
    point = len(text) + exp - 1  # the decimal exponent of the first digit
    scientific = text[0] + ("." + text[1:] if len(text) > 1 else "") + "e%s%02d" % ("-" if point < 0 else "+", abs(point))
    if point >= len(text) - 1:
        fixed = text + "0" * (point - len(text) + 1)
    elif point >= 0:
        fixed = text[:point + 1] + "." + text[point + 1:]
    else:
        fixed = "0." + "0" * (-point - 1) + text
    out = fixed if len(fixed) <= len(scientific) else scientific
    return ("-" if negative else "") + out


def fields(fdf_path):
    """(name, type code, bytes, length, decimals) of each field line."""
    with open(fdf_path, "rb") as f:
        lines = f.read().decode("cp932").splitlines()
    start = next(i for i, line in enumerate(lines) if line[:4].upper() == "PCFO") + 1
    out = []
    for line in lines[start:]:
        keyword, name, code, length = line.split(" ")[:4]
        assert keyword == "PCFL" and len(code) == 1
        n, _, d = length.partition("/")
        n, d = int(n), int(d or 0)
        if code == "2":
            size = n // 2
        elif code in "VN":
            size = n + 2
        else:
            size = n
        out.append((name, code, size, n, d))
    return out


def convert(folder):
    layout = fields(os.path.join(folder, NAME + ".fdf"))
    decoder = Decoder(os.path.join(folder, "Quenvale.ini"))
    width = sum(f[2] for f in layout)
    with open(os.path.join(folder, NAME + ".db2"), "rb") as f:
        image = f.read()
    assert len(image) % width == 0
    header = b'"ID"' + b"".join(b',"%s"' % f[0].encode() for f in layout) + b"\n"
    sjis_rows, utf8_rows = [header], [header]
    for number_of_record in range(len(image) // width):
        record = image[number_of_record * width:(number_of_record + 1) * width]
        decoder.record = number_of_record + 1
        sjis, utf8 = [b"%d" % decoder.record], [("%d" % decoder.record).encode()]
        offset = 0
        for name, code, size, n, d in layout:
            data = record[offset:offset + size]
            offset += size
            uni = None
            if code == "S":
                value = [number(zoned(data), d)]
            elif code == "B":
                value = [number(int.from_bytes(data, "big", signed=True), d)]
            elif code == "2":
                value = [number(packed(data), d)]
            elif code == "F":
                value = [shortest_float32(struct.unpack(">f", data)[0]).encode()]
            elif code == "H":
                value = [data.hex().upper().encode()]
            elif code == "A":
                value = decoder.text(data)
            elif code == "V":
                length = int.from_bytes(data[:2], "big")
                assert length <= n
                value = decoder.text(data[2:2 + length])
            elif code == "U":
                value, uni = decoder.unicode(data)
            elif code == "N":
                length = int.from_bytes(data[:2], "big")
                assert length <= n // 2
                value, uni = decoder.unicode(data[2:2 + 2 * length])
            else:
                raise ValueError("type code " + code)
            piece = value[0] if value else b""
            sjis.append(piece)
            if uni is not None:
                utf8.append(uni[0].encode() if uni else b"")
            else:
                utf8.append(iconv(piece, "CP932", "UTF-8"))
        sjis_rows.append(b",".join(sjis) + b"\n")
        utf8_rows.append(b",".join(utf8) + b"\n")
    return b"".join(sjis_rows), b"".join(utf8_rows), decoder


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "examples"
    sjis, utf8, decoder = convert(folder)
    with open(os.path.join(folder, NAME + ".csv"), "wb") as f:
        f.write(sjis)
    with open(os.path.join(folder, NAME + ".utf8.csv"), "wb") as f:
        f.write(utf8)
    print("Shift-JIS: %d errors; UTF-8: %d errors" % (decoder.errors, decoder.errors - len(decoder.unicode_errors)))
    print("CodeErr.csv rows (Shift-JIS output):")
    for row in decoder.report[:100]:
        print("  " + row)


if __name__ == "__main__":
    main()
