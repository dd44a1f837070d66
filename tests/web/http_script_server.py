"""A scripted HTTP peer for the client tests.

Listens on 127.0.0.1, on as many free ports as asked (--ports N), prints
them on one line and serves canned answers by request path.  Every request
head it receives is logged with its connection and port; GET /_log answers
with that log as JSON and empties it.  Runs until killed.
"""

import argparse
import base64
import itertools
import json
import socket
import socketserver
import sys
import threading
import time

LOG = []
LOG_LOCK = threading.Lock()
CONN_IDS = itertools.count(1)

# The fixed NTLM challenge and the answers a correct client computes for
# user "User", password "Password" (hard-coded: MD4 is not always there).
NTLM_CHALLENGE = bytes.fromhex("0123456789abcdef")
NTLM_LM = "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13"
NTLM_NT = "67c43011f30298a2ad35ece64f16331c44bdbed927841f94"


def ntlm_type2():
    name = "DOMAIN".encode("utf-16-le")
    info = (b"\x01\x00" + len("SERVER".encode("utf-16-le")).to_bytes(2, "little")
            + "SERVER".encode("utf-16-le")
            + b"\x02\x00" + len(name).to_bytes(2, "little") + name + b"\x00\x00\x00\x00")
    head_len = 48
    msg = bytearray(b"NTLMSSP\x00")
    msg += (2).to_bytes(4, "little")
    msg += len(name).to_bytes(2, "little") + len(name).to_bytes(2, "little")
    msg += head_len.to_bytes(4, "little")
    msg += (0x00810201).to_bytes(4, "little")
    msg += NTLM_CHALLENGE
    msg += bytes(8)
    msg += len(info).to_bytes(2, "little") + len(info).to_bytes(2, "little")
    msg += (head_len + len(name)).to_bytes(4, "little")
    msg += name + info
    return base64.b64encode(bytes(msg)).decode()


def ntlm_type3_ok(b64):
    m = base64.b64decode(b64)
    if m[:8] != b"NTLMSSP\x00" or int.from_bytes(m[8:12], "little") != 3:
        return False

    def field(at):
        ln = int.from_bytes(m[at:at + 2], "little")
        off = int.from_bytes(m[at + 4:at + 8], "little")
        return m[off:off + ln]

    user = field(36).decode("utf-16-le")
    return (field(12).hex() == NTLM_LM and field(20).hex() == NTLM_NT and user == "User")


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = next(CONN_IDS)
        self.buf = b""
        self.ntlm_step = 0

    def read_until(self, marker):
        while marker not in self.buf:
            data = self.request.recv(65536)
            if not data:
                return None
            self.buf += data
        at = self.buf.index(marker) + len(marker)
        out, self.buf = self.buf[:at], self.buf[at:]
        return out

    def read_exact(self, n):
        while len(self.buf) < n:
            data = self.request.recv(65536)
            if not data:
                break
            self.buf += data
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send(self, data, slow=False):
        if isinstance(data, str):
            data = data.encode("latin-1")
        if not slow:
            self.request.sendall(data)
            return
        for i in range(len(data)):
            self.request.sendall(data[i:i + 1])
            time.sleep(0.001)

    def handle(self):
        try:
            self.serve()
        except OSError:
            pass  # the client went away: that is what some tests do

    def serve(self):
        while True:
            head = self.read_until(b"\r\n\r\n")
            if head is None:
                return
            text = head.decode("latin-1")
            lines = text.split("\r\n")
            method, target, _ = (lines[0].split(" ") + ["", "", ""])[:3]
            headers = {}
            for line in lines[1:]:
                if ":" in line:
                    k, v = line.split(":", 1)
                    headers[k.strip().lower()] = v.strip()
            body = b""
            if "content-length" in headers:
                body = self.read_exact(int(headers["content-length"]))
            port = self.request.getsockname()[1]
            if target == "/_log":
                with LOG_LOCK:
                    payload = json.dumps(LOG).encode()
                    LOG.clear()
                self.send(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(payload)
                          + payload)
                return
            with LOG_LOCK:
                LOG.append({"conn": self.conn, "port": port, "head": text,
                            "body": body.decode("latin-1")})
            path = target.split("?")[0]
            if "://" in path:  # absolute form, as sent to a proxy
                path = "/" + path.split("://", 1)[1].split("/", 1)[-1]
            keep = self.answer(method, path, target, headers, body, port)
            if not keep:
                return

    def answer(self, method, path, target, headers, body, port):
        h11 = "HTTP/1.1"
        if path == "/continue":
            self.send("HTTP/1.1 100 Continue\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Real: yes\r\n\r\nhello")
            return True
        if path == "/html":
            self.send("<html><body>no header</body></html>\r\nsecond line\r\n")
            return False
        if path == "/chunked-slow":
            self.send(h11 + " 200 OK\r\nTransfer-Encoding: chunked\r\n"
                      "Content-Type: text/plain\r\n\r\n"
                      "4\r\nWiki\r\n5;name=val\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n"
                      "0\r\nX-Trailer: one\r\nX-Other: two\r\n\r\n", slow=True)
            return True
        if path == "/chunked":
            self.send(h11 + " 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "4\r\nWiki\r\n0\r\nX-Trailer: one\r\n\r\n")
            return True
        if path == "/bigchunk":
            self.send(h11 + " 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "10000000000000004\r\nWiki\r\n0\r\n\r\n")
            return True
        if path == "/nodigits":
            self.send(h11 + " 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nWiki\r\n")
            return True
        if path == "/negative":
            self.send(h11 + " 200 OK\r\nContent-Length: -5\r\n\r\nall of it")
            return False
        if path == "/bothlengths":
            self.send(h11 + " 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "6\r\nchunks\r\n0\r\n\r\n")
            return True
        if path == "/short":
            self.send(h11 + " 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..")
            return False
        if path == "/noanswer":
            return False
        if path == "/hang":
            time.sleep(30)
            return False
        if path == "/hugeheader":
            pad = "X-Pad: " + "p" * 1000 + "\r\n"
            try:
                self.send(h11 + " 200 OK\r\n" + pad * 300 + "Content-Length: 2\r\n\r\nok")
            except OSError:
                pass
            return False
        if path == "/longline":
            self.send(h11 + " 200 OK\r\nX-Long: " + "L" * 20000 +
                      "\r\nContent-Length: 2\r\n\r\nok")
            return True
        if path == "/gzip":
            data = b"\x1f\x8b\x08\x00raw gzip bytes"
            self.send(b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: %d\r\n\r\n"
                      % len(data) + data)
            return True
        if path == "/echo":
            data = (method + "\n" + body.decode("latin-1")).encode("latin-1")
            self.send(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n"
                      % len(data) + data)
            return True
        if path == "/gif":
            data = b"GIF89a\x01\x00\x01\x00"
            self.send(b"HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\nContent-Length: %d\r\n\r\n"
                      % len(data) + data)
            return False
        if path == "/cookie":
            self.send(h11 + " 200 OK\r\nSet-Cookie: a=1; Path=/\r\nContent-Length: 0\r\n\r\n")
            return True
        if path == "/badlocation":
            self.send(h11 + " 302 Found\r\nLocation: /echo\rX-Injected: 1\r\n"
                      "Content-Length: 0\r\n\r\n")
            return True
        if path == "/relative":
            self.send(h11 + " 302 Found\r\nLocation: echo\r\nContent-Length: 0\r\n\r\n")
            return True
        if path == "/loop":
            self.send(h11 + " 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n")
            return True
        if path == "/postredirect":
            self.send(h11 + " 302 Found\r\nLocation: /echo\r\nContent-Length: 0\r\n\r\n")
            return True
        if path == "/elsewhere":
            to = target.split("to=", 1)[1]
            self.send(h11 + " 302 Found\r\nLocation: http://127.0.0.1:%s/basic\r\n"
                      "Content-Length: 0\r\n\r\n" % to)
            return True
        if path == "/basic":
            want = "Basic " + base64.b64encode(b"user:secret").decode()
            if headers.get("authorization") == want:
                self.send(h11 + " 200 OK\r\nContent-Length: 8\r\n\r\nbasic ok")
            else:
                self.send(h11 + ' 401 Unauthorized\r\nWWW-Authenticate: Basic realm="t"\r\n'
                          "Content-Length: 6\r\n\r\ndenied")
            return True
        if path == "/both":
            if headers.get("authorization", "").startswith("NTLM "):
                return self.ntlm(headers)
            self.send(h11 + ' 401 Unauthorized\r\nWWW-Authenticate: Basic realm="t"\r\n'
                      "WWW-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n")
            return True
        if path == "/ntlm":
            return self.ntlm(headers)
        # Asked of a proxy: it wants its own credentials first.
        if path == "/proxy-basic":
            want = "Basic " + base64.b64encode(b"puser:psecret").decode()
            if headers.get("proxy-authorization") == want:
                self.send(h11 + " 200 OK\r\nContent-Length: 8\r\n\r\nproxy ok")
            else:
                self.send(h11 + " 407 Proxy Authentication Required\r\n"
                          'Proxy-Authenticate: Basic realm="p"\r\nContent-Length: 0\r\n\r\n')
            return True
        if path == "/proxy-ntlm":
            return self.ntlm(headers, proxy=True)
        if path.startswith("/files/") or path.endswith("/"):
            data = b"file body " + path.encode()
            kind = "text/html" if path.endswith("/") else "text/plain"
            self.send(b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                      % (kind.encode(), len(data)) + data)
            return True
        self.send(h11 + " 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")
        return True

    def ntlm(self, headers, proxy=False):
        # An HTTP/1.0 client that asks to keep the connection is told it is kept.
        asked = headers.get("proxy-connection" if proxy else "connection",
                            headers.get("connection", "")).lower()
        keep = ("Proxy-Connection" if proxy else "Connection") + ": Keep-Alive\r\n" \
            if asked == "keep-alive" else ""
        auth = headers.get("proxy-authorization" if proxy else "authorization", "")
        status = "407 Proxy Authentication Required" if proxy else "401 Unauthorized"
        challenge = "Proxy-Authenticate" if proxy else "WWW-Authenticate"
        if auth.startswith("NTLM "):
            msg = base64.b64decode(auth[5:])
            kind = int.from_bytes(msg[8:12], "little")
            if kind == 1:
                self.ntlm_step = 1
                self.send("HTTP/1.1 " + status + "\r\n" + keep + challenge + ": NTLM "
                          + ntlm_type2() + "\r\nContent-Length: 0\r\n\r\n")
                return True
            if kind == 3 and self.ntlm_step == 1 and ntlm_type3_ok(auth[5:]):
                self.send("HTTP/1.1 200 OK\r\n" + keep + "Content-Length: 7\r\n\r\nntlm ok")
                return True
        self.send("HTTP/1.1 " + status + "\r\n" + challenge + ": NTLM\r\n"
                  "Content-Length: 0\r\n\r\n")
        return True


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ports", type=int, default=1)
    args = ap.parse_args()
    servers = [Server(("127.0.0.1", 0), Handler) for _ in range(args.ports)]
    print(" ".join(str(s.server_address[1]) for s in servers), flush=True)
    for s in servers[1:]:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    servers[0].serve_forever()


if __name__ == "__main__":
    sys.exit(main())
