#!/usr/bin/python3
"""A real upstream SMTP server for the tests, built on aiosmtpd.

Stores every accepted message as <store>/<n>.eml (the bytes as received, dot-unstuffed)
and <store>/<n>.env (six lines: sender, recipients joined by ",", the authenticated
user or "-", the MAIL parameters joined by " ", the client's port, which tells sessions
apart, and the AUTH mechanism used or "-"). A session that ends with QUIT leaves
<store>/quit-<client port>. Events the tests count (sessions refused by --max-sessions or
--down-for, greylisted recipients, the most sessions open at once) are kept in
<store>/<name>.count. Prints "READY <port>" once listening.
"""
import argparse
import asyncio
import base64
import hashlib
import hmac
import os
import ssl
import sys
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--store", required=True)
parser.add_argument("--user", action="append", default=[], help="name:password")
parser.add_argument("--cram", action="store_true", help="offer AUTH CRAM-MD5 too")
parser.add_argument("--plain", action="store_true", help="offer AUTH PLAIN too")
parser.add_argument("--no-login", action="store_true", help="do not offer AUTH LOGIN")
parser.add_argument("--token", action="append", default=[],
                    help="name:token accepted by XOAUTH2 and OAUTHBEARER (offered then)")
parser.add_argument("--no-oauthbearer", action="store_true", help="offer XOAUTH2 alone")
parser.add_argument("--token-file",
                    help="'name:token expiry' lines read at each AUTH: a token is taken until "
                         "its expiry (seconds since the epoch), as a provider's current tokens")
parser.add_argument("--starttls", metavar="CERT,KEY")
parser.add_argument("--implicit", metavar="CERT,KEY")
parser.add_argument("--legacy-tls", action="store_true",
                    help="TLS 1.0 only, with AES-SHA and RSA key exchange (no forward secrecy)")
parser.add_argument("--refuse-rcpt", action="append", default=[],
                    help="a recipient answered 550; \"*@d.test\" names every one ending so")
parser.add_argument("--delay", type=float, default=0.0, help="seconds before answering DATA")
parser.add_argument("--mail-delay", type=float, default=0.0, help="seconds before answering MAIL")
parser.add_argument("--size", type=int, default=33554432)
parser.add_argument("--auth-required", action="store_true")
parser.add_argument("--session-messages", type=int, default=0,
                    help="messages a session may carry; RCPT of one more gets 452 (0: no limit)")
parser.add_argument("--idle-timeout", type=float, default=300.0,
                    help="seconds after which an idle session is closed without a word")
parser.add_argument("--max-sessions", type=int, default=0,
                    help="sessions at once; one more gets a 421 greeting and is closed (0: no cap)")
parser.add_argument("--greylist", type=float, default=0.0,
                    help="seconds a new sender/recipient pair is answered 451 at RCPT")
parser.add_argument("--max-rcpts", type=int, default=0,
                    help="recipients a transaction takes; one more gets 452 (0: no limit)")
parser.add_argument("--rcpt-251", action="append", default=[],
                    help="a recipient answered 251 (will forward), and taken")
parser.add_argument("--defer-once", action="append", default=[],
                    help="a recipient answered 450 the first time, taken after that (\"*\" as "
                         "for --refuse-rcpt)")
parser.add_argument("--close-after-dot", action="store_true",
                    help="store the message, then drop the connection without a reply")
parser.add_argument("--close-after-handshake", action="store_true",
                    help="drop every connection as soon as it is made (after the TLS handshake "
                         "with --implicit), without a word")
parser.add_argument("--pipelining", action="store_true",
                    help="offer PIPELINING (RFC 2920); every packet read is kept in "
                         "<store>/reads.log, one line of its bytes (escaped) each")
parser.add_argument("--down-for", type=float, default=0.0,
                    help="seconds after the start during which every greeting is a 421")
args = parser.parse_args()

users = {}
for entry in args.user:
    name, _, password = entry.partition(":")
    users[name.encode()] = password.encode()
tokens = {}
for entry in args.token:
    name, _, token = entry.partition(":")
    tokens[name.encode()] = token.encode()


def token_ok(name, token):
    if name in tokens and tokens[name] == token:
        return True
    if args.token_file:
        try:
            with open(args.token_file, "rb") as f:
                lines = f.read().split(b"\n")
        except OSError:
            return False
        for line in lines:
            entry, _, expiry = line.partition(b" ")
            if entry == name + b":" + token and float(expiry or 0) > time.time():
                return True
    return False


# The error challenge of RFC 7628 (base64 of a JSON status), sent as XOAUTH2 servers do too.
OAUTH_ERROR = b'{"status":"invalid_token","scope":"https://mail.example/","schemes":"Bearer"}'
counter = [0]
started = time.monotonic()
open_sessions = [0]
greylist_seen = {}
deferred_once = set()


def named(address, patterns):
    """Whether a recipient is one of `patterns` (an address, or "*" and how one ends)."""
    return any(address == p or (p.startswith("*") and address.endswith(p[1:]))
               for p in patterns)


def note(name):
    """Counts an event in <store>/<name>.count, for the tests to read."""
    path = os.path.join(args.store, name + ".count")
    value = int(open(path).read()) if os.path.exists(path) else 0
    with open(path + ".tmp", "w") as f:
        f.write(str(value + 1))
    os.rename(path + ".tmp", path)


def peak(value):
    """Keeps the most sessions seen open at once in <store>/peak-sessions.count."""
    path = os.path.join(args.store, "peak-sessions.count")
    if not os.path.exists(path) or int(open(path).read()) < value:
        with open(path + ".tmp", "w") as f:
            f.write(str(value))
        os.rename(path + ".tmp", path)


def context(pair):
    if not pair:
        return None
    cert, key = pair.split(",")
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    if args.legacy_tls:
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        ctx.maximum_version = ssl.TLSVersion.TLSv1
        ctx.set_ciphers("AES128-SHA:@SECLEVEL=0")
    return ctx


def authenticator(server, session, envelope, mechanism, auth_data):
    if isinstance(auth_data, LoginPassword) and users.get(auth_data.login) == auth_data.password:
        session.mechanism = mechanism
        return AuthResult(success=True, auth_data=auth_data.login.decode())
    return AuthResult(success=False, handled=False)


class UpstreamSMTP(SMTP):
    def connection_made(self, transport):
        # A refusal as real servers make it: the greeting is a 421 and the connection ends.
        refusal = None
        if args.close_after_handshake:
            note("dropped")
            self.vantro_refused = True
            transport.abort()
            return
        if args.down_for and time.monotonic() - started < args.down_for:
            refusal = b"421 4.3.2 Service not available\r\n"
            note("down-refused")
        elif args.max_sessions and open_sessions[0] >= args.max_sessions:
            refusal = (b"421 4.7.0 Too many concurrent SMTP connections; "
                       b"please try again later\r\n")
            note("cap-refused")
        self.vantro_refused = refusal is not None
        if self.vantro_refused:
            transport.write(refusal)
            transport.close()
            return
        open_sessions[0] += 1
        peak(open_sessions[0])
        super().connection_made(transport)

    def session_ended(self):
        """A session counts as open from its connection until its QUIT is answered or its
        connection is lost, whichever comes first: after the 221 the client closes at once,
        and this loop may take the next connection before it has noticed that close."""
        if getattr(self, "vantro_refused", False) or getattr(self, "vantro_ended", False):
            return
        self.vantro_ended = True
        open_sessions[0] -= 1
        note("ended")

    def data_received(self, data):
        if args.pipelining:
            with open(os.path.join(args.store, "reads.log"), "a") as log:
                log.write(repr(data)[2:-1] + "\n")
        super().data_received(data)

    def connection_lost(self, error):
        self.session_ended()
        if getattr(self, "vantro_refused", False):
            return
        super().connection_lost(error)

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
        self.session.mechanism = "CRAM-MD5"
        return AuthResult(success=True, auth_data=name.decode())

    async def oauth_refused(self, expected_abort):
        """The error challenge; the client must answer it exactly as its mechanism says."""
        response = await self.challenge_auth(OAUTH_ERROR)
        if response != expected_abort:
            return AuthResult(success=False, handled=False, message="501 5.5.2 bad abort %r"
                              % (response,))
        return AuthResult(success=False, handled=False,
                          message="535 5.7.8 Username and Password not accepted")

    async def auth_XOAUTH2(self, server, args_):
        if len(args_) != 2:
            return AuthResult(success=False, handled=False, message="501 5.5.2 no initial response")
        blob = base64.b64decode(args_[1], validate=True)
        fields = blob.split(b"\x01")
        # Exactly user=NAME ^A auth=Bearer TOKEN ^A ^A.
        if len(fields) == 4 and fields[0].startswith(b"user=") and fields[2:] == [b"", b""] \
                and fields[1].startswith(b"auth=Bearer "):
            name = fields[0][5:]
            if token_ok(name, fields[1][12:]):
                self.session.mechanism = "XOAUTH2"
                return AuthResult(success=True, auth_data=name.decode())
        return await self.oauth_refused(b"")

    async def auth_OAUTHBEARER(self, server, args_):
        if len(args_) != 2:
            return AuthResult(success=False, handled=False, message="501 5.5.2 no initial response")
        blob = base64.b64decode(args_[1], validate=True)
        # n,a=NAME, ^A host=H ^A port=P ^A auth=Bearer TOKEN ^A ^A
        head, _, rest = blob.partition(b",\x01")
        fields = rest.split(b"\x01")
        expected_port = str(args.port).encode()
        if head.startswith(b"n,a=") and len(fields) == 5 and fields[3:] == [b"", b""] \
                and fields[0] == b"host=127.0.0.1" and fields[1] == b"port=" + expected_port \
                and fields[2].startswith(b"auth=Bearer "):
            name = head[4:].replace(b"=2C", b",").replace(b"=3D", b"=")
            if token_ok(name, fields[2][12:]):
                self.session.mechanism = "OAUTHBEARER"
                return AuthResult(success=True, auth_data=name.decode())
        return await self.oauth_refused(b"\x01")


class Handler:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if args.pipelining:
            responses.insert(len(responses) - 1, "250-PIPELINING")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if args.mail_delay:
            await asyncio.sleep(args.mail_delay)
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if named(address, args.refuse_rcpt):
            return "550 5.1.1 no such user here"
        if args.max_rcpts and len(envelope.rcpt_tos) >= args.max_rcpts:
            note("too-many")
            return "452 4.5.3 Too many recipients"
        if named(address, args.defer_once) and address not in deferred_once:
            deferred_once.add(address)
            note("deferred-once")
            return "450 4.2.1 Mailbox busy, try again later"
        if named(address, args.rcpt_251):
            envelope.rcpt_tos.append(address)
            return "251 2.1.5 User not local; will forward"
        if args.session_messages and getattr(session, "stored", 0) >= args.session_messages:
            return "452 4.5.3 too many messages in this session"
        if args.greylist:
            first = greylist_seen.setdefault((envelope.mail_from, address), time.monotonic())
            left = args.greylist - (time.monotonic() - first)
            if left > 0:
                note("greylisted")
                return "451 4.7.1 Greylisted, please try again in %d seconds" % (left + 1)
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
            f.write("%s\n%s\n%s\n%s\n%d\n%s\n%s\n" % (
                envelope.mail_from, ",".join(envelope.rcpt_tos), user,
                " ".join(envelope.mail_options), session.peer[1],
                getattr(session, "mechanism", "-") if session.authenticated else "-",
                session.host_name or "-"))
        os.rename(base + ".eml.tmp", base + ".eml")
        if args.close_after_dot:
            server.transport.abort()
        return "250 2.0.0 OK stored"

    async def handle_QUIT(self, server, session, envelope):
        open(os.path.join(args.store, "quit-%d" % session.peer[1]), "w").close()
        server.session_ended()
        return "221 Bye"


class UpstreamController(Controller):
    def factory(self):
        return UpstreamSMTP(self.handler, **self.SMTP_kwargs)


mechanisms_excluded = [] if args.cram else ["CRAM-MD5"]
mechanisms_excluded += [] if args.plain else ["PLAIN"]
mechanisms_excluded += ["LOGIN"] if args.no_login or not users else []
mechanisms_excluded += [] if tokens or args.token_file else ["XOAUTH2", "OAUTHBEARER"]
mechanisms_excluded += ["OAUTHBEARER"] if args.no_oauthbearer else []
if not users:
    mechanisms_excluded += ["CRAM-MD5", "PLAIN"]
controller = UpstreamController(
    Handler(), hostname="127.0.0.1", port=args.port, ssl_context=context(args.implicit),
    tls_context=context(args.starttls),
    authenticator=authenticator if users or tokens or args.token_file else None, auth_require_tls=False,
    auth_required=args.auth_required,
    auth_exclude_mechanism=mechanisms_excluded if users or tokens or args.token_file else ["XOAUTH2", "OAUTHBEARER"],
    data_size_limit=args.size, server_hostname="upstream.example", timeout=args.idle_timeout)
controller.start()
print("READY", args.port, flush=True)
try:
    sys.stdin.read()  # runs until the test closes our input or kills us
finally:
    controller.stop()
