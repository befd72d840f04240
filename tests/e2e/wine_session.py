"""Running octolatch.exe under Wine against virtual registers: Wine prefix
and registry, pseudo-terminal ports watched by the virtual register
(virtual_register.c, preloaded into every Wine process), the probe that reads
the window, and clicks given with xdotool. Shared by the end-to-end tests,
the demo and the benchmark; call configure() first."""
import os
import pty
import shutil
import subprocess
import time


class Settings:
    exe = probe = register = work = prefix = None
    desktop = True  # a Wine virtual desktop: Wine draws captions, no window manager needed


ARGS = Settings()


def configure(exe, probe, register, work, desktop=True):
    ARGS.exe, ARGS.probe, ARGS.register = exe, probe, register
    ARGS.work = os.path.abspath(work)
    ARGS.prefix = os.path.join(ARGS.work, "prefix")
    ARGS.desktop = desktop
    os.makedirs(ARGS.work, exist_ok=True)


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


# ---------------------------------------------------------------- Wine

def wine_env(extra=None):
    env = dict(os.environ, WINEPREFIX=ARGS.prefix, WINEDEBUG="-all")
    env.update(extra or {})
    return env


def run_wine(args, env=None, timeout=30, tries=2):
    """Runs a Wine command and returns its output. The output goes through a
    file, not a pipe: Wine processes that the command starts (the desktop,
    services) may inherit it and hold a pipe open long after. A command that
    hangs is killed and tried once more."""
    for attempt in range(1, tries + 1):
        with open(os.path.join(ARGS.work, "wine-output.txt"), "w+") as output:
            try:
                result = subprocess.run(["wine"] + args, env=env or wine_env(),
                                        stdin=subprocess.DEVNULL, stdout=output,
                                        stderr=subprocess.DEVNULL, timeout=timeout)
            except subprocess.TimeoutExpired:
                print(f"  (wine {' '.join(args)} hung, try {attempt} of {tries})", flush=True)
                if attempt == tries:
                    raise
                continue
            output.seek(0)
            result.stdout = output.read()
            return result


def stop_wine():
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-k"], env=wine_env(), **quiet)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=60, **quiet)


def write_registry(lines):
    path = os.path.join(ARGS.work, "settings.reg")
    with open(path, "w") as reg:
        reg.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    result = run_wine(["regedit", "/S", path])
    check(result.returncode == 0, f"regedit failed with {result.returncode}")


def make_prefix():
    """One Wine prefix for the whole run. With ARGS.desktop, a virtual desktop
    gives windows Wine's own caption (and close button) without a window manager."""
    if not os.path.exists(os.path.join(ARGS.prefix, "system.reg")):
        print("creating the Wine prefix (once)...", flush=True)
        subprocess.run(["wineboot", "-i"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    key = "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]"
    desktop = '"Desktop"="Default"' if ARGS.desktop else '"Desktop"=-'
    write_registry([key, desktop, "",
                    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]",
                    '"Default"="800x360"'])
    stop_wine()


# ------------------------------------------------------- the register

class Port:
    def __init__(self, session, name):
        self.session = session
        self.name = name
        self.master, slave = pty.openpty()
        self.tty = os.ttyname(slave)
        os.close(slave)

    def set_mode(self, mode):
        """"" works, "busy" or "missing" refuse the open, "dead" fails every line call."""
        with open(os.path.join(self.session.dir, self.name + ".mode"), "w") as f:
            f.write(mode)

    def events(self):
        """The register's log as (nanoseconds, what, argument) tuples."""
        path = os.path.join(self.session.dir, self.name + ".log")
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


# ------------------------------------------------------------ session

class Session:
    """One run of the program against a set of virtual registers."""

    def __init__(self, name, port_names):
        self.name = name
        self.dir = os.path.join(ARGS.work, "runs", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        stop_wine()
        self.ports = {n: Port(self, n) for n in port_names}
        with open(os.path.join(self.dir, "ports"), "w") as f:
            for port in self.ports.values():
                f.write(f"{port.name} {port.tty}\n")
        write_registry(["[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]", "",
                        "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"] +
                       [f'"{p.name}"="{p.tty}"' for p in self.ports.values()])
        stop_wine()
        for entry in os.listdir(os.path.join(ARGS.prefix, "dosdevices")):
            if entry.startswith("com"):
                os.remove(os.path.join(ARGS.prefix, "dosdevices", entry))
        # From here on every Wine process, the wineserver included, carries the register.
        self.env = wine_env({"LD_PRELOAD": os.path.abspath(ARGS.register), "VREG_DIR": self.dir})
        # Started here, not by the first Wine command: a wineserver that a
        # command started would hold that command's output pipe open.
        subprocess.run(["wineserver"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.process = None

    def platform_ports(self):
        """The COM names in the order the platform lists them."""
        out = run_wine([ARGS.probe, "ports"], env=self.env).stdout
        return [line.split()[1] for line in out.splitlines() if line.startswith("port ")]

    def start(self):
        self.process = subprocess.Popen(["wine", os.path.abspath(ARGS.exe)], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def look(self):
        """What the probe sees: the window, its controls, any error box."""
        out = run_wine([ARGS.probe, "window"], env=self.env).stdout
        view = {"controls": [], "items": [], "error": None}
        control = None
        for line in out.splitlines():
            key, _, rest = line.partition(" ")
            if key == "control":
                cls, text, style, rect, ident, checked = rest.split("|")
                control = {"class": cls, "text": text, "style": int(style, 16),
                           "rect": tuple(map(int, rect.split())), "id": int(ident),
                           "checked": int(checked)}
                view["controls"].append(control)
            elif key == "screen":
                control["screen"] = tuple(map(int, rest.split()))
            elif key == "item":
                view["items"].append(rest)
            elif key in ("selected", "dropped", "itemheight", "visible"):
                view[key] = int(rest)
            elif key in ("windowrect", "errorbuttonrect"):
                view[key] = tuple(map(int, rest.split()))
            elif key in ("style", "exstyle"):
                view[key] = int(rest, 16)
            elif key == "window":
                view["window"] = rest == "found"
            elif key == "errorbox":
                view["error"] = {"owner": rest}
            elif key in ("errortext", "erroricon", "errorbutton"):
                view["error"][key] = rest
        return view

    def wait_for_window(self):
        return wait_until("the window with its port list",
                          lambda: (lambda v: v if v.get("visible") and v["items"] else None)(self.look()))

    def wait_for_error(self):
        return wait_until("an error box", lambda: (lambda v: v if v["error"] else None)(self.look()))

    # -- input, as a user gives it

    def click_at(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)

    def click(self, control):
        x, y, w, h = control["screen"]
        self.click_at(x + w // 2, y + h // 2)

    def click_and_wait(self, port, view, control_index, expected_byte):
        before = len(port.latches())
        self.click(view["controls"][control_index])
        latches = wait_until(f"latch {expected_byte:#04x} on {port.name}",
                             lambda: (lambda l: l if len(l) > before else None)(port.latches()))
        check(latches[before:] == [expected_byte],
              f"click latched {[hex(b) for b in latches[before:]]}, expected {expected_byte:#04x}")

    def click_burst(self, view, boxes):
        """Clicks the boxes numbered in `boxes` in one go, as fast as the input
        allows. Returns the byte each click should latch, counting from no box
        ticked."""
        command, value, expected = ["xdotool"], 0, []
        for k in boxes:
            x, y, w, h = view["controls"][k - 1]["screen"]
            command += ["mousemove", str(x + w // 2), str(y + h // 2), "click", "--delay", "0", "1"]
            value ^= 0x80 >> (k - 1)
            expected.append(value)
        subprocess.run(command, check=True)
        return expected

    def pick_port(self, name):
        """Drops the port list down with the arrow and clicks the entry."""
        view = self.look()
        combo = view["controls"][9]
        x, y, w, h = combo["screen"]
        self.click_at(x + w - 9, y + h // 2)
        view = wait_until("the port list to drop down",
                          lambda: (lambda v: v if v.get("dropped") else None)(self.look()))
        index = view["items"].index(name)
        height = view["itemheight"]
        self.click_at(x + w // 2 - 8, y + h + 1 + height * index + height // 2)

    def dismiss_error(self, view):
        x, y, w, h = view["errorbuttonrect"]
        self.click_at(x + w // 2, y + h // 2)
        wait_until("the error box to close", lambda: self.look()["error"] is None)

    def close_window(self):
        """Clicks the close button at the right end of the caption."""
        x, y, w, _ = self.look()["windowrect"]
        self.click_at(x + w - 12, y + 11)
        return self.exit_code()

    def exit_code(self, timeout=20):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not exit")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.finish()

    def finish(self):
        # What the screen showed at the end, kept beside the register's logs.
        subprocess.run(["import", "-window", "root", os.path.join(self.dir, "screen.png")],
                       capture_output=True)
        if self.process and self.process.poll() is None:
            self.process.kill()
        stop_wine()
        for port in self.ports.values():
            os.close(port.master)


