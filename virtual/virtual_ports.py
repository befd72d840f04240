"""The virtual register seen from Python: pseudo-terminal ports whose lines
the virtual register (virtual_register.c, preloaded into the program) emulates
and records, and what it recorded, transmission by transmission. Used by the
demos, the benchmark and the end-to-end tests."""
import os
import pty
import time


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


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
    """A pseudo-terminal with a virtual chain of registers behind it (`outputs`
    outputs; an interface that inverts every line with `invert`), recorded in
    `directory`. `opening` plays what an open does to the lines: None
    (nothing), "linux-open" (both rise together unless the rate is 0) or
    "enumerator" (DTR, then RTS); `revision` is the board's, 1 or 2."""

    def __init__(self, directory, name, outputs=8, invert=False, opening=None, revision=1):
        self.dir = directory
        self.name = name
        self.outputs = outputs
        self.invert = invert
        self.opening = opening
        self.revision = revision
        self.master, self.tty = None, None
        self.plug()

    def plug(self):
        """A fresh pseudo-terminal: the adapter plugged (back) in. Declare the
        ports again afterwards, so the register follows it."""
        self.master, slave = pty.openpty()
        self.tty = os.ttyname(slave)
        os.close(slave)

    def unplug(self):
        """Hangs the pseudo-terminal up, as a USB adapter that is pulled out."""
        os.close(self.master)
        self.master = None

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
                # The register may be writing the last line right now.
                if not line.endswith("\n"):
                    break
                parts = line.split(maxsplit=2)
                rows.append((int(parts[0]), parts[1], parts[2].strip() if len(parts) > 2 else ""))
        return rows

    def latches(self):
        return [int(arg, 16) for _, what, arg in self.events() if what == "LATCH"]

    def transmissions(self, spans=None):
        return transmissions(self.events(), spans, self.outputs, self.invert)

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


def latched_at_opens(events):
    """For each open of the port: the outputs before it, and the values
    latched after it and before the program set the data line (what the
    open itself latched)."""
    found, opened, outputs = [], False, 0
    for _, what, arg in events:
        if what == "OPEN":
            found.append((outputs, []))
            opened = True
        elif what == "BREAK":
            opened = False
        elif what == "LATCH":
            outputs = int(arg, 16)
            if opened:
                found[-1][1].append(outputs)
    return found


def what_an_open_did(before, latched):
    """"untouched" (nothing latched), "kept" (the outputs latched again) or
    "shifted" (a 0 shifted in and latched: TXD idle), for one open of an
    8-output register; else the values themselves."""
    if latched == []:
        return "untouched"
    if latched == [before]:
        return "kept"
    if latched == [before >> 1]:
        return "shifted"
    return str([hex(v) for v in latched])


def transmissions(events, spans=None, outputs=8, invert=False):
    """Splits line events into transmissions, checking each is the exact
    3 x outputs + 2 operation sequence with its pauses. Returns the latched
    values; with a list as spans, also appends each transmission's (first,
    last) line-change times to it. Everything before the first data
    operation is the port's configuration; a data line set idle on its own
    between transmissions (a program leaving the line idle) is skipped."""
    ops = [e for e in events if e[1] in ("BREAK", "DTR", "RTS", "LATCH")]
    first_data = next((i for i, e in enumerate(ops) if e[1] == "BREAK"), len(ops))
    ops = ops[first_data:]
    sent = []
    size = 3 * outputs + 3
    i = 0
    while i < len(ops):
        if ops[i][1] == "BREAK" and (i + 1 == len(ops) or ops[i + 1][1] == "BREAK"):
            i += 1
            continue
        chunk = ops[i:i + size]
        shape = [(what, arg) for _, what, arg in chunk]
        expected = []
        value = 0
        for bit in range(outputs):
            data = shape[3 * bit][1] if 3 * bit < len(shape) else "?"
            value |= ((data == "1") != invert) << bit
            expected += [("BREAK", data), ("DTR", "1"), ("DTR", "0")]
        latch = ("LATCH", f"0x{value:0{outputs // 4}X}")
        expected += [("RTS", "1"), ("RTS", "0"), latch] if invert else [("RTS", "1"), latch, ("RTS", "0")]
        check(shape == expected,
              f"transmission {len(sent) + 1} is not the {size - 1}-operation sequence for {latch[1]}:\n"
              f"  got      {shape}\n  expected {expected}")
        times = [t for t, _, _ in chunk]
        line_times = [t for t, what, _ in chunk if what != "LATCH"]
        # Each clock high, clock low and strobe high lasts at least 1 ms.
        for bit in range(outputs):
            rise, fall, nxt = line_times[3 * bit + 1], line_times[3 * bit + 2], line_times[3 * bit + 3]
            check(fall - rise >= 1_000_000, f"clock {bit} high for {(fall - rise) / 1e6:.3f} ms")
            check(nxt - fall >= 1_000_000, f"clock {bit} low for {(nxt - fall) / 1e6:.3f} ms")
        check(line_times[-1] - line_times[-2] >= 1_000_000,
              f"strobe high for {(line_times[-1] - line_times[-2]) / 1e6:.3f} ms")
        sent.append(value)
        if spans is not None:
            spans.append((times[0], line_times[-1]))
        i += size
    return sent


def declare_ports(directory, ports):
    """Tells the virtual register which ptys are ports, by which names, and
    what is behind them. The list is replaced whole, so that no program reads
    half of it."""
    path = os.path.join(directory, "ports")
    with open(path + ".new", "w") as f:
        for port in ports:
            if port.master is not None:
                words = [port.name, port.tty, str(port.outputs)] + ["invert"] * port.invert
                words += [port.opening] * bool(port.opening) + ["rev2"] * (port.revision == 2)
                f.write(" ".join(words) + "\n")
    os.replace(path + ".new", path)


def outputs_row(value, outputs=8):
    """The outputs as a person reads them: # on, . off, output 1 first."""
    return " ".join("#" if value >> (outputs - k) & 1 else "." for k in range(1, outputs + 1))


def value_width(ports):
    return max([5] + [2 + port.outputs // 4 for port in ports.values()])


def latch_header(ports):
    """The heading of print_latches' lines."""
    widest = max(port.outputs for port in ports.values())
    numbers = " ".join(str(k % 10) for k in range(1, widest + 1))
    return f"port  {'value':<{value_width(ports)}}  outputs {numbers}"


def print_latches(ports, stop, interval=0.05):
    """Prints each latch of every port (a dict of name: Port) as the register
    reports it, until stop (a threading.Event) is set."""
    seen = {name: 0 for name in ports}
    width = value_width(ports)
    while True:
        for name, port in ports.items():
            latches = port.latches()
            for value in latches[seen[name]:]:
                hexadecimal = f"0x{value:0{port.outputs // 4}X}"
                # One write per line: another thread's print may come between
                # a text and its newline.
                print(f"{name:<4}  {hexadecimal:<{width}}  {'':8}{outputs_row(value, port.outputs)}\n",
                      end="", flush=True)
            seen[name] = len(latches)
        if stop.is_set():
            return
        time.sleep(interval)
