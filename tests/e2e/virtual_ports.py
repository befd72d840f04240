"""The virtual register seen from the tests: pseudo-terminal ports whose
lines the virtual register (virtual_register.c, preloaded into the program
under test) emulates and records, and the checks on what it recorded.
Shared by the end-to-end tests of the window and of the sender, the demo and
the benchmark."""
import os
import pty
import time
import traceback


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run_tests(functions, only, title):
    """Runs each test whose name has `only` in it, reporting as it goes and
    going on after a failure; returns the exit code for the whole run."""
    passed, failed = 0, []
    for function in functions:
        if only not in function.__name__:
            continue
        started = time.monotonic()
        try:
            function()
            passed += 1
            print(f"PASS {function.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception as error:  # a failure or a broken harness: report, go on
            failed.append(function.__name__)
            print(f"FAIL {function.__name__}: {error}", flush=True)
            if not isinstance(error, Failure):
                traceback.print_exc()
    print(f"{title}: {passed} passed, {len(failed)} failed")
    return 1 if failed else 0


def wait_until(what, condition, timeout=15.0, interval=0.1):
    """Polls condition() until it returns something true; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


class Port:
    """A pseudo-terminal with a virtual register behind it, recorded in `directory`."""

    def __init__(self, directory, name):
        self.dir = directory
        self.name = name
        self.master, slave = pty.openpty()
        self.tty = os.ttyname(slave)
        os.close(slave)

    def set_mode(self, mode):
        """"" works; "busy", "missing" and "exclusive" refuse the open (EACCES,
        ENOENT, EBUSY); "dead" fails every line call."""
        with open(os.path.join(self.dir, self.name + ".mode"), "w") as f:
            f.write(mode)

    def events(self):
        """The register's log as (nanoseconds, what, argument) tuples."""
        path = os.path.join(self.dir, self.name + ".log")
        if not os.path.exists(path):
            return []
        rows = []
        with open(path) as log:
            for line in log:
                parts = line.split(maxsplit=2)
                rows.append((int(parts[0]), parts[1], parts[2].strip() if len(parts) > 2 else ""))
        return rows

    def latches(self):
        return [int(arg, 16) for _, what, arg in self.events() if what == "LATCH"]

    def holders(self):
        """How many processes hold the port's pty open."""
        count = 0
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                fds = os.listdir(f"/proc/{pid}/fd")
            except OSError:
                continue
            for fd in fds:
                try:
                    if os.readlink(f"/proc/{pid}/fd/{fd}") == self.tty:
                        count += 1
                        break
                except OSError:
                    pass
        return count


def lines_after(events):
    """Replays DTR and RTS events from the state after open (both high)."""
    lines = {"DTR": 1, "RTS": 1}
    for _, what, arg in events:
        if what in lines:
            lines[what] = int(arg)
    return lines


def transmissions(events, spans=None):
    """Splits line events into transmissions, checking each is the exact
    26-operation sequence with its pauses. Returns the latched bytes; with a
    list as spans, also appends each transmission's (first, last) line-change
    times to it. Everything before the first data operation is the port's
    configuration."""
    ops = [e for e in events if e[1] in ("BREAK", "DTR", "RTS", "LATCH")]
    first_data = next((i for i, e in enumerate(ops) if e[1] == "BREAK"), len(ops))
    ops = ops[first_data:]
    sent = []
    i = 0
    while i < len(ops):
        chunk = ops[i:i + 27]
        shape = [(what, arg) for _, what, arg in chunk]
        expected = []
        value = 0
        for bit in range(8):
            data = shape[3 * bit][1] if 3 * bit < len(shape) else "?"
            value |= (data == "1") << bit
            expected += [("BREAK", data), ("DTR", "1"), ("DTR", "0")]
        expected += [("RTS", "1"), ("LATCH", f"0x{value:02X}"), ("RTS", "0")]
        check(shape == expected,
              f"transmission {len(sent) + 1} is not the 26-operation sequence for 0x{value:02X}:\n"
              f"  got      {shape}\n  expected {expected}")
        times = [t for t, _, _ in chunk]
        # Each clock high, clock low and strobe high lasts at least 1 ms.
        for bit in range(8):
            rise, fall, nxt = times[3 * bit + 1], times[3 * bit + 2], times[3 * bit + 3]
            check(fall - rise >= 1_000_000, f"clock {bit} high for {(fall - rise) / 1e6:.3f} ms")
            check(nxt - fall >= 1_000_000, f"clock {bit} low for {(nxt - fall) / 1e6:.3f} ms")
        check(times[26] - times[24] >= 1_000_000,
              f"strobe high for {(times[26] - times[24]) / 1e6:.3f} ms")
        sent.append(value)
        if spans is not None:
            spans.append((times[0], times[26]))
        i += 27
    return sent


def declare_ports(directory, ports):
    """Tells the virtual register which ptys are ports, and by which names."""
    with open(os.path.join(directory, "ports"), "w") as f:
        for port in ports:
            f.write(f"{port.name} {port.tty}\n")
