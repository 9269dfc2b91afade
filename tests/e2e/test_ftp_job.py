"""The FTP job end to end: the job writes its script, runs ftp.exe under the
watch, and the client fetches the host's members from a real FTP server on
loopback into the transfer folder. Also the time limit against a server that
never answers, a second process of the client's name, and the host check.

The job runs through tools/ftpjob_driver, copied with ftp.exe into a fresh
program folder, natively or under Wine (QV_KIND)."""
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

FTP_SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")

KIND = os.environ.get("QV_KIND", "native")
BUILD = os.environ.get("QV_BUILD_DIR", "")
PYTHON = "/usr/bin/python3"
SUFFIX = ".exe" if KIND == "windows" else ""
EOL = b"\r\n" if KIND == "windows" else b"\n"
SEP = "\\" if KIND == "windows" else "/"


def command(*args):
    """A command line for a program of the build under test."""
    return (["wine"] if KIND == "windows" else []) + list(args)


class StallServer:
    """Accepts connections on loopback and never says a word."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(conn)

    def close(self):
        self.listener.close()
        for conn in self.connections:
            conn.close()


def peer_closed(conn, wait=5.0):
    """True when the client at the other end of conn has gone."""
    conn.settimeout(wait)
    try:
        return conn.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


@unittest.skipUnless(BUILD, "QV_BUILD_DIR not set")
class FtpJobTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qvftp")
        self.prog = os.path.join(self.tmp, "prog")
        os.mkdir(self.prog)
        for name in ("ftpjob_driver" + SUFFIX, "ftp.exe"):
            shutil.copy2(os.path.join(BUILD, name), self.prog)
        self.driver = os.path.join(self.prog, "ftpjob_driver" + SUFFIX)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def write_settings(self, quenvale, db2=()):
        text = "[Quenvale]\r\n" + "".join("%s=%s\r\n" % kv for kv in quenvale.items())
        text += "[DB2]\r\n" + "".join(line + "\r\n" for line in db2)
        with open(os.path.join(self.prog, "Quenvale.ini"), "w", newline="") as f:
            f.write(text)

    def env(self, port, timeout=300):
        env = dict(os.environ, QV_FTP_PORT=str(port), QV_FTP_TIMEOUT=str(timeout))
        env.pop("QV_PROGRAM_FOLDER", None)
        return env

    def run_job(self, port, limit=60):
        return subprocess.run(command(self.driver, "run"), env=self.env(port), timeout=limit,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def start_server(self, root):
        server = subprocess.Popen([PYTHON, FTP_SERVER_SCRIPT, root, "QUSER", "secret"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(server)
        return int(server.stdout.readline())

    def program_folder(self):
        if KIND == "windows":
            return "Z:" + self.prog.replace("/", "\\") + "\\"
        return self.prog + "/"

    def test_fetches_members_into_the_transfer_folder(self):
        root = os.path.join(self.tmp, "host")
        os.makedirs(os.path.join(root, "QGPL"))
        os.makedirs(os.path.join(root, "SALES"))
        served = {
            # Bytes a text transfer would change: CR, LF, Ctrl+Z, zero.
            "QGPL/CUSTOMER.CUSTOMER": b"\x00\x0d\x0a\x1a\xff\x40" * 100,
            "SALES/ORDERS.ORD2011": os.urandom(700000),
            "QGPL/PRICES.PRICES": b"\xf1\xf2\xf3" * 10,
        }
        for name, data in served.items():
            with open(os.path.join(root, name), "wb") as f:
                f.write(data)
        upload = os.urandom(1234)
        os.mkdir(os.path.join(self.prog, "DB2"))
        with open(os.path.join(self.prog, "DB2", "UPLOAD.DB2"), "wb") as f:
            f.write(upload)
        port = self.start_server(root)
        db2 = [
            "get QGPL/CUSTOMER.CUSTOMER",
            "GET SALES/ORDERS.ORD2011",
            "SALES/ORDERS.ORD2011",       # a conversion entry only
            "put QGPL/UPLOAD.UPLOAD",
            "get QGPL/MISSING.MISSING",   # a failed transfer does not stop the job
            "cd QGPL",
            "Get PRICES.PRICES",
        ]
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": "secret",
                             "TimeLimit": "60"}, db2)
        result = self.run_job(port)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn(b"result 0", result.stdout)

        db2dir = os.path.join(self.prog, "DB2")

        def fetched(entry):
            with open(os.path.join(db2dir, entry + ".DB2"), "rb") as f:
                return f.read()
        self.assertEqual(fetched("CUSTOMER"), served["QGPL/CUSTOMER.CUSTOMER"])
        self.assertEqual(fetched("ORDERS_ORD2011"), served["SALES/ORDERS.ORD2011"])
        self.assertEqual(fetched("PRICES"), served["QGPL/PRICES.PRICES"])
        self.assertFalse(os.path.exists(os.path.join(db2dir, "MISSING.DB2")))
        with open(os.path.join(root, "QGPL", "UPLOAD.UPLOAD"), "rb") as f:
            self.assertEqual(f.read(), upload)

        local = lambda entry: ('"%sDB2%s%s.DB2"' % (self.program_folder(), SEP, entry)).encode()
        with open(os.path.join(self.prog, "ftparg.txt"), "rb") as f:
            script = f.read()
        self.assertEqual(script, EOL.join([
            b"QUSER", b"secret", b"binary",
            b"get QGPL/CUSTOMER.CUSTOMER " + local("CUSTOMER"),
            b"GET SALES/ORDERS.ORD2011 " + local("ORDERS_ORD2011"),
            b"put " + local("UPLOAD") + b" QGPL/UPLOAD.UPLOAD",
            b"get QGPL/MISSING.MISSING " + local("MISSING"),
            b"cd QGPL",
            b"Get PRICES.PRICES " + local("PRICES"),
            b"quit", b""]))

    def test_stalled_transfer_ends_at_the_time_limit(self):
        stall = StallServer()
        self.addCleanup(stall.close)
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "u", "PASSWORD": "p",
                             "TimeLimit": "2"}, ["get QGPL/A.A"])
        start = time.monotonic()
        result = self.run_job(stall.port)
        took = time.monotonic() - start
        self.assertEqual(result.returncode, 0, result.stdout)
        # Terminated once the whole-second readings differ by 3, the client's
        # own time-out (300 s) being far off.
        self.assertGreaterEqual(took, 2.0)
        self.assertLess(took, 20.0)
        self.assertEqual(len(stall.connections), 1)
        self.assertTrue(peer_closed(stall.connections[0]), "the client still runs")

    def test_other_process_of_the_same_name_is_waited_for_never_terminated(self):
        stall = StallServer()
        self.addCleanup(stall.close)
        # A second client, started here from another folder, that sleeps on
        # the silent server.
        other_dir = os.path.join(self.tmp, "other")
        os.mkdir(other_dir)
        shutil.copy2(os.path.join(BUILD, "ftp.exe"), other_dir)
        with open(os.path.join(other_dir, "script.txt"), "wb") as f:
            f.write(b"u" + EOL + b"p" + EOL + b"quit" + EOL)
        other = subprocess.Popen(
            command(os.path.join(other_dir, "ftp.exe"), "-s:" + os.path.join(other_dir, "script.txt"),
                    "127.0.0.1"),
            env=self.env(stall.port), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(other)
        deadline = time.monotonic() + 30
        while len(stall.connections) < 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(stall.connections), 1)

        self.write_settings({"IPADDRESS": "127.0.0.1", "TimeLimit": "1"}, [])
        job = subprocess.Popen(command(self.driver, "run"), env=self.env(stall.port),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.procs.append(job)
        # Long after the limit: the job's own client is gone, the job still
        # waits, and the other client lives.
        time.sleep(6)
        self.assertEqual(len(stall.connections), 2)
        self.assertTrue(peer_closed(stall.connections[1]), "the started client still runs")
        self.assertIsNone(job.poll(), "the watch ended while a process of the name ran")
        self.assertIsNone(other.poll(), "the other process was terminated")
        self.assertFalse(peer_closed(stall.connections[0], wait=0.2))

        other.kill()
        other.wait()
        out, _ = job.communicate(timeout=30)
        self.assertEqual(job.returncode, 0, out)

    def check_host(self, address):
        result = subprocess.run(["unshare", "-n"] + command(self.driver, "check", address),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        return result.stdout

    def test_check_host_without_any_network(self):
        # Without a network namespace of its own the look-up could reach a
        # name server outside this machine.
        if subprocess.run(["unshare", "-n", "true"], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot make a network namespace")
        with open("/etc/hosts") as f:
            hosts = [line.split() for line in f if not line.lstrip().startswith("#")]
        if not any(words and words[0] == "127.0.0.1" for words in hosts):
            self.skipTest("/etc/hosts has no entry for 127.0.0.1")
        self.assertIn(b"result 0", self.check_host("127.0.0.1"))
        self.assertIn(b"result -1", self.check_host("192.0.2.1"))   # documentation range
        self.assertIn(b"result -1", self.check_host("not-an-address"))


if __name__ == "__main__":
    unittest.main()
