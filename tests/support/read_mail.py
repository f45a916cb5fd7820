#!/usr/bin/python3
"""Finds a message stored by smtp_sink.py and writes what Python's email package reads
from it into a folder, as plain files a test can compare byte for byte:

  read_mail.py MAILDIR TOKEN OUTDIR [SECONDS]

The message is the newest whose envelope recipients contain TOKEN (no case); the script
waits up to SECONDS (default 10) for it and exits 3 when none arrives. Files written:
  meta.txt       key=value: variant, mail_from, auth_login, encrypted, matches,
                 content_type, part_count, partN.content_type / .charset / .cte,
                 defects (count over the message and its parts)
  rcpt.txt       the envelope recipients, one a line
  headers.txt    "Name: value" a line, values decoded (RFC 2047) and unfolded
  addresses.txt  "Field<TAB>display name<TAB>address" for From, To, Cc, Reply-To, Bcc
  partN.bin      the decoded body of part N (the transfer encoding undone)
  raw.eml        the message as received
"""
import email
import email.policy
import glob
import json
import os
import shutil
import sys
import time


def find(maildir, token, seconds):
    deadline = time.time() + seconds
    token = token.lower()
    while True:
        found = []
        for path in sorted(glob.glob(os.path.join(maildir, "*.json"))):
            with open(path) as f:
                meta = json.load(f)
            if any(token in r.lower() for r in meta["rcpt_tos"]):
                found.append((path, meta))
        if found or time.time() > deadline:
            return found
        time.sleep(0.1)


def one_line(text):
    return str(text).replace("\r", "\\r").replace("\n", "\\n")


def main():
    maildir, token, outdir = sys.argv[1:4]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 10
    found = find(maildir, token, seconds)
    if not found:
        print("no stored message for %r in %s" % (token, maildir), file=sys.stderr)
        return 3
    path, meta = found[-1]
    eml = path[:-len(".json")] + ".eml"
    os.makedirs(outdir, exist_ok=True)
    shutil.copyfile(eml, os.path.join(outdir, "raw.eml"))
    with open(eml, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)

    info = {
        "variant": meta["variant"],
        "mail_from": meta["mail_from"],
        "auth_login": meta["auth_login"] or "",
        "encrypted": "yes" if meta["encrypted"] else "no",
        "matches": len(found),
        "content_type": msg.get_content_type(),
    }
    parts = msg.get_payload() if msg.is_multipart() else [msg]
    info["part_count"] = len(parts)
    defects = len(msg.defects)
    for i, part in enumerate(parts):
        info["part%d.content_type" % i] = part.get_content_type()
        info["part%d.charset" % i] = part.get_content_charset() or ""
        info["part%d.cte" % i] = part.get("Content-Transfer-Encoding", "")
        defects += len(part.defects)
        with open(os.path.join(outdir, "part%d.bin" % i), "wb") as f:
            f.write(part.get_payload(decode=True) or b"")
    info["defects"] = defects

    with open(os.path.join(outdir, "meta.txt"), "w") as f:
        for k, v in info.items():
            f.write("%s=%s\n" % (k, one_line(v)))
    with open(os.path.join(outdir, "rcpt.txt"), "w") as f:
        for r in meta["rcpt_tos"]:
            f.write(r + "\n")
    with open(os.path.join(outdir, "headers.txt"), "w", encoding="utf-8") as f:
        for name, value in msg.items():
            f.write("%s: %s\n" % (name, one_line(value)))
    with open(os.path.join(outdir, "addresses.txt"), "w", encoding="utf-8") as f:
        for field in ("From", "To", "Cc", "Reply-To", "Bcc"):
            header = msg.get(field)
            for a in (header.addresses if header is not None else ()):
                f.write("%s\t%s\t%s\n" % (field, a.display_name, a.addr_spec))
    return 0


if __name__ == "__main__":
    sys.exit(main())
