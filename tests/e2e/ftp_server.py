"""A loopback FTP server for the tests:

    ftp_server.py ROOT USER PASSWORD [explicit|implicit CERTFILE KEYFILE [CUT]]

Serves ROOT on 127.0.0.1 at a free port, which it prints on its first line.
With TLS (explicit: AUTH TLS; implicit: from the first byte) the control
connection must be protected before USER and every data connection as well.
A RETR of the file CUT (a path) sends its first 100 bytes, ends the data
connection cleanly and says 226: a transfer cut short.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user(sys.argv[2], sys.argv[3], sys.argv[1], perm="elradfmw")

if len(sys.argv) > 4:
    from pyftpdlib.handlers import TLS_FTPHandler

    class Handler(TLS_FTPHandler):
        certfile = sys.argv[5]
        keyfile = sys.argv[6]
        tls_control_required = True
        tls_data_required = True

        def ftp_RETR(self, file):
            if len(sys.argv) > 7 and file.endswith(sys.argv[7]):
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
        pass


Handler.authorizer = authorizer
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
