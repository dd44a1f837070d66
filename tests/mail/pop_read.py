#!/usr/bin/python3
"""Reads a mailbox with Python's poplib, the reference client of the tests.

Usage: pop_read.py HOST PORT USER PASSWORD OUTDIR

Logs in with USER and PASS, writes each message as poplib receives it
(RETR) to OUTDIR/<n>.txt, its lines joined and ended by CR LF, and prints
one line per fact:  "stat <count> <size>", "list <n> <size>",
"uidl <n> <id>", then quits without deleting anything.
"""
import os
import poplib
import sys


def main():
    host, port, user, password, outdir = sys.argv[1:6]
    poplib._MAXLINE = 1 << 22  # the tests send lines far longer than poplib's default
    p = poplib.POP3(host, int(port), timeout=30)
    p.user(user)
    p.pass_(password)
    count, size = p.stat()
    print("stat %d %d" % (count, size))
    for line in p.list()[1]:
        n, s = line.split()
        print("list %s %s" % (n.decode(), s.decode()))
    for line in p.uidl()[1]:
        n, u = line.split()
        print("uidl %s %s" % (n.decode(), u.decode("latin-1")))
    for n in range(1, count + 1):
        lines = p.retr(n)[1]
        with open(os.path.join(outdir, "%d.txt" % n), "wb") as f:
            f.write(b"".join(l + b"\r\n" for l in lines))
    p.quit()


if __name__ == "__main__":
    main()
