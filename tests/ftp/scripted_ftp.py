#!/usr/bin/python3
"""A scripted FTP server for one control connection.

Usage: scripted_ftp.py SCRIPT.json [ADDR [PORT]]

Listens on ADDR (127.0.0.1) port PORT (0) and prints "PORT <n>"; passive
data listeners use the same address.  Then it accepts one
control connection and runs the steps of the script in order, printing what
it received so the test can compare every byte the client sent:
  "C: <line>"            a command line (CR LF removed)
  "D: <n> <sha256>"      all bytes of a data connection, up to its end
  "D: RESET <n>"         a data connection that was reset after n bytes
  "EOF"                  the client closed the control connection
  "NODATA"               no data connection came within the wait

Steps (JSON objects):
  {"send": TEXT, "chunks": [1, 3]}  send TEXT, cut in pieces of these sizes
  {"expect": TEXT}                  read one command; TEXT ending in "*" is a prefix
  {"pasv": "a,b,c,d"}               listen for data, reply 227 naming a,b,c,d
  {"pasv_raw": TEXT}                listen for data, send TEXT as it is
  {"accept": true}                  take the passive data connection
  {"connect": true, "from": ADDR}   connect to the last PORT address (optionally
                                    from ADDR first, then from 127.0.0.1)
  {"data_send": TEXT, "repeat": N}  send TEXT (N times) on the data connection
  {"data_close": true}              close the data connection
  {"data_recv": true}               read the data connection to its end
  {"wait_eof": SECONDS}             wait for the client to close the control
  {"close": true}                   close the control connection
  {"silence": true}                 wait until killed
"""
import hashlib
import json
import socket
import sys
import time


def out(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def main():
    with open(sys.argv[1]) as f:
        script = json.load(f)
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    host = sys.argv[2] if len(sys.argv) > 2 else "127.0.0.1"
    try:
        srv.bind((host, int(sys.argv[3]) if len(sys.argv) > 3 else 0))
    except OSError as e:
        out("BIND FAILED %s" % e)
        return
    srv.listen(1)
    out("PORT %d" % srv.getsockname()[1])
    ctrl, _ = srv.accept()
    ctrl.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = b""
    listener = None
    data = None
    port_addr = None

    def read_line():
        nonlocal buf
        while b"\r\n" not in buf:
            chunk = ctrl.recv(65536)
            if not chunk:
                return None
            buf += chunk
        line, buf = buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    for step in script:
        if "send" in step:
            text = step["send"].encode("latin-1")
            chunks = step.get("chunks")
            if not chunks:
                ctrl.sendall(text)
            else:
                i = k = 0
                while i < len(text):
                    n = chunks[k % len(chunks)]
                    ctrl.sendall(text[i:i + n])
                    i += n
                    k += 1
                    time.sleep(0.002)
        elif "expect" in step:
            line = read_line()
            if line is None:
                out("EOF")
                return
            out("C: " + line)
            if line.startswith("PORT "):
                n = [int(x) for x in line[5:].split(",")]
                port_addr = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
        elif "pasv" in step or "pasv_raw" in step:
            listener = socket.socket()
            listener.bind((host, 0))
            listener.listen(1)
            p = listener.getsockname()[1]
            if "pasv" in step:
                text = "227 Entering Passive Mode (%s,%d,%d).\r\n" % (step["pasv"], p >> 8, p & 255)
            else:
                text = step["pasv_raw"].replace("P1", str(p >> 8)).replace("P2", str(p & 255))
            ctrl.sendall(text.encode())
        elif "accept" in step:
            listener.settimeout(step.get("timeout", 10))
            try:
                data, _ = listener.accept()
            except socket.timeout:
                out("NODATA")
                data = None
        elif "connect" in step:
            if "from" in step:
                s = socket.socket()
                s.bind((step["from"], 0))
                s.connect(port_addr)
                time.sleep(0.2)
                s.close()
            data = socket.create_connection(port_addr)
        elif "data_send" in step:
            payload = step["data_send"].encode("latin-1") * step.get("repeat", 1)
            try:
                data.sendall(payload)
            except OSError:
                out("D: SEND FAILED")
        elif "data_close" in step:
            data.close()
            data = None
        elif "data_recv" in step:
            h = hashlib.sha256()
            n = 0
            try:
                while True:
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    h.update(chunk)
                    n += len(chunk)
                out("D: %d %s" % (n, h.hexdigest()))
            except ConnectionResetError:
                out("D: RESET %d" % n)
            data.close()
            data = None
        elif "wait_eof" in step:
            ctrl.settimeout(step["wait_eof"])
            try:
                line = read_line()
                out("EOF" if line is None else "C: " + line)
            except socket.timeout:
                out("OPEN")
        elif "close" in step:
            ctrl.close()
            return
        elif "silence" in step:
            while True:
                time.sleep(1)
    time.sleep(0.2)


main()
