#!/usr/bin/python3
"""End-to-end tests of a board's rules in octolatchd, through every door.

Interlocks with their dead time, auto-off, pulses that end although the
adapter went away, several outputs at once on MQTT and the hand-off; the
hand-off's own limits; and the property test: thousands of random changes
from the sender, MQTT and HTTP at once, after which every latched value the
virtual register saw is checked against the interlocks.

Usage: rules_e2e.py --service PATH --sender PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time

from mqtt_e2e import Broker, Watcher
from runner import run_tests
from service_session import Service
from virtual_ports import check, wait_until

ARGS = None
TESTS = []
NOBODY = 65534


def test(function):
    TESTS.append(function)
    return function


def bit(output, outputs=8):
    return 1 << (outputs - output)


def interlocks(*groups):
    """[[board.interlock]] tables for (outputs, dead_time_ms) pairs."""
    return "\n".join(f"[[board.interlock]]\noutputs = {list(members)}\ndead_time_ms = {dead}"
                     for members, dead in groups)


def session(name, boards, broker=None, more_mqtt=""):
    """A service whose boards' sockets are in a runtime directory of the
    test's own, on a broker where one is given."""
    directory = os.path.join(os.path.abspath(ARGS.work), name)
    shutil.rmtree(directory, ignore_errors=True)
    runtime = os.path.join(directory, "run")
    os.makedirs(runtime)
    extra = broker.mqtt_settings(f"rules-{name}") + "\n" + more_mqtt if broker else ""
    s = Service(directory, boards, os.path.abspath(ARGS.service), os.path.abspath(ARGS.register), extra=extra,
                env={"OCTOLATCH_RUNTIME_DIR": runtime})
    s.runtime = runtime
    return s


def sender(s, *args, stdin=None, user=None):
    """octolatch-send beside the service, as a script would run it (as
    another account with user): (exit, stdout, stderr)."""
    prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] if user else []
    result = subprocess.run(prefix + [os.path.abspath(ARGS.sender)] + [str(a) for a in args], input=stdin,
                            capture_output=True, text=True, timeout=120,
                            env=dict(s.environment(), XDG_STATE_HOME=os.path.join(s.dir, "sender-state")))
    return result.returncode, result.stdout, result.stderr


def latch_times(port, since=0):
    """(nanoseconds, value) of each latch from the since-th on."""
    return [(t, int(a, 16)) for t, what, a in port.events() if what == "LATCH"][since:]


def wait_for_socket(s):
    wait_until("the board's socket", lambda: any(f.endswith(".socket") for f in os.listdir(s.runtime)), 10, 0.02)


# ----------------------------------------------------------------- tests

@test
def interlocks_auto_off_and_several_outputs_on_every_door():
    directory = os.path.join(os.path.abspath(ARGS.work), "doors-broker")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    broker = Broker(directory).start()
    watcher = Watcher(broker)
    more = "[board.output.3]\nauto_off_ms = 600\n" + interlocks(([1, 2], 400), ([4, 5], 0))
    s = session("doors", [{"name": "blind", "more": more}], broker)
    try:
        s.start()
        s.wait_for_log("mqtt: connected")
        port, link = s.ports["blind"], s.link("blind")
        check(s.request("POST", "/api/boards/blind/outputs/1", "ON")[0] == 200, "1 on")
        # Reversing: 1 off, then 2 on no sooner than the dead time, answered once 2 is on.
        since, started = len(port.latches()), time.monotonic()
        status = s.request("POST", "/api/boards/blind/outputs/2", "ON")[0]
        answered = time.monotonic() - started
        latched = latch_times(port, since)
        check(status == 200 and [v for _, v in latched] == [0x00, 0x40], f"2 on: {status}, {latched}")
        check((latched[1][0] - latched[0][0]) / 1e6 >= 400 and answered >= 0.4,
              f"2 on {(latched[1][0] - latched[0][0]) / 1e6:.0f} ms after 1 went off, answered after {answered:.2f} s")
        # Two members on at once: refused at every door, nothing sent.
        since = len(port.latches())
        status, _, body = s.request("PUT", "/api/boards/blind/value", "0xC0")
        check(status == 409 and "interlocked" in body, f"PUT 0xC0: {status} {body!r}")
        code, _, err = sender(s, link, "0x18")
        check(code == 1 and "interlocked" in err, f"the sender's 0x18: {code} {err!r}")
        watcher.publish("octolatch/blind/set", "1=on 2=on")
        time.sleep(0.5)
        check(len(port.latches()) == since, f"a refused change was latched: {port.latches()[since:]}")
        # Auto-off: an ON from HTTP ends by itself.
        status = s.request("POST", "/api/boards/blind/outputs/3", "ON")[0]
        wait_until("3's auto-off", lambda: port.latches()[-1] == 0x40, 5, 0.01)
        on_off = latch_times(port, since)
        held = (on_off[-1][0] - on_off[-2][0]) / 1e6
        check(status == 200 and [v for _, v in on_off] == [0x60, 0x40] and 600 <= held < 750,
              f"3 on then off: {status}, {on_off}, held {held:.0f} ms")
        # Several outputs in one transmission on MQTT and the hand-off; 5 on takes 4 off with it.
        for door, items, value in (("mqtt", "4=on 6=on 2=off", 0x14), ("hand-off", "5=on 7=true 6=off", 0x0A)):
            since = len(port.latches())
            if door == "mqtt":
                watcher.publish("octolatch/blind/set", items)
            else:
                code, _, err = sender(s, link, *items.split())
                check(code == 0, f"the sender's {items}: {code} {err!r}")
            wait_until(f"{door}: 0x{value:02X}", lambda: value in port.latches()[since:], 5, 0.01)
            time.sleep(0.2)
            check(port.latches()[since:] == [value], f"{door} {items}: latched {port.latches()[since:]}")
    finally:
        s.close()
        watcher.close()
        broker.stop()


@test
def a_pulse_ends_although_the_adapter_went_away_during_it():
    s = session("unplugged-pulse", [{"name": "door"}])
    try:
        s.start()
        port = s.ports["door"]
        status = s.request("POST", "/api/boards/door/outputs/2/pulse?ms=400")[0]
        check(status == 200 and port.latches()[-1] == 0x40, f"the pulse's ON: {status} {port.latches()}")
        time.sleep(0.1)
        gone = len(port.latches())
        mark = s.mark()
        s.unplug("door")
        time.sleep(1.0)
        s.plug("door")
        s.wait_until_available("door", since=mark)
        wait_until("the pulse's OFF", lambda: 0x00 in port.latches()[gone:], 5, 0.01)
        time.sleep(0.3)
        after = port.latches()[gone:]
        check(all(v & 0x40 == 0 for v in after), f"the pulse's ON was sent again: {after}")
        status, _, body = s.request("GET", "/api/boards/door/outputs/2")
        check(status == 200 and "OFF" in body, f"output 2 afterwards: {status} {body!r}")
    finally:
        s.close()


GROUPS = [([1, 2], 120), ([2, 3], 0), ([5, 6, 7], 60), ([7, 8], 0)]


def violations(latched, groups, outputs=8):
    """Each latched value that has two members of a group on, and each ON
    of a member latched sooner than the dead time after another member was
    latched off: a list of texts."""
    found, before, off_at = [], 0, {}
    for t, value in latched:
        for members, _ in groups:
            on = [k for k in members if value & bit(k, outputs)]
            if len(on) > 1:
                found.append(f"0x{value:02X}: {on} on together")
        for k in range(1, outputs + 1):
            if before & bit(k) and not value & bit(k):
                off_at[k] = t
        for k in range(1, outputs + 1):
            if value & bit(k) and not before & bit(k):
                for members, dead in groups:
                    late = [m for m in members if m != k and m in off_at and t - off_at[m] < dead * 1_000_000]
                    if k in members and late:
                        found.append(f"0x{value:02X}: {k} on {(t - off_at[late[0]]) / 1e6:.1f} ms after "
                                     f"{late[0]} went off (dead time {dead} ms)")
        before = value
    return found


def random_items(rng, count):
    return " ".join(f"{rng.randint(1, 8)}={rng.choice(['on', 'off', 'toggle', 'true', '0'])}"
                    for _ in range(count))


@test
def property_random_changes_from_every_door_never_break_an_interlock():
    directory = os.path.join(os.path.abspath(ARGS.work), "property-broker")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    broker = Broker(directory).start()
    watcher = Watcher(broker)
    s = session("property", [{"name": "prop", "more": interlocks(*GROUPS)}], broker)
    seed = int(os.environ.get("RULES_SEED", time.time_ns() % 100000))
    print(f"property: seed {seed} (RULES_SEED repeats it)", flush=True)
    rng = random.Random(seed)
    counts = {"http": 0, "http refused": 0, "mqtt": 0, "sender": 0, "sender refused": 0}
    lock = threading.Lock()
    stop = threading.Event()

    def count(what, n=1):
        with lock:
            counts[what] += n

    def http(seed):
        r = random.Random(seed)
        while not stop.is_set():
            if r.random() < 0.2:
                status = s.request("PUT", "/api/boards/prop/value", f"0x{r.randrange(256):02X}")[0]
            else:
                status = s.request("POST", f"/api/boards/prop/outputs/{r.randint(1, 8)}",
                                   r.choice(["ON", "OFF", "TOGGLE"]))[0]
            count("http")
            if status != 200:
                count("http refused")

    def mqtt(seed):
        r = random.Random(seed)
        while not stop.is_set():
            if r.random() < 0.3:
                watcher.publish("octolatch/prop/set", random_items(r, r.randint(1, 3)))
            else:
                watcher.publish(f"octolatch/prop/{r.randint(1, 8)}/set", r.choice(["ON", "OFF", "TOGGLE", "1"]))
            count("mqtt")
            time.sleep(0.003)

    def hand_off(seed):
        r = random.Random(seed)
        while not stop.is_set():
            lines = [random_items(r, r.randint(1, 3)) if r.random() < 0.9 else f"0x{r.randrange(256):02X}"
                     for _ in range(40)]
            code, _, err = sender(s, s.link("prop"), "-", stdin="\n".join(lines) + "\n")
            count("sender", len(lines))
            if code != 0:
                check(code == 1 and "interlocked" in err, f"the sender: {code} {err!r}")
                count("sender refused")

    try:
        s.start()
        s.wait_for_log("mqtt: connected")
        wait_for_socket(s)
        port = s.ports["prop"]
        drivers = [threading.Thread(target=f, args=(rng.random(),), daemon=True)
                   for f in (http, http, http, mqtt, hand_off)]
        for driver in drivers:
            driver.start()
        time.sleep(20)
        stop.set()
        for driver in drivers:
            driver.join(60)
        time.sleep(1)
        latched = latch_times(port)
        found = violations(latched, GROUPS)
        changes = counts["http"] + counts["mqtt"] + counts["sender"]
        print(f"property: {changes} changes ({counts['http']} HTTP, {counts['http refused']} refused; "
              f"{counts['mqtt']} MQTT; {counts['sender']} sender lines, {counts['sender refused']} runs refused), "
              f"{len(latched)} latched values, {len(found)} violations", flush=True)
        check(not found, f"{len(found)} violations, the first: {found[:5]}")
        check(changes >= 2000 and len(latched) >= 200, f"only {changes} changes, {len(latched)} latched")
        check(port.transmissions() == [v for _, v in latched], "a transmission was not whole")
    finally:
        stop.set()
        s.close()
        watcher.close()
        broker.stop()


# ------------------------------------------------------- the hand-off's limits

@test
def hand_off_a_pulse_is_answered_as_soon_as_its_off_is_latched():
    s = session("pulse-answer", [{"name": "gate"}])
    try:
        s.start()
        wait_for_socket(s)
        code, _, err = sender(s, s.link("gate"), "3=pulse:200ms")
        returned = time.monotonic_ns()
        off = latch_times(s.ports["gate"])[-1]
        late = (returned - off[0]) / 1e6
        check(code == 0 and off[1] == 0x00 and late < 300, f"exit {code} {err!r}; returned {late:.0f} ms after the OFF")
    finally:
        s.close()


@test
def hand_off_more_than_32_senders_at_once_are_turned_away():
    s = session("crowd", [{"name": "gate"}])
    connections = []
    try:
        s.start()
        wait_for_socket(s)
        path = next(os.path.join(s.runtime, f) for f in os.listdir(s.runtime) if f.endswith(".socket"))
        for _ in range(33):
            connection = socket.socket(socket.AF_UNIX)
            connection.connect(path)  # blocking: waits while the backlog is full
            connection.settimeout(3)
            connections.append(connection)
        try:
            extra = connections[32].recv(200)
        except socket.timeout:
            extra = b"(nothing within 3 s)"
        check(extra.startswith(b"1 octolatchd is busy"), f"the 33rd sender was told {extra!r}")
        connections[0].sendall(b"hello\n")
        check(connections[0].recv(200).startswith(b"0 8"), "the first sender is not served")
    finally:
        for connection in connections:
            connection.close()
        s.close()


@test
def hand_off_refuses_the_devices_owner_when_its_mode_does():
    if os.getuid() != 0:
        print("skipped: needs root to run a sender as another account")
        return
    s = session("owner", [{"name": "gate"}])
    try:
        s.start()
        wait_for_socket(s)
        tty = s.ports["gate"].tty
        os.chown(tty, NOBODY, 0)
        os.chmod(tty, 0o060)  # the owner may not, the group (root's) may
        os.chmod(s.dir, 0o755)
        mark = s.mark()
        code, _, err = sender(s, s.link("gate"), "1=on", user=NOBODY)
        check(code == 1 and "ermission denied" in err, f"the owner's sender: {code} {err!r}")
        s.wait_for_log("refused octolatch-send, uid 65534", since=mark, timeout=5)
        check(s.ports["gate"].latches()[-1:] in ([], [0x00]), "the refused sender's ON was latched")
    finally:
        s.close()


@test
def mqtt_topic_prefix_is_where_commands_and_states_are():
    directory = os.path.join(os.path.abspath(ARGS.work), "prefix-broker")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    broker = Broker(directory).start()
    watcher = Watcher(broker)
    s = session("prefix", [{"name": "shed"}], broker, 'topic_prefix = "house/relays"')
    try:
        s.start()
        s.wait_for_log("mqtt: connected")
        watcher.wait_for("house/relays/shed/3", "OFF")
        mark = watcher.mark()
        watcher.publish("house/relays/shed/3/set", "ON")
        wait_until("3 on", lambda: s.ports["shed"].latches()[-1:] == [0x20], 5, 0.01)
        watcher.wait_for("house/relays/shed/3", "ON", since=mark)
        check(not any(t.startswith("octolatch/") for t, _, _ in watcher.since(0)), "a topic under octolatch/")
    finally:
        s.close()
        watcher.close()
        broker.stop()


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--sender", required=True)
    parser.add_argument("--register", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("-k", default="", help="only the tests whose name holds this")
    ARGS = parser.parse_args()
    return run_tests(TESTS, ARGS.k, "the board's rules end to end")


if __name__ == "__main__":
    sys.exit(main())
