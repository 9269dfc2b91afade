"""The FTP job end to end: the job writes its script, runs ftp.exe under the
watch, and the client fetches the host's members from a real FTP server on
loopback into the transfer folder. Also the time limit against a server that
never answers, a second process of the client's name, the host check, and
hostile servers: a failed fetch must leave last week's copy as it was.

The job runs through tools/ftpjob_driver, copied with ftp.exe into a fresh
program folder, natively or under Wine (QV_KIND). Release unpacks the release
archive and runs the program of its own folder: the guide's first command, and
(Windows) a batch run whose fetch is cut."""
import glob
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import qv

FTP_SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")

KIND = os.environ.get("QV_KIND", "native")
BUILD = os.environ.get("QV_BUILD_DIR", "")
PYTHON = "/usr/bin/python3"
VSFTPD = "/usr/sbin/vsftpd"
SUFFIX = ".exe" if KIND == "windows" else ""
EOL = b"\r\n" if KIND == "windows" else b"\n"
SEP = "\\" if KIND == "windows" else "/"


def setUpModule():
    # The display and the kept desktop before the first Windows program, as
    # qv's own starts have them. This file's programs take os.environ: the
    # first of them once brought Wine's desktop up without a display, and
    # Release's summary box could then not be made (MessageBoxW returned -1
    # at once, and the program ended with its count as if it had shown it).
    if KIND == "windows":
        qv.wine_env()


def command(*args):
    """A command line for a program of the build under test."""
    return (qv.WINE if KIND == "windows" else []) + list(args)


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


PASSWORD = "S3cr3t-Pw"
OLD_COPY = b"last week's good copy\x00\xff"
OLD_TIME = 946684800   # 2000-01-01: any write would move it
# The members every hostile-server row fetches, by remote name, and the
# entries the job makes of them.
MEMBERS = {
    "QGPL/CUSTOMER.CUSTOMER": bytes(range(256)) * 40,
    "QGPL/ORDERS.ORDERS": b"\x0d\x0a\x1a\x00" * 3000,
    "QGPL/PRICES.PRICES": b"\xf1\xf2\xf3" * 5,
}
ENTRIES = {remote: remote.split("/")[1].split(".")[0] for remote in MEMBERS}
ORDERS = "QGPL/ORDERS.ORDERS"


class Hangup(Exception):
    """Raised by a step to end the session without a word."""


class Session:
    def __init__(self, ctl):
        self.ctl = ctl
        self.ctl.settimeout(30)
        self.data_listener = None

    def say(self, text):
        self.ctl.sendall((text.encode("latin-1") if isinstance(text, str) else text) + b"\r\n")

    def accept_data(self):
        self.data_listener.settimeout(10)
        conn, _ = self.data_listener.accept()
        conn.settimeout(30)
        return conn

    def close(self):
        for sock in (self.ctl, self.data_listener):
            if sock is not None:
                sock.close()


def passive(s, _):
    if s.data_listener is not None:
        s.data_listener.close()
    s.data_listener = socket.create_server(("127.0.0.1", 0))
    port = s.data_listener.getsockname()[1]
    s.say("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 255))


def serve(s, name, before=b"", after=b""):
    """RETR as a good server does it, stating the size."""
    if name not in MEMBERS:
        s.say("550 %s: no such member." % name)
        return
    s.say(b"150 " + before + b"Opening BINARY mode data connection (%d bytes)." % len(MEMBERS[name]))
    with s.accept_data() as data:
        data.sendall(MEMBERS[name])
    s.say(b"226 " + after + b"Transfer complete.")


GOOD = {
    "CONNECT": lambda s, _: s.say("220 Ready."),
    "USER": lambda s, _: s.say("331 Password required."),
    "PASS": lambda s, _: s.say("230 Logged on."),
    "TYPE": lambda s, _: s.say("200 Type set."),
    "PASV": passive,
    "RETR": serve,
}


class RawFtpServer:
    """A hand-made FTP server on loopback that serves MEMBERS; hooks (by verb,
    CONNECT for the greeting) replace its steps with hostile ones."""

    def __init__(self, hooks):
        self.hooks = hooks
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.sessions = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                ctl, _ = self.listener.accept()
            except OSError:
                return
            session = Session(ctl)
            self.sessions.append(session)
            threading.Thread(target=self._run, args=(session,), daemon=True).start()

    def step(self, verb):
        return self.hooks.get(verb, GOOD.get(verb, lambda s, _: s.say("502 Not implemented.")))

    def _run(self, s):
        try:
            self.step("CONNECT")(s, "")
            for raw in s.ctl.makefile("rb"):
                verb, _, arg = raw.decode("latin-1").rstrip("\r\n").partition(" ")
                if verb.upper() == "QUIT":
                    s.say("221 Goodbye.")
                    break
                self.step(verb.upper())(s, arg)
        except (OSError, Hangup):
            pass
        finally:
            s.close()

    def close(self):
        self.listener.close()
        for s in self.sessions:
            s.close()


def for_orders(hostile):
    """A RETR step that is hostile for ORDERS only and good for the others."""
    return lambda s, name: hostile(s, name) if name == ORDERS else serve(s, name)


def wait_for_close(sock):
    """Blocks until the client has dropped its end of sock."""
    try:
        while sock.recv(4096):
            pass
    except OSError:
        pass


def silent_data(s, name):
    s.say("150 Opening data connection.")
    with s.accept_data() as data:
        wait_for_close(data)
    s.say("426 Connection closed; transfer aborted.")


def silent_everywhere(s, name):
    s.say("150 Opening data connection.")
    with s.accept_data() as data:
        wait_for_close(data)
    wait_for_close(s.ctl)
    raise Hangup


def short_data(final):
    def retr(s, name):
        s.say("150 Opening BINARY mode data connection (%d bytes)." % len(MEMBERS[name]))
        with s.accept_data() as data:
            data.sendall(MEMBERS[name][:100])
        s.say(final)
    return retr


def short_data_unsized(s, name):
    s.say("150 Opening data connection.")
    with s.accept_data() as data:
        data.sendall(MEMBERS[name][:100])
    s.say("226 Transfer complete.")


def hang_up_after_data(s, name):
    # No size stated: only the missing final reply tells that something failed.
    s.say("150 Opening data connection.")
    with s.accept_data() as data:
        data.sendall(MEMBERS[name])
    raise Hangup


def endless(first_line):
    """first_line, then data with no end: the client must stop, not fill the disk."""
    def retr(s, name):
        s.say(first_line)
        deadline = time.monotonic() + 30
        try:
            with s.accept_data() as data:
                while time.monotonic() < deadline:
                    data.sendall(b"x" * 65536)
        except OSError:
            pass
        s.say("426 Connection closed; transfer aborted.")
    return retr


# 100 bytes announced, and then no end.
endless_data = endless("150 Opening BINARY mode data connection (100 bytes).")
# Neither SIZE nor the 150 reply tells a size: only MaxTransferMB (1 MB here)
# stops the flood; 2.7 GB once arrived in 10 s.
endless_unsized = endless("150 Opening data connection.")


def size_elsewhere(first_line):
    """No size where the old client looked for it; short data, then 226."""
    def retr(s, name):
        s.say(first_line % len(MEMBERS[name]))
        s.say("150 Opening data connection.")
        with s.accept_data() as data:
            data.sendall(MEMBERS[name][:100])
        s.say("226 Transfer complete.")
    return retr


def size_reply(s, name):
    s.say("213 %d" % len(MEMBERS[name]) if name in MEMBERS else "550 No such member.")


def odd_size(text):
    """A SIZE reply for ORDERS that is no plain number."""
    return lambda s, name: s.say("213 " + text) if name == ORDERS else size_reply(s, name)


def endless_greeting(s, _):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        s.say("220-Welcome, and there is more to come.")


def trickling_greeting(s, _):
    for byte in b"220 Welcome to a very slow server.\r\n":
        s.ctl.sendall(bytes([byte]))
        time.sleep(1)


# One hostile behaviour per row: the steps that replace the good server's,
# and the members the client fetches (the others keep last week's copy).
# None for the steps: nothing listens at all.
HOSTILE_ROWS = [
    # 150, then the data connection accepted and silent; 426 once the client gives up.
    ("silent data connection", {"RETR": for_orders(silent_data)}, {"CUSTOMER", "PRICES"}),
    # As above, and no final reply either: the connection is given up.
    ("silent data and control", {"RETR": for_orders(silent_everywhere)}, {"CUSTOMER"}),
    # Fewer bytes than the 150 reply states, then a 226 all the same.
    ("short data then 226", {"RETR": for_orders(short_data("226 Transfer complete."))},
     {"CUSTOMER", "PRICES"}),
    # Fewer bytes than stated, then 426.
    ("short data then 426", {"RETR": for_orders(short_data("426 Connection lost."))},
     {"CUSTOMER", "PRICES"}),
    # All the data, then the control connection closed without a final reply.
    ("hang-up before 226", {"RETR": for_orders(hang_up_after_data)}, {"CUSTOMER"}),
    # One member of three is missing.
    ("550 for one member", {"RETR": for_orders(lambda s, n: s.say("550 %s: not found." % n))},
     {"CUSTOMER", "PRICES"}),
    # The log-on refused, the reply repeating the password.
    ("log-on refused", {"PASS": lambda s, _: s.say("530 User QUSER, password %s: refused." % PASSWORD)},
     set()),
    # Logged on by USER alone: the password line must not become a command.
    ("230 right after USER", {"USER": lambda s, _: s.say("230 Logged on."),
                              "PASS": lambda s, _: s.say("503 Already logged on.")},
     {"CUSTOMER", "ORDERS", "PRICES"}),
    ("nothing listening", None, set()),
    # "220-" lines without end.
    ("endless greeting", {"CONNECT": endless_greeting}, set()),
    # A greeting of one byte a second: every read succeeds, the reply never ends.
    ("trickling greeting", {"CONNECT": trickling_greeting}, set()),
    # More bytes than the 150 reply announced, without end.
    ("more data than announced", {"RETR": for_orders(endless_data)}, {"CUSTOMER", "PRICES"}),
    # No size in the 150 reply, but SIZE answered: short data then 226.
    ("size from SIZE only, short data then 226",
     {"SIZE": size_reply, "RETR": for_orders(short_data_unsized)}, {"CUSTOMER", "PRICES"}),
    # The size in the first line of a multi-line 150 only.
    ("size in a continued 150, short data then 226",
     {"RETR": for_orders(size_elsewhere("150-Member size (%d bytes)."))}, {"CUSTOMER", "PRICES"}),
    # A SIZE that is no plain number fails the get, whatever comes after it.
    ("SIZE of -5", {"SIZE": odd_size("-5")}, {"CUSTOMER", "PRICES"}),
    ("SIZE of 16384abc", {"SIZE": odd_size("16384abc")}, {"CUSTOMER", "PRICES"}),
    ("SIZE of 20 digits", {"SIZE": odd_size("9" * 20)}, {"CUSTOMER", "PRICES"}),
    # No size anywhere and no end: stopped at MaxTransferMB.
    ("unsized endless data", {"RETR": for_orders(endless_unsized)}, {"CUSTOMER", "PRICES"}),
    # A reply line whose password starts just before the 1,023rd byte: it was
    # cut, then masked, and its first characters showed.
    ("password across the cut of a reply line",
     {"PASS": lambda s, _: s.say("530 " + "x" * 1016 + PASSWORD + " refused.")}, set()),
    # The password echoed in forms no mask finds: only the reply's code shows.
    ("password split over two lines",
     {"PASS": lambda s, _: s.say("530-Password %s\r\n530 %s refused." % (PASSWORD[:4], PASSWORD[4:]))}, set()),
    ("password upper-cased", {"PASS": lambda s, _: s.say("530 %s refused." % PASSWORD.upper())}, set()),
    ("password with a NUL inside",
     {"PASS": lambda s, _: s.say("530 %s\0%s refused." % (PASSWORD[:3], PASSWORD[3:]))}, set()),
    ("password spaced out", {"PASS": lambda s, _: s.say("530 %s refused." % " ".join(PASSWORD))}, set()),
    # Terminal escape sequences in the replies of a transfer that works.
    ("escape sequences", {
        "CONNECT": lambda s, _: s.say(b"220 \x1b[2J\x1b]0;owned\x07Ready.\x1b[?1049h"),
        "RETR": lambda s, name: serve(s, name, before=b"\x1b[31m", after=b"\x1b[8m\x7f"),
    }, {"CUSTOMER", "ORDERS", "PRICES"}),
]


def openssl(*args, at=None):
    """Runs the openssl command; at: a date its clock is set to (faketime)."""
    command = (["faketime", at] if at else []) + ["openssl"] + list(args)
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


class Certificates:
    """Made at test time: a test root and the host certificates it signs
    (for 127.0.0.1, for another address, one expired), and a self-signed one
    for pinning."""

    KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]

    def __init__(self, folder):
        self.folder = folder
        self.root = self.path("root")
        while True:
            openssl("req", "-x509", *self.KEY, "-keyout", self.path("root", ".key"), "-out", self.root,
                    "-subj", "/CN=Quenvale test root", "-days", "30",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign")
            if self.verifiable(self.root):
                break
        for name, address, at in (("host", "127.0.0.1", None), ("other", "127.0.0.2", None),
                                  ("expired", "127.0.0.1", "2020-01-01")):
            openssl("req", *self.KEY, "-keyout", self.path(name, ".key"), "-out", self.path(name, ".csr"),
                    "-subj", "/CN=" + name)
            with open(self.path(name, ".ext"), "w") as f:
                f.write("subjectAltName=IP:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                        % address)
            while True:
                openssl("x509", "-req", "-in", self.path(name, ".csr"), "-CA", self.root,
                        "-CAkey", self.path("root", ".key"), "-CAcreateserial", "-days", "30",
                        "-extfile", self.path(name, ".ext"), "-out", self.path(name), at=at)
                if self.verifiable(self.path(name)):
                    break
        openssl("req", "-x509", *self.KEY, "-keyout", self.path("pinned", ".key"), "-out",
                self.path("pinned"), "-subj", "/CN=pinned", "-days", "30")
        # RSA keys for pinning: one too weak (RSA-1024), one strong.
        for name, bits in (("weak", 1024), ("rsa", 2048)):
            openssl("req", "-x509", "-newkey", "rsa:%d" % bits, "-nodes", "-keyout", self.path(name, ".key"),
                    "-out", self.path(name), "-subj", "/CN=" + name, "-days", "30")

    def path(self, name, suffix=".pem"):
        return os.path.join(self.folder, name + suffix)

    @staticmethod
    def verifiable(path):
        """False under Wine for an ECDSA signature whose r or s has a leading
        zero byte (about 1 in 128): Wine's crypt32 (8.0) does not pad it to
        the curve's 32 bytes and calls it bad, where Windows verifies it. The
        trusted-root rows then failed now and then: "no chain to a trusted
        root". Signing again draws another r and s."""
        if KIND != "windows":
            return True
        from cryptography import x509
        from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
        with open(path, "rb") as f:
            r, s = decode_dss_signature(x509.load_pem_x509_certificate(f.read()).signature)
        return r >= 1 << 248 and s >= 1 << 248

    def fingerprint(self, name):
        """As the guide tells to read it: AA:BB:..."""
        out = openssl("x509", "-in", self.path(name), "-noout", "-fingerprint", "-sha256")
        return out.decode().strip().split("=", 1)[1]


class Recorder:
    """A relay on loopback between the client and a server's control port
    that keeps every byte that crosses it, both ways."""

    def __init__(self, target_port):
        self.target = target_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.seen = bytearray()
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            self.sockets += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    def _pump(self, a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                self.seen += data
                b.sendall(data)
        except OSError:
            pass
        finally:
            for sock in (a, b):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.listener.close()
        for sock in self.sockets:
            sock.close()


NO_TLS = "  ホストがTLSに対応していないため接続しません(RunFtpJob)"
CERTIFICATE = "  ホストの証明書を確認できないため接続しません(RunFtpJob)"
FINGERPRINT = "  ホストの証明書がFTPSFingerprintと一致しないため接続しません(RunFtpJob)"
HANDSHAKE = "  ホストとTLSで接続できないため接続しません(RunFtpJob)"

# FTP over TLS, one case per row: FTPS, the server (its TLS mode and
# certificate; "stall": one that accepts and never answers), the certificate
# whose fingerprint is pinned, the members fetched, the run-log line.
TLS_ROWS = [
    ("explicit, trusted root", "explicit", ("explicit", "host"), None, set(MEMBERS), None),
    ("implicit, trusted root", "implicit", ("implicit", "host"), None, set(MEMBERS), None),
    ("pinned fingerprint", "explicit", ("explicit", "pinned"), "pinned", set(MEMBERS), None),
    ("implicit, pinned fingerprint", "implicit", ("implicit", "host"), "host", set(MEMBERS), None),
    ("wrong fingerprint", "explicit", ("explicit", "pinned"), "host", set(), FINGERPRINT),
    ("trusted root, another address", "explicit", ("explicit", "other"), None, set(), CERTIFICATE),
    ("expired", "explicit", ("explicit", "expired"), None, set(), CERTIFICATE),
    ("unknown root", "implicit", ("implicit", "pinned"), None, set(), CERTIFICATE),
    ("server without TLS", "explicit", ("plain", None), None, set(), NO_TLS),
    ("handshake that stalls", "implicit", ("stall", None), None, set(), HANDSHAKE),
    # 100 bytes of ORDERS, a clean TLS end and 226: SIZE told the whole size.
    # A server that asks for a client certificate, which the client has none of.
    ("server asks for a client certificate", "explicit", ("explicit", "host", "client-cert"), "host",
     set(MEMBERS), None),
    ("cut transfer over TLS", "explicit", ("explicit", "host", "cut=" + ORDERS), "host",
     set(MEMBERS) - {ORDERS}, None),
    # A pinned certificate whose key gives less than 112 bits of security
    # was accepted (only the chain's rules refused it).
    ("pinned RSA-1024 key", "explicit", ("explicit", "weak", "seclevel0"), "weak", set(), CERTIFICATE),
    # TLS 1.2 renegotiated to another certificate once the pin was checked:
    # the client went on with it and fetched everything. The renegotiation
    # is refused, and the connection ends (the server gives up on OpenSSL's
    # refusal; Schannel's request is the end).
    # TLS 1.2 suites with forward secrecy and AEAD only: a server offering
    # only static-RSA CBC suites was accepted. An RSA host with ECDHE-GCM works.
    ("static RSA, CBC only", "explicit", ("explicit", "rsa", "tls12", "ciphers=AES128-SHA:AES256-SHA256"),
     "rsa", set(), HANDSHAKE),
    ("pinned RSA-2048 over TLS 1.2, ECDHE and AES-GCM", "explicit",
     ("explicit", "rsa", "tls12", "ciphers=ECDHE-RSA-AES128-GCM-SHA256"), "rsa", set(MEMBERS), None),
    ("renegotiation to another certificate", "explicit", ("explicit", "rsa", "tls12", "renegotiate=other"),
     "rsa", set(), None),
]


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as sock:
        return sock.getsockname()[1]


@unittest.skipUnless(BUILD, "QV_BUILD_DIR not set")
class FtpJobTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qvftp")
        # Removed last, after the other clean-ups: they may need its files.
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
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

    def write_settings(self, quenvale, db2=()):
        text = "[Quenvale]\r\n" + "".join("%s=%s\r\n" % kv for kv in quenvale.items())
        text += "[DB2]\r\n" + "".join(line + "\r\n" for line in db2)
        with open(os.path.join(self.prog, "Quenvale.ini"), "w", newline="") as f:
            f.write(text)

    def env(self, port, timeout=300):
        # The client run by itself is bounded as the job bounds it (MaxTransferMB=1).
        env = dict(os.environ, QV_FTP_PORT=str(port), QV_FTP_TIMEOUT=str(timeout), QV_MAX_TRANSFER_MB="1")
        env.pop("QV_PROGRAM_FOLDER", None)
        return env

    def run_job(self, port, limit=60, timeout=300):
        return subprocess.run(command(self.driver, "run"), env=self.env(port, timeout),
                              timeout=limit, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def run_client(self, port, limit=60, timeout=300, password=PASSWORD):
        """Runs ftp.exe by itself on the script the job wrote, its password
        put back (the job blanks it once its client has ended)."""
        with open(os.path.join(self.prog, "ftparg.txt"), "rb") as f:
            lines = f.read().split(EOL)
        lines[1] = password.encode()
        with open(os.path.join(self.prog, "script.txt"), "wb") as f:
            f.write(EOL.join(lines))
        script = self.program_folder() + "script.txt"
        return subprocess.run(command(os.path.join(self.prog, "ftp.exe"), "-s:" + script, "127.0.0.1"),
                              env=self.env(port, timeout), timeout=limit,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def write_old_copies(self, entries):
        """Last week's copies, which a failed fetch must leave as they are."""
        db2dir = os.path.join(self.prog, "DB2")
        shutil.rmtree(db2dir, ignore_errors=True)
        os.mkdir(db2dir)
        for entry in entries:
            path = os.path.join(db2dir, entry + ".DB2")
            with open(path, "wb") as f:
                f.write(OLD_COPY)
            os.utime(path, (OLD_TIME, OLD_TIME))

    def assert_kept(self, entry):
        path = os.path.join(self.prog, "DB2", entry + ".DB2")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), OLD_COPY, entry)
        self.assertEqual(os.stat(path).st_mtime, OLD_TIME, entry)

    def assert_no_part_files(self):
        names = os.listdir(os.path.join(self.prog, "DB2"))
        self.assertEqual([n for n in names if not n.endswith(".DB2")], [])

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
        # A fetched member replaces its old copy; a missing one keeps it.
        self.write_old_copies(["CUSTOMER", "MISSING"])
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
        self.assert_kept("MISSING")
        self.assert_no_part_files()
        with open(os.path.join(root, "QGPL", "UPLOAD.UPLOAD"), "rb") as f:
            self.assertEqual(f.read(), upload)

        local = lambda entry: ('"%sDB2%s%s.DB2"' % (self.program_folder(), SEP, entry)).encode()
        with open(os.path.join(self.prog, "ftparg.txt"), "rb") as f:
            script = f.read()
        # The password line is blanked once the client has ended.
        self.assertEqual(script, EOL.join([
            b"QUSER", b"      ", b"binary",
            b"get QGPL/CUSTOMER.CUSTOMER " + local("CUSTOMER"),
            b"GET SALES/ORDERS.ORD2011 " + local("ORDERS_ORD2011"),
            b"put " + local("UPLOAD") + b" QGPL/UPLOAD.UPLOAD",
            b"get QGPL/MISSING.MISSING " + local("MISSING"),
            b"cd QGPL",
            b"Get PRICES.PRICES " + local("PRICES"),
            b"quit", b""]))
        self.assertNotIn(b"secret", result.stdout)

        # Once more by itself, over the copies just fetched: the exit status
        # counts the one failed transfer.
        if KIND == "native":
            self.assertEqual(os.stat(os.path.join(self.prog, "ftparg.txt")).st_mode & 0o777, 0o600)
        again = self.run_client(port, password="secret")
        self.assertEqual(again.returncode, 1, again.stdout)
        self.assertIn(b"ftp: transfer of QGPL/MISSING.MISSING failed", again.stdout)
        self.assertNotIn(b"secret", again.stdout)
        self.assertEqual(fetched("ORDERS_ORD2011"), served["SALES/ORDERS.ORD2011"])
        self.assert_kept("MISSING")
        self.assert_no_part_files()

    def test_hostile_servers_never_replace_the_previous_copy(self):
        for name, hooks, fetched in HOSTILE_ROWS:
            with self.subTest(name):
                self.check_hostile_server(hooks, fetched)

    def check_hostile_server(self, hooks, fetched):
        if hooks is None:
            port = free_port()
        else:
            server = RawFtpServer(hooks)
            self.addCleanup(server.close)
            port = server.port
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": PASSWORD,
                             "TimeLimit": "15", "MaxTransferMB": "1"}, ["get " + remote for remote in MEMBERS])
        self.write_old_copies(ENTRIES.values())
        # Through the job, then by itself for its exit status. With a
        # client time-out of 2 s the client must end well before the job's
        # limit of 15 s would terminate it.
        for run in (self.run_job, self.run_client):
            start = time.monotonic()
            result = run(port, limit=60, timeout=2)
            self.assertLess(time.monotonic() - start, 15, run.__name__)
            out = result.stdout
            self.assertNotIn(PASSWORD.encode(), out)
            self.assertNotIn(PASSWORD[:3].encode(), out)
            for piece in (PASSWORD[:3].upper(), PASSWORD[3:].encode(), PASSWORD[4:], " ".join(PASSWORD[:3])):
                self.assertNotIn(piece.encode() if isinstance(piece, str) else piece, out)
            self.assertNotIn(b"Invalid command", out)
            self.assertNotIn(b"\x1b", out)
            self.assertNotIn(b"\x07", out)
            for remote, entry in ENTRIES.items():
                if entry in fetched:
                    with open(os.path.join(self.prog, "DB2", entry + ".DB2"), "rb") as f:
                        self.assertEqual(f.read(), MEMBERS[remote], entry)
                else:
                    self.assert_kept(entry)
            self.assert_no_part_files()
        self.assertEqual(result.returncode, len(MEMBERS) - len(fetched), out)
        for remote, entry in ENTRIES.items():
            self.assertEqual(b"transfer of %s failed" % remote.encode() in out, entry not in fetched)

    def test_ftp_over_tls(self):
        certs = Certificates(self.tmp)
        root = os.path.join(self.tmp, "host")
        os.makedirs(os.path.join(root, "QGPL"))
        for remote, data in MEMBERS.items():
            with open(os.path.join(root, remote), "wb") as f:
                f.write(data)
        if KIND == "windows":
            # Schannel trusts the roots of the (test-owned) Wine prefix's store.
            helper = command(os.path.join(BUILD, "test_helper.exe"), "root")
            subprocess.run(helper + ["add", certs.root], check=True, timeout=60)
            # Checked: every root left behind stayed trusted in the prefix.
            self.addCleanup(subprocess.run, helper + ["remove", certs.root], check=True, timeout=60)
        for name, ftps, server, pin, fetched, line in TLS_ROWS:
            with self.subTest(name):
                self.check_tls(certs, root, ftps, server, pin, fetched, line)

    def check_tls(self, certs, root, ftps, server, pin, fetched, line):
        mode, cert = server[0], server[1]
        if mode == "stall":
            stall = StallServer()
            self.addCleanup(stall.close)
            port = stall.port
        else:
            args = [root, "QUSER", PASSWORD]
            if mode != "plain":
                args += [mode, certs.path(cert), certs.path(cert, ".key")]
                args += [o.replace("=other", "=" + certs.path("other")) for o in server[2:]]
            proc = subprocess.Popen([PYTHON, FTP_SERVER_SCRIPT] + args, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
            self.procs.append(proc)
            self.addCleanup(proc.stdout.close)
            port = int(proc.stdout.readline())
        recorder = Recorder(port)
        self.addCleanup(recorder.close)
        settings = {"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": PASSWORD, "TimeLimit": "15",
                    "FTPS": ftps}
        if pin:
            settings["FTPSFingerprint"] = certs.fingerprint(pin)
        # The gets, and a put over TLS once logged on.
        self.write_settings(settings, ["get " + remote for remote in MEMBERS] + ["put QGPL/UPLOAD.UPLOAD"])
        self.write_old_copies(ENTRIES.values())
        upload = os.urandom(70000)
        with open(os.path.join(self.prog, "DB2", "UPLOAD.DB2"), "wb") as f:
            f.write(upload)
        uploaded = os.path.join(root, "QGPL", "UPLOAD.UPLOAD")
        if os.path.exists(uploaded):
            os.remove(uploaded)
        env = dict(self.env(recorder.port, 2), SSL_CERT_FILE=certs.root)
        start = time.monotonic()
        result = subprocess.run(command(self.driver, "run"), env=env, timeout=60,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        elapsed = time.monotonic() - start
        # A failure says what the job and its client said, and when.
        told = "after %.1f s:\n%s" % (elapsed, result.stdout.decode("cp932", "replace"))
        self.assertLess(elapsed, 15, told)
        for remote, entry in ENTRIES.items():
            if remote in fetched:
                with open(os.path.join(self.prog, "DB2", entry + ".DB2"), "rb") as f:
                    self.assertEqual(f.read(), MEMBERS[remote], entry + " " + told)
            else:
                self.assert_kept(entry)
        self.assert_no_part_files()
        if fetched:
            with open(uploaded, "rb") as f:
                self.assertEqual(f.read(), upload, told)
        else:
            self.assertFalse(os.path.exists(uploaded))
        self.assertIn(b"result 0", result.stdout)
        errors = result.stdout.split(b"result 0")[1].replace(b"\r\n", b"\n")
        self.assertEqual(errors, b"\n" + ((line + "\n").encode("cp932") if line else b""))
        # Nothing of the log-on crossed in clear, whatever became of TLS.
        self.assertTrue(recorder.seen)
        self.assertNotIn(PASSWORD.encode(), recorder.seen)
        self.assertNotIn(b"USER QUSER", recorder.seen)
        self.assertNotIn(PASSWORD.encode(), result.stdout)

    def test_tls_server_that_resets_the_connection_counts_a_failure(self):
        # OpenSSL writes without MSG_NOSIGNAL: the close_notify to a server
        # that had reset the connection ended the client by SIGPIPE instead
        # of with its count of failed transfers.
        certs = Certificates(self.tmp)
        proc = subprocess.Popen([PYTHON, FTP_SERVER_SCRIPT, self.tmp, "QUSER", PASSWORD, "explicit",
                                 certs.path("host"), certs.path("host", ".key"), "reset"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        self.addCleanup(proc.stdout.close)
        port = int(proc.stdout.readline())
        with open(os.path.join(self.prog, "script.txt"), "wb") as f:
            f.write(EOL.join([b"QUSER", PASSWORD.encode(), b"binary", b"get QGPL/A.A a.bin", b"quit", b""]))
        env = dict(self.env(port, 5), QV_FTPS="explicit", QV_FTPS_FINGERPRINT=certs.fingerprint("host"))
        result = subprocess.run(command(os.path.join(self.prog, "ftp.exe"),
                                        "-s:" + self.program_folder() + "script.txt", "127.0.0.1"),
                                env=env, timeout=60, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(result.returncode, 1, result.stdout)

    @unittest.skipUnless(KIND == "native" and os.path.exists(VSFTPD), "vsftpd")
    def test_ftp_over_tls_against_an_independent_server(self):
        # vsftpd, run by this test: anonymous log-on and data only over TLS,
        # and data connections that must resume the control connection's
        # TLS session (require_ssl_reuse).
        certs = Certificates(self.tmp)
        root = os.path.join(self.tmp, "host")
        os.makedirs(os.path.join(root, "QGPL"))
        for remote, data in MEMBERS.items():
            with open(os.path.join(root, remote), "wb") as f:
                f.write(data)
        os.mkdir(os.path.join(self.tmp, "empty"))
        port = free_port()
        conf = os.path.join(self.tmp, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_address=127.0.0.1", "listen_port=%d" % port, "background=NO",
                "run_as_launching_user=YES", "anonymous_enable=YES", "local_enable=NO",
                "anon_root=" + root, "no_anon_password=YES", "ssl_enable=YES", "allow_anon_ssl=YES",
                "force_anon_logins_ssl=YES", "force_anon_data_ssl=YES", "require_ssl_reuse=YES",
                "ssl_tlsv1=NO", "ssl_sslv2=NO", "ssl_sslv3=NO", "rsa_cert_file=" + certs.path("host"),
                "rsa_private_key_file=" + certs.path("host", ".key"), "seccomp_sandbox=NO",
                "xferlog_enable=NO", "secure_chroot_dir=" + os.path.join(self.tmp, "empty"), ""]))
        server = subprocess.Popen([VSFTPD, conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(server)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port)).close()
                break
            except OSError:
                time.sleep(0.05)
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "anonymous", "PASSWORD": PASSWORD,
                             "TimeLimit": "15", "FTPS": "explicit"}, ["get " + remote for remote in MEMBERS])
        self.write_old_copies(ENTRIES.values())
        result = subprocess.run(command(self.driver, "run"), env=dict(self.env(port, 5), SSL_CERT_FILE=certs.root),
                                timeout=60, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertTrue(result.stdout.endswith(b"result 0\n"), result.stdout)
        for remote, entry in ENTRIES.items():
            with open(os.path.join(self.prog, "DB2", entry + ".DB2"), "rb") as f:
                self.assertEqual(f.read(), MEMBERS[remote], entry)

    def test_unusable_names_stay_out_of_the_script(self):
        # A typo in [DB2] once wrote files outside the transfer folder.
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "u", "PASSWORD": "p", "TimeLimit": "5"},
                            ["get LIB/X./../../victim/f", 'get LIB/A.A "/tmp/x"', "put LIB/A.B\\C",
                             "get LIB/FILE.MBR victim.txt", "get QGPL X/OUT.TXT", "get QGPL\tX/OUT.TXT",
                             "get QGPL ./victim.exe", "get LIB/GOOD.GOOD"])
        result = subprocess.run(command(self.driver, "run"), env=self.env(free_port(), 2), cwd=self.tmp,
                                timeout=60, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        with open(os.path.join(self.prog, "ftparg.txt"), "rb") as f:
            script = f.read()
        self.assertEqual(script.split(EOL)[3:-1], [
            ('get LIB/GOOD.GOOD "%sDB2%sGOOD.DB2"' % (self.program_folder(), SEP)).encode(), b"quit"])
        for name in ("X_/../../victim/f", 'A_A "/tmp/x"', "A_B\\C", "FILE_MBR victim.txt", "QGPL X/OUT.TXT",
                     "QGPL?X/OUT.TXT", "QGPL ./victim.exe"):
            self.assertIn(("  %sは使えない名前のため転送しません(RunFtpJob)" % name).encode("cp932"),
                          result.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "victim")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "victim.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "X")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "victim.exe")))

    @unittest.skipUnless(KIND == "native", "a file name Windows does not allow")
    def test_program_folder_with_a_double_quote_still_gives_the_client_its_script(self):
        # The client's command line was split at the '"': it got no script.
        prog = os.path.join(self.tmp, 'a "quoted" prog')
        shutil.move(self.prog, prog)
        self.prog = prog
        self.driver = os.path.join(prog, "ftpjob_driver")
        server = RawFtpServer({})
        self.addCleanup(server.close)
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "QUSER", "PASSWORD": PASSWORD,
                             "TimeLimit": "15"}, [])
        result = self.run_job(server.port, timeout=5)
        # The reply to PASS shows its code alone.
        self.assertIn(b"\n230" + EOL, result.stdout)
        self.assertNotIn(b"Logged on", result.stdout)
        self.assertNotIn(PASSWORD.encode(), result.stdout)

    def test_stalled_transfer_ends_at_the_time_limit(self):
        stall = StallServer()
        self.addCleanup(stall.close)
        self.write_settings({"IPADDRESS": "127.0.0.1", "USER": "u", "PASSWORD": PASSWORD,
                             "TimeLimit": "2"}, ["get QGPL/A.A"])
        start = time.monotonic()
        job = subprocess.Popen(command(self.driver, "run"), env=self.env(stall.port),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.procs.append(job)
        deadline = time.monotonic() + 30
        while not stall.connections and time.monotonic() < deadline:
            time.sleep(0.02)
        # The client connects once it has read the log-on lines: by then the
        # password has left the script (it stayed there for the whole run).
        with open(os.path.join(self.prog, "ftparg.txt"), "rb") as f:
            self.assertEqual(f.read().split(EOL)[1], b" " * len(PASSWORD))
        out = job.communicate(timeout=60)[0]
        result = subprocess.CompletedProcess(job.args, job.returncode, out)
        took = time.monotonic() - start
        self.assertEqual(result.returncode, 0, result.stdout)
        # Terminated once the whole-second readings differ by 3, the client's
        # own time-out (300 s) being far off.
        self.assertGreaterEqual(took, 2.0, result.stdout)
        self.assertLess(took, 20.0, result.stdout)
        self.assertEqual(len(stall.connections), 1)
        self.assertTrue(peer_closed(stall.connections[0]), "the client still runs")
        # The log tells why nothing came (once it did not).
        self.assertIn("  ftp.exeを制限時間で強制終了(RunFtpJob)".encode("cp932"), result.stdout)

    @unittest.skipUnless(KIND == "native" and shutil.which("faketime"), "faketime")
    def test_time_limit_counts_real_seconds_whatever_the_clock_says(self):
        # The limit was once measured on the calendar clock: a clock set
        # forward cut a healthy transfer short (a failed CI run), one set
        # back let a hung client run on. Here the job's calendar clock runs
        # ten times too fast or too slow; the client's time is real.
        script = os.path.join(self.prog, "qvclient")
        env = dict(os.environ, FAKETIME_ONLY_CMDS="ftpjob_driver", DONT_FAKE_MONOTONIC="1")
        for rate, limit, body, result, least, most in (
                ("x10", "4", "sleep 2", b"result 0", 2.0, 3.9),          # ends on its own
                ("x0.1", "1", "sleep 120", b"result 1", 1.0, 6.0)):    # terminated in time
            with self.subTest(rate):
                with open(script, "w") as f:
                    f.write("#!/bin/sh\n%s\n" % body)
                os.chmod(script, 0o755)
                self.write_settings({"TimeLimit": limit})
                start = time.monotonic()
                out = subprocess.run(["faketime", "-f", "+0 " + rate, self.driver, "watch", script],
                                     env=env, timeout=60, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT).stdout
                took = time.monotonic() - start
                self.assertIn(result, out)
                self.assertGreaterEqual(took, least, out)
                self.assertLess(took, most, out)

    @unittest.skipUnless(KIND == "native", "a POSIX wrapper script")
    def test_wrapper_that_execs_another_program_is_still_watched(self):
        # An ftp.exe that hands over to a program of another name once ended
        # the watch at once: the time limit never applied and the client,
        # and what it started, outlived the run.
        wrapper = os.path.join(self.prog, "ftp.exe")
        # Sleeps of this test process's own (another run of the suite on the
        # machine starts the same script).
        naps = ["%d.%d" % (n, os.getpid()) for n in (6011, 6012)]
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nsleep %s &\nexec sleep %s\n" % tuple(naps))
        os.chmod(wrapper, 0o755)
        self.write_settings({"IPADDRESS": "127.0.0.1", "TimeLimit": "2"}, ["get QGPL/A.A"])
        start = time.monotonic()
        result = self.run_job(free_port())
        took = time.monotonic() - start
        self.assertGreaterEqual(took, 2.0, result.stdout)
        self.assertLess(took, 20.0)
        self.assertIn("  ftp.exeを制限時間で強制終了(RunFtpJob)".encode("cp932"), result.stdout)
        time.sleep(0.2)
        left = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if f.read() in [b"sleep\x00" + n.encode() + b"\x00" for n in naps]:
                        left.append(pid)
            except OSError:
                pass
        self.assertEqual(left, [], "the client or its child outlived the watch")

    @unittest.skipUnless(KIND == "native", "core files")
    def test_a_crash_of_the_client_leaves_no_core_file(self):
        # A crash of ftp.exe left a core file in its folder with the password
        # in it, twice.
        import resource
        import signal
        stall = StallServer()
        self.addCleanup(stall.close)
        with open(os.path.join(self.prog, "script.txt"), "wb") as f:
            f.write(EOL.join([b"QUSER", PASSWORD.encode(), b"quit", b""]))
        unlimited = lambda: resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2)
        client = subprocess.Popen([os.path.join(self.prog, "ftp.exe"), "-s:" + self.prog + "/script.txt",
                                   "127.0.0.1"], env=self.env(stall.port), cwd=self.prog,
                                  preexec_fn=unlimited, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(client)
        deadline = time.monotonic() + 30
        while not stall.connections and time.monotonic() < deadline:
            time.sleep(0.02)
        with open("/proc/%d/limits" % client.pid) as f:
            self.assertRegex(f.read(), r"Max core file size +0 +0 ")
        # SIGQUIT dumps core as a crash does, and no sanitizer catches it.
        client.send_signal(signal.SIGQUIT)
        self.assertEqual(client.wait(timeout=30), -signal.SIGQUIT)
        self.assertEqual([n for n in os.listdir(self.prog) if n.startswith("core")], [])

    def test_other_process_of_the_same_name_is_neither_waited_for_nor_terminated(self):
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
        # The job's own client is terminated at the limit and the job ends
        # with it; the other client (an interactive session left open) is
        # not waited for, and lives on.
        out, _ = job.communicate(timeout=30)
        self.assertEqual(job.returncode, 0, out)
        self.assertEqual(len(stall.connections), 2)
        self.assertTrue(peer_closed(stall.connections[1]), "the started client still runs")
        self.assertIsNone(other.poll(), "the other process was terminated")
        self.assertFalse(peer_closed(stall.connections[0], wait=0.2))
        other.kill()
        other.wait()

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


@unittest.skipUnless(BUILD, "QV_BUILD_DIR not set")
class Release(unittest.TestCase):
    """The archive a user unpacks: the Windows zip, or the Linux tarball. The
    guide's first command converts its example as the guide says. Quenvale.exe
    starts ftp.exe by name, and Windows finds the one beside it first: a cut
    transfer must leave the previous image as it was (the system's ftp.exe
    would not)."""

    def setUp(self):
        if os.environ.get("QV_RELEASE", "1") == "0":
            self.skipTest("this build makes no release archive (the native and windows presets do)")

    def unpack(self):
        """The unpacked archive's program folder."""
        archive = "Quenvale-*-win64.zip" if KIND == "windows" else "Quenvale-*-linux-x86_64.tar.gz"
        found = glob.glob(os.path.join(BUILD, archive))
        self.assertTrue(found, "no release archive: cmake --build --preset %s --target package" % KIND)
        tmp = tempfile.mkdtemp(prefix="qvrelease")
        self.addCleanup(shutil.rmtree, tmp, True)
        shutil.unpack_archive(found[0], tmp)
        (top,) = os.listdir(tmp)
        return os.path.join(tmp, top)

    def test_first_command_of_the_guide_converts_the_example(self):
        prog = self.unpack()
        if KIND == "windows":
            # The summary box waits for its OK.
            proc = subprocess.Popen(qv.WINE + [os.path.join(prog, "Quenvale.exe"), "CUSTOMER"], cwd=prog,
                                    env=qv.wine_env(), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.addCleanup(proc.kill)
            found, texts = qv.uiauto("texts", "CUSTOMER", "120")
            if found == 0:
                qv.uiauto("close", "CUSTOMER", "1")
            output = proc.communicate(timeout=120)[0]
            code, summary = proc.returncode, "\n".join(texts)
        else:
            result = subprocess.run([os.path.join(prog, "quenvale"), "CUSTOMER"], cwd=prog,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=120)
            output = result.stdout + result.stderr
            code, summary = result.returncode, result.stderr.decode("utf-8", "replace")
        with open(os.path.join(qv.SOURCE_DIR, "examples", "CUSTOMER.csv"), "rb") as f:
            golden = f.read()
        # The example's user-defined characters that Quenvale.ini leaves
        # unmapped: each is a 〓 in the CSV, and their number is the exit code.
        unmapped = golden.decode("cp932").count("〓")
        self.assertGreater(unmapped, 0)
        self.assertEqual(code, unmapped, output)
        self.assertIn("Shift-JIS変換ｴﾗｰ総数=%6d" % unmapped, summary)
        with open(os.path.join(prog, "CUSTOMER.csv"), "rb") as f:
            self.assertEqual(f.read(), golden.replace(b"\n", EOL))

    @unittest.skipUnless(KIND == "native", "the Linux tarball only")
    def test_tarball_keeps_the_password_and_the_data_private(self):
        # Quenvale.ini, which holds the password, was unpacked world-readable.
        prog = self.unpack()
        self.assertEqual(os.stat(os.path.join(prog, "Quenvale.ini")).st_mode & 0o777, 0o600)
        with open(os.path.join(prog, "quenvale.service")) as f:
            self.assertIn("\nUMask=0077\n", f.read())

    @unittest.skipUnless(KIND == "windows", "the Windows release only")
    def test_batch_from_the_zip_keeps_the_old_image_on_a_cut_transfer(self):
        import re
        prog = self.unpack()
        self.assertTrue(os.path.exists(os.path.join(prog, "ftp.exe")))
        ini = os.path.join(prog, "Quenvale.ini")
        with open(ini, "rb") as f:
            settings = f.read()
        settings = re.sub(rb"IPADDRESS=[^\r\n]*", b"IPADDRESS=127.0.0.1", settings)
        settings = re.sub(rb"TimeLimit=[^\r\n]*", b"TimeLimit=60", settings)
        with open(ini, "wb") as f:
            f.write(settings)
        db2dir = os.path.join(prog, "DB2")
        os.mkdir(db2dir)
        old = os.path.join(db2dir, "CUSTOMER.DB2")
        with open(old, "wb") as f:
            f.write(OLD_COPY)
        os.utime(old, (OLD_TIME, OLD_TIME))
        # The zip's [DB2] fetches SALESLIB/CUSTOMER.CUSTOMER: it comes cut.
        def cut(s, name):
            s.say("150 Opening BINARY mode data connection (5000 bytes).")
            with s.accept_data() as data:
                data.sendall(b"x" * 100)
            s.say("226 Transfer complete.")
        server = RawFtpServer({"RETR": cut})
        self.addCleanup(server.close)
        env = dict(os.environ, QV_FTP_PORT=str(server.port), QV_FTP_TIMEOUT="10", WINEDEBUG="-all",
                   LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
        result = subprocess.run(qv.WINE + [os.path.join(prog, "Quenvale.exe")], cwd=prog, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=120)
        # The error line (nothing fetched) makes the night a failure: -2.
        self.assertEqual(result.returncode, 254, result.stdout)
        with open(old, "rb") as f:
            self.assertEqual(f.read(), OLD_COPY)
        self.assertEqual(os.stat(old).st_mtime, OLD_TIME)
        self.assertEqual(sorted(os.listdir(db2dir)), ["CUSTOMER.DB2", "CodeErr.csv"])
        with open(os.path.join(prog, "Quenvale.log"), "rb") as f:
            log = f.read()
        self.assertIn("  CUSTOMER.DB2を取得できなかったため変換しません(RunBatch)\r\n".encode("cp932"), log)
        with open(os.path.join(prog, "ftparg.txt"), "rb") as f:
            self.assertNotIn(b"password", f.read())


if __name__ == "__main__":
    unittest.main()
