#!/usr/bin/python3
"""An SMTP server that keeps what it receives, for the client's tests.

Usage: smtp_sink.py PORT OUTDIR [USER PASSWORD]

Listens on 127.0.0.1:PORT with aiosmtpd and prints "READY" once it takes
connections.  Each accepted message is written to OUTDIR as N.json (the
envelope) and N.eml (the bytes between DATA and the final dot, unstuffed).
With USER and PASSWORD, AUTH PLAIN and LOGIN are offered without TLS and
those credentials are the only ones accepted.  Runs until killed.
"""
import json
import os
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Keep:
    def __init__(self, outdir):
        self.outdir = outdir
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.outdir, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                       "authenticated": bool(session.authenticated)}, f)
        return "250 Message accepted for delivery"


def main():
    port = int(sys.argv[1])
    outdir = sys.argv[2]
    kwargs = {}
    if len(sys.argv) > 4:
        user = sys.argv[3].encode()
        password = sys.argv[4].encode()

        def authenticator(server, session, envelope, mechanism, auth_data):
            ok = (isinstance(auth_data, LoginPassword) and auth_data.login == user
                  and auth_data.password == password)
            return AuthResult(success=ok, handled=False)

        kwargs = {"authenticator": authenticator, "auth_require_tls": False}
    controller = Controller(Keep(outdir), hostname="127.0.0.1", port=port, **kwargs)
    controller.start()
    print("READY", flush=True)
    try:
        while True:
            time.sleep(1)
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
