#!/usr/bin/python3
"""A scripted Time (port 37) and Daytime (port 13) server for the client tests.

Listens on TCP and UDP ports 37 and 13 of --bind, prints "ready", and answers:
TCP with the answer bytes (in --split pieces, --delay seconds apart) and then
the end of stream; UDP with one datagram, after an empty one with
--empty-first.  --silent takes the requests and never answers.  Each request
is logged on stdout as "tcp 37", "udp 13" ... so a test can see who was asked.
"""
import argparse
import selectors
import socket
import sys
import threading
import time

p = argparse.ArgumentParser()
p.add_argument("--bind", default="127.0.0.1")
p.add_argument("--time", default="e93c7f00", help="hex bytes of the Time answer")
p.add_argument("--daytime", default="Mon Jan  1 00:00:00 2024\\r\\n",
               help="Daytime answer, with Python escapes")
p.add_argument("--split", type=int, default=0, help="TCP piece size (0: all at once)")
p.add_argument("--delay", type=float, default=0.1)
p.add_argument("--empty-first", action="store_true")
p.add_argument("--silent", action="store_true")
a = p.parse_args()

answers = {37: bytes.fromhex(a.time),
           13: a.daytime.encode("latin-1").decode("unicode_escape").encode("latin-1")}
held = []  # silent TCP connections stay open


def log(text):
    print(text, flush=True)


def serve_tcp(conn, port):
    data = answers[port]
    try:
        if a.split <= 0:
            conn.sendall(data)
        else:
            for i in range(0, len(data), a.split):
                if i:
                    time.sleep(a.delay)
                conn.sendall(data[i:i + a.split])
        conn.shutdown(socket.SHUT_WR)
        conn.settimeout(5)
        while conn.recv(1024):
            pass
    except OSError:
        pass
    conn.close()


sel = selectors.DefaultSelector()
for port in (37, 13):
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    t.bind((a.bind, port))
    t.listen(16)
    sel.register(t, selectors.EVENT_READ, ("tcp", port))
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind((a.bind, port))
    sel.register(u, selectors.EVENT_READ, ("udp", port))
log("ready")

while True:
    for key, _ in sel.select():
        kind, port = key.data
        s = key.fileobj
        if kind == "tcp":
            conn, _ = s.accept()
            log("tcp %d" % port)
            if a.silent:
                held.append(conn)
                continue
            threading.Thread(target=serve_tcp, args=(conn, port), daemon=True).start()
        else:
            data, peer = s.recvfrom(2048)
            log("udp %d %d" % (port, len(data)))
            if a.silent:
                continue
            if a.empty_first:
                s.sendto(b"", peer)
            s.sendto(answers[port], peer)
