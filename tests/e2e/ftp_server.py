"""A loopback FTP server for the tests:

    ftp_server.py ROOT USER PASSWORD [explicit|implicit CERTFILE KEYFILE [OPTION...]]

Serves ROOT on 127.0.0.1 at a free port, which it prints on its first line.
With TLS (explicit: AUTH TLS; implicit: from the first byte) the control
connection must be protected before USER and every data connection as well.
Options: cut=NAME: a RETR of a path ending in NAME sends its first 100
bytes, ends the data connection cleanly and says 226 (a transfer cut
short); client-cert: the server asks for a client certificate (optional);
reset: the control connection is reset (no TLS end) at the first TYPE;
seclevel0: the server takes keys of any size (an RSA-1024 certificate);
tls12: TLS 1.2 at most; ciphers=LIST: the TLS 1.2 suites it offers;
renegotiate=CERTFILE: once PROT P is answered, the control connection is
renegotiated to the certificate CERTFILE (key beside it, .key for .pem).
Without TLS it also takes RCMD DSPFFD (see Handler).
"""
import logging
import os
import re
import shutil
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user(sys.argv[2], sys.argv[3], sys.argv[1], perm="elradfmw")

if len(sys.argv) > 4:
    from OpenSSL import SSL
    from pyftpdlib.handlers import TLS_FTPHandler

    options = sys.argv[7:]
    cut = next((o[4:] for o in options if o.startswith("cut=")), None)
    renegotiate = next((o[12:] for o in options if o.startswith("renegotiate=")), None)

    class Handler(TLS_FTPHandler):
        certfile = sys.argv[5]
        keyfile = sys.argv[6]
        tls_control_required = True
        tls_data_required = True

        def ftp_TYPE(self, line):
            if "reset" in options:
                raw = socket.socket(fileno=os.dup(self.socket.fileno()))
                raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                raw.close()
                self._error = True  # no close_notify: a plain close, which resets
                self.close()
                return
            return super().ftp_TYPE(line)

        def ftp_PROT(self, line):
            super().ftp_PROT(line)
            if renegotiate:
                from OpenSSL import crypto
                with open(renegotiate, "rb") as f:
                    self.socket.use_certificate(crypto.load_certificate(crypto.FILETYPE_PEM, f.read()))
                with open(renegotiate[:-4] + ".key", "rb") as f:
                    self.socket.use_privatekey(crypto.load_privatekey(crypto.FILETYPE_PEM, f.read()))
                self.socket.renegotiate()
                try:
                    self.socket.do_handshake()
                except SSL.WantReadError:
                    pass
                except SSL.Error:
                    pass

        def ftp_RETR(self, file):
            if cut and file.endswith(cut):
                with open(file, "rb") as f:
                    self.push_dtp_data(f.read(100), cmd="RETR")
                return
            return super().ftp_RETR(file)

    if sys.argv[4] == "implicit":
        class Handler(Handler):
            greeted = False

            def handle(self):
                self.secure_connection(self.ssl_context)

            def handle_ssl_established(self):
                if not self.greeted:
                    self.greeted = True
                    TLS_FTPHandler.handle(self)
else:
    class Handler(FTPHandler):
        # RCMD (sent by "quote rcmd"), as the host's FTP server runs a CL
        # command: DSPFFD FILE(LIB/FILE) ... writes the description that
        # ROOT/LIB/FILE.DSPFFD holds to QTEMP/QVFIELDS.QVFIELDS; a file
        # without one fails and leaves QTEMP as it was.
        proto_cmds = dict(FTPHandler.proto_cmds,
                          RCMD=dict(perm=None, auth=True, arg=True, help="Syntax: RCMD <SP> command"))

        def ftp_RCMD(self, line):
            found = re.search(r"DSPFFD FILE\(([^)]*)\)", line)
            source = os.path.join(sys.argv[1], found.group(1) + ".DSPFFD") if found else ""
            if not os.path.isfile(source):
                self.respond("550 CPF3012 File not found.")
                return
            os.makedirs(os.path.join(sys.argv[1], "QTEMP"), exist_ok=True)
            shutil.copyfile(source, os.path.join(sys.argv[1], "QTEMP", "QVFIELDS.QVFIELDS"))
            self.respond("250 Command DSPFFD ended normally.")


if len(sys.argv) > 4 and any(o in ("seclevel0", "tls12") or o.startswith("ciphers=") for o in options):
    context = SSL.Context(SSL.TLS_SERVER_METHOD)
    ciphers = next((o[8:] for o in options if o.startswith("ciphers=")), "DEFAULT")
    context.set_cipher_list((ciphers + (":@SECLEVEL=0" if "seclevel0" in options else "")).encode())
    if "tls12" in options:
        context.set_max_proto_version(SSL.TLS1_2_VERSION)
    context.use_certificate_chain_file(Handler.certfile)
    context.use_privatekey_file(Handler.keyfile)
    Handler.ssl_context = context

if len(sys.argv) > 4 and "client-cert" in options:
    Handler.get_ssl_context()
    Handler.ssl_context.set_verify(SSL.VERIFY_PEER, lambda *args: True)
    # Resumed sessions of a server that verifies its peers need an id context.
    Handler.ssl_context.set_session_id(b"quenvale-test")
Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
