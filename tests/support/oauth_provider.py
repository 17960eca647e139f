#!/usr/bin/python3
"""A local OAuth 2.0 provider for the tests: an authorization endpoint that answers at once
with a redirect carrying a code (the user "signs in" without a page), and a token endpoint
that checks the PKCE verifier (S256) and the redirect address, and issues access tokens that
live --lifetime seconds. The access tokens not yet expired are written to
<store>/current-tokens ("user:token expiry" lines, expiry in seconds since the epoch) for
upstream_smtp.py --token-file. Counts requests in <store>/*.count.
Prints "READY <port>"; runs until its input closes.
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import sys
import threading
import time
import urllib.parse

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--store", required=True)
parser.add_argument("--client-id", default="vantro-test-client")
parser.add_argument("--user", default="kalvex", help="the name the tokens are for")
parser.add_argument("--lifetime", type=int, default=3600, help="access tokens' seconds")
parser.add_argument("--revoked", action="store_true", help="every refresh is invalid_grant")
parser.add_argument("--rotate", action="store_true", help="each refresh gives a new refresh token")
parser.add_argument("--delay", type=float, default=0, help="seconds before each token answer")
parser.add_argument("--wrong-state", action="store_true", help="redirect with another state")
parser.add_argument("--no-refresh-token", action="store_true", help="codes give no refresh token")
parser.add_argument("--refresh-token", action="append", default=[],
                    help="a refresh token valid from the start")
args = parser.parse_args()

lock = threading.Lock()
codes = {}  # code -> (challenge, redirect_uri)
refresh_tokens = set(args.refresh_token)
access_tokens = {}  # token -> expiry
serial = [0]


def count(name):
    path = os.path.join(args.store, name + ".count")
    value = 0
    if os.path.exists(path):
        with open(path) as f:
            value = int(f.read() or 0)
    with open(path + ".tmp", "w") as f:
        f.write(str(value + 1))
    os.rename(path + ".tmp", path)


def write_current():
    now = time.time()
    lines = "".join("%s:%s %f\n" % (args.user, token, expiry)
                    for token, expiry in access_tokens.items() if expiry > now)
    path = os.path.join(args.store, "current-tokens")
    with open(path + ".tmp", "w") as f:
        f.write(lines)
    os.rename(path + ".tmp", path)


def new_token(prefix):
    serial[0] += 1
    return "%s-%d-%s" % (prefix, serial[0], secrets.token_urlsafe(12))


def grant(refresh):
    access = new_token("at")
    access_tokens[access] = time.time() + args.lifetime
    write_current()
    answer = {"access_token": access, "token_type": "Bearer", "expires_in": args.lifetime}
    if refresh:
        answer["refresh_token"] = refresh
    return answer


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *_):
        pass

    def reply(self, status, body, headers=()):
        data = body.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path != "/auth":
            return self.reply(404, "{}")
        count("authorize")
        redirect = query.get("redirect_uri", "")
        if (query.get("client_id") != args.client_id or query.get("response_type") != "code"
                or query.get("code_challenge_method") != "S256"
                or not redirect.startswith("http://127.0.0.1:")):
            return self.reply(400, json.dumps({"error": "invalid_request", "query": query}))
        code = new_token("code")
        with lock:
            codes[code] = (query.get("code_challenge", ""), redirect)
        state = "forged" if args.wrong_state else query.get("state", "")
        location = redirect + "?" + urllib.parse.urlencode({"code": code, "state": state})
        self.reply(302, "{}", [("Location", location)])

    def do_POST(self):
        length = int(self.headers.get("Content-Length", 0))
        form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
        if self.path != "/token":
            return self.reply(404, "{}")
        if args.delay:
            time.sleep(args.delay)
        count("token-requests")
        if form.get("client_id") != args.client_id:
            return self.reply(401, json.dumps({"error": "invalid_client"}))
        with lock:
            if form.get("grant_type") == "authorization_code":
                count("code-exchanges")
                challenge, redirect = codes.pop(form.get("code", ""), (None, None))
                verifier = form.get("code_verifier", "").encode()
                computed = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=")
                if challenge is None or redirect != form.get("redirect_uri") \
                        or computed.decode() != challenge:
                    return self.reply(400, json.dumps({"error": "invalid_grant",
                                                       "error_description": "bad code or verifier"}))
                refresh = None if args.no_refresh_token else new_token("rt")
                if refresh:
                    refresh_tokens.add(refresh)
                return self.reply(200, json.dumps(grant(refresh)))
            if form.get("grant_type") == "refresh_token":
                count("refreshes")
                refresh = form.get("refresh_token", "")
                if args.revoked or refresh not in refresh_tokens:
                    return self.reply(400, json.dumps({
                        "error": "invalid_grant",
                        "error_description": "Token has been expired or revoked."}))
                if args.rotate:
                    refresh_tokens.discard(refresh)
                    refresh = new_token("rt")
                    refresh_tokens.add(refresh)
                    return self.reply(200, json.dumps(grant(refresh)))
                return self.reply(200, json.dumps(grant(None)))
        return self.reply(400, json.dumps({"error": "unsupported_grant_type"}))


server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
server.daemon_threads = True
write_current()
threading.Thread(target=server.serve_forever, daemon=True).start()
print("READY", args.port, flush=True)
sys.stdin.read()
