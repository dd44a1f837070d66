#!/usr/bin/python3
"""pyftpdlib on 127.0.0.1, port 0, for tests.

Usage: pyftpd_peer.py ROOT USER PASSWORD BYTES_PER_SECOND
Prints "PORT <n>" once it listens.  The user and anonymous users may read
and write everything under ROOT; a non-zero rate throttles data both ways.
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer
import logging
import warnings

warnings.simplefilter("ignore")

root, user, password, rate = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
logging.basicConfig(level=logging.CRITICAL)
auth = DummyAuthorizer()
auth.add_user(user, password, root, perm="elradfmwMT")
auth.add_anonymous(root, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = auth
if rate > 0:
    dtp = ThrottledDTPHandler
    dtp.read_limit = rate
    dtp.write_limit = rate
    handler.dtp_handler = dtp
server = FTPServer(("127.0.0.1", 0), handler)
sys.stdout.write("PORT %d\n" % server.socket.getsockname()[1])
sys.stdout.flush()
server.serve_forever()
