#!/usr/bin/python3
"""A real upstream SMTP server for the tests, built on aiosmtpd.

Stores every accepted message as <store>/<n>.eml (the bytes as received, dot-unstuffed)
and <store>/<n>.env (five lines: sender, recipients joined by ",", the authenticated
user or "-", the MAIL parameters joined by " ", the client's port, which tells sessions
apart). A session that ends with QUIT leaves <store>/quit-<client port>. Prints
"READY <port>" once listening.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import os
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--store", required=True)
parser.add_argument("--user", action="append", default=[], help="name:password")
parser.add_argument("--cram", action="store_true", help="offer AUTH CRAM-MD5 too")
parser.add_argument("--starttls", metavar="CERT,KEY")
parser.add_argument("--implicit", metavar="CERT,KEY")
parser.add_argument("--refuse-rcpt", action="append", default=[])
parser.add_argument("--delay", type=float, default=0.0, help="seconds before answering DATA")
parser.add_argument("--mail-delay", type=float, default=0.0, help="seconds before answering MAIL")
parser.add_argument("--size", type=int, default=33554432)
parser.add_argument("--auth-required", action="store_true")
parser.add_argument("--session-messages", type=int, default=0,
                    help="messages a session may carry; RCPT of one more gets 452 (0: no limit)")
parser.add_argument("--idle-timeout", type=float, default=300.0,
                    help="seconds after which an idle session is closed without a word")
args = parser.parse_args()

users = {}
for entry in args.user:
    name, _, password = entry.partition(":")
    users[name.encode()] = password.encode()
counter = [0]


def context(pair):
    if not pair:
        return None
    cert, key = pair.split(",")
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    return ctx


def authenticator(server, session, envelope, mechanism, auth_data):
    if isinstance(auth_data, LoginPassword) and users.get(auth_data.login) == auth_data.password:
        return AuthResult(success=True, auth_data=auth_data.login.decode())
    return AuthResult(success=False, handled=False)


class UpstreamSMTP(SMTP):
    async def auth_CRAM__MD5(self, server, args_):
        challenge = b"<1896.697170952@upstream.example>"
        response = await self.challenge_auth(challenge)
        if not isinstance(response, bytes) or b" " not in response:
            return AuthResult(success=False, handled=False)
        name, _, digest = response.rpartition(b" ")
        password = users.get(name)
        if password is None:
            return AuthResult(success=False, handled=False)
        expected = hmac.new(password, challenge, hashlib.md5).hexdigest().encode()
        if not hmac.compare_digest(expected, digest):
            return AuthResult(success=False, handled=False)  # the server answers 535 itself
        return AuthResult(success=True, auth_data=name.decode())


class Handler:
    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if args.mail_delay:
            await asyncio.sleep(args.mail_delay)
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.refuse_rcpt:
            return "550 5.1.1 no such user here"
        if args.session_messages and getattr(session, "stored", 0) >= args.session_messages:
            return "452 4.5.3 too many messages in this session"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if args.delay:
            await asyncio.sleep(args.delay)
        counter[0] += 1
        session.stored = getattr(session, "stored", 0) + 1
        base = os.path.join(args.store, str(counter[0]))
        with open(base + ".eml.tmp", "wb") as f:
            f.write(envelope.original_content)
        user = session.auth_data if session.authenticated else "-"
        with open(base + ".env", "w") as f:
            f.write("%s\n%s\n%s\n%s\n%d\n" % (envelope.mail_from, ",".join(envelope.rcpt_tos),
                                              user, " ".join(envelope.mail_options),
                                              session.peer[1]))
        os.rename(base + ".eml.tmp", base + ".eml")
        return "250 2.0.0 OK stored"

    async def handle_QUIT(self, server, session, envelope):
        open(os.path.join(args.store, "quit-%d" % session.peer[1]), "w").close()
        return "221 Bye"


class UpstreamController(Controller):
    def factory(self):
        return UpstreamSMTP(self.handler, **self.SMTP_kwargs)


mechanisms_excluded = [] if args.cram else ["CRAM-MD5"]
controller = UpstreamController(
    Handler(), hostname="127.0.0.1", port=args.port, ssl_context=context(args.implicit),
    tls_context=context(args.starttls), authenticator=authenticator if users else None,
    auth_require_tls=False, auth_required=args.auth_required, auth_exclude_mechanism=mechanisms_excluded + ["PLAIN"] if users else None,
    data_size_limit=args.size, server_hostname="upstream.example", timeout=args.idle_timeout)
controller.start()
print("READY", args.port, flush=True)
try:
    sys.stdin.read()  # runs until the test closes our input or kills us
finally:
    controller.stop()
