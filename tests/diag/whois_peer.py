#!/usr/bin/python3
"""A whois server for tests, on 127.0.0.1 port 0.

Usage: whois_peer.py [--answer FILE] [--big BYTES] [--chunk N] [--hold]

Prints its port number first.  For each connection it prints "CONN", reads the
query up to its first LF (or the close) and prints it as "QUERY <hex>",
sends the answer (the bytes of FILE, or with --big a generated answer of
that many bytes in CR LF lines) in pieces of N bytes (default: all at
once), and closes.  With --hold it keeps the connection open until the
client closes it.  After a --big answer it prints "SHA <hex>", the SHA-256
of the answer's lines each followed by LF.
"""
import argparse
import hashlib
import socket
import sys


def big_answer(size):
    out = bytearray()
    n = 0
    while len(out) < size:
        line = b"line %08d " % n + b"x" * (n % 97)
        out += line + b"\r\n"
        n += 1
    del out[size:]
    return bytes(out)


def lines_digest(answer):
    text = answer.replace(b"\r\n", b"\n")
    if not text.endswith(b"\n"):
        text += b"\n"
    return hashlib.sha256(text).hexdigest()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--answer")
    ap.add_argument("--big", type=int, default=0)
    ap.add_argument("--chunk", type=int, default=0)
    ap.add_argument("--hold", action="store_true")
    args = ap.parse_args()
    answer = b""
    if args.answer:
        with open(args.answer, "rb") as f:
            answer = f.read()
    if args.big:
        answer = big_answer(args.big)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    print(srv.getsockname()[1], flush=True)
    while True:
        conn, _ = srv.accept()
        print("CONN", flush=True)
        query = b""
        while not query.endswith(b"\n"):
            piece = conn.recv(1)
            if not piece:
                break
            query += piece
        print("QUERY " + query.hex(), flush=True)
        chunk = args.chunk or max(1, len(answer))
        try:
            for at in range(0, len(answer), chunk):
                conn.sendall(answer[at:at + chunk])
            if args.hold:
                while conn.recv(4096):
                    pass
        except OSError:
            pass
        conn.close()
        if args.big:
            print("SHA " + lines_digest(answer), flush=True)


if __name__ == "__main__":
    sys.exit(main())
