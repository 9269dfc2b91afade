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

    @qv.skip_unless("native")
    def test_full_disk_while_the_csv_is_written(self):
        # The disk fills as the CSV is written: yesterday's CSV stays whole.
        pf = self.folder()
        pf.write_text("FAULT.fdf", TINY_FDF, newline="\n")
        pf.write("FAULT.db2", b"\x0F" * 20000)
        pf.write("FAULT.csv", b"yesterday")
        proc = subprocess.Popen(size_limit(100_000) + [pf.exe, "FAULT"], cwd=pf.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        pf.procs.append(proc)
        out, err = proc.communicate(timeout=120)
        res = qv.Result(proc.returncode, out, err)
        self.assertEqual(sanitizer_report(res), "")
        self.assertIn("FAULT.csvの書き込みに失敗(toCSV)", res.messages)
        self.assertNotIn("Shift-JIS変換ｴﾗｰ総数", res.messages)  # the box shows the failure instead
        self.assertEqual(pf.read("FAULT.csv"), b"yesterday")
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
        self.assertEqual(sorted(os.listdir(self.transfer)), ["GOOD.DB2", "GOOD.csv"])
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
        # of a member and said nothing): last week's backup and yesterday's
        # CSV stay, one line names it. GOOD goes on; an image without a
        # listed entry is backed up as it is.
        self.host_file("CUT.DB2", RECORD * 3 + RECORD[:10])
        self.host_file("GOOD.DB2")
        self.host_file("OTHER.DB2", RECORD[:10])
        for name in ("CUT", "GOOD"):
            self.pf.write_text(name + ".fdf", FDF, newline="\n")
        self.pf.write(os.path.join("DB2", "CUT.csv"), b"yesterday")
        backup = os.path.join(self.pf.root, "backup")
        for weekday in batch.WEEKDAYS:
            os.makedirs(os.path.join(backup, weekday))
            with open(os.path.join(backup, weekday, "CUT.DB2"), "wb") as f:
                f.write(b"last week")
        self.settings({"IPADDRESS": batch.native_path(self.host), "BackupDir": batch.native_path(backup)},
                      ["get LIB/CUT.CUT", "get LIB/GOOD.GOOD"])
        res = self.run_batch(True)
        self.assertEqual(sanitizer_report(res), "")
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUT.DB2の大きさがレコード長の倍数でないためバックアップも変換もしません(RunBatch)\n")
        self.assertEqual(self.pf.read(os.path.join("DB2", "CUT.csv")), b"yesterday")
        self.assertEqual(self.pf.read(os.path.join("DB2", "GOOD.csv")),
                         HEADER + qv.NL + b'1,1234,"ABC"' + qv.NL)
        backed_up = set()
        for weekday in batch.WEEKDAYS:
            with open(os.path.join(backup, weekday, "CUT.DB2"), "rb") as f:
                self.assertEqual(f.read(), b"last week", weekday)
            backed_up |= set(os.listdir(os.path.join(backup, weekday)))
        self.assertEqual(backed_up, {"CUT.DB2", "GOOD.DB2", "OTHER.DB2"})

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
        # its lock it touches nothing. POSIX says why on standard error.
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
                if not qv.IS_WINDOWS:
                    self.assertIn(told, res.messages)
                if not converted:
                    self.assertEqual(os.listdir(self.transfer), [])
                    self.assertFalse(self.pf.exists("Quenvale.log"))
                self.assertTrue(not self.pf.exists("Quenvale.log") or converted)

    def test_second_run_while_the_first_works_is_refused(self):
        # The first run copies a 300 MB image; a second one started then
        # writes one whole line to the log and nothing else, and exits with
        # 254; the first finishes its copy whole.
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
        self.assertEqual(os.path.getsize(os.path.join(self.transfer, "BIG.DB2")), size)
        lines = self.log().split(b"\n")
        busy = [l.rstrip(b"\r") for l in lines if qv.sjis("別のQuenvaleが実行中のため中止") in l]
        self.assertEqual(len(busy), 1, lines)
        self.assertIsNotNone(re.fullmatch(rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d "
                                          + re.escape(qv.sjis("別のQuenvaleが実行中のため中止")), busy[0]))

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
            proc.send_signal(signal.SIGSEGV)
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
