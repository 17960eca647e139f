#!/usr/bin/python3
"""Exim as an upstream for the tests: a real MTA's SMTP, AUTH and TLS behaviour.

Each accepted connection is handed to `exim4 -bs` (SMTP on its standard input and output),
with a configuration of our own written into the store folder: messages are queued only,
never delivered, and every one accepted is written as upstream_smtp.py writes them
(<n>.eml and <n>.env), read back from exim's spool. Needs root (exim keeps
its privilege for a configuration given with -C only then). Prints "READY <port>".
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import threading

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--exim", required=True,
                    help="the exim binary (unpacked for the tests, not the system's MTA)")
parser.add_argument("--user-shim", required=True,
                    help="the library preloaded to lend exim its user (exim_user_shim.c)")
parser.add_argument("--store", required=True)
parser.add_argument("--user", default="kalvex:739104", help="name:password")
parser.add_argument("--mechanisms", default="cram,login,plain",
                    help="authenticators offered, of cram, login, plain")
parser.add_argument("--tls", metavar="CERT,KEY", help="offer STARTTLS with this certificate")
parser.add_argument("--tls-on-connect", action="store_true", help="implicit TLS (needs --tls)")
parser.add_argument("--receive-timeout", type=int, default=0,
                    help="seconds exim waits for a command before it ends the session (421)")
args = parser.parse_args()

NAME, _, PASSWORD = args.user.partition(":")
SPOOL = os.path.join(args.store, "spool")
AUTHENTICATORS = {
    "cram": """cram:
  driver = cram_md5
  public_name = CRAM-MD5
  server_secret = ${if eq{$auth1}{%(name)s}{%(password)s}fail}
  server_set_id = $auth1
""",
    "login": """login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = ${if and {{eq{$auth1}{%(name)s}}{eq{$auth2}{%(password)s}}}}
  server_set_id = $auth1
""",
    "plain": """plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = ${if and {{eq{$auth2}{%(name)s}}{eq{$auth3}{%(password)s}}}}
  server_set_id = $auth2
""",
}


def write_config():
    cert, key = args.tls.split(",") if args.tls else ("", "")
    tls = ("tls_advertise_hosts = *\ntls_certificate = %s\ntls_privatekey = %s\n" % (cert, key)
           if args.tls else "tls_advertise_hosts =\n")
    chosen = [m for m in args.mechanisms.split(",") if m]
    authenticators = "".join(AUTHENTICATORS[m] % {"name": NAME, "password": PASSWORD}
                             for m in chosen)
    timeout = ("smtp_receive_timeout = %ds\n" % args.receive_timeout
               if args.receive_timeout else "")
    text = """spool_directory = %(spool)s
log_file_path = %(store)s/%%slog
primary_hostname = upstream.example
exim_user = root
exim_group = root
trusted_users = root
queue_only = true
keep_environment =
auth_advertise_hosts = *
%(tls)s%(timeout)s
acl_smtp_mail = acl_mail
acl_smtp_rcpt = acl_rcpt

begin acl
acl_mail:
  deny message = 530 5.7.0 Authentication required
       !authenticated = *
  accept
acl_rcpt:
  accept

begin routers
begin transports
begin authenticators
%(authenticators)s
""" % {"spool": SPOOL, "store": args.store, "tls": tls, "authenticators": authenticators,
       "timeout": timeout}
    path = os.path.join(args.store, "exim.conf")
    with open(path, "w") as f:
        f.write(text)
    return path


CONFIG = write_config()
# An unpacked exim looks up the user it was built for (Debian-exim) before it reads any
# configuration, and only an installed exim4-base creates that user: the shim lends it.
EXIM_ENVIRONMENT = dict(os.environ, LD_PRELOAD=args.user_shim)
lock = threading.Lock()
collected = set()
counter = [0]


def read_spooled(message_id):
    """Envelope, authenticated user, client port and text of one queued message."""
    with open(os.path.join(SPOOL, "input", message_id + "-H"), "rb") as f:
        lines = f.read().split(b"\n")
    sender = lines[2].decode().strip("<>")
    user, mechanism, port, i = "-", "-", 0, 4
    while i < len(lines) and lines[i].startswith(b"-"):
        option, _, value = lines[i].decode(errors="replace").partition(" ")
        if option.lstrip("-") == "auth_id":
            user = value
        elif option == "-host_auth_pubname":
            mechanism = value
        elif option == "-host_address":  # [127.0.0.1]:port
            port = int(value.rpartition(":")[2])
        i += 1
    i += 1  # the tree of non-recipients
    count = int(lines[i])
    recipients = [r.decode() for r in lines[i + 1:i + 1 + count]]
    headers = b""
    for entry in re.findall(rb"^\d{3}(.) (.*?)(?=^\d{3}. |\Z)", b"\n".join(lines[i + 2 + count:]),
                            re.S | re.M):
        if entry[0] != b"*":  # a header exim deleted
            headers += entry[1]
    with open(os.path.join(SPOOL, "input", message_id + "-D"), "rb") as f:
        body = f.read().split(b"\n", 1)[1]
    content = (headers + b"\n" + body).replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return sender, recipients, user, mechanism, port, content


def collect():
    folder = os.path.join(SPOOL, "input")
    if not os.path.isdir(folder):
        return
    with lock:
        for name in sorted(os.listdir(folder)):
            if not name.endswith("-H") or name in collected:
                continue
            collected.add(name)
            sender, recipients, user, mechanism, port, content = read_spooled(name[:-2])
            counter[0] += 1
            base = os.path.join(args.store, str(counter[0]))
            with open(base + ".eml.tmp", "wb") as f:
                f.write(content)
            with open(base + ".env", "w") as f:
                f.write("%s\n%s\n%s\n\n%d\n%s\n" % (sender, ",".join(recipients), user, port,
                                                    mechanism))
            os.rename(base + ".eml.tmp", base + ".eml")


def serve(connection, peer_port):
    command = [args.exim, "-C", CONFIG, "-bs", "-oMa", "127.0.0.1.%d" % peer_port,
               "-oMi", "127.0.0.1.%d" % args.port]
    if args.tls_on_connect:
        command.append("-tls-on-connect")
    with connection:
        process = subprocess.Popen(command, stdin=connection.fileno(), env=EXIM_ENVIRONMENT,
                                   stdout=connection.fileno(), stderr=subprocess.DEVNULL)
    process.wait()
    collect()  # a session cut off still leaves what it accepted
    note_ended()


def note_ended():
    """Counts the sessions that ended in <store>/ended.count, as upstream_smtp.py does."""
    with lock:
        path = os.path.join(args.store, "ended.count")
        value = int(open(path).read()) if os.path.exists(path) else 0
        with open(path + ".tmp", "w") as f:
            f.write(str(value + 1))
        os.rename(path + ".tmp", path)


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", args.port))
listener.listen(64)


def accept_loop():
    while True:
        connection, peer = listener.accept()
        threading.Thread(target=serve, args=(connection, peer[1]), daemon=True).start()


threading.Thread(target=accept_loop, daemon=True).start()
print("READY", args.port, flush=True)
sys.stdin.read()  # runs until the test closes our input or kills us
