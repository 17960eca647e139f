#!/usr/bin/python3
"""aiosmtpd's Proxy handler on 127.0.0.1:<port>, relaying to <host>:<port>; its command line
takes no handler arguments, so it is started here. Runs until SIGTERM."""
import signal
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.handlers import Proxy

port, upstream_host, upstream_port = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
controller = Controller(Proxy(upstream_host, upstream_port), hostname="127.0.0.1", port=port)
controller.start()
signal.sigwait([signal.SIGTERM, signal.SIGINT])
controller.stop()
