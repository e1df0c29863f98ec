#!/usr/bin/python3
"""A real SMTP server on 127.0.0.1 for the e-mail tests (Debian's python3-aiosmtpd).

    smtp_server.py PORT OUTDIR [--tls CERT KEY] [--auth USER:PASSWORD] [--fail-data N]

Offers STARTTLS with --tls and AUTH LOGIN with --auth (AUTH is then required before MAIL).
Each message is kept as OUTDIR/message-N.eml with OUTDIR/message-N.json (envelope, whether the
channel was encrypted, whether the client authenticated); every MAIL and AUTH seen is appended
to OUTDIR/commands.txt with "tls" or "clear". --fail-data N answers 451 to the first N messages.
Prints "ready" once it listens, then serves until it is killed."""
import argparse
import asyncio
import json
import os
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("port", type=int)
parser.add_argument("out")
parser.add_argument("--tls", nargs=2)
parser.add_argument("--auth")
parser.add_argument("--fail-data", type=int, default=0)
args = parser.parse_args()
os.makedirs(args.out, exist_ok=True)


def note(line):
    with open(os.path.join(args.out, "commands.txt"), "a") as f:
        f.write(line + "\n")


class Handler:
    def __init__(self):
        self.count = 0
        self.failures_left = args.fail_data

    async def handle_MAIL(self, server, session, envelope, address, options):
        note("MAIL %s %s" % (address, "tls" if session.ssl else "clear"))
        envelope.mail_from = address
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.failures_left > 0:
            self.failures_left -= 1
            note("DATA refused")
            return "451 Try again later"
        self.count += 1
        base = os.path.join(args.out, "message-%d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".json", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos, "tls": bool(session.ssl),
                       "authenticated": bool(session.authenticated)}, f)
        os.rename(base + ".eml.part", base + ".eml")
        return "250 Message accepted"


def authenticator(server, session, envelope, mechanism, auth_data):
    user, password = args.auth.split(":", 1)
    ok = isinstance(auth_data, LoginPassword) and auth_data.login.decode() == user and auth_data.password.decode() == password
    note("AUTH %s %s %s" % (mechanism, "tls" if session.ssl else "clear", "ok" if ok else "refused"))
    return AuthResult(success=True) if ok else AuthResult(success=False, handled=False, message="535 5.7.8 Authentication credentials invalid")


kwargs = {}
if args.tls:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.tls[0], args.tls[1])
    kwargs["tls_context"] = context
if args.auth:
    kwargs["authenticator"] = authenticator
    kwargs["auth_required"] = True
    kwargs["auth_require_tls"] = False
controller = Controller(Handler(), hostname="127.0.0.1", port=args.port, server_hostname="mail.test", **kwargs)
controller.start()
print("ready", flush=True)
try:
    while True:
        time.sleep(3600)
finally:
    controller.stop()
