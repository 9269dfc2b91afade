"""Faults through the real program: a full disk, unreadable and unwritable
files, a settings file that is missing, empty or binary, a host file image
shorter than its first record, a copy source that cannot be read, a backup
root that cannot be created and an FTP client that never ends. Each run ends
with the documented result and report, and leaves no partial copy behind."""
import os
import shutil
import subprocess
import time
import unittest

import qv

EBCDIC = {"A": 0xC1, "B": 0xC2, "C": 0xC3}
TABLES = "[EBCDIC]\n0x40\n" + "".join("0x%02X %s\n" % (code, ch) for ch, code in EBCDIC.items())
FDF = "PCFO\nPCFL CUSTNO 2 11\nPCFL CNAME 1 20\n"      # record length 25
RECORD = bytes.fromhex("000001234F") + bytes([0xC1, 0xC2, 0xC3]) + b"\x40" * 17
HEADER = b'"ID","CUSTNO","CNAME"'


def sanitizer_report(res):
    """A sanitized build (the sanitize preset) reports findings on stderr."""
    text = res.stderr.decode("utf-8", "replace")
    for mark in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
        if mark in text:
            return text
    return ""


def batch_run_available():
    """The batch run is real once it writes the run log."""
    path = os.path.join(qv.SOURCE_DIR, "app", "batch_run.cpp")
    try:
        with open(path, encoding="utf-8") as f:
            return "WriteRunLog" in f.read()
    except OSError:
        return False


def needs_batch_run(test):
    return unittest.skipUnless(batch_run_available(), "the batch run is not built yet")(test)


class SingleFileFaults(unittest.TestCase):
    def folder(self, settings=TABLES):
        pf = qv.ProgramFolder()
        self.addCleanup(pf.__exit__)
        if settings is not None:
            pf.write("Quenvale.ini", settings if isinstance(settings, bytes) else qv.sjis(settings))
        pf.write_text("FAULT.fdf", FDF, newline="\n")
        return pf

    @qv.skip_unless("native")
    def test_full_disk_while_the_csv_is_written(self):
        # <name>.csv leads to /dev/full: every write fails with ENOSPC.
        pf = self.folder()
        pf.write("FAULT.db2", RECORD * 500)
        os.symlink("/dev/full", pf.file("FAULT.csv"))
        res = pf.run_single("FAULT")
        self.assertEqual(sanitizer_report(res), "")
        self.assertIn("FAULT.csvの書き込みに失敗(toCSV)", res.messages)
        self.assertNotIn("Shift-JIS変換ｴﾗｰ総数", res.messages)  # the box shows the failure instead

    def test_image_shorter_than_its_first_record(self):
        pf = self.folder()
        pf.write("FAULT.db2", RECORD[:10])
        res = pf.run_single("FAULT")
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 0, res.messages)
        self.assertEqual(pf.read("FAULT.csv"), HEADER + qv.NL)  # the partial record is not written
        self.assertIn("FAULTのﾌｧｲﾙｻｲｽﾞとﾚｺｰﾄﾞｻｲｽﾞが不整合(toCSV)", res.messages)
        self.assertIn("レコードサイズ = 25 バイト", res.messages)

    def test_settings_missing_empty_or_binary(self):
        # Without tables every EBCDIC letter and blank is an unmapped code:
        # the conversion still runs to its end and counts them.
        cases = [
            ("missing", None),
            ("empty", b""),
            ("binary bytes", bytes(range(256)) * 8),
            ("binary with section names", b"\x00[EBCDIC]\x00\xff\xfe\r\n[KANJI\n\x00=\x81"),
        ]
        for label, settings in cases:
            with self.subTest(label):
                pf = self.folder(settings)
                pf.write("FAULT.db2", RECORD)
                res = pf.run_single("FAULT")
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, 20, res.messages)  # 3 letters and 17 blanks unmapped
                self.assertEqual(pf.read("FAULT.csv"), HEADER + qv.NL + b"1,1234," + qv.NL)
                self.assertIn("EBCDIC変換ｴﾗｰ\t= 20", res.messages)

    @qv.skip_unless("native")
    def test_unreadable_description_file(self):
        # A folder where the .fdf should be: it cannot be read as a file.
        pf = self.folder()
        os.remove(pf.file("FAULT.fdf"))
        os.mkdir(pf.file("FAULT.fdf"))
        pf.write("FAULT.db2", RECORD)
        res = pf.run_single("FAULT")
        self.assertEqual(sanitizer_report(res), "")
        self.assertFalse(pf.exists("FAULT.csv"))
        self.assertIn("FAULT.fdf", res.messages)
        self.assertIn("(toCSV)", res.messages)


class BatchFaults(unittest.TestCase):
    """Batch runs in folder mode: IPADDRESS is a folder to copy from."""

    def setUp(self):
        self.pf = qv.ProgramFolder()
        self.addCleanup(self.pf.__exit__)
        self.src = os.path.join(self.pf.root, "host")
        os.mkdir(self.src)

    def settings(self, extra=""):
        # A separator among its first three characters makes it a folder.
        address = "Z:" + self.src.replace("/", "\\") if qv.IS_WINDOWS else self.src
        return "[Quenvale]\nIPADDRESS=%s\n%s[DB2]\nget LIB/CUST.CUST\n%s" % (address, extra, TABLES)

    def log(self):
        return self.pf.read("Quenvale.log").decode("cp932", "replace") if self.pf.exists("Quenvale.log") else ""

    @needs_batch_run
    def test_settings_missing_empty_or_binary(self):
        # No host address: the host check finds no entry; the run log says
        # why and the run ends with -1 before anything is fetched.
        for label, settings in [("missing", None), ("empty", b""), ("binary", bytes(range(256)) * 4)]:
            with self.subTest(label):
                pf = qv.ProgramFolder()
                self.addCleanup(pf.__exit__)
                if settings is not None:
                    pf.write("Quenvale.ini", settings)
                res = pf.run()
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, 255)
                log = pf.read("Quenvale.log").decode("cp932", "replace")
                self.assertIn("AS400からの応答がないため中止", log)
                self.assertFalse(pf.exists("ftparg.txt"))
