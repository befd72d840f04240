#!/usr/bin/python3
"""End-to-end tests of octolatchd on MQTT.

Each test starts a real broker (Debian's mosquitto) on a free loopback port,
with a password file and, for TLS, certificates made here with openssl; runs
the service on virtual boards (pseudo-terminals with the virtual register
preloaded) and drives it as Home Assistant would, with paho-mqtt. What the
wire saw comes from the register's event log.

Usage: mqtt_e2e.py --service PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import json
import os
import pwd
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import paho.mqtt.client as paho

from runner import run_tests
from service_session import MOSQUITTO, Service
from virtual_ports import check, wait_until

ARGS = None
TESTS = []
SERVICE_USER, SERVICE_PASSWORD = "octolatch", "latch-secret"
TESTER_USER, TESTER_PASSWORD = "tester", "tester-secret"
# What Home Assistant's discovery takes (its documented MQTT platforms).
HA_PLATFORMS = {"alarm_control_panel", "binary_sensor", "button", "camera", "climate", "cover", "device_automation",
                "device_tracker", "event", "fan", "humidifier", "image", "lawn_mower", "light", "lock", "notify",
                "number", "scene", "select", "sensor", "siren", "switch", "tag", "text", "update", "vacuum", "valve",
                "water_heater"}
HA_DISCOVERY_TOPIC = re.compile(
    r"(?P<component>\w+)/(?:(?P<node_id>[a-zA-Z0-9_-]+)/)?(?P<object_id>[a-zA-Z0-9_-]+)/config")


def test(function):
    TESTS.append(function)
    return function


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def fresh_directory(*parts):
    path = os.path.join(os.path.abspath(ARGS.work), *parts)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# ---------------------------------------------------------------- broker

class Broker:
    """mosquitto on a loopback port, with a password file; with tls (a dict
    of cafile, certfile, keyfile) it listens with TLS only."""

    def __init__(self, directory, tls=None, port=None):
        self.dir = directory
        self.port = port or free_port()
        self.tls = tls
        self.process = None
        self.passwords = os.path.join(directory, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", self.passwords, SERVICE_USER, SERVICE_PASSWORD], check=True)
        subprocess.run(["mosquitto_passwd", "-b", self.passwords, TESTER_USER, TESTER_PASSWORD], check=True)
        self.log = os.path.join(directory, "broker.log")
        lines = [f"listener {self.port} 127.0.0.1", "allow_anonymous false", f"password_file {self.passwords}",
                 "persistence false", f"user {pwd.getpwuid(os.getuid()).pw_name}", f"log_dest file {self.log}",
                 "log_type error", "log_type warning", "log_type notice", "log_type information",
                 "log_type subscribe"]
        if tls:
            lines += [f"cafile {tls['cafile']}", f"certfile {tls['certfile']}", f"keyfile {tls['keyfile']}"]
        self.config = os.path.join(directory, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        def listening():
            check(self.process.poll() is None, f"the broker ended: see {self.log}")
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.port)) == 0
        wait_until("the broker to listen", listening, 10, 0.02)
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)

    def log_lines(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def subscriptions(self, client_id):
        """The topic filters client_id subscribed to, as the broker logged them."""
        found = set()
        for line in self.log_lines():
            parts = line.split()
            if len(parts) == 4 and parts[1] == client_id and parts[2] in ("0", "1", "2"):
                found.add(parts[3])
        return found

    def mqtt_settings(self, client_id, password=SERVICE_PASSWORD, ca_file=None, port=None, discovery=True):
        """The service's [mqtt] table for this broker."""
        password_file = os.path.join(self.dir, f"password-{client_id}")
        with open(password_file, "w") as f:
            f.write(password + "\n")
        os.chmod(password_file, 0o600)
        lines = ["[mqtt]", 'host = "127.0.0.1"', f"port = {port or self.port}", f'username = "{SERVICE_USER}"',
                 f'password_file = "{password_file}"', f'client_id = "{client_id}"']
        if ca_file:
            lines.append(f'ca_file = "{ca_file}"')
        if not discovery:
            lines.append('discovery_prefix = ""')
        return "\n".join(lines)


class Watcher:
    """A client of the broker that sees every message, as Home Assistant and
    a user's scripts would, and publishes commands."""

    def __init__(self, broker, ca_file=None):
        self.messages = []  # (topic, payload, retain), in arrival order
        self.lock = threading.Lock()
        self.client = paho.Client(client_id=f"watcher-{random.randrange(1 << 30)}", clean_session=True)
        self.client.username_pw_set(TESTER_USER, TESTER_PASSWORD)
        if ca_file:
            self.client.tls_set(ca_certs=ca_file)
        self.client.on_message = self._arrived
        self.subscribed = threading.Event()
        self.client.on_subscribe = lambda *_: self.subscribed.set()
        self.client.connect("127.0.0.1", broker.port, keepalive=30)
        self.client.subscribe("#", qos=1)
        self.client.loop_start()
        check(self.subscribed.wait(10), "the watcher was not subscribed")

    def _arrived(self, client, userdata, message):
        with self.lock:
            self.messages.append((message.topic, message.payload, message.retain))

    def mark(self):
        with self.lock:
            return len(self.messages)

    def since(self, mark=0, topic=None):
        with self.lock:
            return [m for m in self.messages[mark:] if topic is None or m[0] == topic]

    def wait_for(self, topic, payload=None, since=0, timeout=10):
        """The first message on topic (with payload, bytes or text) from since on."""
        wanted = payload.encode() if isinstance(payload, str) else payload
        return wait_until(f"{topic} = {payload!r}",
                          lambda: next((m for m in self.since(since, topic) if wanted is None or m[1] == wanted),
                                       None), timeout, 0.01)

    def latest(self, topic):
        found = self.since(0, topic)
        return found[-1][1].decode() if found else None

    def publish(self, topic, payload, qos=1, retain=False):
        info = self.client.publish(topic, payload, qos=qos, retain=retain)
        info.wait_for_publish(10)
        return info

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def mqtt_service(name, broker, boards, client_id, **settings):
    directory = fresh_directory(name, client_id)
    return Service(directory, boards, os.path.abspath(ARGS.service), os.path.abspath(ARGS.register),
                   extra=broker.mqtt_settings(client_id, **settings))


def wait_for_latch(port, value, since, timeout=10):
    return wait_until(f"{port.name} to latch 0x{value:02X}", lambda: value in port.latches()[since:], timeout, 0.01)


def whole_transmissions(port):
    """Checks that every transmission on port was whole, once the last has
    ended (the strobe falls a millisecond after the latch)."""
    def last_line_change():
        return [e[1:] for e in port.events() if e[1] in ("DTR", "RTS", "BREAK", "LATCH")][-1:]
    wait_until(f"{port.name}'s strobe to fall", lambda: last_line_change() == [("RTS", "0")], 5, 0.01)
    return port.transmissions()


def check_discovery(topic, payload, board, outputs, names, pulse_ms, client_id):
    """Reads a discovery message as Home Assistant does and checks it field
    by field against its documented device-discovery schema: the topic,
    device (an identifier at least), origin (a name), components (each with a
    platform it knows and a unique_id), shared availability and qos; then
    what each switch and button says against what the service does."""
    match = HA_DISCOVERY_TOPIC.fullmatch(topic[len("homeassistant/"):])
    check(topic.startswith("homeassistant/") and match and match["component"] == "device",
          f"{topic} is not a device discovery topic")
    check(match["object_id"] == f"octolatch_{board}" and match["node_id"] is None, f"object id in {topic}")
    config = json.loads(payload)
    check(isinstance(config, dict), "the payload is no JSON object")
    device = config.get("device")
    check(isinstance(device, dict) and isinstance(device.get("identifiers"), list) and device["identifiers"]
          and all(isinstance(i, str) for i in device["identifiers"]), f"device without identifiers: {device}")
    check(device["identifiers"] == [f"octolatch_{board}"] and device.get("name") == board
          and device.get("model") == "Octolatch" and isinstance(device.get("sw_version"), str)
          and re.fullmatch(r"\d+\.\d+\.\d+", device["sw_version"]), f"device {device}")
    origin = config.get("origin")
    check(isinstance(origin, dict) and isinstance(origin.get("name"), str) and origin["name"],
          f"origin without a name: {origin}")
    check(origin.get("sw_version") == device["sw_version"], f"origin {origin}")
    availability = config.get("availability")
    check(isinstance(availability, list) and all(isinstance(a, dict) and isinstance(a.get("topic"), str)
                                                 for a in availability), f"availability {availability}")
    check([a["topic"] for a in availability] == [f"octolatch/service/{client_id}/availability",
                                                 f"octolatch/{board}/availability"],
          f"availability topics {availability}")
    check(all(a.get("payload_available", "online") == "online" and
              a.get("payload_not_available", "offline") == "offline" for a in availability),
          f"availability payloads {availability}")
    check(config.get("availability_mode") == "all", f"availability_mode {config.get('availability_mode')}")
    check(config.get("qos") in (0, 1, 2), f"qos {config.get('qos')}")
    components = config.get("components")
    check(isinstance(components, dict), "no components")
    unique_ids = [c.get("unique_id") for c in components.values()]
    check(all(isinstance(u, str) and u for u in unique_ids) and len(set(unique_ids)) == len(unique_ids),
          f"unique ids {unique_ids}")
    check(all(c.get("platform") in HA_PLATFORMS for c in components.values()), "a platform Home Assistant lacks")
    switches = {c["unique_id"]: c for c in components.values() if c["platform"] == "switch"}
    buttons = {c["unique_id"]: c for c in components.values() if c["platform"] == "button"}
    check(len(switches) == outputs and len(buttons) == (outputs if pulse_ms else 0) and
          len(components) == len(switches) + len(buttons), f"{len(switches)} switches, {len(buttons)} buttons")
    for output in range(1, outputs + 1):
        switch = switches.get(f"octolatch_{board}_{output}")
        check(switch is not None, f"no switch for output {output}")
        expected = {"name": names.get(output, f"Output {output}"),
                    "command_topic": f"octolatch/{board}/{output}/set", "state_topic": f"octolatch/{board}/{output}"}
        check({k: switch.get(k) for k in expected} == expected, f"switch {switch}")
        # What the service publishes and takes must be what Home Assistant sends and reads.
        check(switch.get("payload_on", "ON") == "ON" and switch.get("payload_off", "OFF") == "OFF"
              and switch.get("state_on", "ON") == "ON" and switch.get("state_off", "OFF") == "OFF",
              f"switch payloads {switch}")
        check(not any(c in switch["command_topic"] for c in "+#"), "a wildcard in a command topic")
        if pulse_ms:
            button = buttons.get(f"octolatch_{board}_{output}_pulse")
            check(button is not None and button.get("command_topic") == f"octolatch/{board}/{output}/set"
                  and button.get("payload_press") == f"PULSE {pulse_ms}"
                  and button.get("name") == names.get(output, f"Output {output}") + " pulse", f"button {button}")


# ----------------------------------------------------------------- tests

@test
def discovery_states_commands_and_bad_commands():
    broker = Broker(fresh_directory("discovery", "broker")).start()
    watcher = Watcher(broker)
    service = mqtt_service("discovery", broker, [{"name": "kitchen", "pulse_ms": 300, "names": {3: "Pump"}},
                                                 {"name": "hall", "outputs": 16}], "octolatch-one")
    try:
        service.start()
        kitchen, hall = service.ports["kitchen"], service.ports["hall"]
        service.wait_for_log("mqtt: connected")
        # Discovery as Home Assistant reads it, and every state once at start.
        for board, outputs, names, pulse in (("kitchen", 8, {3: "Pump"}, 300), ("hall", 16, {}, 0)):
            topic = f"homeassistant/device/octolatch_{board}/config"
            check_discovery(topic, watcher.wait_for(topic)[1], board, outputs, names, pulse, "octolatch-one")
            check(topic in retained(broker), f"{topic} is not retained")
            watcher.wait_for(f"octolatch/{board}/availability", "online")
            for output in range(1, outputs + 1):
                watcher.wait_for(f"octolatch/{board}/{output}", "OFF")
            watcher.wait_for(f"octolatch/{board}/value", "0x" + "0" * (outputs // 4))
        watcher.wait_for("octolatch/service/octolatch-one/availability", "online")
        check(broker.subscriptions("octolatch-one") == {"octolatch/kitchen/+/set", "octolatch/hall/+/set",
                                                        "octolatch/kitchen/set", "octolatch/hall/set",
                                                        "homeassistant/status"},
              f"subscribed to {broker.subscriptions('octolatch-one')}")

        # Commands, each latched and published as retained state.
        steps = [("octolatch/kitchen/3/set", "ON", kitchen, 0x20, {"octolatch/kitchen/3": "ON"}),
                 ("octolatch/kitchen/5/set", "toggle", kitchen, 0x28, {"octolatch/kitchen/5": "ON"}),
                 ("octolatch/kitchen/3/set", "OFF", kitchen, 0x08, {"octolatch/kitchen/3": "OFF"}),
                 # Several outputs in one transmission, and the words Node-RED and Tasmota users send.
                 ("octolatch/kitchen/set", "3=on 5=false 8=TOGGLE", kitchen, 0x21,
                  {"octolatch/kitchen/3": "ON", "octolatch/kitchen/5": "OFF", "octolatch/kitchen/8": "ON"}),
                 ("octolatch/kitchen/8/set", "false", kitchen, 0x20, {"octolatch/kitchen/8": "OFF"}),
                 ("octolatch/kitchen/3/set", "0", kitchen, 0x00, {"octolatch/kitchen/3": "OFF"}),
                 ("octolatch/kitchen/5/set", "1", kitchen, 0x08, {"octolatch/kitchen/5": "ON"}),
                 ("octolatch/hall/value/set", "0x8001", hall, 0x8001,
                  {"octolatch/hall/1": "ON", "octolatch/hall/16": "ON", "octolatch/hall/value": "0x8001"})]
        for topic, payload, port, value, states in steps:
            mark, latched = watcher.mark(), len(port.latches())
            watcher.publish(topic, payload)
            wait_for_latch(port, value, latched)
            for state_topic, state in states.items():
                watcher.wait_for(state_topic, state, since=mark)
        check(watcher.latest("octolatch/kitchen/value") == "0x08", "kitchen's value")
        check(retained(broker).get("octolatch/kitchen/5") == "ON", "kitchen/5 not retained ON")

        # A pulse: on, and off by itself; the configured length and one given.
        for payload, length in (("PULSE 150", 150), ("PULSE", 300)):
            mark, latched = watcher.mark(), len(kitchen.latches())
            watcher.publish("octolatch/kitchen/1/set", payload)
            wait_for_latch(kitchen, 0x88, latched)
            watcher.wait_for("octolatch/kitchen/1", "ON", since=mark)
            wait_for_latch(kitchen, 0x08, latched)
            watcher.wait_for("octolatch/kitchen/1", "OFF", since=mark)
            times = [t for t, what, _ in kitchen.events() if what == "LATCH"][latched:]
            held = (times[1] - times[0]) / 1e6
            check(length <= held < length + 150, f"{payload}: held {held:.0f} ms")

        # HTTP and MQTT see one board.
        mark = watcher.mark()
        status, _, _ = service.request("POST", "/api/boards/kitchen/outputs/7", "ON")
        check(status == 200, f"HTTP switch: {status}")
        watcher.wait_for("octolatch/kitchen/7", "ON", since=mark)
        status, _, body = service.request("GET", "/api/boards/hall/value")
        check((status, body.strip()) == (200, "0x8001"), f"HTTP reads {status} {body!r}")

        # Bad commands: logged, reported, nothing sent.
        bad = [("octolatch/kitchen/3/set", "OPEN", "bad command 'OPEN'"),
               ("octolatch/kitchen/3/set", "ON NOW", "bad command 'ON NOW'"),
               ("octolatch/kitchen/3/set", "O" * 100, "a command of 100 bytes"),
               ("octolatch/kitchen/3/set", b"\x00\x01\xfe", "is not text"),
               ("octolatch/kitchen/9/set", "ON", "no output '9'"),
               ("octolatch/kitchen/0/set", "ON", "no output '0'"),
               ("octolatch/hall/17/set", "ON", "no output '17'"),
               ("octolatch/kitchen/all/set", "ON", "no output 'all'"),
               ("octolatch/hall/2/set", "PULSE", "no pulse length"),
               ("octolatch/kitchen/2/set", "PULSE 0", "a pulse lasts"),
               ("octolatch/kitchen/value/set", "0x100", "bad value '0x100'"),
               ("octolatch/hall/value/set", "ON", "bad value 'ON'")]
        log_mark = service.mark()
        before = {name: len(port.latches()) for name, port in service.ports.items()}
        for topic, payload, said in bad:
            board = topic.split("/")[1]
            mark = watcher.mark()
            watcher.publish(topic, payload)
            error = watcher.wait_for(f"octolatch/{board}/error", since=mark)
            check(error[1].decode().startswith(topic + ": ") and said in error[1].decode() and not error[2],
                  f"error for {payload!r} on {topic}: {error}")
            service.wait_for_log(f"{board}: {topic}: ", said, "ignored (mqtt)", since=log_mark)
        time.sleep(0.3)
        after = {name: len(port.latches()) for name, port in service.ports.items()}
        check(after == before, f"bad commands latched: {before} -> {after}")

        # Home Assistant started again: discovery, then every state.
        mark = watcher.mark()
        watcher.publish("homeassistant/status", "online")
        watcher.wait_for("octolatch/hall/16", "ON", since=mark)
        watcher.wait_for("octolatch/kitchen/8", "OFF", since=mark)
        order = [m[0] for m in watcher.since(mark)]
        for board in ("kitchen", "hall"):
            config = order.index(f"homeassistant/device/octolatch_{board}/config")
            check(config < order.index(f"octolatch/{board}/1") and
                  config < order.index(f"octolatch/{board}/availability"), f"{board}: states before discovery: {order}")
        whole_transmissions(kitchen)
        whole_transmissions(hall)
    finally:
        service.close()
        watcher.close()
        broker.stop()


@test
def two_services_will_restart_and_removed_boards():
    broker = Broker(fresh_directory("side", "broker")).start()
    watcher = Watcher(broker)
    a = mqtt_service("side", broker, [{"name": "west"}, {"name": "attic"}], "octolatch-a")
    b = mqtt_service("side", broker, [{"name": "east"}], "octolatch-b")
    try:
        a.start()
        b.start()
        for board in ("west", "attic", "east"):
            watcher.wait_for(f"homeassistant/device/octolatch_{board}/config")
            watcher.wait_for(f"octolatch/{board}/availability", "online")
        for service, client_id, boards in ((a, "octolatch-a", ("west", "attic")), (b, "octolatch-b", ("east",))):
            service.wait_for_log("mqtt: connected")
            watcher.wait_for(f"octolatch/service/{client_id}/availability", "online")
            subscribed = broker.subscriptions(client_id)
            check(subscribed == {f"octolatch/{name}/{level}set" for name in boards for level in ("+/", "")}
                  | {"homeassistant/status"},
                  f"{client_id} subscribed to {subscribed}")

        # Each service switches its own board and no other.
        west, attic, east = a.ports["west"], a.ports["attic"], b.ports["east"]
        for topic, port, value in (("octolatch/west/2/set", west, 0x40), ("octolatch/east/7/set", east, 0x02)):
            before = {p.name: len(p.latches()) for p in (west, attic, east)}
            watcher.publish(topic, "ON")
            wait_for_latch(port, value, before[port.name])
            time.sleep(0.2)
            moved = [p.name for p in (west, attic, east) if p is not port and len(p.latches()) != before[p.name]]
            check(not moved, f"{topic} also latched {moved}")
        check(watcher.latest("octolatch/east/2") == "OFF" and watcher.latest("octolatch/west/7") == "OFF",
              "a state changed on the other service's board")

        # Killed: the broker's will says it; the other service stays online.
        mark = watcher.mark()
        a.stop(signal.SIGKILL)
        watcher.wait_for("octolatch/service/octolatch-a/availability", "offline", since=mark)
        check(retained(broker).get("octolatch/service/octolatch-a/availability") == "offline", "will not retained")
        check(not watcher.since(mark, "octolatch/service/octolatch-b/availability"), "service b said something")

        # Started again without attic, with a retained command waiting for
        # west: online again, attic cleared, the command not done, nothing
        # of b touched.
        watcher.publish("octolatch/west/3/set", "ON", retain=True)
        # A pseudo-terminal keeps a killed holder's exclusive flag while its
        # master is open, where a real adapter's last close clears it: a
        # fresh one stands in, so that this runs from an ordinary account too.
        a.unplug("west")
        a.plug("west")
        a.boards = [{"name": "west"}]
        a.write_configuration()
        mark, latched = watcher.mark(), len(west.latches())
        a.start(wait=False)
        a.wait_until_available("west")
        watcher.wait_for("octolatch/service/octolatch-a/availability", "online", since=mark)
        error = watcher.wait_for("octolatch/west/error", since=mark)
        check(b"retained command" in error[1], f"error {error}")
        a.wait_for_log("west: octolatch/west/3/set: a retained command", "ignored (mqtt)")
        watcher.publish("octolatch/west/3/set", "", retain=True)
        for topic in ("homeassistant/device/octolatch_attic/config", "octolatch/attic/availability",
                      "octolatch/attic/value", "octolatch/attic/1", "octolatch/attic/8"):
            watcher.wait_for(topic, b"", since=mark)
        a.wait_for_log("mqtt: cleared what was published of attic")
        kept = retained(broker)
        check(not [topic for topic in kept if "attic" in topic], f"attic still retained: {sorted(kept)}")
        for topic in ("homeassistant/device/octolatch_east/config", "homeassistant/device/octolatch_west/config",
                      "octolatch/east/7", "octolatch/service/octolatch-b/availability"):
            check(topic in kept, f"{topic} was cleared")
        check(not [m for m in watcher.since(mark) if "/east/" in m[0] or "octolatch-b" in m[0]],
              "service a touched service b's topics")
        time.sleep(0.2)
        check(all(not v & 0x20 for v in west.latches()[latched:]), "the retained command was done")

        # A clean stop says offline itself.
        mark = watcher.mark()
        check(b.stop() == 0, "service b did not stop cleanly")
        watcher.wait_for("octolatch/service/octolatch-b/availability", "offline", since=mark)
        whole_transmissions(west)
        whole_transmissions(east)
    finally:
        a.close()
        b.close()
        watcher.close()
        broker.stop()


@test
def broker_restart_reconnects_and_tells_everything_again():
    broker = Broker(fresh_directory("restart", "broker")).start()
    watcher = Watcher(broker)
    service = mqtt_service("restart", broker, [{"name": "porch"}], "octolatch-r")
    try:
        service.start()
        porch = service.ports["porch"]
        watcher.wait_for("octolatch/porch/availability", "online")
        latched = len(porch.latches())
        watcher.publish("octolatch/porch/1/set", "ON")
        wait_for_latch(porch, 0x80, latched)
        watcher.close()

        # The broker goes away; the service goes on over HTTP.
        mark = service.mark()
        broker.stop()
        service.wait_for_log("mqtt: the connection to", "is lost", since=mark)
        status, _, body = service.request("POST", "/api/boards/porch/outputs/2", "ON")
        check((status, body.strip()) == (200, "ON"), f"HTTP while the broker is away: {status} {body!r}")
        time.sleep(1.0)

        # Back within 3 s, with nothing retained: the service tells it all again.
        restarted = time.monotonic()
        broker.start()
        watcher = Watcher(broker)
        for topic, payload in (("octolatch/service/octolatch-r/availability", "online"),
                               ("octolatch/porch/availability", "online"), ("octolatch/porch/1", "ON"),
                               ("octolatch/porch/2", "ON"), ("octolatch/porch/3", "OFF"),
                               ("octolatch/porch/value", "0xC0")):
            watcher.wait_for(topic, payload, timeout=10)
        watcher.wait_for("homeassistant/device/octolatch_porch/config")
        check(watcher.latest("octolatch/service/octolatch-r/availability") == "online", "not online")
        latched = len(porch.latches())
        watcher.publish("octolatch/porch/8/set", "ON")
        wait_for_latch(porch, 0xC1, latched)
        took = time.monotonic() - restarted
        check(took < 5, f"a command worked {took:.1f} s after the broker's restart")
        whole_transmissions(porch)
    finally:
        service.close()
        watcher.close()
        broker.stop()


@test
def adapter_unplugged_and_back():
    broker = Broker(fresh_directory("unplug", "broker")).start()
    watcher = Watcher(broker)
    service = mqtt_service("unplug", broker, [{"name": "left"}, {"name": "right"}], "octolatch-u")
    try:
        service.start()
        left = service.ports["left"]
        watcher.wait_for("octolatch/right/availability", "online")
        latched = len(left.latches())
        watcher.publish("octolatch/left/3/set", "ON")
        wait_for_latch(left, 0x20, latched)

        mark = watcher.mark()
        service.unplug("left")
        watcher.wait_for("octolatch/left/availability", "offline", since=mark)
        check(watcher.latest("octolatch/right/availability") == "online" and
              not watcher.since(mark, "octolatch/right/availability"), "right changed its availability")
        check(retained(broker).get("octolatch/left/availability") == "offline", "offline not retained")
        watcher.publish("octolatch/left/4/set", "ON")
        error = watcher.wait_for("octolatch/left/error", since=mark)
        check(b"unavailable" in error[1], f"error {error}")

        mark, latched = watcher.mark(), len(left.latches())
        service.plug("left")
        watcher.wait_for("octolatch/left/availability", "online", since=mark)
        # Its state is told again, and sent to the register again.
        for output in range(1, 9):
            watcher.wait_for(f"octolatch/left/{output}", "ON" if output == 3 else "OFF", since=mark)
        watcher.wait_for("octolatch/left/value", "0x20", since=mark)
        wait_for_latch(left, 0x20, latched)
    finally:
        service.close()
        watcher.close()
        broker.stop()


@test
def burst_of_a_thousand_commands():
    broker = Broker(fresh_directory("burst", "broker")).start()
    watcher = Watcher(broker)
    service = mqtt_service("burst", broker, [{"name": "burst"}], "octolatch-burst")
    try:
        service.start()
        port = service.ports["burst"]
        watcher.wait_for("octolatch/burst/availability", "online")
        rng = random.Random(1000)
        outputs = [rng.randint(1, 8) for _ in range(1000)]
        states, value = [0], 0
        for output in outputs:
            value ^= 0x80 >> (output - 1)
            states.append(value)
        mark, latched = service.mark(), len(port.latches())
        infos = [watcher.client.publish(f"octolatch/burst/{output}/set", "TOGGLE", qos=1) for output in outputs]
        for info in infos:
            info.wait_for_publish(30)
        # None lost, in order: the board took every one as it came.
        taken = wait_until("1000 commands taken", lambda: (lambda lines: lines if len(lines) >= 1000 else None)(
            [l for l in service.lines[mark:] if l.startswith("burst: output ") and l.endswith("toggled (mqtt)")]),
            60, 0.05)
        check([int(l.split()[2]) for l in taken] == outputs, "the commands were taken out of order or not all")
        wait_until("the final state latched", lambda: port.latches()[-1] == value, 30, 0.05)
        watcher.wait_for("octolatch/burst/value", f"0x{value:02X}")
        # Every latch a whole state: one that the commands so far had made.
        latches, at = port.latches()[latched:], 0
        for latch in latches:
            while at < len(states) and states[at] != latch:
                at += 1
            check(at < len(states), f"latched 0x{latch:02X}, which no prefix of the commands makes")
        whole_transmissions(port)
        print(f"  1000 commands in {len(latches)} transmissions")
    finally:
        service.close()
        watcher.close()
        broker.stop()


@test
def start_without_broker_and_with_a_wrong_password():
    directory = fresh_directory("start", "broker")
    broker = Broker(directory)
    early = mqtt_service("start", broker, [{"name": "early"}], "octolatch-early")
    wrong = mqtt_service("start", broker, [{"name": "wrong"}], "octolatch-wrong", password="not-the-password")
    watcher = None
    try:
        # Nobody listens: the service starts and serves HTTP, and says why.
        early.start()
        early.wait_for_log("mqtt: not connected to 127.0.0.1:", "Connection refused", "trying again")
        status, _, body = early.request("POST", "/api/boards/early/outputs/1", "ON")
        check((status, body.strip()) == (200, "ON"), f"HTTP without a broker: {status} {body!r}")
        # It keeps trying: once the broker is there, it connects.
        broker.start()
        watcher = Watcher(broker)
        watcher.wait_for("octolatch/service/octolatch-early/availability", "online", timeout=20)
        watcher.wait_for("octolatch/early/1", "ON")

        # A wrong password: the same, and said.
        wrong.start()
        wrong.wait_for_log("mqtt: not connected to 127.0.0.1:", "the broker refused", "not authorised")
        status, _, _ = wrong.request("GET", "/api/boards")
        check(status == 200, f"HTTP with a wrong password: {status}")
        wait_until("two refused attempts", lambda: sum("not authorised" in l for l in broker.log_lines()) >= 2,
                   10, 0.1)
        check(not watcher.since(0, "octolatch/service/octolatch-wrong/availability"), "connected with a wrong password")
        check(sum("mqtt: not connected" in l for l in wrong.lines) == 1, "the same problem said more than once")

        # A password that others may read is refused before the service starts.
        exposed = mqtt_service("start", broker, [{"name": "exposed"}], "octolatch-exposed")
        os.chmod(os.path.join(broker.dir, "password-octolatch-exposed"), 0o644)
        exposed.start(wait=False)
        code = exposed.process.wait(15)
        exposed.close()
        check(code == 2 and any("may be read by anyone" in l for l in exposed.lines),
              f"an exposed password file: exit {code}, {exposed.lines}")
    finally:
        early.close()
        wrong.close()
        if watcher:
            watcher.close()
        broker.stop()


def make_certificates(directory):
    """A CA that signs the broker's certificate (for IP 127.0.0.1), and
    another CA that signs nothing here."""
    def run(*command):
        subprocess.run(command, check=True, capture_output=True, cwd=directory)
    new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("right-ca", "wrong-ca"):
        run("openssl", "req", "-x509", *new_key, "-keyout", f"{ca}.key", "-out", f"{ca}.crt", "-days", "2",
            "-subj", f"/CN=Octolatch test {ca}")
    run("openssl", "req", *new_key, "-keyout", "broker.key", "-out", "broker.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(directory, "broker.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    run("openssl", "x509", "-req", "-in", "broker.csr", "-CA", "right-ca.crt", "-CAkey", "right-ca.key",
        "-CAcreateserial", "-out", "broker.crt", "-days", "2", "-extfile", "broker.ext")
    return {name: os.path.join(directory, name) for name in ("right-ca.crt", "wrong-ca.crt", "broker.crt",
                                                             "broker.key")}


@test
def tls_with_the_right_ca_only():
    files = make_certificates(fresh_directory("tls", "certificates"))
    secure = Broker(fresh_directory("tls", "broker"),
                    tls={"cafile": files["right-ca.crt"], "certfile": files["broker.crt"],
                         "keyfile": files["broker.key"]}).start()
    plain = Broker(fresh_directory("tls", "plain-broker")).start()
    watcher = Watcher(secure, ca_file=files["right-ca.crt"])
    good = mqtt_service("tls", secure, [{"name": "good"}], "octolatch-tls", ca_file=files["right-ca.crt"])
    wrong = mqtt_service("tls", secure, [{"name": "wrongca"}], "octolatch-wrong-ca", ca_file=files["wrong-ca.crt"])
    downgraded = mqtt_service("tls", plain, [{"name": "plain"}], "octolatch-plain", ca_file=files["right-ca.crt"])
    try:
        for service in (good, wrong, downgraded):
            service.start()
        good.wait_for_log("mqtt: connecting to", "over TLS")
        watcher.wait_for("octolatch/service/octolatch-tls/availability", "online")
        latched = len(good.ports["good"].latches())
        watcher.publish("octolatch/good/5/set", "ON")
        wait_for_latch(good.ports["good"], 0x08, latched)

        # A certificate from another CA: refused, and said so.
        wrong.wait_for_log("mqtt: not connected to", "TLS failed", "certificate verify failed")
        # A broker without TLS: never spoken to in plain text.
        downgraded.wait_for_log("mqtt: not connected to 127.0.0.1:", "TLS failed")
        time.sleep(1.5)
        check(not watcher.since(0, "octolatch/service/octolatch-wrong-ca/availability"), "connected with the wrong CA")
        check(not any("octolatch-plain" in l for l in plain.log_lines()), "spoke MQTT without TLS")
        check(not any(" as octolatch-wrong-ca " in l for l in secure.log_lines()), "the broker took the wrong CA")
    finally:
        for service in (good, wrong, downgraded):
            service.close()
        watcher.close()
        secure.stop()
        plain.stop()


def retained(broker):
    """Every retained message on the broker, as a new subscriber gets them."""
    found, subscribed = {}, threading.Event()
    client = paho.Client(client_id=f"reader-{random.randrange(1 << 30)}", clean_session=True)
    client.username_pw_set(TESTER_USER, TESTER_PASSWORD)
    if broker.tls:
        client.tls_set(ca_certs=broker.tls["cafile"])
    client.on_subscribe = lambda *_: subscribed.set()
    client.on_message = lambda c, u, m: found.__setitem__(m.topic, m.payload.decode()) if m.retain else None
    client.connect("127.0.0.1", broker.port, keepalive=30)
    client.loop_start()
    client.subscribe("#", qos=0)
    check(subscribed.wait(10), "the reader was not subscribed")
    time.sleep(0.3)  # the retained messages follow the subscription's answer
    client.loop_stop()
    client.disconnect()
    return found


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--register", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("-k", default="", help="only the tests whose name holds this")
    ARGS = parser.parse_args()
    return run_tests(TESTS, ARGS.k, "octolatchd on MQTT")


if __name__ == "__main__":
    sys.exit(main())
