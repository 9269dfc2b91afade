"""Faults through the real program: a full disk, unreadable and unwritable
files, a settings file that is missing, empty or binary, a host file image
shorter than its first record, a copy source that cannot be read, a backup
root that cannot be created and an FTP client that never ends. Each run ends
with the documented result and report, and leaves no partial copy behind."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import qv
import test_batch_run as batch

EBCDIC = {"A": 0xC1, "B": 0xC2, "C": 0xC3}
TABLES = "[EBCDIC]\n0x40\n" + "".join("0x%02X %s\n" % (code, ch) for ch, code in EBCDIC.items())
FDF = "PCFO\nPCFL CUSTNO 2 11\nPCFL CNAME 1 20\n"      # record length 25
RECORD = bytes.fromhex("000001234F") + bytes([0xC1, 0xC2, 0xC3]) + b"\x40" * 17
HEADER = b'"ID","CUSTNO","CNAME"'


# Runs the program (the rest of the command line) with a file size limit of
# argv[1] bytes and SIGXFSZ ignored: every write past the limit fails with
# EFBIG, as writes to a full disk fail.
SIZE_LIMIT = ("import os, resource, signal, sys; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
              "n = int(sys.argv[1]); resource.setrlimit(resource.RLIMIT_FSIZE, (n, n)); "
              "os.execv(sys.argv[2], sys.argv[2:])")


def size_limit(limit):
    return [sys.executable, "-c", SIZE_LIMIT, str(limit)]


TINY_FDF = "PCFO\nPCFL N 2 2\n"   # one-byte records; each row far longer


def sanitizer_report(res):
    """A sanitized build (the sanitize preset) reports findings on stderr."""
    text = res.stderr.decode("utf-8", "replace")
    for mark in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
        if mark in text:
            return text
    return ""


class SingleFileFaults(unittest.TestCase):
    def folder(self, settings=TABLES):
        pf = qv.ProgramFolder()
        self.addCleanup(pf.__exit__)
        if settings is not None:
            pf.write("Quenvale.ini", settings if isinstance(settings, bytes) else qv.sjis(settings))
        pf.write_text("FAULT.fdf", FDF, newline="\n")
        return pf

    def convert_with_size_limit(self, pf, name, limit):
        """A single-file run that may write files of at most limit bytes (SIGXFSZ ignored)."""
        proc = subprocess.Popen(size_limit(limit) + [pf.exe, name], cwd=pf.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        pf.procs.append(proc)
        out, err = proc.communicate(timeout=120)
        res = qv.Result(proc.returncode, out, err)
        self.assertEqual(sanitizer_report(res), "")
        return res

    @qv.skip_unless("native")
    def test_full_disk_while_the_csv_is_written(self):
        # The disk fills as the CSV is written: yesterday's CSV stays whole.
        pf = self.folder()
        pf.write_text("FAULT.fdf", TINY_FDF, newline="\n")
        pf.write("FAULT.db2", b"\x0F" * 20000)
        pf.write("FAULT.csv", b"yesterday")
        res = self.convert_with_size_limit(pf, "FAULT", 100_000)
        self.assertIn("FAULT.csvの書き込みに失敗(toCSV)", res.messages)
        self.assertEqual(res.code, 254, res.messages)
        self.assertNotIn("Shift-JIS変換ｴﾗｰ総数", res.messages)  # the box shows the failure instead
        self.assertEqual(pf.read("FAULT.csv"), b"yesterday")
        self.assertEqual(qv.temp_files(pf.path), [])

    @qv.skip_unless("native")
    def test_full_disk_while_code_err_is_written(self):
        # Room for the CSV but not for CodeErr.csv: the failure is told and
        # fails the run, and the last conversion's rows do not stay to pass
        # for this one's.
        pf = self.folder()
        pf.write_text("FAULT.fdf", "PCFO\nPCFL T A 150\n", newline="\n")
        pf.write("FAULT.db2", b"\xC4" * 150)     # 150 unmapped codes, a blank value
        pf.write("CodeErr.csv", b"OTHER,1,0xc4\n")
        res = self.convert_with_size_limit(pf, "FAULT", 600)
        self.assertEqual(res.code, 254, res.messages)
        self.assertIn("CodeErr.csvの書き込みに失敗(toCSV)", res.messages)
        self.assertEqual(pf.read("FAULT.csv"), b'"ID","T"\n1,\n')
        self.assertFalse(pf.exists("CodeErr.csv"))
        self.assertEqual(qv.temp_files(pf.path), [])

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

    def test_run_that_writes_no_csv_fails(self):
        # Each once exited with 0, as a clean conversion does; a run that
        # wrote its CSV keeps the error count (a cut last record: 0).
        cases = [("no description file", None, RECORD, None, 254),
                 ("malformed description file", "PCFL CUSTNO 2 11\n", RECORD, None, 254),
                 ("no image", FDF, None, None, 254),
                 ("a folder at the CSV's name", FDF, RECORD, "folder", 254),
                 ("record cut short", FDF, RECORD + RECORD[:3], None, 0)]
        if not qv.IS_WINDOWS:
            cases.append(("a link at the CSV's name", FDF, RECORD, "link", 254))
        for label, fdf, image, at_csv, code in cases:
            with self.subTest(label):
                pf = self.folder()
                if fdf is None:
                    os.remove(pf.file("FAULT.fdf"))
                else:
                    pf.write_text("FAULT.fdf", fdf, newline="\n")
                if image is not None:
                    pf.write("FAULT.db2", image)
                if at_csv == "folder":
                    os.mkdir(pf.file("FAULT.csv"))
                elif at_csv == "link":
                    pf.write("victim", b"not yours")
                    os.symlink(pf.file("victim"), pf.file("FAULT.csv"))
                res = pf.run_single("FAULT")
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, code, res.messages)
                self.assertIn("(toCSV)", res.messages)
                self.assertEqual(pf.exists("FAULT.csv") and not os.path.isdir(pf.file("FAULT.csv"))
                                 and not os.path.islink(pf.file("FAULT.csv")), code == 0)

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
    """Batch runs, mostly in folder mode (IPADDRESS names a folder)."""

    def setUp(self):
        self.pf = qv.ProgramFolder("prog")
        self.addCleanup(self.pf.__exit__)
        self.host = os.path.join(self.pf.root, "host")
        os.mkdir(self.host)
        self.transfer = os.path.join(self.pf.path, "DB2")
        os.mkdir(self.transfer)

    run_batch = batch.BatchRun.run_batch

    def settings(self, quenvale, db2):
        text = "[Quenvale]\n" + "".join("%s=%s\n" % kv for kv in quenvale.items())
        text += "[DB2]\n" + "".join(line + "\n" for line in db2) + TABLES
        self.pf.write_text("Quenvale.ini", text)

    def host_file(self, name, data=RECORD):
        with open(os.path.join(self.host, name), "wb") as f:
            f.write(data)

    def log(self):
        return self.pf.read("Quenvale.log")

    def assertLog(self, events, errors=""):
        log = self.log()
        self.assertIsNotNone(re.fullmatch(batch.log_pattern(events, errors), log), log)

    def test_settings_missing_empty_or_binary(self):
        # No host address: the host check finds no entry; the run log says
        # so and the run ends with -1 before anything is fetched.
        for label, settings in [("missing", None), ("empty", b""), ("binary", bytes(range(256)) * 4)]:
            with self.subTest(label):
                if settings is None:
                    if self.pf.exists("Quenvale.ini"):
                        os.remove(self.pf.file("Quenvale.ini"))
                else:
                    self.pf.write("Quenvale.ini", settings)
                if self.pf.exists("Quenvale.log"):
                    os.remove(self.pf.file("Quenvale.log"))
                res = self.run_batch(False)
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, 255, res.messages)
                self.assertIsNotNone(re.fullmatch(
                    rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d " + re.escape(qv.sjis("AS400からの応答がないため中止"))
                    + re.escape(qv.NL), self.log()), self.log())
                self.assertFalse(self.pf.exists("ftparg.txt"))
                self.assertEqual(os.listdir(self.transfer), [])

    @qv.skip_unless("native")
    def test_copy_source_that_cannot_be_read(self):
        # BAD.DB2 opens but cannot be read: its copy fails (code 2) and
        # leaves nothing in the transfer folder; the run goes on and the
        # conversion reports the missing image.
        self.host_file("GOOD.DB2")
        os.symlink("/proc/self/mem", os.path.join(self.host, "BAD.DB2"))
        for name in ("GOOD", "BAD"):
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": self.host}, ["get LIB/GOOD.GOOD", "get LIB/BAD.BAD"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertEqual(sorted(os.listdir(self.transfer)), ["CodeErr.csv", "GOOD.DB2", "GOOD.csv"])
        self.assertLog(["開始", "CSV変換", "終了"], "  BAD.DB2のコピーに失敗(CopyDb2Files 2)\n"
                       "  BAD.DB2を取得できなかったため変換しません(RunBatch)\n")

    def test_backup_root_that_cannot_be_created(self):
        # The backup root lies below a regular file: no permission bits are
        # involved, so it fails for root as well. The system's text ends the
        # run before any conversion.
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        plain = os.path.join(self.pf.root, "plain")
        with open(plain, "wb") as f:
            f.write(b"a file")
        root = batch.native_path(os.path.join(plain, "backup"))
        self.settings({"IPADDRESS": batch.native_path(self.host), "BackupDir": root},
                      ["get LIB/GOOD.GOOD"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 255, res.messages)
        log = self.log()
        self.assertIn(qv.sjis("ﾊﾞｯｸｱｯﾌﾟ"), log)
        self.assertIn(qv.sjis("ｷｬﾝｾﾙ"), log)
        self.assertNotIn(qv.sjis("CSV変換"), log)
        self.assertEqual(os.listdir(self.transfer), ["GOOD.DB2"])
        with open(plain, "rb") as f:
            self.assertEqual(f.read(), b"a file")

    @qv.skip_unless("native")
    def test_full_disk_keeps_the_previous_image_backup_and_csv(self):
        # The disk fills (100 KB left) in the fetch copy (HUGE), in the
        # weekday backup (OLDBIG, left in the transfer folder by an earlier
        # run) and in the CSV (GOOD: a 20 KB image, a far longer CSV). Each
        # previous file stays byte for byte, no temporary file stays, and
        # the run ends with 254.
        self.host_file("GOOD.DB2", b"\x0F" * 20000)
        self.host_file("HUGE.DB2", b"\x0F" * 150_000)
        self.pf.write_text("GOOD.fdf", TINY_FDF, newline="\n")
        previous = {"HUGE.DB2": b"yesterday", "GOOD.csv": b"yesterday", "OLDBIG.DB2": b"\x0F" * 150_000}
        for name, data in previous.items():
            self.pf.write(os.path.join("DB2", name), data)
        backup = os.path.join(self.pf.root, "backup")
        for weekday in batch.WEEKDAYS:
            os.makedirs(os.path.join(backup, weekday))
            with open(os.path.join(backup, weekday, "OLDBIG.DB2"), "wb") as f:
                f.write(b"last week")
        self.settings({"IPADDRESS": self.host, "BackupDir": backup},
                      ["get LIB/GOOD.GOOD", "get LIB/HUGE.HUGE"])
        res = self.run_batch(True, prefix=size_limit(100_000))
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  HUGE.DB2のコピーに失敗(CopyDb2Files 3)\n"
                       "  OLDBIG.DB2のコピーに失敗(CopyDb2Files 3)\n"
                       "  GOOD.csvの書き込みに失敗(toCSV)\n"
                       "  HUGE.DB2を取得できなかったため変換しません(RunBatch)\n")
        for name, data in previous.items():
            self.assertEqual(self.pf.read(os.path.join("DB2", name)), data, name)
        for weekday in batch.WEEKDAYS:
            with open(os.path.join(backup, weekday, "OLDBIG.DB2"), "rb") as f:
                self.assertEqual(f.read(), b"last week", weekday)
            self.assertEqual(qv.temp_files(os.path.join(backup, weekday)), [])
        self.assertEqual(qv.temp_files(self.transfer), [])

    def test_cut_image_is_neither_backed_up_nor_converted(self):
        # CUT came 10 bytes into its fourth record (a server that sent part
        # of a member and said nothing): it is kept aside as CUT.DB2.cut, the
        # good image stays in DB2 (and is what the backups get), yesterday's
        # CSV stays, one line names it. GOOD goes on; an image without a
        # listed entry is backed up as it is.
        good = RECORD * 3
        self.host_file("CUT.DB2", RECORD * 3 + RECORD[:10])
        self.host_file("GOOD.DB2")
        self.host_file("OTHER.DB2", RECORD[:10])
        for name in ("CUT", "GOOD"):
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        self.pf.write(os.path.join("DB2", "CUT.csv"), b"yesterday")
        self.pf.write(os.path.join("DB2", "CUT.DB2"), good)
        backup = os.path.join(self.pf.root, "backup")
        for weekday in batch.WEEKDAYS:
            os.makedirs(os.path.join(backup, weekday))
            with open(os.path.join(backup, weekday, "CUT.DB2"), "wb") as f:
                f.write(good)
        self.settings({"IPADDRESS": batch.native_path(self.host), "BackupDir": batch.native_path(backup)},
                      ["get LIB/CUT.CUT", "get LIB/GOOD.GOOD"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUT.DB2の大きさがレコード長の倍数でないため、CUT.DB2.cutとして残し、"
                       "バックアップも変換もしません(RunBatch)\n")
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.csv")), b"yesterday")
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.DB2")), good)
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.DB2.cut")), RECORD * 3 + RECORD[:10])
        self.assertEqual(self.pf.read(os.path.join("DB2", "GOOD.csv")),
                         HEADER + qv.NL + b'1,1234,"ABC"' + qv.NL)
        backed_up = set()
        for weekday in batch.WEEKDAYS:
            with open(os.path.join(backup, weekday, "CUT.DB2"), "rb") as f:
                self.assertEqual(f.read(), good, weekday)
            backed_up |= set(os.listdir(os.path.join(backup, weekday)))
        self.assertEqual(backed_up, {"CUT.DB2", "GOOD.DB2", "OTHER.DB2"})

    ftp_server = batch.BatchRun.ftp_server

    def test_cut_image_never_reaches_a_backup_in_ftp_mode(self):
        # Day 1 the host sends CUT cut: it is kept aside, the good image
        # stays in DB2. Day 2 the host file is missing and a cut image
        # stands in DB2 (an earlier version left it there): it is not backed
        # up over the weekday and monthly copies, and the month is not
        # recorded as done.
        self.tmp = self.pf.root
        good = RECORD * 3
        cut = RECORD * 3 + RECORD[:10]
        root = os.path.join(self.pf.root, "ftproot")
        os.makedirs(os.path.join(root, "QGPL"))
        for member, data in (("CUT.CUT", cut), ("GOOD.GOOD", RECORD)):
            with open(os.path.join(root, "QGPL", member), "wb") as f:
                f.write(data)
        for name in ("CUT", "GOOD"):
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        self.pf.write(os.path.join("DB2", "CUT.DB2"), good)
        backup = os.path.join(self.pf.root, "backup")
        folders = batch.WEEKDAYS + ["%02d月" % m for m in range(1, 13)]
        for folder in folders:
            os.makedirs(os.path.join(backup, folder))
            with open(os.path.join(backup, folder, "CUT.DB2"), "wb") as f:
                f.write(good)
        port = self.ftp_server(root)
        env = {"QV_FTP_PORT": str(port), "QV_FTP_TIMEOUT": "60"}
        quenvale = {"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret", "TimeLimit": "60",
                    "BackupDir": batch.native_path(backup), "MonthBackup": "1"}
        lines = ["get QGPL/CUT.CUT", "get QGPL/GOOD.GOOD"]
        self.settings(quenvale, lines)
        res = self.run_batch(False, env=env)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUT.DB2の大きさがレコード長の倍数でないため、CUT.DB2.cutとして残し、"
                       "バックアップも変換もしません(RunBatch)\n")
        self.assertEqual(sorted(os.listdir(self.transfer)), ["CUT.DB2", "CUT.DB2.cut", "CodeErr.csv", "GOOD.DB2", "GOOD.csv"])
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.DB2")), good)
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.DB2.cut")), cut)
        self.assertIn(b"Last_MonthBackup=", self.pf.read("Quenvale.ini"))

        os.remove(os.path.join(root, "QGPL", "CUT.CUT"))
        self.pf.write(os.path.join("DB2", "CUT.DB2"), cut)
        self.settings(quenvale, lines)   # Last_MonthBackup gone: the monthly backup is due again
        os.remove(self.pf.file("Quenvale.log"))
        res = self.run_batch(False, env=env)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUT.DB2の大きさがレコード長の倍数でないためバックアップも変換もしません(RunBatch)\n"
                       "  CUT.DB2を取得できなかったため変換しません(RunBatch)\n")
        for folder in folders:
            with open(os.path.join(backup, folder, "CUT.DB2"), "rb") as f:
                self.assertEqual(f.read(), good, folder)
        self.assertNotIn(b"Last_MonthBackup=", self.pf.read("Quenvale.ini"))

        # A run killed during the fetch left the good image waiting as
        # CUT.DB2.prev and the client's cut one in its place: the next run
        # puts the good one back before it fetches.
        self.pf.write(os.path.join("DB2", "CUT.DB2.prev"), good)
        os.remove(self.pf.file("Quenvale.log"))
        res = self.run_batch(False, env=env)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUT.DB2の大きさがレコード長の倍数でないため、CUT.DB2.cutとして残し、"
                       "バックアップも変換もしません(RunBatch)\n"
                       "  CUT.DB2を取得できなかったため変換しません(RunBatch)\n")
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.DB2")), good)
        self.assertFalse(self.pf.exists(os.path.join("DB2", "CUT.DB2.prev")))

    @qv.skip_unless("native")
    def test_links_planted_at_target_names_are_not_written_through(self):
        # Links at a fetched image, at a CSV and at a weekday backup's image
        # (and one at an image that would be backed up) name a file of
        # another account: nothing is written through them or read from
        # them, each is reported, and the other files go on.
        victim = os.path.join(self.pf.root, "victim")
        with open(victim, "wb") as f:
            f.write(b"not yours")
        for name in ("LINKED", "GOOD", "CSVLINK"):
            self.host_file(name + ".DB2")
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        links = [os.path.join(self.transfer, "LINKED.DB2"), os.path.join(self.transfer, "CSVLINK.csv"),
                 os.path.join(self.transfer, "SECRET.DB2")]
        backup = os.path.join(self.pf.root, "backup")
        for weekday in batch.WEEKDAYS:
            os.makedirs(os.path.join(backup, weekday))
            links.append(os.path.join(backup, weekday, "GOOD.DB2"))
        for link in links:
            os.symlink(victim, link)
        self.settings({"IPADDRESS": self.host, "BackupDir": backup},
                      ["get LIB/LINKED.LINKED", "get LIB/GOOD.GOOD", "get LIB/CSVLINK.CSVLINK"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        log = self.log().decode("cp932")
        for line in ("  LINKED.DB2のコピーに失敗(CopyDb2Files 1)\n",
                     "  SECRET.DB2のコピーに失敗(CopyDb2Files 1)\n",
                     "  GOOD.DB2のコピーに失敗(CopyDb2Files 1)\n",
                     "  CSVLINK.csvがリンクのため書き込みません(toCSV)\n",
                     "  LINKED.DB2を取得できなかったため変換しません(RunBatch)\n"):
            self.assertIn(line, log)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"not yours")
        for link in links:
            self.assertTrue(os.path.islink(link), link)
        self.assertEqual(self.pf.read(os.path.join("DB2", "GOOD.csv")), HEADER + qv.NL + b"1,1234,\"ABC\"" + qv.NL)

    @qv.skip_unless("native")
    def test_link_at_the_transfer_folder_is_not_followed(self):
        # A link planted at DB2 would take the images and CSVs into the
        # folder it names: one line, nothing fetched or written there.
        victim = os.path.join(self.pf.root, "victim")
        os.mkdir(victim)
        with open(os.path.join(victim, "GOOD.csv"), "wb") as f:
            f.write(b"not yours")
        os.rmdir(self.transfer)
        os.symlink(victim, self.transfer)
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": self.host}, ["get LIB/GOOD.GOOD"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "終了"], "  DB2がリンクのため取得もバックアップも変換もしません(RunBatch)\n")
        self.assertEqual(os.listdir(victim), ["GOOD.csv"])
        self.assertTrue(os.path.islink(self.transfer))

    def test_settings_write_back(self):
        # Last_MonthBackup is written through a temporary file that keeps
        # the settings' permissions (they hold the password); a read-only
        # settings file is left as it is and the failure reported, rather
        # than the month's copy being made again at every run.
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        backup = os.path.join(self.pf.root, "backup")
        self.settings({"IPADDRESS": batch.native_path(self.host), "BackupDir": batch.native_path(backup),
                       "MonthBackup": "1"}, ["get LIB/GOOD.GOOD"])
        ini = self.pf.file("Quenvale.ini")
        before = self.pf.read("Quenvale.ini")
        for mode, code in ((0o444, 254), (0o600, 0)):
            with self.subTest(oct(mode)):
                if self.pf.exists("Quenvale.log"):
                    os.remove(self.pf.file("Quenvale.log"))
                os.chmod(ini, mode)
                res = self.run_batch(True)
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, code, res.messages)
                self.assertEqual(qv.temp_files(self.pf.path), [])
                if code:
                    self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                                   "  Quenvale.iniに書き込めません(RotateBackups)\n")
                    self.assertEqual(self.pf.read("Quenvale.ini"), before)
                else:
                    self.assertIn(b"Last_MonthBackup=", self.pf.read("Quenvale.ini"))
                    if not qv.IS_WINDOWS:
                        self.assertEqual(os.stat(ini).st_mode & 0o777, mode)

    def test_log_or_lock_that_cannot_be_written(self):
        # A folder where Quenvale.log or Quenvale.lock belongs stands for a
        # read-only file or program folder (which root would write anyway).
        # Without its log the run still converts but exits with 254; without
        # its lock it touches nothing but the log, where it says why. Both
        # say why on standard error.
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": batch.native_path(self.host)}, ["get LIB/GOOD.GOOD"])
        for name, converted, told in (("Quenvale.log", True, "Quenvale.logに書き込めません"),
                                      ("Quenvale.lock", False, "Quenvale.lockを作れません")):
            with self.subTest(name):
                shutil.rmtree(self.transfer)
                os.mkdir(self.transfer)
                for left in ("Quenvale.log", "Quenvale.lock"):
                    if os.path.isfile(self.pf.file(left)):
                        os.remove(self.pf.file(left))
                os.mkdir(self.pf.file(name))
                res = self.run_batch(converted)
                os.rmdir(self.pf.file(name))
                self.assertEqual(sanitizer_report(res), "")
                self.assertEqual(res.code, 254, res.messages)
                self.assertEqual(os.path.exists(os.path.join(self.transfer, "GOOD.csv")), converted)
                self.assertIn(told.encode("cp932" if qv.IS_WINDOWS else "utf-8"), res.stderr)
                if not converted:
                    self.assertEqual(os.listdir(self.transfer), [])
                    self.assertIsNotNone(re.fullmatch(
                        rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d " + re.escape(qv.sjis("Quenvale.lockを開けないため中止"))
                        + re.escape(qv.NL), self.log()), self.log())
                    os.remove(self.pf.file("Quenvale.log"))

    @qv.skip_unless("native")
    def test_lock_file_that_cannot_be_written_still_locks(self):
        # A Quenvale.lock made by another account (root, once) is only read
        # by the service account; it must not stop the run. Immutable, it
        # cannot be opened for writing even by root. (Wine run by root opens
        # a read-only file for writing all the same: no case there.)
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": batch.native_path(self.host)}, ["get LIB/GOOD.GOOD"])
        lock = self.pf.file("Quenvale.lock")
        self.pf.write("Quenvale.lock", b"")
        subprocess.run(["chattr", "+i", lock], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", lock])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 0, res.messages)
        self.assertTrue(os.path.exists(os.path.join(self.transfer, "GOOD.csv")))
        self.assertLog(["開始", "CSV変換", "終了"])

    @qv.skip_unless("native")
    def test_link_at_the_log_is_not_written_through(self):
        # It was appended through: someone else's file got the run's line.
        # The run goes on, says why on standard error and exits with 254.
        self.host_file("GOOD.DB2")
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": self.host}, ["get LIB/GOOD.GOOD"])
        victim = os.path.join(self.pf.root, "victim")
        with open(victim, "wb") as f:
            f.write(b"not yours")
        os.symlink(victim, self.pf.file("Quenvale.log"))
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertIn("Quenvale.logがリンクのため書き込みません", res.messages)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"not yours")
        self.assertTrue(os.path.islink(self.pf.file("Quenvale.log")))
        self.assertTrue(os.path.exists(os.path.join(self.transfer, "GOOD.csv")))

    def test_second_run_while_the_first_works_is_refused(self):
        # The first run copies a 300 MB image; a second one started then
        # touches nothing, not even the log the first is writing (its line
        # once split the first run's): it says why on standard error and
        # exits with 254; the first finishes its copy and its line whole.
        size = 300 << 20
        with open(os.path.join(self.host, "BIG.DB2"), "wb") as f:
            f.truncate(size)
        self.settings({"IPADDRESS": batch.native_path(self.host)}, [])
        second = []

        def during(proc):
            deadline = time.monotonic() + 60
            while not qv.temp_files(self.transfer):
                self.assertIsNone(proc.poll(), "the first run ended before the second started")
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.005)
            before = sorted(os.listdir(self.transfer))
            second.append(self.pf.run())
            self.assertEqual(sorted(os.listdir(self.transfer)), before)
        res = self.run_batch(True, during=during)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 0, res.messages)
        self.assertEqual(second[0].code, 254, second[0].messages)
        self.assertIn(b"Quenvale: " + qv.sjis("別のQuenvaleが実行中のため中止")
                      if qv.IS_WINDOWS else "Quenvale: 別のQuenvaleが実行中のため中止".encode(),
                      second[0].stderr)
        self.assertEqual(os.path.getsize(os.path.join(self.transfer, "BIG.DB2")), size)
        self.assertLog(["開始", "CSV変換", "終了"])

    def test_code_error_rows_of_every_file_in_one_report(self):
        # The batch run wrote no CodeErr.csv: which file had the codes that
        # did not convert was nowhere. DB2\CodeErr.csv now holds every
        # converted file's rows and replaces the last run's whole.
        for name, letter in (("ONE", 0xC4), ("TWO", 0xC5)):
            self.host_file(name + ".DB2", RECORD[:5] + bytes([letter]) + RECORD[6:])
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        self.pf.write(os.path.join("DB2", "CodeErr.csv"), b"LAST,1,0xc4\n")
        self.settings({"IPADDRESS": batch.native_path(self.host)}, ["get LIB/ONE.ONE", "get LIB/TWO.TWO"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 1, res.messages)
        self.assertEqual(self.pf.read(os.path.join("DB2", "CodeErr.csv")),
                         qv.NL.join([qv.sjis("DB名,レコード番号,文字コード"), b"ONE,1,0xc4", b"TWO,1,0xc5", b""]))

    def test_every_error_of_a_long_run_reaches_the_log(self):
        # Forty entries without description files: every error line of the
        # night is in the log (the error text once held five or six).
        names = ["FILE%02d" % i for i in range(40)]
        for name in names:
            self.host_file(name + ".DB2")
        self.settings({"IPADDRESS": batch.native_path(self.host)},
                      ["get LIB/%s.%s" % (n, n) for n in names])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"],
                       "".join("  %s.fdfのオープンに失敗(toCSV)\n" % n for n in names))

    def ftp_run(self, client, limit):
        """FTP mode against a loopback port that accepts and never answers;
        client is the ftp.exe put in the program folder."""
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.addCleanup(listener.close)
        client()
        self.pf.write_text("GOOD.fdf", FDF, newline="\n")
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": str(limit)}, ["get LIB/GOOD.GOOD"])
        start = time.monotonic()
        res = self.run_batch(False, env={"QV_FTP_PORT": str(listener.getsockname()[1]),
                                         "QV_FTP_TIMEOUT": "600"})
        return res, time.monotonic() - start

    def test_ftp_client_that_never_ends_is_terminated(self):
        res, took = self.ftp_run(
            lambda: shutil.copy2(os.path.join(qv.BUILD_DIR, "ftp.exe"), self.pf.path), 2)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLess(took, 60)
        self.assertGreaterEqual(took, 2)
        # The run goes on: nothing was fetched, and nothing is converted.
        self.assertLog(["開始", "CSV変換", "終了"], "  ftp.exeを制限時間で強制終了(RunFtpJob)\n"
                       "  GOOD.DB2を取得できなかったため変換しません(RunBatch)\n")

    @qv.skip_unless("native")
    def test_ftp_client_that_is_killed(self):
        def client():
            path = self.pf.file("ftp.exe")
            with open(path, "w") as f:
                f.write("#!/bin/sh\nkill -9 $$\n")
            os.chmod(path, 0o755)
        res, took = self.ftp_run(client, 3600)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLess(took, 30)
        self.assertLog(["開始", "CSV変換", "終了"], "  GOOD.DB2を取得できなかったため変換しません(RunBatch)\n")


    def script_client(self, body):
        """An ftp.exe of the test's own: a shell script."""
        path = self.pf.file("ftp.exe")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)

    @qv.skip_unless("native")
    def test_client_does_not_outlive_a_killed_run(self):
        # kill -9 of the run while its client works: the client goes too,
        # rather than replace an image after the run is gone, and so does
        # what it started (PR_SET_PDEATHSIG reached the client alone: a
        # wrapper's child replaced an image four seconds after the kill).
        clients = []
        started = []

        def children(parent):
            return [p for p in filter(str.isdigit, os.listdir("/proc")) if process_state(p, parent=parent)]

        def during(proc):
            deadline = time.monotonic() + 30
            while not started:
                self.assertLess(time.monotonic(), deadline, "no client started")
                # The client (and the run's guard of its group, which starts nothing).
                clients[:] = children(proc.pid)
                started[:] = [p for c in clients for p in children(c)]
                time.sleep(0.01)
            proc.kill()
        self.script_client("sleep 601 &\nexec sleep 600")
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": "3600"}, ["get LIB/GOOD.GOOD"])
        self.run_batch(False, during=during)
        deadline = time.monotonic() + 10
        for pid in clients + started:
            while process_state(pid) not in (None, "Z"):
                self.assertLess(time.monotonic(), deadline, "the client or its child outlived the run")
                time.sleep(0.05)
        # This client never blanks the script, and the killed run could not:
        # the next run does it first of all, even one that aborts at once.
        self.assertIn(b"\nsecret\n", self.pf.read("ftparg.txt"))
        self.settings({"IPADDRESS": "not-an-address"}, [])
        self.run_batch(False)
        self.assertIn(b"\n      \n", self.pf.read("ftparg.txt"))
        self.assertNotIn(b"secret", self.pf.read("ftparg.txt"))

    @qv.skip_unless("native")
    def test_a_crash_of_the_run_leaves_no_core_file(self):
        # The run holds the password in memory: a crash must not put it on
        # the disk in a core file (here the kernel writes "core" in the
        # program's working folder, the program folder).
        if not shutil.which("prlimit"):
            self.skipTest("prlimit")
        clients = []

        def during(proc):
            deadline = time.monotonic() + 30
            while not clients:
                self.assertLess(time.monotonic(), deadline, "no client started")
                clients.extend(p for p in filter(str.isdigit, os.listdir("/proc"))
                               if process_state(p, parent=proc.pid))
                time.sleep(0.01)
            proc.send_signal(signal.SIGQUIT)
        self.script_client("exec sleep 600")
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": "3600"}, ["get LIB/GOOD.GOOD"])
        self.run_batch(False, during=during, prefix=["prlimit", "--core=unlimited", "--"])
        self.assertEqual([n for n in os.listdir(self.pf.path) if n.startswith("core")], [])

    @qv.skip_unless("native")
    def test_unrelated_ftp_exe_is_not_waited_for(self):
        # Another program called ftp.exe runs through the whole run (an
        # interactive session left open): the run waits only for its own
        # client, which ends at once, and leaves the other one running.
        other_dir = os.path.join(self.pf.root, "other")
        os.mkdir(other_dir)
        other_exe = os.path.join(other_dir, "ftp.exe")
        shutil.copy2(shutil.which("sleep"), other_exe)
        other = subprocess.Popen([other_exe, "600"])
        self.addCleanup(other.wait)
        self.addCleanup(other.kill)
        self.script_client("exit 0")
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": "3600"}, ["get LIB/GOOD.GOOD"])
        start = time.monotonic()
        res = self.run_batch(False)
        self.assertLess(time.monotonic() - start, 20)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"], "  GOOD.DB2を取得できなかったため変換しません(RunBatch)\n")
        self.assertIsNone(other.poll())


def process_state(pid, parent=None):
    """The state letter of process pid (None when it is gone); with parent,
    only when it is a child of that process."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    if parent is not None and fields[1] != str(parent):
        return None
    return fields[0]

@qv.skip_unless("native")
class StoppedRuns(unittest.TestCase):
    """A scheduler's SIGTERM, a hang-up or Ctrl+C before the progress window
    opens end the run as a confirmed cancel does: the log line ends with
    ｷｬﾝｾﾙ, no partial image stays, the FTP client is not left running, exit
    status 255. They once killed the process outright."""

    def setUp(self):
        BatchFaults.setUp(self)

    run_batch = batch.BatchRun.run_batch
    settings = BatchFaults.settings
    host_file = BatchFaults.host_file

    def stop_when(self, ready, sig, folder_mode, env=None):
        def during(proc):
            deadline = time.monotonic() + 60
            while not ready():
                self.assertIsNone(proc.poll(), "the run ended before the signal")
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.005)
            proc.send_signal(sig)
        return self.run_batch(folder_mode, env=env, during=during)

    def assertEndedAsCancel(self, res, whole=(), previous=None):
        """previous: files of the transfer folder that must stay as they were."""
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 255, res.messages)
        log = self.pf.read("Quenvale.log")
        self.assertIsNotNone(re.fullmatch(rb"[^\n]*-" + re.escape(qv.sjis("ｷｬﾝｾﾙ")) + rb"\n(  [^\n]*\n)*", log),
                             log)
        previous = previous or {}
        for name, data in previous.items():
            self.assertEqual(self.pf.read(os.path.join("DB2", name)), data, name)
        self.assertEqual(qv.temp_files(self.transfer), [])
        images = [n for n in os.listdir(self.transfer) if n.upper().endswith(".DB2") and n not in previous]
        self.assertEqual(images, list(whole))
        for name in whole:
            with open(os.path.join(self.host, name), "rb") as f:
                self.assertEqual(self.pf.read(os.path.join("DB2", name)), f.read())
        running = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/exe" % pid).startswith(self.pf.path):
                    running.append(pid)
            except OSError:
                pass
        self.assertEqual(running, [], "a process of the run is still there")

    def test_during_the_ftp_watch(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        self.addCleanup(listener.close)
        accepted = []
        shutil.copy2(os.path.join(qv.BUILD_DIR, "ftp.exe"), self.pf.path)
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": "600"}, ["get LIB/GOOD.GOOD"])
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            with self.subTest(signal.Signals(sig).name):
                accepted.clear()
                threading.Thread(target=lambda: accepted.append(listener.accept()), daemon=True).start()
                res = self.stop_when(lambda: accepted, sig, False,
                                     env={"QV_FTP_PORT": str(listener.getsockname()[1]),
                                          "QV_FTP_TIMEOUT": "600"})
                self.assertEndedAsCancel(res)
                os.remove(self.pf.file("Quenvale.log"))
                accepted[0][0].close()

    def test_kill_during_the_copy_or_the_conversion_then_a_second_run(self):
        # A power cut (kill -9) keeps yesterday's image and CSV whole and
        # leaves a temporary file; the next run removes it, and its log line
        # starts on a line of its own.
        self.pf.write_text("BIG.fdf", TINY_FDF, newline="\n")
        self.settings({"IPADDRESS": self.host}, ["get LIB/BIG.BIG"])
        image = os.path.join(self.transfer, "BIG.DB2")
        cases = [
            ("copy", lambda: qv.temp_files(self.transfer), "BIG.DB2"),
            ("conversion", lambda: os.path.getsize(image) > 100 and qv.temp_files(self.transfer), "BIG.csv"),
        ]
        for label, ready, kept in cases:
            with self.subTest(label):
                if label == "copy":
                    with open(os.path.join(self.host, "BIG.DB2"), "wb") as f:
                        f.truncate(2 << 30)
                else:
                    self.host_file("BIG.DB2", b"\x0F" * 20_000_000)
                for name in ("BIG.DB2", "BIG.csv"):
                    self.pf.write(os.path.join("DB2", name), b"yesterday")
                if self.pf.exists("Quenvale.log"):
                    os.remove(self.pf.file("Quenvale.log"))
                self.stop_when(ready, signal.SIGKILL, True)
                self.assertEqual(self.pf.read(os.path.join("DB2", kept)), b"yesterday")
                self.assertNotEqual(qv.temp_files(self.transfer), [])
                self.host_file("BIG.DB2", b"\x0F" * 3)
                res = self.run_batch(True)
                self.assertEqual(res.code, 0, res.messages)
                self.assertEqual(qv.temp_files(self.transfer), [])
                self.assertEqual(self.pf.read(os.path.join("DB2", "BIG.csv")), b'"ID","N"\n1,0\n2,0\n3,0\n')
                lines = self.pf.read("Quenvale.log").split(b"\n")
                self.assertEqual(len(lines), 3, lines)   # the cut line, the new one, and the end
                self.assertIsNotNone(re.fullmatch(batch.log_pattern(["開始", "CSV変換", "終了"]),
                                                  lines[1] + b"\n"), lines)

    def test_during_the_copy(self):
        # The copy goes to a temporary file: the stop keeps yesterday's image.
        with open(os.path.join(self.host, "BIG.DB2"), "wb") as f:
            f.truncate(2 << 30)   # sparse: quick to make, long enough to copy
        self.pf.write(os.path.join("DB2", "BIG.DB2"), b"yesterday")
        self.settings({"IPADDRESS": self.host}, ["get LIB/BIG.BIG"])
        res = self.stop_when(lambda: qv.temp_files(self.transfer), signal.SIGTERM, True)
        self.assertEndedAsCancel(res, previous={"BIG.DB2": b"yesterday"})

    def test_during_the_conversion(self):
        self.host_file("BIG.DB2", b"\x0F" * 20_000_000)
        self.pf.write_text("BIG.fdf", "PCFO\nPCFL N 2 2\n", newline="\n")
        self.pf.write(os.path.join("DB2", "BIG.csv"), b"yesterday")
        self.settings({"IPADDRESS": self.host}, ["get LIB/BIG.BIG"])
        image = os.path.join(self.transfer, "BIG.DB2")
        res = self.stop_when(lambda: os.path.exists(image) and qv.temp_files(self.transfer),
                             signal.SIGTERM, True)
        self.assertEndedAsCancel(res, whole=["BIG.DB2"], previous={"BIG.csv": b"yesterday"})
