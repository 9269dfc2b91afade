"""The batch run end to end: the program started without an argument fetches
the host images (from a folder, or by FTP from a loopback server), backs them
up, converts every [DB2] entry into the transfer folder and leaves one line in
the run log. Also the failed host check, an empty [EBCDIC], a [DB2] section
longer than the settings buffer, conversion failures and a cancel during the
third of five conversions.

On Windows (Wine) the folder-mode box is closed through tools/uiauto; on Linux
it goes to standard error and does not wait."""
import datetime
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import time
import unittest

FTP_SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")

import qv

sys.path.insert(0, os.path.join(qv.SOURCE_DIR, "tools", "make_examples"))
from make_outfile import Field, outfile  # noqa: E402  (the independent outfile generator)

PYTHON = "/usr/bin/python3"
FAKE_DATE = "2011-10-26 09:00:00"    # a Wednesday
WEEKDAYS = ["(0)Sunday", "(1)Monday", "(2)Tuesday", "(3)Wednesday", "(4)Thursday",
            "(5)Friday", "(6)Saturday"]
FOLDER_BOX = "Debug時はFTP.exeは使用しません。"

EBCDIC = {ch: 0xC1 + i for i, ch in enumerate("ABCDEFGHI")}
EBCDIC_SECTION = "[EBCDIC]\n0x40\n" + "".join("0x%02X %s\n" % (c, ch) for ch, c in EBCDIC.items())

FDF = "Customer master\nPCFO\nPCFL CUSTNO 2 11\nPCFL AMOUNT 2 11/2\nPCFL CNAME 1 20\n"
HEADER = b'"ID","CUSTNO","AMOUNT","CNAME"'
TINY_FDF = "PCFO\nPCFL N 2 2\n"    # one-byte packed records, for long conversions


def packed(value):
    """Five-byte packed decimal: nine digits and the sign nibble."""
    return bytes.fromhex("%09d%s" % (abs(value), "D" if value < 0 else "F"))


def record(custno, cents, name):
    return packed(custno) + packed(cents) + bytes(EBCDIC[c] for c in name).ljust(20, b"\x40")


# Entry name -> (records, the CSV rows worked out by hand).
FILES = {
    "CUSTOMER": ([(1234, -500, "ABC")],
                 [b'1,1234,-5.00,"ABC"']),
    "ORDERS_ORD2011": ([(1, 100, "A"), (22, 2500, "BE")],
                       [b'1,1,1.00,"A"', b'2,22,25.00,"BE"']),
    "PRICES_P1": ([(987654321, -123456, "HIGH")],
                  [b'1,987654321,-1234.56,"HIGH"']),
    "ITEMS": ([(5, 999, "DI"), (6, -100, "CAB"), (7, 1000, "I")],
              [b'1,5,9.99,"DI"', b'2,6,-1.00,"CAB"', b'3,7,10.00,"I"']),
    "stock": ([(42, 4200, "FIG")],
              [b'1,42,42.00,"FIG"']),
}


def image(entry):
    return b"".join(record(*r) for r in FILES[entry][0])


def golden_csv(entry):
    return qv.NL.join([HEADER] + FILES[entry][1]) + qv.NL


# [DB2] lines of the five-entry run: what each line yields is in its comment.
DB2_LINES = [
    "cd QGPL",                       # no slash: passed over
    "get QGPL/CUSTOMER.CUSTOMER",    # CUSTOMER
    "GET SALES/ORDERS.ORD2011",      # ORDERS_ORD2011
    "get QGPL/NODOT",                # no dot: passed over
    "/QGPL/PRICES.P1",               # leading slash left out: PRICES_P1
    "get QGPL/Items.ITEMS",          # the line after it, in full: ITEMS
    "get QGPL/STOCK.stock",          # equal ignoring case: the member, stock
]


def description(file, amount=("P", 5, 9, 2), extra=()):
    """The DSPFFD outfile image of a host file with FDF's record (or
    another AMOUNT, or fields added)."""
    return outfile("QGPL", file, "FMT", "0123456789ABC",
                   [Field("CUSTNO", "P", 5, 9), Field("AMOUNT", *amount),
                    Field("CNAME", "O", 20, ccsid=930)] + list(extra))


LAYOUT_CHANGED = "  %s.fdfがホストのファイルの形式と合わないため変換しません(RunBatch)\n"
NO_DESCRIPTION = "  %s.FFDを読めないため変換しません(RunBatch)\n"


def native_path(path):
    """The path as the program under test writes it."""
    return "Z:" + path.replace("/", "\\") if qv.IS_WINDOWS else path


def log_pattern(events, errors=""):
    """The run-log line of one run, times masked; the date is group 1-3."""
    pattern = rb"(\d{4})/(\d\d)/(\d\d)"
    for event in events:
        pattern += rb" \d\d:\d\d:\d\d-" + re.escape(qv.sjis(event))
    return pattern + re.escape(qv.NL) + re.escape(qv.sjis(errors).replace(b"\n", qv.NL))


def csv_rows(data):
    return data.split(qv.NL)[1:-1]


class BatchRun(unittest.TestCase):
    def setUp(self):
        self.pf = qv.ProgramFolder("prog")
        self.addCleanup(self.pf.__exit__)
        self.tmp = self.pf.root
        self.host = os.path.join(self.tmp, "host")
        self.backup = os.path.join(self.tmp, "backup")
        os.mkdir(self.host)
        self.transfer = os.path.join(self.pf.path, "DB2")

    # -- set-up helpers --

    def settings(self, quenvale, db2, ebcdic=True):
        text = "[Quenvale]\n" + "".join("%s=%s\n" % kv for kv in quenvale.items())
        text += "[DB2]\n" + "".join(line + "\n" for line in db2)
        text += EBCDIC_SECTION if ebcdic else "[EBCDIC]\n"
        self.pf.write_text("Quenvale.ini", text)

    def host_file(self, name, data):
        with open(os.path.join(self.host, name), "wb") as f:
            f.write(data)

    def five_files(self, fdf=True):
        for entry in FILES:
            self.host_file(entry.upper() + ".DB2", image(entry))
            if fdf:
                self.pf.write_text(entry + ".fdf", FDF)

    def transfer_file(self, name):
        with open(os.path.join(self.transfer, name), "rb") as f:
            return f.read()

    def log(self):
        return self.pf.read("Quenvale.log")

    def assertLog(self, events, errors=""):
        log = self.log()
        match = re.fullmatch(log_pattern(events, errors), log)
        self.assertIsNotNone(match, log)
        return datetime.date(*(int(g) for g in match.groups()))

    # -- running --

    def run_batch(self, folder_mode, prefix=(), env=None, during=None, timeout=300):
        """Starts the batch run, closes the folder-mode box on Windows (its
        texts become box_texts), calls during(proc) and waits for the end."""
        cmd = list(prefix) + (qv.WINE + [self.pf.exe] if qv.IS_WINDOWS else [self.pf.exe])
        run_env = qv.wine_env(env) if qv.IS_WINDOWS else dict(os.environ, **(env or {}))
        proc = subprocess.Popen(cmd, cwd=self.pf.path, env=run_env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pf.procs.append(proc)
        box = []
        if qv.IS_WINDOWS and folder_mode:
            code, box = qv.uiauto("texts", "Quenvale", "60")
            if code != 0:
                # What was there instead: whether the program still ran, and
                # the windows on the desktop.
                self.fail("no folder-mode box (uiauto %d); program exit code %r; windows %r"
                          % (code, proc.poll(), qv.uiauto("list")[1]))
            self.assertEqual(qv.uiauto("close", "Quenvale", "1", "10")[0], 0, "folder-mode box stays")
        if during:
            during(proc)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            # What the run was waiting on, if it is a window.
            windows = qv.uiauto("list")[1] if qv.IS_WINDOWS else []
            proc.kill()
            proc.communicate()
            self.fail("the run did not end; windows: %r" % windows)
        return qv.Result(proc.returncode, out, err, box)

    def assertFolderBox(self, res):
        if qv.IS_WINDOWS:
            self.assertEqual(res.box_texts, [FOLDER_BOX])
        else:
            self.assertIn("Quenvale: " + FOLDER_BOX, res.messages)

    def fake_time(self):
        """faketime around the native program; under Wine the real date is used."""
        if qv.IS_WINDOWS or not shutil.which("faketime"):
            return ()
        return ("faketime", FAKE_DATE)

    # -- the cases --

    def test_folder_mode_fetches_backs_up_and_converts_five_entries(self):
        self.five_files()
        self.host_file("EXTRA.db2", b"\x01\x02\x03")   # copied and backed up, not listed
        self.host_file("NOTES.TXT", b"not an image")   # not a .DB2 file
        os.mkdir(self.transfer)
        self.settings({"IPADDRESS": native_path(self.host), "BackupDir": native_path(self.backup),
                       "MonthBackup": "25"}, DB2_LINES)
        os.mkdir(self.backup)
        prefix = self.fake_time()
        res = self.run_batch(True, prefix=prefix)
        self.assertEqual(res.code, 0, res.messages)
        self.assertFolderBox(res)

        day = self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"])
        if prefix:
            self.assertEqual(day, datetime.date(2011, 10, 26))
        images = sorted(["CUSTOMER.DB2", "ORDERS_ORD2011.DB2", "PRICES_P1.DB2", "ITEMS.DB2",
                         "STOCK.DB2", "EXTRA.db2"])
        csvs = sorted(["CUSTOMER.csv", "ORDERS_ORD2011.csv", "PRICES_P1.csv", "ITEMS.csv",
                       "stock.csv"])
        # CodeErr.csv: every file converted without a code error.
        self.assertEqual(sorted(os.listdir(self.transfer)), sorted(images + csvs + ["CodeErr.csv"]))
        self.assertEqual(self.transfer_file("CodeErr.csv"), qv.sjis("DB名,レコード番号,文字コード") + qv.NL)
        for name in images:
            with open(os.path.join(self.host, name), "rb") as f:
                self.assertEqual(self.transfer_file(name), f.read(), name)
            # The copy keeps the source's times (to the 100 ns of Windows file times).
            self.assertEqual(os.stat(os.path.join(self.transfer, name)).st_mtime_ns // 100,
                             os.stat(os.path.join(self.host, name)).st_mtime_ns // 100, name)
        for entry in FILES:
            self.assertEqual(self.transfer_file(entry + ".csv"), golden_csv(entry), entry)

        weekday = WEEKDAYS[day.isoweekday() % 7]
        monthly = "%02d月" % day.month
        self.assertEqual(sorted(os.listdir(self.backup)), sorted([weekday, monthly]))
        for folder in (weekday, monthly):
            self.assertEqual(sorted(os.listdir(os.path.join(self.backup, folder))), images)
            for name in images:
                with open(os.path.join(self.backup, folder, name), "rb") as f:
                    self.assertEqual(f.read(), self.transfer_file(name), folder + name)
        settings = self.pf.read("Quenvale.ini")
        self.assertEqual(re.findall(rb"Last_MonthBackup=(\d+)", settings),
                         [b"%04d%02d%02d" % (day.year, day.month, day.day)])

    def test_batch_csv_equals_single_file_conversion(self):
        # The batch conversion and the single-file one read the same layout
        # and records and must write the same bytes.
        self.five_files()
        os.mkdir(self.transfer)
        self.settings({"IPADDRESS": native_path(self.host)}, DB2_LINES)
        res = self.run_batch(True)
        self.assertEqual(res.code, 0, res.messages)
        # Under Wine every start is slow: two entries, signs and widths covered.
        entries = ["CUSTOMER", "PRICES_P1"] if qv.IS_WINDOWS else list(FILES)
        for entry in entries:
            with qv.ProgramFolder() as single:
                single.write_text("Quenvale.ini", "[Quenvale]\n" + EBCDIC_SECTION)
                single.write_text(entry + ".fdf", FDF)
                single.write(entry + ".db2", image(entry))
                one = single.run_single(entry)
                self.assertEqual(one.code, 0, one.messages)
                self.assertEqual(self.transfer_file(entry + ".csv"), single.read(entry + ".csv"),
                                 entry)

    def test_ftp_mode_converts_what_the_client_fetched(self):
        served = {"QGPL/CUSTOMER.CUSTOMER": "CUSTOMER", "SALES/ORDERS.ORD2011": "ORDERS_ORD2011",
                  "QGPL/PRICES.P1": "PRICES_P1", "QGPL/Items.ITEMS": "ITEMS",
                  "QGPL/STOCK.stock": "stock"}
        root = os.path.join(self.tmp, "ftproot")
        for path, entry in served.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(image(entry))
            self.pf.write_text(entry + ".fdf", FDF)
        port = self.ftp_server(root)
        # "get /QGPL/Items.ITEMS" is stored as ITEMS.DB2 and converted as such
        # (it was once looked for as QGPL/Items_ITEMS).
        db2 = ["get " + ("/" if entry == "ITEMS" else "") + path for path, entry in served.items()]
        db2.append("cd QGPL")
        self.settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                       "TimeLimit": "120"}, db2)
        res = self.run_batch(False, env={"QV_FTP_PORT": str(port), "QV_FTP_TIMEOUT": "60"})
        self.assertEqual(res.code, 0, res.messages)
        self.assertNotIn(FOLDER_BOX, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"])
        self.assertTrue(self.pf.exists("ftparg.txt"))
        for entry in served.values():
            self.assertEqual(self.transfer_file(entry + ".DB2"), image(entry), entry)
            self.assertEqual(self.transfer_file(entry + ".csv"), golden_csv(entry), entry)

    def ftp_server(self, root):
        """pyftpdlib on loopback serving root (user QUSER, password secret),
        with our ftp.exe in the program folder; returns the port."""
        shutil.copy2(os.path.join(qv.BUILD_DIR, "ftp.exe"), self.pf.path)
        server = subprocess.Popen([PYTHON, FTP_SERVER_SCRIPT, root, "QUSER", "secret"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pf.procs.append(server)
        return int(server.stdout.readline())

    def test_layout_check_in_folder_mode(self):
        # CheckLayout=1: each entry's .fdf is compared with the list made from
        # the host's description beside its image. The example CUSTOMER
        # (display forms I, d, y, 1 of its host fields) and stock (every
        # column renamed) match; a field added or a packed field turned zoned
        # of the same length stop the entry, keep yesterday's CSV and leave
        # the new list as .fdf.new; no description, or a cut one, stops the
        # entry too.
        examples = os.path.join(qv.SOURCE_DIR, "examples")
        shutil.copyfile(os.path.join(examples, "CUSTOMER.db2"), os.path.join(self.host, "CUSTOMER.DB2"))
        shutil.copyfile(os.path.join(examples, "CUSTOMER.FFD"), os.path.join(self.host, "CUSTOMER.FFD"))
        shutil.copyfile(os.path.join(examples, "CUSTOMER.fdf"), self.pf.file("CUSTOMER.fdf"))
        for entry in ("ORDERS_ORD2011", "PRICES_P1", "ITEMS", "stock"):
            self.host_file(entry.upper() + ".DB2", image(entry))
            self.pf.write_text(entry + ".fdf", FDF)
        self.pf.write_text("stock.fdf", "在庫\nPCFO\nPCFL 顧客番号 2 11\nPCFL 金額 y 11/2\nPCFL 名前 A 20\n")
        self.host_file("STOCK.FFD", description("STOCK"))
        self.host_file("ORDERS_ORD2011.FFD", description("ORDERS", extra=[Field("FLAG", "A", 1)]))
        self.host_file("PRICES_P1.FFD", description("PRICES", amount=("S", 5, 5, 2)))
        # A description cut on the way.
        self.host_file("CUSTOMER_CUT.DB2", image("CUSTOMER"))
        self.pf.write_text("CUSTOMER_CUT.fdf", FDF)
        self.host_file("CUSTOMER_CUT.FFD", description("CUSTOMER")[:1500])
        os.mkdir(self.transfer)
        with open(os.path.join(self.transfer, "ORDERS_ORD2011.csv"), "wb") as f:
            f.write(b"yesterday")
        with open(os.path.join(examples, "Quenvale.ini"), "rb") as f:
            example = f.read()
        db2 = ["get SALESLIB/CUSTOMER.CUSTOMER", "get SALES/ORDERS.ORD2011", "get QGPL/PRICES.P1",
               "get QGPL/ITEMS.ITEMS", "get QGPL/STOCK.stock", "get QGPL/CUSTOMER.CUT"]
        self.pf.write("Quenvale.ini", qv.sjis(
            "[Quenvale]\r\nIPADDRESS=%s\r\nCheckLayout=1\r\n[DB2]\r\n%s\r\n"
            % (native_path(self.host), "\r\n".join(db2))) + example[example.index(b"[KANJI]"):])
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"], LAYOUT_CHANGED % "ORDERS_ORD2011"
                       + LAYOUT_CHANGED % "PRICES_P1" + NO_DESCRIPTION % "ITEMS"
                       + NO_DESCRIPTION % "CUSTOMER_CUT")
        with open(os.path.join(examples, "CUSTOMER.csv"), "rb") as f:
            self.assertEqual(self.transfer_file("CUSTOMER.csv"), f.read().replace(b"\n", qv.NL))
        self.assertEqual(self.transfer_file("stock.csv"), qv.NL.join(
            [qv.sjis('"ID","顧客番号","金額","名前"'), b'1,42,42.00,"FIG"']) + qv.NL)
        self.assertEqual(self.transfer_file("ORDERS_ORD2011.csv"), b"yesterday")
        self.assertEqual(self.transfer_file("stock.FFD"), description("STOCK"))
        for entry in ("PRICES_P1", "ITEMS", "CUSTOMER_CUT"):
            self.assertFalse(os.path.exists(os.path.join(self.transfer, entry + ".csv")), entry)
        self.assertIn(b"PCFL CNAME A 20" + qv.NL + b"PCFL FLAG A 1" + qv.NL, self.pf.read("ORDERS_ORD2011.fdf.new"))
        self.assertIn(b"PCFL AMOUNT S 5/2" + qv.NL, self.pf.read("PRICES_P1.fdf.new"))
        for entry in ("CUSTOMER", "ITEMS", "stock"):
            self.assertFalse(self.pf.exists(entry + ".fdf.new"), entry)

    def test_layout_check_in_ftp_mode_and_without_the_setting(self):
        root = os.path.join(self.tmp, "ftproot")
        served = {"QGPL/CUSTOMER.CUSTOMER": "CUSTOMER", "SALES/ORDERS.ORD2011": "ORDERS_ORD2011",
                  "QGPL/ITEMS.ITEMS": "ITEMS"}
        for path, entry in served.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(image(entry))
            self.pf.write_text(entry + ".fdf", FDF)
        # What DSPFFD gives on the host (see ftp_server.py): ORDERS has a field
        # more; for ITEMS it fails, and QTEMP still holds ORDERS' description.
        with open(os.path.join(root, "QGPL", "CUSTOMER.DSPFFD"), "wb") as f:
            f.write(description("CUSTOMER"))
        with open(os.path.join(root, "SALES", "ORDERS.DSPFFD"), "wb") as f:
            f.write(description("ORDERS", extra=[Field("FLAG", "A", 1)]))
        port = self.ftp_server(root)
        env = {"QV_FTP_PORT": str(port), "QV_FTP_TIMEOUT": "60"}
        db2 = ["get " + path for path in served]
        settings = {"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret", "TimeLimit": "120"}
        # Without the setting: no command more, no description, both converted.
        self.settings(settings, db2)
        res = self.run_batch(False, env=env)
        self.assertEqual(res.code, 0, res.messages)
        self.assertNotIn(b"DSPFFD", self.pf.read("ftparg.txt"))
        self.assertEqual(sorted(os.listdir(self.transfer)), sorted(
            [e + x for e in served.values() for x in (".DB2", ".csv")] + ["CodeErr.csv"]))
        kept = self.csv_state("ORDERS_ORD2011")

        os.remove(self.pf.file("Quenvale.log"))
        self.settings(dict(settings, CheckLayout="1"), db2)
        res = self.run_batch(False, env=env)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"], LAYOUT_CHANGED % "ORDERS_ORD2011" + NO_DESCRIPTION % "ITEMS")
        script = self.pf.read("ftparg.txt").split(qv.NL)
        at = script.index(b"get QGPL/CUSTOMER.CUSTOMER \"" + native_path(self.transfer).encode()
                          + (b"\\" if qv.IS_WINDOWS else b"/") + b"CUSTOMER.DB2\"")
        self.assertEqual(script[at - 2:at], [
            b"quote rcmd DSPFFD FILE(QGPL/CUSTOMER) OUTPUT(*OUTFILE) OUTFILE(QTEMP/QVFIELDS)"
            b" OUTMBR(*FIRST *REPLACE)",
            b"get QTEMP/QVFIELDS.QVFIELDS \"" + native_path(self.transfer).encode()
            + (b"\\" if qv.IS_WINDOWS else b"/") + b"CUSTOMER.FFD\""])
        self.assertEqual(self.transfer_file("CUSTOMER.FFD"), description("CUSTOMER"))
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), golden_csv("CUSTOMER"))
        self.assertEqual(self.csv_state("ORDERS_ORD2011"), kept)
        self.assertIn(b"PCFL FLAG A 1", self.pf.read("ORDERS_ORD2011.fdf.new"))

    def csv_state(self, entry):
        path = os.path.join(self.transfer, entry + ".csv")
        return self.transfer_file(entry + ".csv"), os.stat(path).st_mtime_ns

    def test_later_run_without_a_host_file_converts_nothing_stale(self):
        # Folder mode, two runs; the host file is gone before the second. Its
        # image of the first run must not be converted again as new.
        self.five_files()
        self.settings({"IPADDRESS": native_path(self.host)}, DB2_LINES)
        self.assertEqual(self.run_batch(True).code, 0)
        kept = self.csv_state("CUSTOMER")
        os.remove(os.path.join(self.host, "CUSTOMER.DB2"))
        os.remove(self.pf.file("Quenvale.log"))
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"],
                       "  CUSTOMER.DB2を取得できなかったため変換しません(RunBatch)\n")
        self.assertEqual(self.csv_state("CUSTOMER"), kept)
        self.assertEqual(self.transfer_file("ITEMS.csv"), golden_csv("ITEMS"))

    def test_later_ftp_run_with_a_member_missing_or_log_on_refused(self):
        root = os.path.join(self.tmp, "ftproot")
        os.makedirs(os.path.join(root, "QGPL"))
        for entry in ("CUSTOMER", "ITEMS"):
            with open(os.path.join(root, "QGPL", entry + "." + entry), "wb") as f:
                f.write(image(entry))
            self.pf.write_text(entry + ".fdf", FDF)
        port = self.ftp_server(root)
        env = {"QV_FTP_PORT": str(port), "QV_FTP_TIMEOUT": "60"}
        lines = ["get QGPL/CUSTOMER.CUSTOMER", "get QGPL/ITEMS.ITEMS"]
        quenvale = {"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret", "TimeLimit": "60"}
        self.settings(quenvale, lines)
        self.assertEqual(self.run_batch(False, env=env).code, 0)
        self.assertLog(["開始", "CSV変換", "終了"])
        stale = "  %s.DB2を取得できなかったため変換しません(RunBatch)\n"
        cases = [
            ("member missing on the host", "CUSTOMER", quenvale, stale % "CUSTOMER"),
            ("log-on refused", None, dict(quenvale, PASSWORD="wrong"),
             stale % "CUSTOMER" + stale % "ITEMS"),
        ]
        for label, removed, settings, errors in cases:
            with self.subTest(label):
                if removed:
                    os.remove(os.path.join(root, "QGPL", removed + "." + removed))
                self.settings(settings, lines)
                kept = {e: self.csv_state(e) for e in ("CUSTOMER", "ITEMS")}
                os.remove(self.pf.file("Quenvale.log"))
                res = self.run_batch(False, env=env)
                self.assertEqual(res.code, 254, res.messages)
                self.assertLog(["開始", "CSV変換", "終了"], errors)
                for entry, state in kept.items():
                    if (stale % entry) in errors:
                        self.assertEqual(self.csv_state(entry), state, entry)

    def test_transfer_folder_as_its_own_source_is_left_intact(self):
        # IPADDRESS naming the transfer folder itself, spelt three ways: each
        # image is its own target. It once was emptied (or, on Windows,
        # deleted) and converted into a header-only CSV.
        os.mkdir(self.transfer)
        for entry in ("CUSTOMER", "ITEMS"):
            with open(os.path.join(self.transfer, entry + ".DB2"), "wb") as f:
                f.write(image(entry))
            self.pf.write_text(entry + ".fdf", FDF)
        before = {n: (self.transfer_file(n), os.stat(os.path.join(self.transfer, n)).st_mtime_ns)
                  for n in os.listdir(self.transfer)}
        if qv.IS_WINDOWS:
            spellings = [native_path(self.transfer), native_path(self.transfer).lower(),
                         native_path(self.transfer) + "\\"]
        else:
            os.symlink(self.transfer, os.path.join(self.tmp, "link"))
            spellings = ["./DB2", self.transfer + "/", os.path.join(self.tmp, "link")]
        for spelling in spellings:
            with self.subTest(spelling):
                self.settings({"IPADDRESS": spelling}, ["get QGPL/CUSTOMER.CUSTOMER", "get QGPL/ITEMS.ITEMS"])
                if self.pf.exists("Quenvale.log"):
                    os.remove(self.pf.file("Quenvale.log"))
                res = self.run_batch(True)
                # The last copy failed, and nothing was converted after it.
                self.assertEqual(res.code, 254, res.messages)
                after = {n: (self.transfer_file(n), os.stat(os.path.join(self.transfer, n)).st_mtime_ns)
                         for n in os.listdir(self.transfer) if n != "CodeErr.csv"}
                self.assertEqual(after, before)
                log = self.log()
                for entry in ("CUSTOMER", "ITEMS"):
                    self.assertIn(qv.sjis("  %s.DB2のコピーに失敗(CopyDb2Files 1)" % entry), log)
                    self.assertIn(qv.sjis("  %s.DB2を取得できなかったため変換しません(RunBatch)" % entry), log)

    def test_csv_encoding_and_settings_saved_in_utf8(self):
        # CsvEncoding applies to the batch run too; a settings file saved in
        # UTF-8 converts nothing after the backup, and the log says why.
        self.five_files()
        os.mkdir(self.transfer)
        lines = ["get QGPL/CUSTOMER.CUSTOMER"]
        self.settings({"IPADDRESS": native_path(self.host), "CsvEncoding": "UTF-8-BOM"}, lines)
        res = self.run_batch(True)
        self.assertEqual(res.code, 0, res.messages)
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), b"\xef\xbb\xbf" + golden_csv("CUSTOMER"))

        os.remove(os.path.join(self.transfer, "CUSTOMER.csv"))
        os.remove(self.pf.file("Quenvale.log"))
        text = self.pf.read("Quenvale.ini").decode("cp932") + "[KANJI]\r\n0x6941=髙\r\n"
        self.pf.write("Quenvale.ini", text.encode("utf-8"))
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "終了"], "  Quenvale.iniをShift-JISで保存してください\n")
        self.assertFalse(os.path.exists(os.path.join(self.transfer, "CUSTOMER.csv")))

    def test_failing_backup_copy_is_reported(self):
        # A folder where a backup image belongs: that copy fails (code 1)
        # and the log says so; the run goes on.
        self.five_files()
        os.mkdir(self.transfer)
        for weekday in WEEKDAYS:
            os.makedirs(os.path.join(self.backup, weekday, "CUSTOMER.DB2"))
        self.settings({"IPADDRESS": native_path(self.host), "BackupDir": native_path(self.backup)},
                      DB2_LINES)
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "CSV変換", "終了"],
                       "  CUSTOMER.DB2のコピーに失敗(CopyDb2Files 1)\n")
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), golden_csv("CUSTOMER"))

    def test_host_check_failing_aborts_before_anything(self):
        if subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot make a network namespace (unshare -n)")
        sep = "\\" if qv.IS_WINDOWS else "/"
        addresses = [
            "192.0.2.1",             # documentation range, unknown without a network
            "abc" + sep + "host",    # first separator at index 3: FTP mode
            "127.0.0.1 -s:e.txt",    # an address and more: the client would read an option
        ]
        if qv.IS_WINDOWS:
            addresses.append("1表x")  # 表 is 0x95 0x5C: its trail byte is no backslash
        with open("/etc/hosts") as f:
            named = [line.split()[:1] for line in f]
        self.five_files()
        os.mkdir(self.transfer)
        # Under Wine the harness's desktop keeper (qv.keep_desktop) also keeps
        # the wineserver of the outer network up, so the program in the empty
        # namespace starts none there.
        for address in addresses:
            with self.subTest(address=address):
                self.assertNotIn([address], named)
                if self.pf.exists("Quenvale.log"):
                    os.remove(self.pf.file("Quenvale.log"))
                self.settings({"IPADDRESS": address, "BackupDir": native_path(self.backup),
                               "MonthBackup": "25"}, DB2_LINES)
                # A wrongly chosen folder mode would wait on its box under Wine.
                res = self.run_batch(False, prefix=("unshare", "-n"), timeout=60)
                self.assertEqual(res.code, 255, res.messages)
                log = self.log()
                self.assertIsNotNone(re.fullmatch(
                    rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d "
                    + re.escape(qv.sjis("AS400からの応答がないため中止")) + re.escape(qv.NL), log), log)
                # Nothing fetched, backed up or converted.
                self.assertEqual(os.listdir(self.transfer), [])
                self.assertFalse(self.pf.exists("ftparg.txt"))
                self.assertFalse(os.path.exists(self.backup))
                self.assertNotIn(b"Last_MonthBackup", self.pf.read("Quenvale.ini"))
                if not qv.IS_WINDOWS:
                    self.assertEqual(res.stderr, b"")

    def test_empty_ebcdic_converts_nothing(self):
        self.five_files()
        os.mkdir(self.transfer)
        os.mkdir(self.backup)
        self.settings({"IPADDRESS": native_path(self.host), "BackupDir": native_path(self.backup)},
                      DB2_LINES, ebcdic=False)
        res = self.run_batch(True)
        self.assertEqual(res.code, 0, res.messages)
        day = self.assertLog(["開始", "ﾊﾞｯｸｱｯﾌﾟ", "終了"])
        names = os.listdir(self.transfer)
        self.assertEqual(len(names), len(FILES))
        self.assertFalse([n for n in names if n.lower().endswith(".csv")])
        self.assertEqual(len(os.listdir(os.path.join(self.backup, WEEKDAYS[day.isoweekday() % 7]))),
                         len(FILES))

    def test_first_run_in_folder_mode_makes_the_transfer_folder(self):
        # A new user's first try: only the FTP job used to make the folder,
        # so nothing was copied or converted (regression).
        # A name that would reach outside the transfer folder is not converted.
        self.five_files()
        self.settings({"IPADDRESS": native_path(self.host)},
                      ["get QGPL/CUSTOMER.CUSTOMER", "get LIB/X./../victim"])
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"], "  X_/../victimは使えない名前のため変換しません(RunBatch)\n")
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), golden_csv("CUSTOMER"))

    def test_missing_fdf_is_reported_after_the_end_entry(self):
        self.five_files()
        os.remove(self.pf.file("ITEMS.fdf"))
        os.mkdir(self.transfer)
        self.settings({"IPADDRESS": native_path(self.host)},
                      ["get QGPL/ITEMS.ITEMS", "get QGPL/CUSTOMER.CUSTOMER"])
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"], "  ITEMS.fdfのオープンに失敗(toCSV)\n")
        self.assertFalse(os.path.exists(os.path.join(self.transfer, "ITEMS.csv")))
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), golden_csv("CUSTOMER"))

    def test_lines_far_into_the_db2_section_are_converted_and_a_cut_one_told(self):
        # ORDERS_ORD2011 stands past byte 6,000 of [DB2] (once fetched by the
        # FTP job and never converted, without a word); past 65,536 bytes
        # the section is cut, and the log says so.
        self.five_files()
        os.mkdir(self.transfer)
        filler = ["cd LIBRARY%04d" % i for i in range(400)]   # 15 bytes with its zero
        lines = (["get QGPL/CUSTOMER.CUSTOMER"] + filler[:130] + ["get QGPL/ITEMS.ITEMS"]
                 + filler[130:] + ["GET SALES/ORDERS.ORD2011"])
        self.assertGreater(sum(len(l) + 1 for l in lines), 6000)
        self.settings({"IPADDRESS": native_path(self.host)}, lines)
        res = self.run_batch(True)
        self.assertEqual(res.code, 0, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"])
        for entry in ("CUSTOMER", "ITEMS", "ORDERS_ORD2011"):
            self.assertEqual(self.transfer_file(entry + ".csv"), golden_csv(entry))

        os.remove(self.pf.file("Quenvale.log"))
        os.remove(os.path.join(self.transfer, "ITEMS.csv"))
        long_filler = ["cd LIBRARY%05d" % i for i in range(4500)]   # 16 bytes with its zero
        self.settings({"IPADDRESS": native_path(self.host)},
                      ["get QGPL/CUSTOMER.CUSTOMER"] + long_filler + ["get QGPL/ITEMS.ITEMS"])
        res = self.run_batch(True)
        self.assertEqual(res.code, 254, res.messages)
        self.assertLog(["開始", "CSV変換", "終了"],
                       "  [DB2]は65536バイトを超えるため、超えた行は転送も変換もしません(RunBatch)\n")
        self.assertFalse(os.path.exists(os.path.join(self.transfer, "ITEMS.csv")))

    # -- cancelling during the third of five conversions --

    def cancel_setup(self, big_records):
        self.five_files()
        self.host_file("BIG.DB2", b"\x0F" * big_records)
        os.makedirs(self.transfer, exist_ok=True)
        with open(os.path.join(self.transfer, "BIG.csv"), "wb") as f:
            f.write(b"yesterday")
        self.pf.write_text("BIG.fdf", TINY_FDF)
        self.settings({"IPADDRESS": native_path(self.host)},
                      ["get QGPL/CUSTOMER.CUSTOMER", "GET SALES/ORDERS.ORD2011",
                       "get QGPL/BIG.BIG", "get QGPL/Items.ITEMS", "get QGPL/STOCK.stock"])

    def assertCancelledInThird(self, code, big_records):
        self.assertEqual(code, 255)
        self.assertLog(["開始", "CSV変換", "ｷｬﾝｾﾙ"])
        self.assertEqual(self.transfer_file("CUSTOMER.csv"), golden_csv("CUSTOMER"))
        self.assertEqual(self.transfer_file("ORDERS_ORD2011.csv"), golden_csv("ORDERS_ORD2011"))
        # The cut conversion keeps the previous CSV, and leaves nothing else.
        self.assertEqual(self.transfer_file("BIG.csv"), b"yesterday")
        self.assertEqual(qv.temp_files(self.transfer), [])
        for entry in ("ITEMS", "stock"):
            self.assertFalse(os.path.exists(os.path.join(self.transfer, entry + ".csv")), entry)

    def in_third_conversion(self):
        """BIG's CSV is being written: the second CSV is in place and a
        temporary file is there."""
        return (os.path.exists(os.path.join(self.transfer, "ORDERS_ORD2011.csv"))
                and qv.temp_files(self.transfer) != [])

    def wait_for(self, ready, proc, limit=120):
        deadline = time.monotonic() + limit
        while not ready():
            self.assertIsNone(proc.poll(), "the run ended before it was ready")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)

    @qv.skip_unless("windows")
    def test_cancel_button_during_the_third_conversion(self):
        # Far longer to convert than the presses take, however fast the
        # conversion and however loaded the machine: the cancel lands in it.
        big = 50_000_000
        self.cancel_setup(big)
        answered = []

        def cancel(proc):
            self.wait_for(self.in_third_conversion, proc)
            answered.append(qv.uiauto("cancel", "yes", "60"))
            qv.screenshot("batch_run_cancelled")

        res = self.run_batch(True, during=cancel)
        code, texts = answered[0]
        self.assertEqual(code, 0, texts)
        self.assertIn("キャンセルしますか", texts)
        self.assertCancelledInThird(res.code, big)

    @qv.skip_unless("native")
    def test_ctrl_c_during_the_third_conversion(self):
        big = 20_000_000
        self.cancel_setup(big)
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(self.pf.path)
            os.execv(self.pf.exe, [self.pf.exe])
        output = b""
        interrupted = answered = False
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.01)
            if ready:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
            if not interrupted and self.in_third_conversion():
                os.write(master, b"\x03")
                interrupted = True
            if interrupted and not answered and b"(y/n)" in output:
                os.write(master, b"y\n")
                answered = True
        _, status = os.waitpid(pid, 0)
        os.close(master)
        text = output.decode("utf-8", "replace")
        self.assertTrue(answered, text[-500:])
        self.assertIn("キャンセルしますか", text)
        self.assertCancelledInThird(os.waitstatus_to_exitcode(status), big)


if __name__ == "__main__":
    unittest.main()
