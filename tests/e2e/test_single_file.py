"""Single-file mode end to end: conversion, summary, cancel, arguments."""
import collections
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import time
import unittest

import qv

EBCDIC = {"A": 0xC1, "B": 0xC2, "C": 0xC3, "D": 0xC4, "E": 0xC5}
SETTINGS = "[Quenvale]\n[EBCDIC]\n0x40\n" + "".join(
    "0x%02X %s\n" % (code, ch) for ch, code in EBCDIC.items())

CUSTOMER_FDF = "Customer master\nPCFO\nPCFL CUSTNO 2 11\nPCFL AMOUNT 2 11/2\nPCFL CNAME 1 20\n"
# 1234, -500 (two decimals) and "ABC" padded with EBCDIC blanks.
CUSTOMER_RECORD = (bytes.fromhex("000001234F") + bytes.fromhex("000000500D")
                   + bytes([0xC1, 0xC2, 0xC3]) + b"\x40" * 17)

# One-byte packed records: many of them make a conversion long enough to cancel.
SMALL_FDF = "PCFO\nPCFL N 2 2\n"

CODE_ERR_HEADER = qv.sjis("DB名,レコード番号,文字コード")
# The Unicode characters of examples/ORDERS.db2 that Shift-JIS lacks, as
# record:code point, in the order of CodeErr.csv.
ORDERS_UNMAPPED = """
    1:20BB7 2:20BB7 3:20BB7 4:20BB7 10:1F64F 20:20BB7 24:20BB7 25:20BB7 26:20BB7 27:20BB7 27:525D
    28:20BB7 29:20BB7 30:20BB7 34:20BB7 35:20BB7 36:20BB7 37:20BB7 41:9DD7 42:9DD7 43:9DD7 47:20BB7
    56:9DD7 57:9DD7 62:1F64F 73:20BB7 73:20BB7 74:20BB7 75:20BB7 76:20BB7 77:9DD7 78:9DD7 79:525D
    82:00E9 83:00E9 84:00E9 85:00E9 96:00E9 97:00E9 98:00E9 102:00E9 103:00E9 110:1F64F 115:9DD7
    120:00E9 120:20BB7""".split()
EXAMPLES = os.path.join(qv.SOURCE_DIR, "examples")


def csv_rows(data):
    """Data rows of a CSV file (the header row left out)."""
    return data.split(qv.NL)[1:-1]


def runs(flags):
    """(start, end) of each run of true flags."""
    out, start = [], None
    for i, flag in enumerate(list(flags) + [False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            out.append((start, i))
            start = None
    return out


def glyph_cells(pixels):
    """A picture of text cut into lines (rows of background between them) and
    each line into cells (columns of background between glyphs); each cell as
    the tuple of its rows of ink, without blank rows above and below."""
    background = collections.Counter(v for row in pixels for v in row).most_common(1)[0][0]
    ink = [[abs(v - background) > 96 for v in row] for row in pixels]
    cells = []
    for top, bottom in runs(any(row) for row in ink):
        band = ink[top:bottom]
        for left, right in runs(any(row[x] for row in band) for x in range(len(band[0]))):
            rows = [tuple(row[left:right]) for row in band]
            inked = [i for i, row in enumerate(rows) if any(row)]
            cells.append(tuple(rows[inked[0]:inked[-1] + 1]))
    return cells


class SingleFile(unittest.TestCase):
    def folder(self):
        pf = qv.ProgramFolder()
        self.addCleanup(pf.__exit__)
        pf.write_text("Quenvale.ini", SETTINGS)
        return pf

    def test_customer_example(self):
        pf = self.folder()
        pf.write_text("CUSTOMER.fdf", CUSTOMER_FDF, newline="\n")
        pf.write("CUSTOMER.db2", CUSTOMER_RECORD)
        status = []

        def look():
            # The progress window still shows the final count behind the box.
            if qv.IS_WINDOWS:
                status.extend(qv.uiauto("item", "*", "100", "10")[1])
                qv.screenshot("single_file_summary")
                self.assert_drawn_as_glyphs("CUSTOMER")

        res = pf.run_single("CUSTOMER", before_close=look)
        self.assertEqual(res.code, 0, res.messages)
        self.assertEqual(pf.read("CUSTOMER.csv"),
                         b'"ID","CUSTNO","AMOUNT","CNAME"' + qv.NL + b'1,1234,-5.00,"ABC"' + qv.NL)
        self.assertEqual(pf.read("CodeErr.csv"), qv.sjis("DB名,レコード番号,文字コード") + qv.NL)
        self.assertIn("レコードサイズ = 30 バイト", res.messages)
        self.assertIn("Shift-JIS変換ｴﾗｰ総数=     0", res.messages)
        if qv.IS_WINDOWS:
            self.assertEqual(status, ["CUSTOMER：レコード数 1"])
        else:
            self.assertTrue(res.messages.startswith("CUSTOMER: "), res.messages)

    def summary(self, res, caption):
        """The summary box's text: the box found by its caption (Windows), or
        what the program printed for it, "<caption>: <text>" (Linux)."""
        if qv.IS_WINDOWS:
            return "\n".join(res.box_texts)
        text = res.stderr.decode("utf-8", "replace")
        self.assertTrue(text.startswith(caption + ": "), text)
        return text[len(caption) + 2:]

    def test_summary_counts_each_kind_of_error(self):
        # Record 1: an unmapped single-byte code; record 2: a user-area
        # double-byte code and a bad packed nibble (in the total only).
        pf = self.folder()
        pf.write_text("T.fdf", "PCFO\nPCFL S A 2\nPCFL W W 2\nPCFL P 2 2\n", newline="\n")
        pf.write("T.db2", bytes.fromhex("C141 4541 1C C1C2 6941 AC"))
        pf.write("CodeErr.csv", b"old report\n")
        res = pf.run_single("T")
        self.assertEqual(res.code, 3, res.messages)
        self.assertEqual(self.summary(res, "T"),
                         "レコードサイズ = 5 バイト\n\nShift-JIS変換ｴﾗｰ総数=     3\n"
                         "  漢字変換ｴﾗｰ\t= 1\n  EBCDIC変換ｴﾗｰ\t= 1\n")
        self.assertEqual(pf.read("CodeErr.csv"),
                         qv.NL.join([CODE_ERR_HEADER, b"T,1,0x41", b"T,2,0x6941", b""]))

    def test_summary_shows_the_error_text_instead_of_the_counts(self):
        # CodeErr.csv is made anew even when the conversion fails.
        cases = [
            ("record cut short", "PCFO\nPCFL A A 2\n",
             "レコードサイズ = 2 バイト\n\n  Tのﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)\n"),
            ("no description file", None, "レコードサイズ = 0 バイト\n\n  T.fdfのオープンに失敗(toCSV)\n"),
        ]
        for label, fdf, text in cases:
            with self.subTest(label):
                pf = self.folder()
                if fdf is not None:
                    pf.write_text("T.fdf", fdf, newline="\n")
                pf.write("T.db2", bytes([0xC1, 0xC2, 0xC3]))
                pf.write("CodeErr.csv", b"old report\n")
                res = pf.run_single("T")
                self.assertEqual(res.code, 0 if fdf else 254, res.messages)
                self.assertEqual(self.summary(res, "T"), text)
                self.assertEqual(pf.read("CodeErr.csv"), CODE_ERR_HEADER + qv.NL)

    @qv.skip_unless("windows")
    def test_summary_box_that_cannot_be_shown_is_no_success(self):
        # A program without a display cannot make its box (MessageBoxW gives
        # -1 at once, as on a desktop brought up without one): it ended with
        # 0 after a failed conversion, and nobody was told.
        pf = self.folder()
        pf.write("T.db2", bytes([0xC1, 0xC2, 0xC3]))
        env = qv.wine_env()
        del env["DISPLAY"]
        proc = subprocess.run(qv.WINE + [pf.exe, "T"], cwd=pf.path, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 254, proc.stderr)
        self.assertIn(qv.sjis("T: レコードサイズ = 0 バイト\n\n  T.fdfのオープンに失敗(toCSV)\n"
                              "  メッセージボックスを表示できません(MessageBoxW "), proc.stderr)

    def test_bundled_example_gives_its_golden_csv(self):
        # examples/CUSTOMER.csv, the example's expected output, was checked
        # value by value against the description and the records. The image
        # is several jobs: the same file whatever the number of workers.
        with open(os.path.join(EXAMPLES, "Quenvale.ini"), "rb") as f:
            settings = f.read()
        for workers in (b"1", b"2", b"3", b"64"):
            with self.subTest(workers=workers), qv.ProgramFolder() as pf:
                pf.write("Quenvale.ini", settings.replace(
                    b"[Quenvale]\r\n", b"[Quenvale]\r\nWorkers=" + workers + b"\r\n"))
                for name in ("CUSTOMER.fdf", "CUSTOMER.db2"):
                    shutil.copyfile(os.path.join(EXAMPLES, name), pf.file(name))
                # The example holds user-defined characters on purpose: CNAME
                # (type W, bytes 4-23 of the 151-byte record) has 0x6941 and
                # 0x6942, which [KANJI] maps, and 0x6943, which it does not:
                # each 0x6943 becomes 〓, is counted, and is reported (the
                # first 100) in CodeErr.csv.
                image = pf.read("CUSTOMER.db2")
                unmapped = [n + 1 for n in range(len(image) // 151) for k in range(4, 24, 2)
                            if image[n * 151 + k:n * 151 + k + 2] == b"\x69\x43"]
                self.assertGreater(len(unmapped), 0)
                res = pf.run_single("CUSTOMER")
                self.assertEqual(res.code, len(unmapped), res.messages)
                self.assertIn("Shift-JIS変換ｴﾗｰ総数=%6d" % len(unmapped), res.messages)
                self.assert_golden(pf.read("CUSTOMER.csv"), "CUSTOMER.csv")
                self.assertEqual(pf.read("CodeErr.csv"), qv.NL.join(
                    [CODE_ERR_HEADER] + [b"CUSTOMER,%d,0x6943" % n for n in unmapped[:100]] + [b""]))

    def assert_golden(self, csv, golden_name, mark=b""):
        """csv is examples/<golden_name> (LF there, the program's line end here)."""
        with open(os.path.join(EXAMPLES, golden_name), "rb") as f:
            golden = mark + f.read().replace(b"\n", qv.NL)
        if csv != golden:
            got, want = csv.split(qv.NL), golden.split(qv.NL)
            line = next(i for i in range(max(len(got), len(want)))
                        if i >= len(got) or i >= len(want) or got[i] != want[i])
            self.fail("the CSV differs from examples/%s from line %d on:\n got  %r\n want %r"
                      % (golden_name, line + 1, got[line] if line < len(got) else b"",
                         want[line] if line < len(want) else b""))

    def test_bundled_example_in_utf8(self):
        # The same conversion in UTF-8 (with and without a byte-order mark) is
        # the Shift-JIS golden file as iconv maps code page 932, but for the
        # currency mark of type y (TOTAL, the one backslash of every row):
        # the yen sign U+00A5 its readers mean, not the code page's U+005C.
        with open(os.path.join(EXAMPLES, "CUSTOMER.csv"), "rb") as f:
            golden = f.read()
        in_utf8 = subprocess.run(["iconv", "-f", "CP932", "-t", "UTF-8"], input=golden,
                                 stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(in_utf8.count(b",\\"), golden.count(b"\n") - 1)
        expected = in_utf8.replace(b",\\", ",¥".encode()).replace(b"\n", qv.NL)
        with open(os.path.join(EXAMPLES, "Quenvale.ini"), "rb") as f:
            settings = f.read()
        for value, mark in (("UTF-8", b""), ("UTF-8-BOM", b"\xef\xbb\xbf")):
            with self.subTest(value), qv.ProgramFolder() as pf:
                pf.write("Quenvale.ini", settings.replace(
                    b"[Quenvale]\r\n", b"[Quenvale]\r\nCsvEncoding=" + value.encode() + b"\r\n"))
                for name in ("CUSTOMER.fdf", "CUSTOMER.db2"):
                    shutil.copyfile(os.path.join(EXAMPLES, name), pf.file(name))
                res = pf.run_single("CUSTOMER")
                self.assertEqual(res.code, 44, res.messages)
                self.assertTrue(pf.read("CUSTOMER.csv") == mark + expected, value)
                # Every other file stays Shift-JIS.
                self.assertTrue(pf.read("CodeErr.csv").startswith(CODE_ERR_HEADER))

    def test_bundled_order_example_gives_its_golden_csvs(self):
        # examples/ORDERS: zoned, binary, floating point, hex, varying and
        # UTF-16 fields. Its golden files were computed from the description,
        # the records and the settings in Python (tools/make_examples/
        # golden_orders.py), not by the program. In UTF-8 every character
        # arrives; in Shift-JIS 𠮷, 鷗, é, 剝 and 🙏 have no code: each becomes
        # the settings' 〓 and a Kanji error, reported by its code point.
        with open(os.path.join(EXAMPLES, "Quenvale.ini"), "rb") as f:
            settings = f.read()
        cases = [("Shift-JIS", None, "ORDERS.csv", ORDERS_UNMAPPED),
                 ("UTF-8", b"", "ORDERS.utf8.csv", []),
                 ("UTF-8-BOM", b"\xef\xbb\xbf", "ORDERS.utf8.csv", [])]
        for value, mark, golden_name, unmapped in cases:
            with self.subTest(value), qv.ProgramFolder() as pf:
                pf.write("Quenvale.ini", settings if mark is None else settings.replace(
                    b"[Quenvale]\r\n", b"[Quenvale]\r\nCsvEncoding=" + value.encode() + b"\r\n"))
                for name in ("ORDERS.fdf", "ORDERS.db2"):
                    shutil.copyfile(os.path.join(EXAMPLES, name), pf.file(name))
                res = pf.run_single("ORDERS")
                self.assertEqual(res.code, len(unmapped), res.messages)
                self.assertIn("レコードサイズ = 176 バイト", res.messages)
                self.assertIn("  漢字変換ｴﾗｰ\t= %d\n  EBCDIC変換ｴﾗｰ\t= 0" % len(unmapped), res.messages)
                self.assert_golden(pf.read("ORDERS.csv"), golden_name, mark or b"")
                self.assertEqual(pf.read("CodeErr.csv"), qv.NL.join(
                    [CODE_ERR_HEADER] + [b"ORDERS,%s,U+%s" % tuple(e.encode().split(b":")) for e in unmapped]
                    + [b""]))

    def fdfmake(self, pf, *args):
        """fdfmake from the program folder: its exit status and its lines (Shift-JIS into a
        Windows pipe; in the terminal's code set on Linux, UTF-8 under the C locale)."""
        exe = pf.file("fdfmake.exe" if qv.IS_WINDOWS else "fdfmake")
        if not os.path.exists(exe):
            shutil.copy2(os.path.join(qv.BUILD_DIR, os.path.basename(exe)), exe)
        res = subprocess.run((qv.WINE if qv.IS_WINDOWS else []) + [exe] + list(args), cwd=pf.path,
                             env=qv.wine_env() if qv.IS_WINDOWS else dict(os.environ, LC_ALL="C"),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        encoding = "cp932" if qv.IS_WINDOWS else "utf-8"
        return res.returncode, (res.stdout + res.stderr).decode(encoding).replace("\r\n", "\n")

    def test_lists_made_from_the_host_convert_the_order_example(self):
        # The host's descriptions of examples/ORDERS: the outfile image (made
        # by tools/make_examples/make_outfile.py from the record format's
        # table), the DDS source and the SQL. The outfile's list converts the
        # example to its golden CSV; the DDS gives the same fields, the SQL
        # too but for PRICE, which SQL cannot declare as binary with decimals.
        with qv.ProgramFolder() as pf:
            for name in ("Quenvale.ini", "ORDERS.db2", "ORDERS.FFD", "ORDERS.dds", "ORDERS.sql"):
                shutil.copyfile(os.path.join(EXAMPLES, name), pf.file(name))
            null = "  ORDERSにはNULL可能なフィールドがあります。FTPで取得したイメージにNULL標識はなく、CSVには格納された値が出ます\n"
            self.assertEqual(self.fdfmake(pf, "ORDERS.FFD"), (0, null + "  ORDERS.fdfを作りました\n"))
            res = pf.run_single("ORDERS")
            self.assertEqual(res.code, len(ORDERS_UNMAPPED), res.messages)
            self.assert_golden(pf.read("ORDERS.csv"), "ORDERS.csv")
            fields = lambda data: data[data.index(b"PCFO"):]
            made = fields(pf.read("ORDERS.fdf"))
            for source, expected in (("ORDERS.dds", made),
                                     ("ORDERS.sql", made.replace(b"PRICE B 4/2", b"PRICE B 4"))):
                os.mkdir(pf.file(source[-3:]))
                self.assertEqual(self.fdfmake(pf, "--out", source[-3:], source)[0], 0, source)
                self.assertEqual(fields(pf.read(os.path.join(source[-3:], "ORDERS.fdf"))), expected, source)
            # Made again: the same list is left alone; another one is not
            # replaced without --replace.
            self.assertEqual(self.fdfmake(pf, "ORDERS.FFD"), (0, null + "  ORDERS.fdfは同じ内容のため、そのままにします\n"))
            self.assertEqual(self.fdfmake(pf, "ORDERS.sql"), (2, null + "  ORDERS.fdfは内容の違うものが既にあるため書きません(置き換えるときは--replace)\n"))
            self.assertEqual(fields(pf.read("ORDERS.fdf")), made)
            self.assertEqual(self.fdfmake(pf, "--replace", "ORDERS.sql")[0], 0)
            self.assertIn(b"PRICE B 4" + qv.NL, pf.read("ORDERS.fdf"))
            # A usage error and an input that cannot be read.
            self.assertEqual(self.fdfmake(pf)[0], 1)
            self.assertEqual(self.fdfmake(pf, "MISSING.FFD"), (1, "  MISSING.FFDを読めません\n"))

    def test_settings_saved_in_utf8_are_refused(self):
        # Notepad saves UTF-8: its tables would turn every half-width
        # katakana into ＝ and 髙 into 鬮 with a good run's summary. Refused,
        # and said so; no CSV.
        with open(os.path.join(EXAMPLES, "Quenvale.ini"), "rb") as f:
            as_utf8 = f.read().decode("cp932").encode("utf-8")
        for label, settings in (("UTF-8", as_utf8), ("UTF-8 with its mark", b"\xef\xbb\xbf" + as_utf8)):
            with self.subTest(label), qv.ProgramFolder() as pf:
                pf.write("Quenvale.ini", settings)
                for name in ("CUSTOMER.fdf", "CUSTOMER.db2"):
                    shutil.copyfile(os.path.join(EXAMPLES, name), pf.file(name))
                res = pf.run_single("CUSTOMER")
                self.assertIn("Quenvale.iniをShift-JISで保存してください", res.messages)
                self.assertEqual(res.code, 254)
                self.assertFalse(pf.exists("CUSTOMER.csv"))

    def test_values_with_commas_and_quotes_keep_their_columns(self):
        # Every text type with a comma and a quote: the unquoted kinds (I, Y,
        # D) are quoted when a value would otherwise shift the row's columns.
        pf = self.folder()
        pf.write_text("Quenvale.ini", SETTINGS + "0x6B ,\n0x7F \"\n0xF1 1\n0xF0 0\n")
        types = ["I", "Y", "D", "A", "1", "X"]    # X: a two-character token, type 1
        pf.write_text("Q.fdf", "PCFO\n" + "".join("PCFL %s %s 8\n" % (t, t * (2 if t == "X" else 1))
                                                   for t in types), newline="\n")
        value = bytes([0xC1, 0x6B, 0x7F, 0xC2, 0xF1, 0xF0, 0xF1, 0xF0])   # A,"B1010
        pf.write("Q.db2", value * len(types))
        res = pf.run_single("Q")
        self.assertEqual(res.code, 0, res.messages)
        cell = b'A,""B1010'
        self.assertEqual(pf.read("Q.csv").split(qv.NL)[1], b",".join(
            [b"1", b'"' + cell + b'"', b'"\\' + cell + b'"', b'"A,""B/10/10"']
            + [b'"' + cell + b'"'] * 3))

    def test_quoted_argument_keeps_its_quotes(self):
        pf = self.folder()
        pf.write_text("ABC.fdf", CUSTOMER_FDF)
        pf.write("ABC.db2", CUSTOMER_RECORD)
        if qv.IS_WINDOWS:
            res = pf.run_single(raw='"ABC"')
        else:
            res = pf.run_single(['"ABC"'])
        self.assertEqual(res.code, 254)
        self.assertIn('"ABC".fdfのオープンに失敗(toCSV)', res.messages)
        self.assertFalse(pf.exists("ABC.csv"))

    def test_two_words_make_one_name(self):
        pf = self.folder()
        pf.write_text("ABC DEF.fdf", CUSTOMER_FDF)
        pf.write("ABC DEF.db2", CUSTOMER_RECORD * 3)
        res = pf.run_single(["ABC", "DEF"])
        self.assertEqual(res.code, 0, res.messages)
        self.assertEqual(len(csv_rows(pf.read("ABC DEF.csv"))), 3)

    def test_too_long_argument_is_refused(self):
        pf = self.folder()
        name = "N" * 52
        res = pf.run_single(name, caption="Quenvale")
        self.assertEqual(res.code, 255)
        self.assertIn("ファイル名が長すぎます", res.messages)
        if not qv.IS_WINDOWS:
            self.assertTrue(res.messages.startswith("Quenvale: "), res.messages)
        self.assertEqual(sorted(os.listdir(pf.path)), sorted([qv.EXE_NAME, "Quenvale.ini"]))

    def test_longest_argument_is_taken(self):
        pf = self.folder()
        name = "N" * 51
        pf.write_text(name + ".fdf", CUSTOMER_FDF)
        pf.write(name + ".db2", CUSTOMER_RECORD)
        res = pf.run_single(name)
        self.assertEqual(res.code, 0, res.messages)
        self.assertTrue(pf.exists(name + ".csv"))

    # The images below take far longer to convert than the button presses
    # take, so the presses land while the conversion runs, however loaded the
    # machine is; the cancel then ends each run early.
    LONG_IMAGE = b"\x0F" * 50_000_000

    def progress_count(self, name, extra_env=None):
        """Record count shown in the progress window's status line."""
        code, texts = qv.uiauto("item", "ＣＳＶ変換中...", "100", "60", extra_env=extra_env)
        if code != 0:
            # What was there instead (the conversion may have ended, or the
            # window never come).
            self.fail("no progress window (uiauto %d); windows %r\n%s"
                      % (code, qv.uiauto("list", extra_env=extra_env)[1],
                         qv.wine_backtraces(qv.EXE_NAME)))
        status = texts[0]
        self.assertTrue(status.startswith(name + "：レコード数 "), status)
        return int(status.split("レコード数 ")[1].split()[0])

    @qv.skip_unless("windows")
    def test_cancel_button_and_yes(self):
        pf = self.folder()
        pf.write_text("BIG.fdf", SMALL_FDF)
        pf.write("BIG.db2", self.LONG_IMAGE)
        proc = pf.start("BIG")
        self.addCleanup(proc.kill)
        self.progress_count("BIG")
        code, texts = qv.uiauto("cancel", "yes", "60")
        self.assertEqual(code, 0, texts)
        self.assertIn("キャンセルしますか", texts)
        qv.screenshot("single_file_cancelled")
        code, box = qv.uiauto("texts", "BIG", "60")
        self.assertEqual(code, 0)
        self.assertIn("Shift-JIS変換ｴﾗｰ総数=    -1", "\n".join(box))
        qv.uiauto("close", "BIG", "1")
        proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 255)
        # A cancel keeps the previous CSV (here none) and leaves nothing else.
        self.assertFalse(pf.exists("BIG.csv"))
        self.assertEqual(qv.temp_files(pf.path), [])

    @qv.skip_unless("windows")
    def test_cancel_button_and_no_goes_on(self):
        pf = self.folder()
        pf.write_text("MID.fdf", SMALL_FDF)
        pf.write("MID.db2", self.LONG_IMAGE)
        proc = pf.start("MID")
        self.addCleanup(proc.kill)
        self.progress_count("MID")
        code, texts = qv.uiauto("cancel", "no", "60")
        self.assertEqual(code, 0, texts)
        after_no = self.progress_count("MID")
        # Answering No leaves the flag clear: the records go on being counted.
        deadline = time.time() + 60
        while self.progress_count("MID") <= after_no and time.time() < deadline:
            time.sleep(0.5)
        self.assertGreater(self.progress_count("MID"), after_no)
        code, texts = qv.uiauto("cancel", "yes", "60")
        self.assertEqual(code, 0, texts)
        qv.uiauto("texts", "MID", "60")
        qv.uiauto("close", "MID", "1")
        proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 255)
        # The cancel at the end keeps the previous CSV (none).
        self.assertFalse(pf.exists("MID.csv"))
        self.assertEqual(qv.temp_files(pf.path), [])

    def assert_drawn_as_glyphs(self, caption, extra_env=None):
        """The box's message as the screen shows it: different characters
        drawn differently. A font without Kanji shows one and the same hollow
        box for each Japanese character: then one shape fills more than a
        quarter of the cells, or the boxes touch and make fewer cells than
        half the characters."""
        statics = qv.window_rects(caption, 30, extra_env=extra_env)[1:]
        self.assertTrue(statics, "no box " + caption)
        rect, text = max(statics, key=lambda s: len(s[1]))
        for _ in range(10):   # the box may show before it is painted
            cells = glyph_cells(qv.grey_pixels(rect))
            most = collections.Counter(cells).most_common(1)[0][1] if cells else 0
            if len(cells) >= len("".join(text.split())) // 2 and most <= len(cells) // 4:
                return
            time.sleep(0.3)
        shot = qv.screenshot("glyphs_" + caption, rect)
        self.fail("%r drawn as %d cells, %d of them alike: see %s" % (text, len(cells), most, shot))

    @qv.skip_unless("windows")
    def test_japanese_texts_under_western_code_page(self):
        # A Western Windows (code page 1252) shows the same Japanese texts,
        # and uiauto, running there too, reads them back right.
        western = {"LANG": "en_US.UTF-8", "LC_ALL": "en_US.UTF-8"}
        pf = self.folder()
        pf.write_text("BIG.fdf", SMALL_FDF)
        pf.write("BIG.db2", self.LONG_IMAGE)
        proc = pf.start("BIG", extra_env=western)
        self.addCleanup(proc.kill)
        self.progress_count("BIG", extra_env=western)
        code, _ = qv.uiauto("press", "ＣＳＶ変換中...", "200", "60", extra_env=western)
        self.assertEqual(code, 0)
        question = qv.window_rects("確認", 60, extra_env=western)
        self.assertIn("キャンセルしますか", [text for _, text in question])
        self.assert_drawn_as_glyphs("確認", extra_env=western)
        qv.uiauto("close", "確認", "6", extra_env=western)
        code, box = qv.uiauto("texts", "BIG", "60", extra_env=western)
        self.assertEqual(code, 0)
        self.assertIn("レコードサイズ = 1 バイト", "\n".join(box))
        self.assertIn("Shift-JIS変換ｴﾗｰ総数=", "\n".join(box))
        self.assert_drawn_as_glyphs("BIG", extra_env=western)
        qv.uiauto("close", "BIG", "1", extra_env=western)
        proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 255)

    @qv.skip_unless("native")
    def test_ctrl_c_answered_yes_cancels(self):
        pf = self.folder()
        pf.write_text("BIG.fdf", SMALL_FDF)
        pf.write("BIG.db2", b"\x0F" * 20_000_000)
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(pf.path)
            os.execv(pf.exe, [pf.exe, "BIG"])
        output = b""
        sent_interrupt = answered = False
        deadline = time.time() + 120
        while time.time() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            if not sent_interrupt and "ＣＳＶ変換中".encode() in output:
                os.write(master, b"\x03")
                sent_interrupt = True
            if sent_interrupt and not answered and b"(y/n)" in output:
                os.write(master, b"y\n")
                answered = True
        _, status = os.waitpid(pid, 0)
        os.close(master)
        text = output.decode("utf-8", "replace")
        self.assertTrue(answered, text[-500:])
        self.assertIn("キャンセルしますか", text)
        self.assertEqual(os.waitstatus_to_exitcode(status), 255, text[-500:])
        self.assertFalse(pf.exists("BIG.csv"))
        self.assertEqual(qv.temp_files(pf.path), [])
        # The summary (and the last progress line) ended the run on the terminal.
        self.assertIn("BIG: レコードサイズ = 1 バイト", text)
        self.assertIn("Shift-JIS変換ｴﾗｰ総数=    -1", text)

    @qv.skip_unless("native")
    def test_no_progress_line_without_terminal(self):
        pf = self.folder()
        pf.write_text("CUSTOMER.fdf", CUSTOMER_FDF)
        pf.write("CUSTOMER.db2", CUSTOMER_RECORD * 250)
        res = pf.run("CUSTOMER")
        self.assertEqual(res.code, 0)
        self.assertNotIn("ＣＳＶ変換中", res.messages)
        self.assertTrue(res.messages.startswith("CUSTOMER: レコードサイズ = 30 バイト"), res.messages)


if __name__ == "__main__":
    unittest.main()
