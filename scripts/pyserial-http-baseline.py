#!/usr/bin/python3
"""The service a user would write instead of octolatchd, for scripts/benchmark:
Python's http.server answering POST /outputs/N (ON, OFF or TOGGLE) by clocking the
whole byte into the register with pyserial (Debian's python3-serial), as
pyserial-baseline.py does, one request at a time.
Usage: pyserial-http-baseline.py PORT LISTEN-PORT"""
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import serial

port = serial.Serial(sys.argv[1], baudrate=110)
port.dtr = False
port.rts = False
state = 0
lock = threading.Lock()


def send(value):
    for bit in range(8):
        port.break_condition = bool(value >> bit & 1)
        port.dtr = True
        time.sleep(0.001)
        port.dtr = False
        time.sleep(0.001)
    port.rts = True
    time.sleep(0.001)
    port.rts = False


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        global state
        output = int(self.path.rsplit("/", 1)[1])
        word = self.rfile.read(int(self.headers["Content-Length"])).strip()
        with lock:
            bit = 0x80 >> (output - 1)
            on = not state & bit if word == b"TOGGLE" else word == b"ON"
            state = state | bit if on else state & ~bit
            send(state)
        body = b"ON\n" if on else b"OFF\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments):
        pass


ThreadingHTTPServer(("127.0.0.1", int(sys.argv[2])), Handler).serve_forever()
