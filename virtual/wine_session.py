"""Running octolatch.exe under Wine against virtual registers: Wine prefix
and registry, pseudo-terminal ports watched by the virtual register
(virtual_register.c, preloaded into every Wine process), the probe that reads
the window, and clicks given with xdotool. Shared by the end-to-end tests,
the demo and the benchmark; call configure() first."""
import os
import shutil
import subprocess

from virtual_ports import Failure, Port, check, declare_ports, wait_until


class Settings:
    exe = probe = register = work = prefix = sender = None
    desktop = True  # a Wine virtual desktop: Wine draws captions, no window manager needed


ARGS = Settings()


def configure(exe, probe, register, work, desktop=True, sender=None):
    ARGS.exe, ARGS.probe, ARGS.register, ARGS.sender = exe, probe, register, sender
    ARGS.work = os.path.abspath(work)
    ARGS.prefix = os.path.join(ARGS.work, "prefix")
    ARGS.desktop = desktop
    os.makedirs(ARGS.work, exist_ok=True)


# ---------------------------------------------------------------- Wine

def wine_env(extra=None):
    env = dict(os.environ, WINEPREFIX=ARGS.prefix, WINEDEBUG="-all")
    env.update(extra or {})
    return env


def run_wine(args, env=None, timeout=30, tries=2):
    """Runs a Wine command and returns its result with its output. The output
    goes through files, not pipes: Wine processes that the command starts (the
    desktop, services) may inherit them and hold a pipe open long after. A
    command that hangs is killed and, if tries allows, tried once more."""
    for attempt in range(1, tries + 1):
        with open(os.path.join(ARGS.work, "wine-output.txt"), "w+") as output, \
                open(os.path.join(ARGS.work, "wine-errors.txt"), "w+") as errors:
            try:
                result = subprocess.run(["wine"] + args, env=env or wine_env(),
                                        stdin=subprocess.DEVNULL, stdout=output,
                                        stderr=errors, timeout=timeout)
            except subprocess.TimeoutExpired:
                print(f"  (wine {' '.join(args)} hung, try {attempt} of {tries})", flush=True)
                if attempt == tries:
                    raise
                continue
            output.seek(0)
            errors.seek(0)
            result.stdout, result.stderr = output.read(), errors.read()
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


def reg_string(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


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


# ------------------------------------------------------------ session

class Session:
    """One run of the program against a set of virtual registers, and any
    real devices given as {COM name: device path}. The register's library is
    preloaded either way: it also keeps Wine's own port detection away from
    the machine's serial devices, so Wine lists exactly these ports."""

    def __init__(self, name, port_names, devices=None, port_options=None):
        """port_options: {COM name: Port's keyword arguments}, e.g. what an
        open does to the lines and the board's revision."""
        self.name = name
        self.dir = os.path.join(ARGS.work, "runs", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        stop_wine()
        self.ports = {n: Port(self.dir, n, **(port_options or {}).get(n, {})) for n in port_names}
        declare_ports(self.dir, self.ports.values())
        paths = dict({p.name: p.tty for p in self.ports.values()}, **(devices or {}))
        write_registry(["[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]", "",
                        "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"] +
                       [f'"{name}"="{reg_string(path)}"' for name, path in paths.items()])
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

    def send(self, *args):
        """Runs octolatch-send.exe once (never twice: a retry would send
        again); returns its exit code, standard output and standard error."""
        result = run_wine([os.path.abspath(ARGS.sender)] + list(args), env=self.env, timeout=60, tries=1)
        return result.returncode, result.stdout, result.stderr

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


