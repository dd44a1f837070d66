#!/usr/bin/python3
"""Time protocol clients for the server tests; prints "ok" or what went wrong.

  burst N ADDR      N TCP connections at once: each must get 4 bytes, then EOF
  udp ADDR SIZE...  one datagram per SIZE: each must get one 4-byte answer
  reset ADDR        connects and resets at once, then asks normally over TCP
  refused ADDR      TCP: the connection must end with no byte at all
"""
import socket
import struct
import sys

TIMEOUT = 30


def read_all(s):
    data = b""
    while True:
        chunk = s.recv(64)
        if not chunk:
            return data
        data += chunk


def fail(text):
    print(text, flush=True)
    sys.exit(1)


def tcp_once(addr):
    s = socket.create_connection((addr, 37), timeout=TIMEOUT)
    data = read_all(s)
    s.close()
    return data


mode, addr = sys.argv[1], sys.argv[2]
if mode == "burst":
    n = int(sys.argv[3])
    socks = []
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(TIMEOUT)
        s.setblocking(False)
        s.connect_ex((addr, 37))
        socks.append(s)
    answers = []
    for s in socks:
        s.setblocking(True)
        s.settimeout(TIMEOUT)
        answers.append(read_all(s))
        s.close()
    bad = [len(a) for a in answers if len(a) != 4]
    if bad:
        fail("lengths %r" % bad)
    print("answer %08x" % struct.unpack("!I", answers[0])[0])
elif mode == "udp":
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(TIMEOUT)
    for size in map(int, sys.argv[3:]):
        u.sendto(b"x" * size, (addr, 37))
        data, _ = u.recvfrom(2048)
        if len(data) != 4:
            fail("size %d got %d bytes" % (size, len(data)))
    u.settimeout(0.5)
    try:
        extra = u.recvfrom(2048)
        fail("one datagram too many: %r" % (extra,))
    except socket.timeout:
        pass
elif mode == "reset":
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.connect((addr, 37))
    s.close()
    data = tcp_once(addr)
    if len(data) != 4:
        fail("after a reset: %d bytes" % len(data))
elif mode == "refused":
    data = tcp_once(addr)
    if data:
        fail("refused but got %r" % data)
else:
    fail("unknown mode " + mode)
print("ok", flush=True)
