"""Input beyond the fixed sizes, through the real program in single-file mode:
each description file outside the format's limits is refused with one error
line in the summary box and no CSV file; the largest accepted forms convert.
The sanitize build runs the same program with AddressSanitizer, so nothing is
written past a buffer on the way."""
import unittest

import qv

SETTINGS = "[EBCDIC]\n0x40\n0xC1 A\n"
BAD_FDF = "LIMIT.fdfの形式が不正(toCSV)"


def sanitizer_report(res):
    """A sanitized build (the sanitize preset) reports findings on stderr."""
    text = res.stderr.decode("utf-8", "replace")
    for mark in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
        if mark in text:
            return text
    return ""


def fields(count, line):
    return "".join(line for _ in range(count))


# (label, field lines after the PCFO line, or the whole file when it has no
# PCFO line; None for the record length means refused)
CASES = [
    ("no PCFO line", "PCFL A A 1\n", None),
    ("no field after PCFO", "PCFO\n", None),
    ("fewer than four tokens", "PCFO\nPCFL A A\n", None),
    ("8001 field lines", "PCFO\n" + fields(8001, "PCFL A A 1\n"), None),
    ("8000 field lines", "PCFO\n" + fields(8000, "PCFL A A 1\n"), 8000),
    ("field name of 129 bytes", "PCFO\nPCFL " + "N" * 129 + " A 1\n", None),
    ("field name of 128 bytes", "PCFO\nPCFL " + "N" * 128 + " A 1\n", 1),
    ("byte length below 0", "PCFO\nPCFL A A -1\n", None),
    ("text of 32767 bytes", "PCFO\nPCFL A A 32767\n", None),
    ("packed of 256 bytes", "PCFO\nPCFL A 2 512\n", None),
    ("text of 256 bytes", "PCFO\nPCFL A A 256\n", 256),
    ("negative decimals", "PCFO\nPCFL A 2 6/-1\n", None),
    ("binary of 3 bytes", "PCFO\nPCFL A B 3\n", None),
    ("record length above 32766", "PCFO\nPCFL A A 32766\nPCFL B A 1\n", None),
    ("record of 32766 bytes in every kind of field",
     "PCFO\nPCFL A A 30000\nPCFL V V 2000\nPCFL U U 678\nPCFL N N 6\nPCFL S S 60/2\nPCFL B B 8\n"
     "PCFL F F 4\nPCFL H H 2\nPCFL P 2 5\nPCFL W W 2\n", 32766),
]


class DescriptionLimits(unittest.TestCase):
    def test_description_files_beyond_the_limits(self):
        for label, fdf, record_length in CASES:
            with self.subTest(label):
                with qv.ProgramFolder() as pf:
                    pf.write_text("Quenvale.ini", SETTINGS)
                    pf.write_text("LIMIT.fdf", fdf, newline="\n")
                    pf.write("LIMIT.db2", b"\xC1" * 32766 * 2)
                    res = pf.run_single("LIMIT")
                    self.assertEqual(sanitizer_report(res), "")
                    if record_length is None:
                        self.assertIn(BAD_FDF, res.messages)
                        self.assertIn("レコードサイズ = 0 バイト", res.messages)
                        self.assertFalse(pf.exists("LIMIT.csv"))
                    else:
                        self.assertNotIn(BAD_FDF, res.messages)
                        self.assertIn("レコードサイズ = %d バイト" % record_length, res.messages)
                        rows = pf.read("LIMIT.csv").split(qv.NL)[1:-1]
                        self.assertEqual(len(rows), 32766 * 2 // record_length, label)

    def test_date_text_shorter_than_four_characters_stays_as_it_is(self):
        with qv.ProgramFolder() as pf:
            pf.write_text("Quenvale.ini", "[EBCDIC]\n0xF1 1\n0xF2 2\n0xF3 3\n")
            pf.write_text("LIMIT.fdf", "PCFO\nPCFL DT D 3\n", newline="\n")
            pf.write("LIMIT.db2", b"\xF1\xF2\xF3")
            res = pf.run_single("LIMIT")
            self.assertEqual(sanitizer_report(res), "")
            self.assertEqual(res.code, 0, res.messages)
            self.assertEqual(pf.read("LIMIT.csv"), b'"ID","DT"' + qv.NL + b"1,123" + qv.NL)


if __name__ == "__main__":
    unittest.main()
