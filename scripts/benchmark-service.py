"""octolatchd over HTTP, measured against virtual registers, beside the
service a user would write instead (pyserial-http-baseline.py): one request
on an idle board; a flood of 1,000 requests a second for 10 seconds from 50
clients; how busy the wire was while changes waited; and the service's peak
memory with two boards after the load. scripts/benchmark imports it and
calls measure(), which returns the lines of a markdown table."""
import http.client
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

from service_session import Service  # noqa: E402
from virtual_ports import Port, declare_ports, wait_until  # noqa: E402

FLOOR_MS = 17.0  # one transmission to 8 outputs: 17 pauses of 1 ms
CLIENTS = 50
FLOOD_SECONDS = 10
IDLE_RUNS = 200


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def floors(ms):
    return f"{ms:.1f} ms ({ms / FLOOR_MS:.2f} x)"


CLIENT = os.path.join(ROOT, "build", "flood-client")
IDLE_RATE = 25  # requests a second, one at a time: the board idles between them


def c_client(port, paths, headers, seconds, clients, rate):
    """scripts/flood-client.c, where scripts/benchmark built it and the
    server is octolatchd: a client in C, whose own tail is microseconds.
    Returns each answered request's (sent, answered) nanoseconds, or None."""
    if not os.path.exists(CLIENT) or not paths[0].startswith("/api/"):
        return None
    result = subprocess.run([CLIENT, str(port), str(seconds), str(clients), str(rate),
                             (headers or {}).get("Authorization", ""), *paths],
                            capture_output=True, text=True, timeout=seconds + 180)
    return [tuple(int(n) for n in line.split()) for line in result.stdout.splitlines()]


def idle(port, path, headers=None, runs=IDLE_RUNS):
    """Request to answer in milliseconds, one request at a time with a pause
    between. A request the server drops counts in `failed`. The baseline (a
    server that answers one connection at a time) keeps the Python client
    below, which it was measured with."""
    answered = c_client(port, [path], headers, runs // IDLE_RATE, 1, IDLE_RATE)
    if answered is None:
        return python_idle(port, path, headers, runs)
    idle.failed += max(0, runs - len(answered))
    return [(a - s) / 1e6 for s, a in answered]


def python_idle(port, path, headers, runs):
    times = []
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for i in range(runs):
        started = time.monotonic()
        try:
            connection.request("POST", path, body="ON" if i % 2 == 0 else "OFF", headers=headers or {})
            if connection.getresponse().read() is not None:
                times.append((time.monotonic() - started) * 1000)
        except (OSError, http.client.HTTPException):
            idle.failed += 1
            connection.close()
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        time.sleep(0.03)
    connection.close()
    return times


idle.failed = 0


def flood(port, paths, headers=None):
    """The flood below, from the C clients where they can be used."""
    answered = c_client(port, paths, headers, FLOOD_SECONDS, CLIENTS, 1000)
    return python_flood(port, paths, headers) if answered is None else answered


def python_flood(port, paths, headers=None):
    """CLIENTS clients, each sending on its own schedule so that together they
    offer 1,000 requests a second; a client behind its schedule sends at
    once. Returns each request's (sent, answered) monotonic nanoseconds."""
    answered = [[] for _ in range(CLIENTS)]
    start = time.monotonic() + 0.5

    def client(index):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        path = paths[index % len(paths)]
        # Counted, not summed: a sum of floats may give one slot too many.
        for turn in range(FLOOD_SECONDS * 1000 // CLIENTS):
            slot = start + (index + turn * CLIENTS) / 1000
            time.sleep(max(0.0, slot - time.monotonic()))
            sent = time.monotonic_ns()
            try:
                # Every request changes its output, whatever the others did.
                connection.request("POST", path, body="TOGGLE", headers=headers or {})
                connection.getresponse().read()
                answered[index].append((sent, time.monotonic_ns()))
            except (OSError, http.client.HTTPException):
                # A server that gives up on the connection: the request is
                # not answered; the client connects again.
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        connection.close()

    threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return [row for rows in answered for row in rows]


def wire_busy(ports, requests):
    """The share of the time while changes waited that each wire spent
    transmitting, averaged over the boards."""
    first, last = min(s for s, _ in requests), max(a for _, a in requests)
    shares = []
    for port in ports:
        spans = []
        port.transmissions(spans)
        busy = sum(min(b, last) - max(a, first) for a, b in spans if b > first and a < last)
        shares.append(busy / (last - first))
    return sum(shares) / len(shares)


def summary(name, idle_times, requests, busy, offered):
    latencies = [(a - s) / 1e6 for s, a in requests]
    return (name, floors(statistics.median(idle_times)), floors(percentile(idle_times, 0.99)),
            f"{len(requests):,} of {offered:,}", floors(percentile(latencies, 0.99)), f"{busy * 100:.0f} %")


def memory_kib(pid, field):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def crowd(s, headers, idle_count=10000, slow_count=1000, seconds=10):
    """Idle requests while idle_count connections never send anything and
    slow_count send a byte a second; the idle median beside it, and the
    service's peak memory."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sockets, stop = [], threading.Event()
    for _ in range(idle_count + slow_count):
        try:
            sockets.append(socket.create_connection(("127.0.0.1", s.port), timeout=5))
        except OSError:
            break
    opened = len(sockets)

    def trickle():
        while not stop.wait(1.0):
            for connection in sockets[idle_count:]:
                try:
                    connection.send(b"G")
                except OSError:
                    pass

    trickler = threading.Thread(target=trickle)
    trickler.start()
    idle.failed = 0
    times = idle(s.port, "/api/boards/kitchen/outputs/1", headers, runs=seconds * IDLE_RATE)
    stop.set()
    trickler.join()
    for connection in sockets:
        connection.close()
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return times or [float("nan")], opened


def header_flood(s, headers, megabytes=80):
    """One connection sends header lines without end: its answer, and how
    much the service grew meanwhile."""
    before = memory_kib(s.process.pid, "VmRSS")
    line = b"X-a: b\r\n" * 100000
    status = "no answer"
    with socket.create_connection(("127.0.0.1", s.port), timeout=10) as connection:
        connection.sendall(b"POST /api/boards/kitchen/outputs/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                           "".join(f"{k}: {v}\r\n" for k, v in headers.items()).encode())
        try:
            for _ in range(megabytes * 1000000 // len(line)):
                connection.sendall(line)
        except OSError:
            pass
        try:
            status = connection.recv(200).split(b"\r\n", 1)[0].decode() or "closed"
        except OSError as error:
            status = f"closed ({error.strerror})"
    return status, memory_kib(s.process.pid, "VmRSS") - before


def octolatchd(service, register, work, name="octolatchd", token=None):
    s = Service(os.path.join(work, name), [{"name": "kitchen"}, {"name": "lab"}], service, register,
                token=token).start()
    headers = {"Authorization": f"Bearer {s.token}"} if s.token else {}
    try:
        idle_times = idle(s.port, "/api/boards/kitchen/outputs/1", headers)
        paths = [f"/api/boards/{board}/outputs/{n}" for board in ("kitchen", "lab") for n in range(1, 9)]
        requests = flood(s.port, paths, headers)
        busy = wire_busy(list(s.ports.values()), requests)
        crowded, opened = crowd(s, headers)
        flooded, grown = header_flood(s, headers)
        memory = memory_kib(s.process.pid, "VmHWM")
        extra = {"crowd": (statistics.median(crowded), percentile(crowded, 0.99), statistics.median(idle_times), opened,
                           f"{len(crowded)} of {len(crowded) + idle.failed}"),
                 "headers": (flooded, grown)}
        return summary("octolatchd", idle_times, requests, busy, CLIENTS * FLOOD_SECONDS * 20), memory, extra
    finally:
        s.close()


def baseline(register, work):
    directory = os.path.join(work, "pyserial-http")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    port = Port(directory, "P1")
    declare_ports(directory, [port])
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        listen = probe.getsockname()[1]
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "scripts", "pyserial-http-baseline.py"),
                               port.tty, str(listen)],
                              env=dict(os.environ, LD_PRELOAD=register, VREG_DIR=directory))
    try:
        wait_until("the baseline server", lambda: socket.socket().connect_ex(("127.0.0.1", listen)) == 0, 10, 0.05)
        idle_times = idle(listen, "/outputs/1")
        requests = flood(listen, [f"/outputs/{n}" for n in range(1, 9)])
        busy = wire_busy([port], requests)
        return summary("http.server and pyserial", idle_times, requests, busy, CLIENTS * FLOOD_SECONDS * 20)
    finally:
        server.kill()
        server.wait()
        os.close(port.master)


def measure(service=os.path.join(ROOT, "build", "linux-release", "octolatchd"),
            register=os.path.join(ROOT, "build", "linux-release", "libvirtual_register.so"),
            work=os.path.join(ROOT, "build", "benchmark", "service"),
            before=os.path.join(ROOT, "build", "benchmark", "before", "build", "linux-release", "octolatchd")):
    """The service now, the service before its front door was rebuilt (where
    scripts/benchmark built it), and the one a user would write."""
    shutil.rmtree(work, ignore_errors=True)
    columns = [("octolatchd now", *octolatchd(service, register, work))]
    if os.path.exists(before):
        columns.append(("octolatchd 1.2.0", *octolatchd(before, register, work, "before", token="")))
    theirs = baseline(register, work)
    rows = ["| over HTTP, in 17-ms floors of 8 outputs | " + " | ".join(
                [name + " (two boards)" for name, *_ in columns] + ["http.server and pyserial (one board)"]) + " |",
            "|---" * (len(columns) + 2) + "|"]
    names = ["one request on an idle board, median", "one request on an idle board, 99th percentile",
             f"a flood of 1,000 requests a second for {FLOOD_SECONDS} s ({CLIENTS} clients): answered",
             "the flood: request to answer, 99th percentile", "the flood: how busy the wire was while changes waited"]
    for i, name in enumerate(names):
        rows.append(f"| {name} | " + " | ".join(c[1][i + 1] for c in columns) + f" | {theirs[i + 1]} |")

    def row(name, cell):
        rows.append(f"| {name} | " + " | ".join(cell(c[3]) for c in columns) + " | |")

    row("with 10,000 idle connections and 1,000 sending a byte a second: one request, median",
        lambda e: f"{floors(e['crowd'][0])}, {e['crowd'][0] / e['crowd'][2]:.2f} x its idle median"
                  f" ({e['crowd'][3]:,} connections opened, {e['crowd'][4]} requests answered)")
    row("the same, 99th percentile", lambda e: floors(e["crowd"][1]))
    row("one connection sending 80 MB of header lines: the answer; what the service grew",
        lambda e: f"{e['headers'][0]}; {e['headers'][1] / 1024:.1f} MiB")
    rows.append("| peak memory after all of it (VmHWM) | " + " | ".join(f"{c[2] / 1024:.1f} MiB" for c in columns) + " | |")
    return rows


if __name__ == "__main__":
    print("\n".join(measure()))
