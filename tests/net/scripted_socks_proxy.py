"""A SOCKS proxy that follows a script, for what real proxies will not do on
demand: every failure code, replies cut into single bytes, data sent in the
same write as the reply.

Usage: scripted_socks_proxy.py STEPS_JSON
Listens on 127.0.0.1, port 0, prints the port, serves one connection by the
steps, then prints "GOT <hex>" with every byte the client sent and exits.

Steps (a JSON list of lists):
  ["greeting"]        read a version 5 greeting (5, n, n methods)
  ["auth"]            read a user name / password request
  ["v5request"]       read a version 5 connect request
  ["v4request"]       read a version 4 or 4A connect request
  ["send", HEX]       send bytes in one write
  ["trickle", HEX]    send bytes one at a time, each in its own segment
  ["echo"]            send back what arrives until the client closes
  ["close"]           close the connection
"""

import json
import socket
import sys
import time


def main():
    steps = json.loads(sys.argv[1])
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    print(srv.getsockname()[1], flush=True)
    srv.settimeout(30)
    conn, _ = srv.accept()
    conn.settimeout(30)
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    got = bytearray()

    def read(n):
        data = bytearray()
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        got.extend(data)
        return bytes(data)

    def read_until_nul():
        while read(1) != b"\0":
            pass

    try:
        for step in steps:
            kind = step[0]
            if kind == "greeting":
                read(1)
                read(read(1)[0])
            elif kind == "auth":
                read(1)
                read(read(1)[0])
                read(read(1)[0])
            elif kind == "v5request":
                head = read(4)
                if head[3] == 3:
                    read(read(1)[0])
                elif head[3] == 1:
                    read(4)
                read(2)
            elif kind == "v4request":
                head = read(8)
                read_until_nul()
                if head[4:7] == b"\0\0\0" and head[7] != 0:
                    read_until_nul()
            elif kind == "send":
                conn.sendall(bytes.fromhex(step[1]))
            elif kind == "trickle":
                for b in bytes.fromhex(step[1]):
                    conn.sendall(bytes([b]))
                    time.sleep(0.02)
            elif kind == "echo":
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    got.extend(chunk)
                    conn.sendall(chunk)
            elif kind == "close":
                conn.close()
                break
    except (EOFError, OSError):
        pass
    print("GOT " + got.hex(), flush=True)


main()
