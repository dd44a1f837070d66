#!/usr/bin/python3
"""Reads a stored message with Python's email package and prints what a
mail reader would show, as JSON: decoded headers, the text body (line
ends as LF), and each attachment's name, size and SHA-256."""
import email
import email.policy
import hashlib
import json
import sys

with open(sys.argv[1], "rb") as f:
    msg = email.message_from_binary_file(f, policy=email.policy.default)
out = {"headers": {k: str(v) for k, v in msg.items()}, "body": None, "attachments": [],
       "defects": [str(d) for d in msg.defects]}
for part in msg.walk():
    if part.is_multipart():
        continue
    if part.get_content_disposition() == "attachment":
        data = part.get_payload(decode=True) or b""
        out["attachments"].append({"name": part.get_filename(), "size": len(data),
                                   "sha256": hashlib.sha256(data).hexdigest()})
    elif out["body"] is None:
        out["body"] = part.get_content().replace("\r\n", "\n")
print(json.dumps(out))
