#!/usr/bin/python3
"""A scripted server for one connection of a command/reply protocol
(SMTP, POP3, ...).

Usage: scripted_lines.py SCRIPT.json

Listens on 127.0.0.1 port 0 and prints "PORT <n>".  Then it accepts one
connection and runs the steps of the script in order, printing what the
client sent, so that a test can compare every byte:
  "C: <line>"   a line read by "expect" (CR LF removed; see escaping)
  "D: <line>"   a line read by "data", up to the lone "." that ends it
  "END"         the lone "." line that ended the data
  "EOF"         the client closed the connection
  "CRAM OK" / "CRAM BAD"   the result of a "cram" step
Lines end at CR LF only; a CR, LF or NUL inside a line and a backslash are
printed as \\r, \\n, \\0 and \\\\.

Steps (JSON objects):
  {"send": TEXT, "chunks": [1]}   send TEXT (latin-1), cut in pieces of these sizes
  {"expect": N}                   read N lines (default 1)
  {"data": true}                  read lines until ".", as "D:" lines, then "END"
  {"sleep": SECONDS}              wait
  {"cram": "md5"|"sha1", "challenge": TEXT, "user": U, "password": P}
                                  send "334 " + Base64(challenge), read the
                                  answer, check it with hmac, reply 235 or 535
  {"wait_eof": SECONDS}           read (printing "C:" lines) until the client closes
  {"close": true}                 close the connection
  {"silence": true}               wait until killed
"""
import base64
import hashlib
import hmac
import json
import socket
import sys
import time


def out(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def escape(raw):
    text = raw.decode("latin-1")
    return (text.replace("\\", "\\\\").replace("\r", "\\r")
            .replace("\n", "\\n").replace("\0", "\\0"))


def main():
    with open(sys.argv[1]) as f:
        script = json.load(f)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    out("PORT %d" % srv.getsockname()[1])
    conn, _ = srv.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = b""

    def read_line(timeout=30):
        nonlocal buf
        conn.settimeout(timeout)
        while b"\r\n" not in buf:
            try:
                chunk = conn.recv(65536)
            except (socket.timeout, ConnectionError):
                return None
            if not chunk:
                return None
            buf += chunk
        line, buf = buf.split(b"\r\n", 1)
        return line

    def send(data):
        try:
            conn.sendall(data)
        except OSError:
            pass

    for step in script:
        if "send" in step:
            text = step["send"].encode("latin-1")
            chunks = step.get("chunks")
            if not chunks:
                send(text)
            else:
                i = k = 0
                while i < len(text):
                    n = chunks[k % len(chunks)]
                    send(text[i:i + n])
                    i += n
                    k += 1
                    time.sleep(0.001)
        elif "expect" in step:
            for _ in range(step["expect"] or 1):
                line = read_line()
                if line is None:
                    out("EOF")
                    return
                out("C: " + escape(line))
        elif "data" in step:
            while True:
                line = read_line()
                if line is None:
                    out("EOF")
                    return
                if line == b".":
                    out("END")
                    break
                out("D: " + escape(line))
        elif "sleep" in step:
            time.sleep(step["sleep"])
        elif "cram" in step:
            challenge = step["challenge"].encode("latin-1")
            send(b"334 " + base64.b64encode(challenge) + b"\r\n")
            line = read_line()
            if line is None:
                out("EOF")
                return
            out("C: " + escape(line))
            digest = hashlib.md5 if step["cram"] == "md5" else hashlib.sha1
            mac = hmac.new(step["password"].encode("latin-1"), challenge, digest).hexdigest()
            want = (step["user"] + " " + mac).encode("latin-1")
            ok = base64.b64decode(line) == want
            out("CRAM OK" if ok else "CRAM BAD")
            send(b"235 ok\r\n" if ok else b"535 bad\r\n")
        elif "wait_eof" in step:
            deadline = time.time() + step["wait_eof"]
            while time.time() < deadline:
                line = read_line(max(0.01, deadline - time.time()))
                if line is None:
                    break
                out("C: " + escape(line))
            out("EOF")
        elif "close" in step:
            conn.close()
            return
        elif "silence" in step:
            while True:
                time.sleep(1)
    conn.close()


if __name__ == "__main__":
    main()
