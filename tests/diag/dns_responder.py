"""A DNS responder for the tests: it answers every query with the bytes it
was given, including messages that no real server sends.

    dns_responder.py udp|tcp [options] [REPLY_HEX ...]

It listens on 127.0.0.1 (port 0), prints "port N" and then, for every query,
"query HEX".  Every REPLY_HEX is sent in order for each query.

  --stray HEX   (udp) first send HEX from another socket, another port
  --drip        (tcp) send one byte per write
  --cut N       (tcp) send only the first N bytes (prefix included), then close
  --reset       (tcp) end with a reset instead of a close after --cut
  --prefix N    (tcp) announce N bytes instead of the reply's length
  --silent      read the queries, answer nothing
"""

import socket
import struct
import sys


def main():
    args = sys.argv[1:]
    kind = args.pop(0)
    stray = None
    drip = False
    cut = None
    reset = False
    prefix = None
    silent = False
    replies = []
    while args:
        a = args.pop(0)
        if a == "--stray":
            stray = bytes.fromhex(args.pop(0))
        elif a == "--drip":
            drip = True
        elif a == "--cut":
            cut = int(args.pop(0))
        elif a == "--reset":
            reset = True
        elif a == "--prefix":
            prefix = int(args.pop(0))
        elif a == "--silent":
            silent = True
        else:
            replies.append(bytes.fromhex(a))

    if kind == "udp":
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        print("port", sock.getsockname()[1], flush=True)
        other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        other.bind(("127.0.0.1", 0))
        while True:
            query, peer = sock.recvfrom(65535)
            print("query", query.hex(), flush=True)
            if silent:
                continue
            if stray is not None:
                other.sendto(stray, peer)
            for r in replies:
                sock.sendto(r, peer)
    else:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        print("port", sock.getsockname()[1], flush=True)
        while True:
            conn, _ = sock.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            data = b""
            while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                chunk = conn.recv(65535)
                if not chunk:
                    break
                data += chunk
            print("query", data[2:].hex(), flush=True)
            if not silent:
                out = b""
                for r in replies:
                    n = len(r) if prefix is None else prefix
                    out += struct.pack(">H", n) + r
                if cut is not None:
                    out = out[:cut]
                try:
                    if drip:
                        for i in range(len(out)):
                            conn.sendall(out[i:i + 1])
                    else:
                        conn.sendall(out)
                except OSError:
                    pass
            if reset:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
            elif cut is not None:
                conn.close()
            else:
                # The client closes first once it has its answer.
                try:
                    while conn.recv(65535):
                        pass
                except OSError:
                    pass
                conn.close()


if __name__ == "__main__":
    try:
        main()
    except (KeyboardInterrupt, BrokenPipeError):
        pass
