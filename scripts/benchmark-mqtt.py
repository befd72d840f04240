"""octolatchd on MQTT, measured: the time from publishing a command to the
register's latch, for one command on an idle board and for a burst of
1,000, with a mosquitto broker and the service on loopback and a virtual
register behind the board. scripts/benchmark imports it and calls
measure(), which returns the lines of a markdown table; it needs
/usr/bin/python3 for Debian's paho-mqtt."""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

import paho.mqtt.client as paho  # noqa: E402
from service_session import MOSQUITTO, Service  # noqa: E402
from virtual_ports import wait_until  # noqa: E402

FLOOR_MS = 17.0  # one transmission to 8 outputs: 17 pauses of 1 ms
RUNS = 100
BURST = 1000


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def start_broker(directory):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(directory, "mosquitto.conf")
    with open(config, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\nlog_type none\n")
    broker = subprocess.Popen([MOSQUITTO, "-c", config], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)

    def listening():
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", port)) == 0
    wait_until("the broker to listen", listening, 10, 0.02)
    return broker, port


def latch_times(port):
    return [t for t, what, _ in port.events() if what == "LATCH"]


def measure(service=os.path.join(ROOT, "build", "linux-release", "octolatchd"),
            register=os.path.join(ROOT, "build", "linux", "libvirtual_register.so"),
            work=os.path.join(ROOT, "build", "benchmark", "mqtt")):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    broker, broker_port = start_broker(work)
    session = Service(os.path.join(work, "service"), [{"name": "bench"}], service, register,
                      extra=f'[mqtt]\nhost = "127.0.0.1"\nport = {broker_port}\nclient_id = "octolatch-bench"\n'
                            'discovery_prefix = ""')
    client = paho.Client(client_id="benchmark", clean_session=True)
    try:
        session.start()
        session.wait_for_log("mqtt: connected")
        port = session.ports["bench"]
        client.connect("127.0.0.1", broker_port)
        client.loop_start()
        time.sleep(0.2)

        # One command at a time, the board idle before each: output 1 on, then off.
        latencies = []
        for run in range(RUNS):
            before = len(latch_times(port))
            started = time.monotonic_ns()  # the register logs CLOCK_MONOTONIC too
            client.publish("octolatch/bench/1/set", "ON" if run % 2 == 0 else "OFF", qos=1)
            latched = wait_until("the latch", lambda: latch_times(port)[before:], 5, 0.001)
            latencies.append((latched[0] - started) / 1e6)
            time.sleep(0.03)

        # A burst: every command published at once, QoS 1, each toggling one output.
        outputs = [1 + (k * 5) % 8 for k in range(BURST)]
        value = 0x00
        for output in outputs:
            value ^= 0x80 >> (output - 1)
        before = len(latch_times(port))
        started = time.monotonic_ns()
        infos = [client.publish(f"octolatch/bench/{output}/set", "TOGGLE", qos=1) for output in outputs]
        for info in infos:
            info.wait_for_publish(30)
        published = time.monotonic_ns()
        wait_until("the burst's last state", lambda: port.latches()[-1] == value and
                   sum(l.endswith("toggled (mqtt)") for l in session.lines) == BURST, 60, 0.005)
        # The last change may still be on the wire: the service finishes it
        # when it stops.
        time.sleep(0.1)
        session.stop()
        burst_latches = latch_times(port)[before:]
        if port.latches()[-1] != value:
            raise SystemExit(f"the burst left {port.latches()[-1]:#04x}, not {value:#04x}")
        burst_ms = (burst_latches[-1] - started) / 1e6
        publish_ms = (published - started) / 1e6
        port.transmissions()  # every latch a whole transmission
    finally:
        client.loop_stop()
        session.close()
        broker.terminate()
        broker.wait(10)

    median, p99 = statistics.median(latencies), percentile(latencies, 0.99)
    return [
        f"| publish to latch over MQTT (mosquitto on loopback), {RUNS} commands on an idle board | value |",
        "|---|---|",
        f"| median | {median:.2f} ms ({median / FLOOR_MS:.2f} x the 17-ms floor) |",
        f"| 99th percentile | {p99:.2f} ms ({p99 / FLOOR_MS:.2f} x the 17-ms floor) |",
        f"| {BURST:,} QoS 1 commands at once: first publish to the last state latched | {burst_ms:.0f} ms, "
        f"in {len(burst_latches)} transmissions (all {BURST:,} published in {publish_ms:.0f} ms) |",
    ]


if __name__ == "__main__":
    print("\n".join(measure(*sys.argv[1:])))
