#!/usr/bin/env python3
"""End-to-end tests of the native octolatch-send on Linux.

Each test gives the sender pseudo-terminal ports with the virtual register
(virtual_register.c) preloaded into the sender itself, runs it as a script
would, and reads what the wire saw from the register's event log. No Wine.

Usage: sender_e2e.py --sender PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import atexit
import fcntl
import grp
import os
import re
import shlex
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import termios
import textwrap
import time

from runner import run_tests
from virtual_ports import Port, check, declare_ports, lines_after, transmissions, wait_until  # noqa: E402

ARGS = None
STARTED = []  # every sender started in the background, ended at exit
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTS = []
FLOOR_NS = 17 * 1_000_000  # 17 pauses of 1 ms
TIOCGEXCL = 0x80045440  # Linux: is the tty exclusive?


def test(function):
    TESTS.append(function)
    return function


class Ports:
    """A directory of virtual ports for one test, and the sender to run on them."""

    def __init__(self, name, names=("P1",), outputs=8, invert=False):
        self.dir = os.path.join(ARGS.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.ports = [Port(self.dir, n, outputs, invert) for n in names]
        declare_ports(self.dir, self.ports)
        # The records go to the test's own directory, not the account's.
        self.env = dict(os.environ, LD_PRELOAD=os.path.abspath(ARGS.register), VREG_DIR=self.dir,
                        ASAN_OPTIONS="verify_asan_link_order=0", XDG_STATE_HOME=os.path.join(self.dir, "state"))

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
        process = subprocess.Popen(self.command(*args), env=self.env, text=True, **options)
        STARTED.append(process)
        return process

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
    check((ispeed, ospeed) == (termios.B0, termios.B0), f"speed {ispeed}/{ospeed}, not B0")
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
        expect_error(ports.send("--wait", "0", path, "0xFF"), 1, path + ": ", *texts)
    # A port held by another tool is waited for, up to --wait.
    started = time.monotonic()
    expect_error(ports.send("--wait", "1", locked.tty, "1"), 1, "port busy")
    check(1.0 <= time.monotonic() - started < 3, f"waited {time.monotonic() - started:.1f} s, not --wait 1")
    check("group" not in ports.send(closed.tty, "1")[2], "a group named where none gives access")
    for port in ports.ports:
        sent = [e for e in port.events() if e[1] in ("BREAK", "LATCH") or (e[1] in ("DTR", "RTS") and e[2] == "1")]
        check(not sent, f"{port.name}: sent {sent}")
    os.close(holder)
    ports.close()


@test
def twenty_senders_at_once_take_turns_on_a_32_output_chain():
    ports = Ports("twenty", outputs=32)
    port = ports[0]
    senders = [ports.start("--outputs", "32", port.tty, f"{n}=on", stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE) for n in range(1, 21)]
    results = [(s.wait(60), s.stderr.read()) for s in senders]
    check(all(code == 0 for code, _ in results), f"exits and messages {results}")
    latched = port.transmissions()  # fails on any interleaved or cut transmission
    check(len(latched) == 20, f"{len(latched)} transmissions for 20 senders")
    # Each transmission adds one output to all the ones before it.
    check(all(bin(a).count("1") + 1 == bin(b).count("1") and a & b == a for a, b in zip(latched, latched[1:])),
          f"a change was lost: {[hex(v) for v in latched]}")
    check(latched[-1] == 0xFFFFF000, f"the last latch is {latched[-1]:#010x}, not outputs 1 to 20")
    code, out, err = ports.send("--get", port.tty)
    check((code, out) == (0, "0xFFFFF000\n"), f"--get: exit {code}, {out!r} {err!r}")
    check(ports.send("--get", port.tty, "20")[1] == "on\n" and ports.send("--get", port.tty, "21")[1] == "off\n",
          "--get of one output")
    ports.close()


@test
def a_pulse_is_on_for_its_duration_then_off():
    ports = Ports("pulse")
    port = ports[0]
    check(ports.send(port.tty, "0x01")[0] == 0, "the sender failed")
    started = time.monotonic()
    code, _, err = ports.send(port.tty, "3=pulse:300ms")
    took = time.monotonic() - started
    check(code == 0, f"exit {code}: {err}")
    latches = [(t, int(a, 16)) for t, what, a in port.events() if what == "LATCH"]
    check([v for _, v in latches] == [0x01, 0x21, 0x01], f"latched {[hex(v) for _, v in latches]}")
    on = (latches[2][0] - latches[1][0]) / 1e6
    # The off's own transmission takes 17 ms before its latch.
    check(on >= 300 + 17, f"on for {on:.1f} ms")
    print(f"  pulse of 300 ms: on for {on:.1f} ms between the latches, the sender took {took * 1000:.0f} ms")
    check(ports.send("--get", port.tty, "3")[1] == "off\n", "--get says the pulsed output is on")
    check(ports.send("--get", port.tty)[1] == "0x01\n", "--get of the value after a pulse")
    ports.close()


@test
def invert_sends_the_complement_and_the_outputs_show_the_value():
    ports = Ports("invert", invert=True)
    port = ports[0]
    code, _, err = ports.send("--invert", "--verbose", port.tty, "0xA1")
    check(code == 0 and err == "latched 0xA1\n", f"exit {code}: {err!r}")
    check(port.transmissions() == [0xA1], f"the register shows {[hex(v) for v in port.transmissions()]}")
    check(port.latches()[-1] == 0xA1, f"the outputs show {port.latches()[-1]:#04x}")
    # The record keeps the inversion: a change without --invert inverts too.
    check(ports.send(port.tty, "1=off")[0] == 0 and port.latches()[-1] == 0x21,
          f"after 1=off the outputs show {port.latches()[-1]:#04x}")
    expect_error(ports.send("--no-invert", port.tty, "3=on"), 1, "the record says 8 outputs, inverted")
    ports.close()


@test
def with_the_service_stopped_the_board_of_its_configuration_keeps_its_rules():
    ports = Ports("rules")
    port = ports[0]
    configuration = os.path.join(ports.dir, "octolatchd.toml")
    with open(configuration, "w") as f:
        f.write(f'[[board]]\nname = "blind"\nport = "{port.tty}"\n[board.output.3]\nauto_off_ms = 1000\n'
                "[[board.interlock]]\noutputs = [1, 2]\ndead_time_ms = 300\n")
    for items in (["1=on"], ["2=on"]):
        result = ports.send("--config", configuration, port.tty, *items)
        check(result[0] == 0, f"{items}: {result}")
    latches = [(t, int(a, 16)) for t, what, a in port.events() if what == "LATCH"]
    check([v for _, v in latches] == [0x80, 0x00, 0x40], f"latched {[hex(v) for _, v in latches]}")
    apart = (latches[2][0] - latches[1][0]) / 1e6
    check(apart >= 300, f"2 on {apart:.0f} ms after 1 went off, within the dead time")
    for items, texts in ((["0xC0"], ["outputs 1 and 2 are interlocked"]),
                         (["3=on"], ["goes off by itself", "3=pulse:1000ms"]),
                         (["--outputs", "16", "1=off"], ["defines board 'blind' on it with 8 outputs"])):
        expect_error(ports.send("--config", configuration, port.tty, *items), 1, *texts)
    expect_error(ports.send("--config", os.path.join(ports.dir, "none.toml"), port.tty, "1=off"), 1,
                 "cannot read the service's configuration")
    check(len(port.latches()) == 3, f"a refused item was sent: {port.latches()}")
    ports.close()


def sender_streaming(ports, port):
    """A sender fed values on standard input as fast as it takes them."""
    sender = ports.start(port.tty, "-", stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    sender.stdin.write("".join(f"{(i * 37) % 256}\n" for i in range(400)))
    sender.stdin.flush()
    wait_until("a few latches", lambda: len(port.latches()) >= 3, 10, 0.01)
    return sender


@test
def an_interruption_finishes_the_transmission_and_releases_the_port():
    for name, signal_number, code in (("SIGINT", signal.SIGINT, 130), ("SIGTERM", signal.SIGTERM, 143),
                                      ("SIGHUP", signal.SIGHUP, 129)):
        ports = Ports(f"interrupted-{name}")
        port = ports[0]
        sender = sender_streaming(ports, port)
        time.sleep(0.005 * (signal_number % 7))  # somewhere inside a transmission
        sender.send_signal(signal_number)
        got = sender.wait(10)
        err = sender.stderr.read()
        check(got == code and err == "octolatch-send: interrupted\n", f"{name}: exit {got}, {err!r}")
        events = port.events()
        latched = port.transmissions()  # fails on a cut transmission
        check(len(latched) < 400, f"{name}: the sender went on to the end")
        check(lines_after(events) == {"DTR": 0, "RTS": 0}, f"{name}: lines left {lines_after(events)}")
        brk = [a for _, w, a in events if w == "BREAK"]
        check(brk[-1] == "0", f"{name}: the break was left on")
        started = time.monotonic()
        after = ports.send("--wait", "0", port.tty, "0x5A")
        check(after[0] == 0 and port.latches()[-1] == 0x5A, f"{name}: the next sender: {after}")
        check(time.monotonic() - started < 2, f"{name}: the next sender waited")
        code_get, out, _ = ports.send("--get", port.tty)
        check(out == "0x5A\n", f"{name}: the record says {out!r}")
        ports.close()


@test
def an_interruption_ends_a_sender_waiting_for_its_input():
    ports = Ports("interrupted-waiting")
    port = ports[0]
    sender = ports.start(port.tty, "-", stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    sender.stdin.write("0x42\n")
    sender.stdin.flush()
    wait_until("the first latch", lambda: port.latches() == [0x42], 10, 0.01)
    time.sleep(0.2)  # now it waits for the next line
    started = time.monotonic()
    sender.send_signal(signal.SIGINT)
    code = sender.wait(10)
    check(code == 130 and "interrupted" in sender.stderr.read(), f"exit {code}")
    check(time.monotonic() - started < 1, f"it took {time.monotonic() - started:.1f} s to stop")
    sender.stdin.close()
    ports.close()


@test
def an_interrupted_pulse_switches_its_output_off():
    ports = Ports("interrupted-pulse")
    port = ports[0]
    sender = ports.start(port.tty, "2=on", "3=pulse:1h", stderr=subprocess.PIPE)
    wait_until("the pulse on", lambda: 0x60 in port.latches(), 10, 0.01)
    time.sleep(0.2)
    sender.send_signal(signal.SIGTERM)
    code = sender.wait(10)
    check(code == 143 and "interrupted" in sender.stderr.read(), f"exit {code}")
    check(port.transmissions() == [0x40, 0x60, 0x40], f"latched {[hex(v) for v in port.latches()]}")
    check(ports.send("--get", port.tty)[1] == "0x40\n", "the record does not say the pulse ended")
    ports.close()


@test
def with_standard_input_closed_nothing_is_read_from_the_port():
    ports = Ports("stdin-closed")
    port = ports[0]
    os.write(port.master, b"0x80\n")  # what the port has received
    result = subprocess.run(ports.command(port.tty, "-"), env=ports.env, capture_output=True, text=True,
                            preexec_fn=lambda: os.close(0), timeout=30)
    check(result.returncode == 0, f"exit {result.returncode}: {result.stderr!r}")
    check(port.latches() == [], f"latched {port.latches()} from the port's own input")
    fd = os.open(port.tty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        waiting = os.read(fd, 100)
    except BlockingIOError:
        waiting = b""
    os.close(fd)
    check(waiting == b"0x80\n", f"the port's input was read: {waiting!r} left")
    # All three closed: each is the null device while the sender runs.
    sender = subprocess.Popen(ports.command(port.tty, "3=pulse:400ms"), env=ports.env,
                              preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
    STARTED.append(sender)
    wait_until("the pulse", lambda: 0x20 in port.latches(), 10, 0.01)
    streams = [os.readlink(f"/proc/{sender.pid}/fd/{fd}") if os.path.lexists(f"/proc/{sender.pid}/fd/{fd}")
               else "closed" for fd in (0, 1, 2)]
    check(sender.wait(10) == 0 and streams == ["/dev/null"] * 3, f"standard streams {streams}")
    ports.close()


@test
def an_over_long_argument_is_refused_without_echoing_it():
    ports = Ports("long-argument")
    port = ports[0]
    code, out, err = ports.send(port.tty, "1" * 120000)
    check(code == 2 and len(err) < 300 and "argument of 120000 characters refused" in err,
          f"exit {code}, {len(err)} characters: {err[:200]!r}")
    check(not opened(port), "the port was opened")
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

@atexit.register
def end_what_is_left():
    """A sender left behind by a failed test (one pulsing for an hour, say)
    would hold the port and the output pipes."""
    for process in STARTED:
        if process.poll() is None:
            process.kill()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--sender", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    parser.add_argument("--skip", default=None, help="leave out the tests whose name has this")
    ARGS = parser.parse_args()
    ARGS.work = os.path.abspath(ARGS.work)
    return run_tests(TESTS, ARGS.only, f"sender e2e ({ARGS.sender})", ARGS.skip)


if __name__ == "__main__":
    sys.exit(main())
