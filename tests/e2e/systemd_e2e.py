#!/usr/bin/env python3
"""octolatchd's unit and the .deb's maintainer scripts under a real systemd.

systemd boots as PID 1 of its own namespaces in a throwaway Debian root under
--work (never on this machine's root: its tmpfiles step would empty /tmp).
The root is made by mmdebstrap from this machine's apt sources and cached as
a tarball keyed on what goes into it; every run unpacks it afresh. The board
is a pseudo-terminal of this test, bound into the root as /dev/ttyUSB0, with
the virtual register preloaded through a drop-in only this test writes.
Prints the unit's systemd-analyze security score first (no root needed);
everything else needs root and is skipped with a message otherwise.
Usage: systemd_e2e.py --deb DEB --register LIB --work DIR"""
import argparse
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "virtual"))
from virtual_ports import Port, declare_ports  # noqa: E402

ARGS = None
PROBLEMS = []
BEST_SCORE = 2.0
CGROUP = f"octolatch-systemd-test-{os.getpid()}"
REGISTER_DIR = "/var/lib/octolatch-test-register"
CONFIGURATION = "/etc/octolatch/octolatchd.toml"
DROP_IN = """[Service]
Environment=LD_PRELOAD=/usr/local/lib/octolatch-test/libvirtual_register.so VREG_DIR=%s
ReadWritePaths=%s
DeviceAllow=char-pts rw
""" % (REGISTER_DIR, REGISTER_DIR)
INTRUDER = ["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups"]
DIALOUT_MEMBER = ["setpriv", "--reuid=4243", "--regid=4243", "--groups=20"]
TOKEN = "systemd-test-token"

# Mounts systemd's world, then becomes its root: pivot_root rather than
# chroot, and / shared, or systemd cannot mount the services' credentials.
LAUNCHER = r"""
set -e
for hierarchy in /sys/fs/cgroup/*/; do
  mkdir -p "$hierarchy$CGROUP"
  if [ -e "${hierarchy}cpuset.cpus" ]; then
    cat "${hierarchy}cpuset.cpus" > "$hierarchy$CGROUP/cpuset.cpus"
    cat "${hierarchy}cpuset.mems" > "$hierarchy$CGROUP/cpuset.mems"
  fi
  echo $$ > "$hierarchy$CGROUP/cgroup.procs"
done
exec unshare --pid --fork --mount --uts --ipc --net --cgroup --propagation private bash -c '
set -e
mount --bind "$ROOT" "$ROOT"
mount -t proc proc "$ROOT/proc"
mount -t sysfs sysfs "$ROOT/sys"
mount -t tmpfs -o mode=755,size=4m cgroups "$ROOT/sys/fs/cgroup"
for hierarchy in /sys/fs/cgroup/*/; do
  name=$(basename "$hierarchy"); mkdir "$ROOT/sys/fs/cgroup/$name"
  case $name in
    unified) mount -t cgroup2 cgroup2 "$ROOT/sys/fs/cgroup/$name" ;;
    systemd) mount -t cgroup -o none,name=systemd cgroup "$ROOT/sys/fs/cgroup/$name" ;;
    *) mount -t cgroup -o "$name" cgroup "$ROOT/sys/fs/cgroup/$name" ;;
  esac
done
mount -t tmpfs -o mode=755,size=4m dev "$ROOT/dev"
# Nodes of their own, so that what systemd does to them stays in the root.
mknod -m 666 "$ROOT/dev/null" c 1 3; mknod -m 666 "$ROOT/dev/zero" c 1 5
mknod -m 666 "$ROOT/dev/full" c 1 7; mknod -m 666 "$ROOT/dev/random" c 1 8
mknod -m 666 "$ROOT/dev/urandom" c 1 9; mknod -m 666 "$ROOT/dev/tty" c 5 0
mknod -m 600 "$ROOT/dev/console" c 1 3
touch "$ROOT/dev/ttyUSB0"
mount --bind "$BOARD" "$ROOT/dev/ttyUSB0"
mkdir "$ROOT/dev/pts" "$ROOT/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$ROOT/dev/pts"
ln -s pts/ptmx "$ROOT/dev/ptmx"
mount -t tmpfs -o mode=1777 shm "$ROOT/dev/shm"
mount -t tmpfs -o mode=755 run "$ROOT/run"
cd "$ROOT"; mkdir -p oldroot; pivot_root . oldroot
umount -l /oldroot; rmdir /oldroot
mount --make-rshared /
exec env container=octolatch-test /lib/systemd/systemd --system
'
"""


def check(condition, message):
    if not condition:
        PROBLEMS.append(message)
        print(f"systemd: FAILED: {message}", flush=True)
    return condition


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def security_score(unit):
    result = run(["systemd-analyze", "security", "--offline=true", "--no-pager", unit])
    found = re.search(r"Overall exposure level for \S+: (\d+\.\d+) (\w+)", result.stdout)
    if not check(found, f"systemd-analyze security: {result.stdout[-300:]}{result.stderr}"):
        return
    print(f"systemd: systemd-analyze security --offline=true: {found.group(1)} {found.group(2)}", flush=True)
    check(float(found.group(1)) <= BEST_SCORE, f"the unit's exposure is {found.group(1)}, above {BEST_SCORE}")


def dependencies(deb):
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    return sorted(re.sub(r"\(.*?\)", "", part).strip() for part in depends.split(","))


def cached_root(deb):
    """The root's tarball, made once for each set of packages."""
    packages = ["systemd", "systemd-sysv", "dbus"] + dependencies(deb)
    key = hashlib.sha256(("bookworm apt " + " ".join(packages)).encode()).hexdigest()[:16]
    cache = os.path.join(ARGS.work, "cache")
    tarball = os.path.join(cache, f"root-{key}.tar")
    if os.path.exists(tarball):
        return tarball
    shutil.rmtree(cache, ignore_errors=True)
    os.makedirs(cache)
    print(f"systemd: making the throwaway root with mmdebstrap: {' '.join(packages)}", flush=True)
    scratch = tempfile.mkdtemp(dir=cache)
    os.chmod(scratch, 0o755)  # apt downloads as _apt
    made = run(["mmdebstrap", "--quiet", "--variant=apt", "--include=" + ",".join(packages), "bookworm",
                tarball[:-4] + ".new.tar"], env=dict(os.environ, TMPDIR=scratch))
    shutil.rmtree(scratch, ignore_errors=True)
    if not check(made.returncode == 0, f"mmdebstrap failed: {made.stderr[-800:]}"):
        return None
    os.replace(tarball[:-4] + ".new.tar", tarball)
    return tarball


class Machine:
    """The throwaway root with systemd running in it."""

    def __init__(self, tarball, board_tty):
        self.root = os.path.join(ARGS.work, "root")
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        subprocess.run(["tar", "-C", self.root, "-xf", tarball], check=True)
        os.symlink("/dev/null", self.path("/etc/systemd/system/console-getty.service"))
        self.launcher = subprocess.Popen(
            ["bash", "-c", LAUNCHER], env=dict(os.environ, ROOT=self.root, BOARD=board_tty, CGROUP=CGROUP),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.pid = None
        deadline = time.monotonic() + 30
        while self.pid is None and time.monotonic() < deadline and self.launcher.poll() is None:
            found = run(["pgrep", "-P", str(self.launcher.pid), "-x", "systemd"]).stdout.split()
            self.pid = int(found[0]) if found else None
            time.sleep(0.1)
        try:
            if self.pid is None:
                raise RuntimeError(f"systemd did not start: {self.launcher.stderr.read()}")
            state = wait_for("systemd to boot", lambda: self.inside(
                "systemctl", "is-system-running", "--wait", timeout=90).stdout.strip(), 60)
            print(f"systemd: booted in {self.root}: {state}", flush=True)
        except Exception:
            self.stop()
            raise

    def path(self, inside):
        return self.root + inside

    def inside(self, *command, timeout=60, user=None):
        prefix = ["nsenter", "-t", str(self.pid), "-a", "-r", "-w"]
        return run(prefix + (user or []) + ["env", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"] + list(command),
                   timeout=timeout)

    def write(self, inside, text, mode=0o644):
        os.makedirs(os.path.dirname(self.path(inside)), exist_ok=True)
        with open(self.path(inside), "w") as f:
            f.write(text)
        os.chmod(self.path(inside), mode)

    def processes(self, name):
        """The pids, as this machine numbers them, of the root's processes named name."""
        namespace = os.readlink(f"/proc/{self.pid}/ns/pid")
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/comm") as comm:
                    if comm.read().strip() == name and os.readlink(f"/proc/{pid}/ns/pid") == namespace:
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def show(self, *properties):
        out = self.inside("systemctl", "show", "octolatchd", "-p", ",".join(properties)).stdout
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def status(self):
        return self.inside("systemctl", "status", "--no-pager", "--lines=0", "octolatchd").stdout

    def http(self, method, path, body=None, token=None):
        """A request on the root's own loopback address: (status, body)."""
        script = ("import http.client,sys,json;c=http.client.HTTPConnection('127.0.0.1',8080,timeout=10);"
                  "a=json.loads(sys.argv[1]);c.request(a[0],a[1],a[2],a[3]);r=c.getresponse();"
                  "print(r.status);print(r.read().decode())")
        headers = {"Authorization": f"Bearer {token}"} if token else {}
        result = run(["nsenter", f"--net=/proc/{self.pid}/ns/net", "python3", "-c", script,
                      json.dumps([method, path, body, headers])], timeout=30)
        if result.returncode != 0:
            return 0, result.stderr.strip()[-200:]
        status, _, answer = result.stdout.partition("\n")
        return int(status), answer.strip()

    def stop(self):
        """Powers systemd off, or kills it by its pid if it lingers; every
        mount goes with its namespace."""
        if self.launcher.poll() is None and self.pid:
            self.inside("systemctl", "poweroff", "--no-block", timeout=30)
        try:
            self.launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.kill(self.pid or self.launcher.pid, signal.SIGKILL)
            self.launcher.wait(timeout=30)


def remove_cgroups():
    for hierarchy in os.listdir("/sys/fs/cgroup"):
        top = os.path.join("/sys/fs/cgroup", hierarchy, CGROUP)
        for directory, _, _ in sorted(os.walk(top), key=lambda entry: -entry[0].count("/")):
            try:
                os.rmdir(directory)
            except OSError as error:
                check(False, f"cgroup {directory} left: {error}")


def quote_status(machine, when):
    lines = [line.strip() for line in machine.status().splitlines()
             if re.match(r"\s*(Active|Condition|Process|Main PID):", line) or "Condition" in line]
    print(f"systemd: {when}:\n    " + "\n    ".join(lines), flush=True)
    return "\n".join(lines)


def wait_for(what, condition, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    return check(False, f"timed out waiting for {what}")


def bumped(deb):
    """The same package with a higher version, for an upgrade."""
    work = tempfile.mkdtemp(dir=ARGS.work)
    subprocess.run(["dpkg-deb", "-R", deb, os.path.join(work, "p")], check=True)
    control = os.path.join(work, "p", "DEBIAN", "control")
    with open(control) as f:
        text = re.sub(r"^Version: (.*)$", r"Version: \1+1", f.read(), flags=re.M)
    with open(control, "w") as f:
        f.write(text)
    subprocess.run(["dpkg-deb", "-b", "-Zgzip", os.path.join(work, "p"), os.path.join(work, "bumped.deb")],
                   check=True, capture_output=True)
    return os.path.join(work, "bumped.deb")


def configuration(extra=""):
    return (f'listen = "127.0.0.1:8080"\n{extra}\n[[board]]\nname = "bench"\nport = "/dev/ttyUSB0"\n'
            'outputs = 8\npower_on = "last"\n')


def scenario(machine, board):
    installed = machine.inside("dpkg", "-i", "/root/octolatch.deb", timeout=120)
    check(installed.returncode == 0, f"dpkg -i: {installed.stdout[-400:]}{installed.stderr[-400:]}")
    check(machine.inside("systemctl", "is-enabled", "octolatchd").stdout.strip() == "enabled",
          "the unit is not enabled after installation")
    shown = machine.show("ActiveState", "ConditionResult")
    check(shown == {"ActiveState": "inactive", "ConditionResult": "no"},
          f"without a configuration, after installation: {shown}")
    check("ConditionPathExists=/etc/octolatch/octolatchd.toml was not met" in
          quote_status(machine, "installed, no configuration"), "status does not say the configuration is missing")
    runtime = machine.inside("stat", "-c", "%A %U %G", "/run/octolatch").stdout.strip()
    check(runtime == "drwxrws--- root dialout", f"/run/octolatch is {runtime!r}")

    machine.write(CONFIGURATION, configuration())
    machine.write("/etc/systemd/system/octolatchd.service.d/virtual-register.conf", DROP_IN)
    machine.inside("systemctl", "daemon-reload")
    started = machine.inside("systemctl", "start", "octolatchd")
    check(started.returncode == 0, f"systemctl start: {started.stderr.strip()}")
    shown = machine.show("ActiveState", "SubState", "StatusErrno", "NRestarts")
    check(shown["ActiveState"] == "active" and shown["SubState"] == "running", f"started: {shown}")
    quote_status(machine, "configuration added, started")
    check(wait_for("a latch at start", board.latches), "nothing latched at start")
    # No token configured: the service made its own, and put a copy where
    # the dialout group, and only it, may read it.
    own = machine.inside("cat", "/run/octolatch/token").stdout.strip()
    rights = machine.inside("stat", "-c", "%A %G", "/run/octolatch/token").stdout.strip()
    check(len(own) == 32 and rights == "-rw-r----- dialout", f"the service's own token: {own!r}, {rights!r}")
    for token, expected in ((None, 401), (own, 200)):
        status, answer = machine.http("GET", "/api/boards", token=token)
        check(status == expected and (expected != 200 or '"bench"' in answer),
              f"GET /api/boards with {'the own token' if token else 'no token'}: {status} {answer}")
    journal = machine.inside("journalctl", "-u", "octolatchd", "--no-pager").stdout
    check("listening on http://127.0.0.1:8080/" in journal and "Started octolatchd.service" in journal,
          f"the journal lacks the start lines:\n{journal[-600:]}")
    limits = machine.inside("systemctl", "show", "-p", "LimitNOFILE,LimitNOFILESoft", "octolatchd").stdout.split()
    check("LimitNOFILE=65536" in limits, f"descriptor limits: {limits}")

    # Another account outside dialout cannot take the board's turn; a member hands over.
    lock = machine.inside(*INTRUDER, "flock", "-n", "/run/octolatch/ttyUSB0.lock", "true", user=[])
    check(lock.returncode != 0 and "Permission denied" in lock.stderr, f"an intruder's flock: {lock.stderr.strip()}")
    latches = len(board.latches())
    sent = machine.inside(*INTRUDER, "octolatch-send", "--state", "/tmp/intruder.state", "--wait", "0",
                          "/dev/ttyUSB0", "1=on")
    check(sent.returncode != 0 and len(board.latches()) == latches,
          f"an intruder's sender: exit {sent.returncode}, {sent.stderr.strip()}")
    sent = machine.inside(*DIALOUT_MEMBER, "octolatch-send", "--state", "/tmp/member.state", "/dev/ttyUSB0", "2=on")
    check(sent.returncode == 0 and board.latches()[-1] == 0x40,
          f"a dialout member's sender: exit {sent.returncode}, {sent.stderr.strip()}, latches {board.latches()}")

    # Credentials from /etc/credstore: the token guards the API, the MQTT
    # password (unreadable to the service's own account) lets it start.
    machine.write("/etc/credstore/octolatch-token", TOKEN + "\n", 0o600)
    machine.write("/etc/credstore/octolatch-mqtt-password", "broker-secret\n", 0o600)
    machine.write(CONFIGURATION, configuration(
        'token_file = "/etc/credstore/octolatch-token"\n[mqtt]\nhost = "127.0.0.1"\nport = 1\n'
        'username = "octolatch"\npassword_file = "/etc/credstore/octolatch-mqtt-password"\n'))
    restarted = machine.inside("systemctl", "restart", "octolatchd")
    check(restarted.returncode == 0, f"restart with credentials: {restarted.stderr.strip()}")
    quote_status(machine, "with a token and an MQTT password as credentials")
    for token, expected in ((None, 401), ("wrong", 401), (TOKEN, 200)):
        status, answer = machine.http("GET", "/api/boards", token=token)
        check(status == expected, f"GET /api/boards with token {token}: {status} {answer}, not {expected}")
    status, _ = machine.http("PUT", "/api/value", "0xA5", token=TOKEN)
    check(status == 200 and board.latches()[-1] == 0xA5, f"PUT /api/value 0xA5: {status}, {board.latches()[-3:]}")

    # A stop leaves the outputs latched; a killed service comes back with them.
    latches = len(board.latches())
    stopped = machine.inside("systemctl", "stop", "octolatchd")
    shown = machine.show("ActiveState", "Result", "ExecMainStatus")
    check(stopped.returncode == 0 and shown == {"ActiveState": "inactive", "Result": "success", "ExecMainStatus": "0"},
          f"stopped: {shown}")
    check(len(board.latches()) == latches, f"the stop latched {board.latches()[latches:]}")
    quote_status(machine, "stopped")
    machine.inside("systemctl", "start", "octolatchd")
    first = machine.show("MainPID")["MainPID"]
    latches = len(board.latches())
    machine.inside("systemctl", "kill", "--kill-who=main", "--signal=KILL", "octolatchd")
    wait_for("a restart after kill -9", lambda: machine.show("MainPID", "ActiveState")["MainPID"] not in (first, "0")
             and machine.show("ActiveState")["ActiveState"] == "active")
    shown = machine.show("NRestarts", "ActiveState")
    check(shown == {"NRestarts": "1", "ActiveState": "active"}, f"after kill -9: {shown}")
    # A pty keeps TIOCEXCL while its master is open, where a real device's
    # last close ends it: the test ends it as that close would.
    exclusive = os.open(board.host_tty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    fcntl.ioctl(exclusive, termios.TIOCNXCL)
    os.close(exclusive)
    check(wait_for("the outputs restored", lambda: board.latches()[latches:] == [0xA5]),
          f"after kill -9 latched {board.latches()[latches:]}, not 0xA5 alone:\n" +
          machine.inside("journalctl", "-u", "octolatchd", "--no-pager", "-n", "12").stdout)
    quote_status(machine, "restarted after kill -9")

    # Upgrade, remove, purge.
    before = machine.show("MainPID")["MainPID"]
    with open(machine.path(CONFIGURATION)) as f:
        written = f.read()
    upgraded = machine.inside("dpkg", "-i", "/root/octolatch-bumped.deb", timeout=120)
    after = machine.show("MainPID", "ActiveState")
    check(upgraded.returncode == 0 and after["ActiveState"] == "active" and after["MainPID"] != before,
          f"upgrade: exit {upgraded.returncode}, {after} (was {before})")
    with open(machine.path(CONFIGURATION)) as f:
        check(f.read() == written, "the upgrade changed the configuration")
    quote_status(machine, "upgraded")
    removed = machine.inside("dpkg", "-r", "octolatch", timeout=120)
    check(removed.returncode == 0, f"dpkg -r: {removed.stderr.strip()}")
    check(not machine.processes("octolatchd"), f"octolatchd runs after removal: {machine.processes('octolatchd')}")
    left = [path for path in ("/usr/bin/octolatchd", "/usr/lib/systemd/system/octolatchd.service", "/run/octolatch")
            if os.path.lexists(machine.path(path))]
    check(not left, f"removal left {left}")
    kept = [path for path in (CONFIGURATION, "/var/lib/private/octolatch") if not os.path.exists(machine.path(path))]
    check(not kept, f"removal took {kept}")
    purged = machine.inside("dpkg", "-P", "octolatch", timeout=120)
    check(purged.returncode == 0, f"dpkg -P: {purged.stderr.strip()}")
    left = [path for path in ("/var/lib/octolatch", "/var/lib/private/octolatch",
                              "/etc/systemd/system/multi-user.target.wants/octolatchd.service",
                              "/var/lib/systemd/deb-systemd-helper-enabled/octolatchd.service.dsh-also",
                              "/var/lib/systemd/deb-systemd-helper-masked/octolatchd.service")
            if os.path.lexists(machine.path(path))]
    check(not left, f"purge left {left}")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True)
    parser.add_argument("--register", required=True)
    parser.add_argument("--work", required=True)
    ARGS = parser.parse_args()
    ARGS.work = os.path.abspath(ARGS.work)
    began = time.monotonic()
    os.makedirs(ARGS.work, exist_ok=True)
    unpacked = tempfile.mkdtemp(dir=ARGS.work)
    try:
        subprocess.run(["dpkg-deb", "-x", ARGS.deb, unpacked], check=True)
        security_score(os.path.join(unpacked, "usr/lib/systemd/system/octolatchd.service"))
    finally:
        shutil.rmtree(unpacked, ignore_errors=True)
    if os.geteuid() != 0:
        print(f"systemd: the throwaway root, its systemd and the package's scripts need root; skipped as uid {os.geteuid()}")
    else:
        tarball = cached_root(ARGS.deb)
        if tarball:
            board = Port(os.path.join(ARGS.work, "root", REGISTER_DIR.lstrip("/")), "bench")
            machine = None
            try:
                os.chown(board.tty, 0, 20)
                os.chmod(board.tty, 0o660)
                machine = Machine(tarball, board.tty)
                os.makedirs(machine.path(REGISTER_DIR), mode=0o777, exist_ok=True)
                os.chmod(machine.path(REGISTER_DIR), 0o777)
                board.dir = machine.path(REGISTER_DIR)
                board.host_tty, board.tty = board.tty, "/dev/ttyUSB0"
                declare_ports(board.dir, [board])
                os.makedirs(machine.path("/usr/local/lib/octolatch-test"), exist_ok=True)
                shutil.copy(ARGS.register, machine.path("/usr/local/lib/octolatch-test/libvirtual_register.so"))
                shutil.copy(ARGS.deb, machine.path("/root/octolatch.deb"))
                shutil.copy(bumped(ARGS.deb), machine.path("/root/octolatch-bumped.deb"))
                scenario(machine, board)
            finally:
                if machine:
                    machine.stop()
                remove_cgroups()
                os.close(board.master)
    print(f"systemd: {time.monotonic() - began:.0f} s")
    print(f"systemd: {0 if PROBLEMS else 1} passed, {1 if PROBLEMS else 0} failed")
    return 1 if PROBLEMS else 0


if __name__ == "__main__":
    sys.exit(main())
