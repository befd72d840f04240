#!/usr/bin/env python3
"""What opening a port does to the outputs, for the native sender and the
service on Linux: the virtual register plays the port's open (DTR and RTS
rising together while the tty's rate is not 0, or Windows' enumerator
raising DTR and then RTS) and the board's revision (1: the clock may win
and the register shifts and latches; 2: the RC on the clock lets the strobe
win and the outputs stay). A new pty behind a port is a tty new to the
kernel (the PC started again), whose rate is not 0; the programs leave a
port at rate 0, so their next open moves no line. The window's rows are in e2e.py (under Wine).

Usage: open_e2e.py --sender PATH --service PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import os
import shutil
import subprocess
import sys

from runner import run_tests
from service_session import Service  # noqa: E402
from virtual_ports import Port, check, declare_ports, latched_at_opens, what_an_open_did  # noqa: E402

ARGS = None
TESTS = []
VALUE = 0x81  # outputs 1 and 8: a stray shift moves both

# (row, what an open does, the board's revision, what the first open after the
# PC started again did to the outputs, what the next open of our program did)
ROWS = [
    ("revision 1, Linux", "linux-open", 1, "shifted", "untouched"),
    ("revision 2, Linux", "linux-open", 2, "kept", "untouched"),
    ("revision 2, Windows' enumerator", "enumerator", 2, "shifted", "shifted"),
]


def test(function):
    TESTS.append(function)
    return function


def run_sender(directory, port_path):
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.register), VREG_DIR=directory,
               ASAN_OPTIONS="verify_asan_link_order=0", XDG_STATE_HOME=os.path.join(directory, "state"))
    result = subprocess.run([os.path.abspath(ARGS.sender), port_path, f"{VALUE:#04x}"], env=env,
                            capture_output=True, text=True, timeout=60)
    check(result.returncode == 0, f"the sender failed on {port_path}: {result.stderr.strip()}")


def fresh_directory(program, row):
    directory = os.path.join(ARGS.work, program, "".join(c if c.isalnum() else "-" for c in row))
    shutil.rmtree(directory, ignore_errors=True)
    return directory


def check_opens(row, port, expected):
    """The opens after the first (which set the outputs up) did what the row says."""
    opens = latched_at_opens(port.events())
    did = [what_an_open_did(before, latched) for before, latched in opens[1:]]
    check(did == expected, f"{row}: the opens after plugging in {did}, expected {expected} ({opens})")
    check(all(before != 0 for before, _ in opens[1:]), f"{row}: all outputs off before an open, {opens}: a shift would not show")


@test
def the_sender_opening_a_port():
    for row, opening, revision, at_replug, at_reopen in ROWS:
        directory = fresh_directory("sender", row)
        os.makedirs(directory)
        port = Port(directory, "P1", opening=opening, revision=revision)
        declare_ports(directory, [port])
        run_sender(directory, port.tty)
        unplugged = port.master
        port.plug()  # a tty new to the kernel: the PC started again
        declare_ports(directory, [port])
        os.close(unplugged)
        run_sender(directory, port.tty)
        run_sender(directory, port.tty)
        check_opens(row, port, [at_replug, at_reopen])
        os.close(port.master)


@test
def the_service_opening_a_port():
    for row, opening, revision, at_replug, at_reopen in ROWS:
        directory = fresh_directory("service", row)
        # Every output on at power-on: the second start finds 0xFF latched.
        service = Service(directory, [{"name": "b", "power_on": "on"}], ARGS.service,
                          os.path.abspath(ARGS.register))
        try:
            port = service.ports["b"]
            port.opening, port.revision = opening, revision
            declare_ports(directory, list(service.ports.values()))
            run_sender(directory, service.link("b"))
            unplugged = port.master
            service.plug("b")  # a tty new to the kernel: the PC started again
            os.close(unplugged)
            for start in ("first", "second"):
                service.start()
                check(service.stop() == 0, f"{row}: the service's {start} run did not end cleanly")
            check_opens(row, port, [at_replug, at_reopen])
        finally:
            service.close()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--sender", "--service", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    ARGS = parser.parse_args()
    return run_tests(TESTS, ARGS.only, "open")


if __name__ == "__main__":
    sys.exit(main())
