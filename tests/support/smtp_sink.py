#!/usr/bin/python3
"""SMTP sink for the tests: every accepted message is stored in a folder.

One process serves several variants on 127.0.0.1, each on its own port:
  plain     no TLS, no AUTH
  auth      AUTH LOGIN/PLAIN required (without TLS), one user and password
  starttls  STARTTLS required before MAIL
  tls       implicit TLS from the first byte
  reject    refuses every recipient with 550

Messages up to --data-size-limit bytes are accepted (aiosmtpd's own default when absent).

A recipient whose address holds "stall-at-rcpt" has its RCPT answered, and one holding
"stall-after-data" has its message's end of data answered (after the message is stored),
only after a pause of a few seconds; when the pause begins, the file <local part>.stalled
appears in the mail folder, so that a test can act while the client waits.

Each message becomes two files in the mail folder: <id>.eml (the data exactly as
received) and then <id>.json (variant, envelope sender and recipients, the login name,
whether the session was encrypted). The .json appears last, so a reader that sees it
finds the .eml complete.
"""
import argparse
import asyncio
import itertools
import json
import os
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult

_counter = itertools.count()


STALL_SECONDS = 3


async def stall(maildir, address):
    with open(os.path.join(maildir, address.split("@")[0] + ".stalled"), "w"):
        pass
    await asyncio.sleep(STALL_SECONDS)


class Sink:
    def __init__(self, variant, maildir, reject=False):
        self.variant = variant
        self.maildir = maildir
        self.reject = reject

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject:
            return "550 5.1.1 <%s>: recipient rejected" % address
        if "stall-at-rcpt" in address:
            await stall(self.maildir, address)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        name = "%d-%d-%d" % (time.time_ns(), os.getpid(), next(_counter))
        base = os.path.join(self.maildir, name)
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        os.rename(base + ".eml.tmp", base + ".eml")
        login = getattr(session.auth_data, "login", None) if session.authenticated else None
        meta = {
            "variant": self.variant,
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "auth_login": login.decode("utf-8", "replace") if isinstance(login, bytes) else login,
            "encrypted": (session.ssl is not None
                          or server.transport.get_extra_info("ssl_object") is not None),
        }
        with open(base + ".json.tmp", "w") as f:
            json.dump(meta, f)
        os.rename(base + ".json.tmp", base + ".json")
        for address in envelope.rcpt_tos:
            if "stall-after-data" in address:
                await stall(self.maildir, address)
        return "250 Message accepted for delivery"


def make_authenticator(user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (auth_data.login == user.encode() and auth_data.password == password.encode())
        # handled=False lets the server answer 535; otherwise the client would wait forever.
        return AuthResult(success=ok, handled=False, auth_data=auth_data)
    return authenticate


async def serve(args):
    loop = asyncio.get_running_loop()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)

    def factory(variant, **options):
        handler = Sink(variant, args.maildir, reject=(variant == "reject"))
        if args.data_size_limit is not None:
            options["data_size_limit"] = args.data_size_limit
        return lambda: SMTP(handler, hostname="kro-test-smtp", **options)

    servers = [
        await loop.create_server(factory("plain"), "127.0.0.1", args.plain_port),
        await loop.create_server(
            factory("auth", auth_required=True, auth_require_tls=False,
                    authenticator=make_authenticator(args.user, args.password)),
            "127.0.0.1", args.auth_port),
        await loop.create_server(
            factory("starttls", tls_context=context, require_starttls=True),
            "127.0.0.1", args.starttls_port),
        await loop.create_server(factory("tls"), "127.0.0.1", args.tls_port, ssl=context),
        await loop.create_server(factory("reject"), "127.0.0.1", args.reject_port),
    ]
    await asyncio.gather(*(s.serve_forever() for s in servers))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--maildir", required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--data-size-limit", type=int)
    for name in ("plain", "auth", "starttls", "tls", "reject"):
        p.add_argument("--%s-port" % name, type=int, required=True)
    args = p.parse_args()
    os.makedirs(args.maildir, exist_ok=True)
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
