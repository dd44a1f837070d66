"""The SMTP server benchmark's load and its check.

  smtp_server_load.py send PORT MESSAGES CONNECTIONS
      sends MESSAGES small messages over CONNECTIONS smtplib connections at
      once and prints the seconds it took
  smtp_server_load.py check DIR MESSAGES
      every file in DIR parses back (email package) to one of the messages
      sent, each message once; prints "ok"
  smtp_server_load.py aiosmtpd PORT DIR
      runs aiosmtpd on 127.0.0.1:PORT with a handler that stores each
      message in a file of its own in DIR
"""
import email
import email.policy
import os
import smtplib
import sys
import threading
import time


def body(i):
    return "Message number %d.\r\n.A line that starts with a dot.\r\nThe end.\r\n" % i


def message(i):
    return ("From: load@bench.test\r\nTo: sink@bench.test\r\nSubject: m%d\r\n\r\n%s"
            % (i, body(i))).encode()


def send(port, total, conns):
    errors = []

    def worker(first):
        try:
            # Blocking sockets: with a timeout every read and write of the
            # client costs a poll() first, and the client, not the server,
            # became the limit.  The benchmark bounds the whole run instead.
            s = smtplib.SMTP("127.0.0.1", port)
            for i in range(first, total, conns):
                s.sendmail("load@bench.test", ["sink@bench.test"], message(i))
            s.quit()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(c,)) for c in range(conns)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    if errors:
        sys.exit("\n".join(errors[:5]))
    print("%.6f" % elapsed)


def check(folder, total):
    seen = set()
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            msg = email.message_from_bytes(f.read(), policy=email.policy.default)
        i = int(msg["Subject"][1:])
        if msg.get_content().replace("\r\n", "\n") != body(i).replace("\r\n", "\n"):
            sys.exit("%s does not hold message %d" % (name, i))
        if i in seen:
            sys.exit("message %d stored twice" % i)
        seen.add(i)
    if len(seen) != total:
        sys.exit("%d of %d messages stored" % (len(seen), total))
    print("ok")


def run_aiosmtpd(port, folder):
    import asyncio
    from aiosmtpd.controller import Controller

    class Store:
        count = 0

        async def handle_DATA(self, server, session, envelope):
            Store.count += 1
            path = os.path.join(folder, "%s-%d.eml" % (envelope.rcpt_tos[0], Store.count))
            with open(path, "xb") as f:
                f.write(envelope.original_content)
            return "250 OK"

    os.makedirs(folder, exist_ok=True)
    controller = Controller(Store(), hostname="127.0.0.1", port=port)
    controller.start()
    print("ready", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        controller.stop()


def main():
    mode = sys.argv[1]
    if mode == "send":
        send(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "check":
        check(sys.argv[2], int(sys.argv[3]))
    elif mode == "aiosmtpd":
        run_aiosmtpd(int(sys.argv[2]), sys.argv[3])


if __name__ == "__main__":
    main()
