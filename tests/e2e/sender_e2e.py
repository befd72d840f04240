#!/usr/bin/env python3
"""End-to-end tests of the native octolatch-send on Linux.

Each test gives the sender pseudo-terminal ports with the virtual register
(virtual_register.c) preloaded into the sender itself, runs it as a script
would, and reads what the wire saw from the register's event log. No Wine.

Usage: sender_e2e.py --sender PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import fcntl
import grp
import os
import shutil
import statistics
import struct
import subprocess
import sys
import termios
import time

from virtual_ports import Port, check, declare_ports, lines_after, run_tests, transmissions, wait_until

ARGS = None
TESTS = []
FLOOR_NS = 17 * 1_000_000  # 17 pauses of 1 ms
TIOCGEXCL = 0x80045440  # Linux: is the tty exclusive?


def test(function):
    TESTS.append(function)
    return function


class Ports:
    """A directory of virtual ports for one test, and the sender to run on them."""

    def __init__(self, name, names=("P1",)):
        self.dir = os.path.join(ARGS.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.ports = [Port(self.dir, n) for n in names]
        declare_ports(self.dir, self.ports)
        self.env = dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.register), VREG_DIR=self.dir,
                        ASAN_OPTIONS="verify_asan_link_order=0")

    def __getitem__(self, index):
        return self.ports[index]

    def command(self, *args):
        return [os.path.abspath(ARGS.sender)] + [str(a) for a in args]

    def send(self, *args, stdin=None, timeout=60):
        """Runs the sender to its end: (exit code, standard output, standard error)."""
        result = subprocess.run(self.command(*args), env=self.env, input=stdin, capture_output=True,
                                text=True, timeout=timeout)
        return result.returncode, result.stdout, result.stderr

    def start(self, *args, **options):
        return subprocess.Popen(self.command(*args), env=self.env, text=True, **options)

    def close(self):
        for port in self.ports:
            os.close(port.master)


def opened(port):
    return any(what == "OPEN" for _, what, _ in port.events())


def line_events(port):
    return [e for e in port.events() if e[1] in ("BREAK", "DTR", "RTS", "LATCH")]


def expect_error(result, code, *texts):
    got_code, _, err = result
    check(got_code == code and all(t in err for t in texts) and
          all(line.startswith("octolatch-send: ") for line in err.splitlines()),
          f"exit {got_code}, stderr {err!r}; expected exit {code} and {texts}")


# ----------------------------------------------------------------- tests

@test
def values_are_clocked_in_order_with_the_exact_sequence():
    ports = Ports("values")
    port = ports[0]
    values = [0xA1, 0x01, 0x80, 0xFF, 0x00, 0x42]
    code, out, err = ports.send(port.tty, "0xA1", "1", "0b10000000", "255", "0", "66")
    check((code, out, err) == (0, "", ""), f"exit {code}, stdout {out!r}, stderr {err!r}")
    events = port.events()
    # Opened, DTR and RTS lowered, nothing else before the first data bit.
    first = next(i for i, e in enumerate(events) if e[1] == "BREAK")
    check([(w, a) for _, w, a in events[:first]] == [("OPEN", ""), ("DTR", "0"), ("RTS", "0")],
          f"before the first bit: {events[:first]}")
    check(transmissions(events) == values, f"sent {[hex(v) for v in transmissions(events)]}")
    check(port.latches() == values, f"latched {port.latches()}")
    check(events[-1][1] == "CLOSE" and lines_after(events) == {"DTR": 0, "RTS": 0},
          f"the end: {events[-3:]}")
    check(port.holders() == 0, "the port is still held")
    ports.close()


@test
def the_port_gets_the_register_settings():
    ports = Ports("settings")
    port = ports[0]
    check(ports.send(port.tty, "7")[0] == 0, "the sender failed")
    fd = os.open(port.tty, os.O_RDWR | os.O_NOCTTY)
    _, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(fd)
    exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
    os.close(fd)
    # TIOCEXCL outlives the sender on a tty whose master stays open; left
    # set, it would shut everyone but root out of the port.
    check(exclusive == 0, "the sender left the port exclusive")
    check((ispeed, ospeed) == (termios.B110, termios.B110), f"speed {ispeed}/{ospeed}, not 110 baud")
    check(cflag & termios.CSIZE == termios.CS8 and not cflag & (termios.PARENB | termios.CSTOPB),
          f"not 8N1: cflag {cflag:#o}")
    check(not cflag & termios.CRTSCTS and cflag & termios.CLOCAL, f"flow control or modem: {cflag:#o}")
    check(not lflag & (termios.ICANON | termios.ECHO) and not oflag & termios.OPOST, "not raw")
    ports.close()


@test
def standard_input_is_sent_line_by_line_as_it_arrives():
    ports = Ports("stdin")
    port = ports[0]
    sender = ports.start(port.tty, "-", stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = [("# power-up order", None), ("  1\r", 0x01), ("", None), ("\t0x03 ", 0x03),
             ("0b11100000", 0xE0), ("   # all off", None), ("0", 0x00)]
    latched = 0
    for line, value in lines:
        time.sleep(0.1)  # the sender must wait for the line, not for the end
        sender.stdin.write(line + "\n")
        sender.stdin.flush()
        if value is None:
            continue
        latched += 1
        got = wait_until(f"{line!r} latched", lambda: (lambda l: l if len(l) >= latched else None)(port.latches()), 5, 0.01)
        check(got[-1] == value and len(got) == latched, f"after {line!r}: latched {got}")
        check(sender.poll() is None, "the sender ended before its input did")
    sender.stdin.close()
    check(sender.wait(10) == 0, f"exit {sender.returncode}: {sender.stderr.read()}")
    check(port.latches() == [1, 3, 0xE0, 0], f"latched {port.latches()}")
    check(sum(w == "OPEN" for _, w, _ in port.events()) == 1, "the port was opened more than once")
    ports.close()


@test
def the_interval_spaces_transmissions_and_nothing_waits_after_the_last():
    ports = Ports("interval")
    port = ports[0]
    check(ports.send("--interval", "40", port.tty, "1", "2", "3")[0] == 0, "the sender failed")
    spans = []
    check(transmissions(port.events(), spans) == [1, 2, 3], "wrong values")
    gaps = [(b[0] - a[1]) / 1e6 for a, b in zip(spans, spans[1:])]
    check(all(40 <= g < 60 for g in gaps), f"gaps {gaps} ms, expected 40 ms or a little more")
    close = [t for t, w, _ in port.events() if w == "CLOSE"][-1]
    check(close - spans[-1][1] < 10_000_000, f"closed {(close - spans[-1][1]) / 1e6:.1f} ms after the last value")
    # From standard input the interval is the least spacing: values that are there at once wait.
    ports2 = Ports("interval-stdin")
    code, _, err = ports2.send("--interval=25", ports2[0].tty, "-", stdin="4\n5\n6\n")
    spans = []
    check(code == 0 and transmissions(ports2[0].events(), spans) == [4, 5, 6], f"exit {code}: {err}")
    gaps = [(b[0] - a[1]) / 1e6 for a, b in zip(spans, spans[1:])]
    check(all(g >= 25 for g in gaps), f"gaps {gaps} ms from standard input, expected at least 25")
    ports.close()
    ports2.close()


@test
def bad_arguments_exit_2_and_open_nothing():
    ports = Ports("bad-arguments")
    port = ports[0]
    rows = [
        ((port.tty, "1", "256"), ["bad value '256'", "0 to 255"]),
        ((port.tty, "0x1G"), ["bad value '0x1G'"]),
        ((port.tty, "0b1010"), ["bad value '0b1010'"]),
        ((port.tty, " 1"), ["bad value ' 1'"]),
        (("--fast", port.tty, "1"), ["unknown option '--fast'"]),
        ((), ["missing PORT"]),
        ((port.tty,), ["missing VALUE"]),
        (("--interval", "soon", port.tty, "1"), ["bad interval 'soon'", "milliseconds"]),
        ((port.tty, "1", "--interval"), ["missing MS after --interval"]),
    ]
    for args, texts in rows:
        expect_error(ports.send(*args), 2, *texts)
        check(not opened(port), f"{args}: the port was opened")
    ports.close()


@test
def a_bad_input_line_ends_the_run_after_what_came_before():
    ports = Ports("bad-line")
    port = ports[0]
    expect_error(ports.send(port.tty, "-", stdin="1\n# two\n2\n0x2A5\n3\n"), 2, "line 4:", "'0x2A5'")
    check(port.latches() == [1, 2], f"latched {port.latches()}")
    ports.close()


@test
def port_failures_exit_1_and_send_nothing():
    ports = Ports("port-failures", ["MISSING", "LOCKED", "EXCLUSIVE", "DENIED", "CLOSED", "DEAD"])
    missing, locked, exclusive, denied, closed, dead = ports.ports
    missing.set_mode("missing")
    exclusive.set_mode("exclusive")
    denied.set_mode("busy")  # EACCES
    closed.set_mode("busy")
    dead.set_mode("dead")
    os.chmod(denied.tty, 0o660)  # its group may read and write it
    os.chmod(closed.tty, 0o600)
    group = grp.getgrgid(os.stat(denied.tty).st_gid).gr_name
    holder = os.open(locked.tty, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(holder, fcntl.LOCK_EX)  # as another serial tool holds a port
    scratch = os.path.join(ports.dir, "a-file")
    open(scratch, "w").close()
    rows = [
        (missing.tty, ["no such port"]),
        ("/dev/pts/999999", ["no such port"]),
        ("ttyOctolatchNone", ["ttyOctolatchNone: no such port"]),
        (locked.tty, ["port busy"]),
        (exclusive.tty, ["port busy"]),
        (denied.tty, ["permission denied", f"'{group}'"]),
        (closed.tty, ["permission denied"]),
        ("/dev/null", ["not a serial port"]),
        (scratch, ["not a serial port"]),
        (ports.dir, ["not a serial port"]),
        (dead.tty, ["cannot configure it: Input/output error"]),
    ]
    for path, texts in rows:
        expect_error(ports.send(path, "0xFF"), 1, path + ": ", *texts)
    check("group" not in ports.send(closed.tty, "1")[2], "a group named where none gives access")
    for port in ports.ports:
        sent = [e for e in port.events() if e[1] in ("BREAK", "LATCH") or (e[1] in ("DTR", "RTS") and e[2] == "1")]
        check(not sent, f"{port.name}: sent {sent}")
    os.close(holder)
    ports.close()


@test
def twenty_senders_at_once_never_interleave():
    ports = Ports("twenty")
    port = ports[0]
    values = [(37 * i + 11) % 256 for i in range(20)]
    senders = [ports.start(port.tty, v, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for v in values]
    results = [(s.wait(60), s.stderr.read()) for s in senders]
    sent = [v for v, (code, _) in zip(values, results) if code == 0]
    refused = [err for code, err in results if code != 0]
    check(all(code in (0, 1) for code, _ in results), f"exit codes {[c for c, _ in results]}")
    check(all("port busy" in err for err in refused), f"refusals {refused}")
    latched = transmissions(port.events())  # fails on any interleaved line change
    check(sorted(latched) == sorted(sent) and port.latches() == latched,
          f"latched {latched}, senders that succeeded sent {sent}")
    check(len(refused) > 0, "no sender was refused: they did not run at the same time")
    ports.close()


@test
def each_pause_lasts_a_millisecond_and_little_more():
    ports = Ports("pauses")
    port = ports[0]
    values = [(i * 73) % 256 for i in range(200)]
    check(ports.send(port.tty, *values)[0] == 0, "the sender failed")
    spans = []
    check(transmissions(port.events(), spans) == values, "wrong values")  # each pause >= 1 ms
    durations = sorted(last - first for first, last in spans)
    median = statistics.median(durations)
    check(median <= 1.10 * FLOOR_NS, f"median transmission {median / 1e6:.2f} ms, over 1.10 x 17 ms")
    ports.close()


@test
def list_shows_each_port_once_or_says_none():
    code, out, err = Ports("list").send("--list")
    lines = out.splitlines()
    check(code == (0 if lines else 1) and len(set(lines)) == len(lines), f"exit {code}: {out!r} {err!r}")
    check(all(os.path.exists(line) for line in lines), f"listed paths that do not exist: {lines}")
    # On a machine without serial devices (a /dev of its own hides them).
    hide = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hide-serial-devices")
    result = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private",
                             hide, os.path.abspath(ARGS.sender), "--list"], capture_output=True, text=True)
    expect_error((result.returncode, result.stdout, result.stderr), 1, "no serial ports found")
    check(result.stdout == "", f"listed {result.stdout!r}")


# ------------------------------------------------------------------ main

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--sender", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    ARGS = parser.parse_args()
    ARGS.work = os.path.abspath(ARGS.work)
    return run_tests(TESTS, ARGS.only, f"sender e2e ({ARGS.sender})")


if __name__ == "__main__":
    sys.exit(main())
