"""octolatchd on virtual boards: each board's port a pseudo-terminal behind a
link of its own (so that it can be unplugged and plugged back on another
pty while the configured path stays the same), the service's configuration,
state directory and log in one directory. Used by the service's demo, its
end-to-end tests and the benchmark."""
import atexit
import http.client
import os
import shutil
import signal
import subprocess
import threading

from virtual_ports import Port, declare_ports, wait_until


RUNNING = set()

# Debian installs the broker in /usr/sbin, which an ordinary account's PATH
# may not have.
MOSQUITTO = shutil.which("mosquitto", path=os.environ.get("PATH", os.defpath) + ":/usr/sbin:/sbin") or "mosquitto"


@atexit.register
def _stop_all():
    """A service left running by a failure would hold its port's lock."""
    for service in list(RUNNING):
        service.close()


class Service:
    def __init__(self, directory, boards, service, register, listen="127.0.0.1:0", token=None,
                 extra="", env=None, configuration=None):
        """boards: a list of dicts with name, and optionally outputs, invert,
        pulse_ms, power_on, names ({3: "pump"}) and more (TOML that ends the
        board's table: its interlocks, its outputs' settings); token: None for the
        service's own (read once it is made), "" for none; extra: more TOML
        for the configuration's top; configuration: a function that makes
        the configuration's text from {board name: its port's path}, in place
        of the one made from boards."""
        self.make_configuration = configuration
        self.dir = directory
        self.boards = boards
        self.service, self.register = service, register
        self.listen, self.token, self.extra = listen, token, extra
        self.more_env = env or {}
        os.makedirs(os.path.join(directory, "links"), exist_ok=True)
        os.makedirs(os.path.join(directory, "state"), exist_ok=True)
        self.ports = {b["name"]: Port(directory, b["name"], b.get("outputs", 8), b.get("invert", False))
                      for b in boards}
        for name in self.ports:
            self._link(name)
        declare_ports(directory, list(self.ports.values()))
        self.process = None
        self.port = None
        self.lines = []
        self._reader = None
        self.write_configuration()

    def link(self, name):
        return os.path.join(self.dir, "links", name)

    def _link(self, name):
        path = self.link(name)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(self.ports[name].tty, path)

    def write_configuration(self):
        self.configuration = os.path.join(self.dir, "octolatchd.toml")
        if self.make_configuration:
            with open(self.configuration, "w") as f:
                f.write(self.make_configuration({name: self.link(name) for name in self.ports}))
            return
        text = [f'listen = "{self.listen}"', f'state_directory = "{os.path.join(self.dir, "state")}"']
        if self.token == "":
            text.append('token_file = ""')
        elif self.token:
            token_file = os.path.join(self.dir, "token")
            with open(token_file, "w") as f:
                f.write(self.token + "\n")
            os.chmod(token_file, 0o600)
            text.append(f'token_file = "{token_file}"')
        text.append(self.extra)
        for board in self.boards:
            text += ["", "[[board]]", f'name = "{board["name"]}"', f'port = "{self.link(board["name"])}"',
                     f'outputs = {board.get("outputs", 8)}', f'invert = {"true" if board.get("invert") else "false"}']
            if board.get("pulse_ms"):
                text.append(f'pulse_ms = {board["pulse_ms"]}')
            if board.get("power_on"):
                text.append(f'power_on = "{board["power_on"]}"')
            for output, name in sorted(board.get("names", {}).items()):
                text += [f"[board.output.{output}]", f'name = "{name}"']
            if board.get("more"):
                text.append(board["more"])
        with open(self.configuration, "w") as f:
            f.write("\n".join(text) + "\n")

    def environment(self):
        return dict(os.environ, LD_PRELOAD=self.register, VREG_DIR=self.dir,
                    ASAN_OPTIONS="verify_asan_link_order=0", **self.more_env)

    def start(self, arguments=None, wait=True):
        """Starts the service and, with wait, returns once it listens and
        every board is available."""
        self.lines = []
        self.process = subprocess.Popen([self.service, "--config", self.configuration] + (arguments or []),
                                        env=self.environment(), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        RUNNING.add(self)
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        if wait:
            line = self.wait_for_log("listening on")
            self.port = int(line.split("http://", 1)[1].split("/")[0].rsplit(":", 1)[1])
            if self.token is None:
                with open(os.path.join(self.dir, "state", "token")) as f:
                    self.token = f.read().strip()
            for name in self.ports:
                self.wait_until_available(name)
        return self

    def _read_log(self):
        with open(os.path.join(self.dir, "service.log"), "a") as log:
            for line in self.process.stderr:
                self.lines.append(line.rstrip("\n"))
                log.write(line)
                log.flush()

    def mark(self):
        """Where the log stands now, for wait_for_log's since."""
        return len(self.lines)

    def wait_for_log(self, *texts, since=0, timeout=15):
        """The first line from since on that holds every text."""
        return wait_until(f"the log to say {texts}",
                          lambda: next((l for l in self.lines[since:] if all(t in l for t in texts)), None),
                          timeout, 0.02)

    def wait_until_available(self, name, since=0, timeout=15):
        return self.wait_for_log(f"{name}: ", ": available", since=since, timeout=timeout)

    def stop(self, signal_number=signal.SIGTERM, timeout=15):
        """Ends the service; returns its exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        code = self.process.wait(timeout)
        self._reader.join(5)
        return code

    def request(self, method, path, body=None, headers=None, timeout=30):
        """One request on a connection of its own: (status, headers, body)."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        all_headers = dict(headers or {})
        if self.token and "Authorization" not in all_headers:
            all_headers["Authorization"] = f"Bearer {self.token}"
        try:
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read().decode()
        finally:
            connection.close()

    def unplug(self, name):
        """The adapter pulled out: its pty hung up, its path gone."""
        port = self.ports[name]
        port.unplug()
        os.remove(self.link(name))
        declare_ports(self.dir, list(self.ports.values()))

    def plug(self, name):
        """The adapter plugged back in, on a new pty behind the same path."""
        self.ports[name].plug()
        self._link(name)
        declare_ports(self.dir, list(self.ports.values()))

    def close(self):
        RUNNING.discard(self)
        if self.process and self.process.poll() is None:
            self.stop(signal.SIGKILL)
        for port in self.ports.values():
            if port.master is not None:
                os.close(port.master)
                port.master = None
