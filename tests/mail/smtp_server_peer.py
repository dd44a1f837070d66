"""Real SMTP clients against an SMTP server that stores each message as a
file in a folder, with every stored file parsed back by the email package.

  smtp_server_peer.py smtplib PORT DIR   several messages on one connection
                                         with dot lines and a RSET
  smtp_server_peer.py many PORT DIR N    N clients at once, one message each
  smtp_server_peer.py huge PORT MB       one message of MB megabytes
  smtp_server_peer.py check DIR SUBJECT BODYFILE   the one file holds that

Prints "ok" and exits 0 when everything stored is what was sent.
"""
import email
import email.policy
import os
import smtplib
import sys
import threading


def stored(folder):
    out = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            out.append((name, email.message_from_bytes(f.read(), policy=email.policy.default)))
    return out


def message(subject, body):
    return ("From: a@b.test\r\nTo: x@y.test\r\nSubject: %s\r\n\r\n%s" % (subject, body)).encode()


def expect(folder, sent):
    """sent: {subject: (recipient, body)}; every file matches one, none missing."""
    files = stored(folder)
    if len(files) != len(sent):
        sys.exit("expected %d files, found %s" % (len(sent), [n for n, _ in files]))
    for name, msg in files:
        subject = msg["Subject"]
        if subject not in sent:
            sys.exit("unexpected message %r in %s" % (subject, name))
        rcpt, body = sent.pop(subject)
        if not name.startswith(rcpt + "-") or not name.endswith(".eml"):
            sys.exit("file %s is not named after %s" % (name, rcpt))
        got = msg.get_content()
        if got.replace("\r\n", "\n") != body.replace("\r\n", "\n"):
            sys.exit("body of %r differs: %r != %r" % (subject, got, body))


def run_smtplib(port, folder):
    bodies = {
        "dots": ".one leading dot\r\n..two\r\n.\r\nend.\r\n",
        "second": "RSET\r\nQUIT\r\n",
        "third": "x" * 900 + "\r\n",
    }
    s = smtplib.SMTP("127.0.0.1", port, timeout=60)
    s.sendmail("a@b.test", ["one@x.test"], message("dots", bodies["dots"]))
    s.sendmail("a@b.test", ["two@x.test"], message("second", bodies["second"]))
    # A transaction given up half-way leaves nothing behind.
    s.mail("a@b.test")
    s.rcpt("gone@x.test")
    s.rset()
    s.sendmail("a@b.test", ["two@x.test"], message("third", bodies["third"]))
    s.quit()
    expect(folder, {
        "dots": ("one@x.test", bodies["dots"]),
        "second": ("two@x.test", bodies["second"]),
        "third": ("two@x.test", bodies["third"]),
    })


def run_many(port, folder, n):
    errors = []

    def one(i):
        try:
            s = smtplib.SMTP("127.0.0.1", port, timeout=120)
            s.sendmail("a@b.test", ["many@x.test"], message("m%d" % i, "body %d\r\n" % i))
            s.quit()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append("%d: %r" % (i, e))

    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        sys.exit("\n".join(errors))
    expect(folder, {"m%d" % i: ("many@x.test", "body %d\r\n" % i) for i in range(n)})


def run_huge(port, mb):
    line = "y" * 998 + "\r\n"
    chunk = line * 1024
    s = smtplib.SMTP("127.0.0.1", port, timeout=300)
    s.ehlo()
    s.mail("a@b.test")
    s.rcpt("huge@x.test")
    s.putcmd("data")
    code, _ = s.getreply()
    if code != 354:
        sys.exit("DATA got %d" % code)
    s.send(b"Subject: huge\r\n\r\n")
    for _ in range(mb):
        s.send(chunk.encode())
    s.send(b".\r\n")
    code, text = s.getreply()
    if code != 250:
        sys.exit("end of data got %d %r" % (code, text))
    s.quit()


def main():
    mode = sys.argv[1]
    if mode == "smtplib":
        run_smtplib(int(sys.argv[2]), sys.argv[3])
    elif mode == "many":
        run_many(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
    elif mode == "huge":
        run_huge(int(sys.argv[2]), int(sys.argv[3]))
    elif mode == "check":
        with open(sys.argv[4], encoding="utf-8") as f:
            body = f.read()
        files = stored(sys.argv[2])
        if len(files) != 1:
            sys.exit("expected one file, found %s" % [n for n, _ in files])
        msg = files[0][1]
        if msg["Subject"] != sys.argv[3]:
            sys.exit("subject %r" % msg["Subject"])
        got = msg.get_content().replace("\r\n", "\n")
        if got.rstrip("\n") != body.replace("\r\n", "\n").rstrip("\n"):
            sys.exit("body %r != %r" % (got, body))
    print("ok")


if __name__ == "__main__":
    main()
