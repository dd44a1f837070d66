#!/usr/bin/python3
"""A small POP3 mailbox server (RFC 1939) for tests, standard library only.

Usage: pop3_mailbox.py MAILBOX.json

Listens on 127.0.0.1 port 0, prints the port number, then serves one connection
after the other until it is killed, printing each command it reads as
"C: <line>" (a PASS line as "C: PASS ***").  The mailbox file:
  {"user": "alice", "password": "secret",
   "messages": [{"uidl": "abc", "data": "latin-1 text, lines ended by CR LF"}],
   "cut_retr": 2,      optional: RETR of this message sends half of it, then closes
   "no_timestamp": true  optional: a greeting without an APOP timestamp}
Messages marked by DELE go at a QUIT; the next connection no longer sees them.
"""
import hashlib
import json
import socket
import sys


def out(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def stuffed(data):
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    body = b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines)
    return body + b".\r\n"


def serve(conn, box):
    messages = box["messages"]
    stamp = b"<4711.1@mailbox.test>"
    greeting = b"+OK mailbox ready" + (b"" if box.get("no_timestamp") else b" " + stamp)
    f = conn.makefile("rb")

    def send(data):
        conn.sendall(data)

    send(greeting + b"\r\n")
    user = None
    authed = False
    deleted = set()

    def live(n):
        return 1 <= n <= len(messages) and n not in deleted

    while True:
        raw = f.readline(1 << 20)
        if not raw:
            return
        line = raw.rstrip(b"\r\n")
        words = line.split(b" ")
        cmd = words[0].upper().decode("latin-1")
        args = words[1:]
        out("C: " + ("PASS ***" if cmd == "PASS" else line.decode("latin-1")))
        if cmd == "QUIT":
            for n in sorted(deleted, reverse=True):
                del messages[n - 1]
            send(b"+OK bye\r\n")
            return
        if not authed:
            if cmd == "USER" and args:
                user = b" ".join(args).decode("latin-1")
                send(b"+OK\r\n")
            elif cmd == "PASS":
                pw = line[5:].decode("latin-1")
                if user == box["user"] and pw == box["password"]:
                    authed = True
                    send(b"+OK logged in\r\n")
                else:
                    send(b"-ERR invalid login\r\n")
            elif cmd == "APOP" and len(args) == 2:
                want = hashlib.md5(stamp + box["password"].encode("latin-1")).hexdigest()
                if args[0].decode("latin-1") == box["user"] and args[1].decode() == want:
                    authed = True
                    send(b"+OK logged in\r\n")
                else:
                    send(b"-ERR invalid login\r\n")
            else:
                send(b"-ERR log in first\r\n")
            continue
        try:
            nums = [int(a) for a in args]
        except ValueError:
            send(b"-ERR bad number\r\n")
            continue
        data = [m["data"].encode("latin-1") for m in messages]
        if cmd == "STAT":
            n = [i for i in range(1, len(messages) + 1) if live(i)]
            send(b"+OK %d %d\r\n" % (len(n), sum(len(data[i - 1]) for i in n)))
        elif cmd in ("LIST", "UIDL"):
            def item(i):
                if cmd == "LIST":
                    return b"%d %d" % (i, len(data[i - 1]))
                return b"%d " % i + messages[i - 1]["uidl"].encode("latin-1")
            if nums:
                if live(nums[0]):
                    send(b"+OK " + item(nums[0]) + b"\r\n")
                else:
                    send(b"-ERR no such message\r\n")
            else:
                body = b"".join(item(i) + b"\r\n" for i in range(1, len(messages) + 1) if live(i))
                send(b"+OK\r\n" + body + b".\r\n")
        elif cmd in ("RETR", "TOP"):
            if not nums or not live(nums[0]):
                send(b"-ERR no such message\r\n")
                continue
            text = data[nums[0] - 1]
            if cmd == "TOP":
                head, _, rest = text.partition(b"\r\n\r\n")
                body = rest.split(b"\r\n")[: nums[1] if len(nums) > 1 else 0]
                text = head + b"\r\n\r\n" + b"".join(l + b"\r\n" for l in body)
            answer = b"+OK %d octets\r\n" % len(text) + stuffed(text)
            if cmd == "RETR" and box.get("cut_retr") == nums[0]:
                send(answer[: len(answer) // 2])
                return
            send(answer)
        elif cmd == "DELE":
            if nums and live(nums[0]):
                deleted.add(nums[0])
                send(b"+OK deleted\r\n")
            else:
                send(b"-ERR no such message\r\n")
        elif cmd == "RSET":
            deleted.clear()
            send(b"+OK\r\n")
        elif cmd == "NOOP":
            send(b"+OK\r\n")
        elif cmd == "LAST":
            send(b"+OK 0\r\n")
        else:
            send(b"-ERR unknown command\r\n")


def main():
    with open(sys.argv[1]) as f:
        box = json.load(f)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    out("%d" % srv.getsockname()[1])
    while True:
        conn, _ = srv.accept()
        try:
            serve(conn, box)
        except (OSError, ValueError):
            pass
        finally:
            conn.close()
        out("EOF")


if __name__ == "__main__":
    main()
