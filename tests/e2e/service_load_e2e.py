#!/usr/bin/env python3
"""octolatchd under load and under attack, on virtual boards, loopback only:
20 clients with 10,000 requests, and a fuzzer (Debian's python3-hypothesis)
with slow clients and clients that vanish. Bounded in count and time.

Usage: service_load_e2e.py --service PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import http.client
import os
import random
import shutil
import socket
import statistics
import sys
import threading
import time

from hypothesis import HealthCheck, given, settings, strategies as st

from runner import run_tests
from virtual_ports import check  # noqa: E402
from service_session import Service  # noqa: E402

ARGS = None
TESTS = []
TOKEN = "fuzz-0123456789"


def test(function):
    TESTS.append(function)
    return function


def service(name, boards, **options):
    directory = os.path.join(ARGS.work, name)
    shutil.rmtree(directory, ignore_errors=True)
    return Service(directory, boards, ARGS.service, ARGS.register, **options)


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def transmission_ends(port):
    """(latch time, end time) of each transmission: the strobe's rise and fall."""
    ends, latch = [], None
    for t, what, arg in port.events():
        if what == "LATCH":
            latch = t
        elif what == "RTS" and arg == "0" and latch is not None:
            ends.append((latch, t))
            latch = None
    return ends


@test
def twenty_clients_ten_thousand_requests_none_lost():
    boards = [{"name": "kitchen", "outputs": 8}, {"name": "lab", "outputs": 16}]
    s = service("load", boards).start()
    # Each output has one client that changes it, so that "the last answered
    # change" of each output is well defined; 24 outputs, 20 clients.
    outputs = [("kitchen", n) for n in range(1, 9)] + [("lab", n) for n in range(1, 17)]
    owned = [outputs[i::20] for i in range(20)]
    answered = [[] for _ in range(20)]  # (board, output, state, sent ns, answered ns, status)

    def client(index):
        rng = random.Random(index)
        connection = http.client.HTTPConnection("127.0.0.1", s.port, timeout=60)
        for _ in range(500):
            board, output = rng.choice(owned[index])
            state = rng.choice(["ON", "OFF"])
            sent = time.monotonic_ns()
            connection.request("POST", f"/api/boards/{board}/outputs/{output}", body=state,
                               headers={"Authorization": f"Bearer {s.token}"})
            response = connection.getresponse()
            body = response.read().decode().strip()
            answered[index].append((board, output, state, sent, time.monotonic_ns(), response.status, body))
        connection.close()

    started = time.monotonic()
    clients = [threading.Thread(target=client, args=(i,)) for i in range(20)]
    for c in clients:
        c.start()
    for c in clients:
        c.join(300)
    took = time.monotonic() - started
    rows = [row for rows in answered for row in rows]
    check(len(rows) == 10000 and all(r[5] == 200 for r in rows),
          f"{len(rows)} answered, statuses {sorted({r[5] for r in rows})}")
    # A client waits one or two transmissions of 17 ms per request: 500 in
    # about 15 s. Answers left for the server's next turn take seconds each.
    check(took < 90, f"10,000 requests took {took:.0f} s")
    latencies = sorted((r[4] - r[3]) / 1e6 for r in rows)
    memory = peak_memory_kib(s.process.pid)
    for name, port in s.ports.items():
        values = port.transmissions()  # every latch a whole state
        ends = transmission_ends(port)
        check(len(ends) == len(values), f"{name}: {len(ends)} strobes for {len(values)} transmissions")
        # Each request was answered after a transmission that began after it
        # was sent had ended, or at once because its output was so already.
        width = port.outputs
        for board, output, state, sent, done, _, body in rows:
            if board != name:
                continue
            before = [i for i, (latch, end) in enumerate(ends) if end <= done]
            carried = before and ends[before[-1]][0] >= sent
            already = before and (values[before[-1]] >> (width - output) & 1) == (state == "ON")
            check(body == state and (carried or already),
                  f"{board} output {output} {state}: sent {sent}, answered {done} ({body}), "
                  f"the last transmission before the answer {ends[before[-1]] if before else None}")
        last = {}
        for board, output, state, sent, done, _, _ in sorted(rows, key=lambda r: r[4]):
            if board == name:
                last[output] = state
        width = s.ports[name].outputs
        expected = sum(1 << (width - o) for o, st_ in last.items() if st_ == "ON")
        check(values[-1] == expected, f"{name}: the last latch {values[-1]:#x}, the last answers {expected:#x}")
    print(f"  10,000 requests from 20 clients in {took:.1f} s; request to answer: "
          f"p50 {statistics.median(latencies):.1f} ms, p99 {latencies[int(0.99 * len(latencies))]:.1f} ms; "
          f"transmissions: kitchen {len(s.ports['kitchen'].latches())}, lab {len(s.ports['lab'].latches())}; "
          f"the service's peak memory {memory / 1024:.1f} MiB")
    s.close()


# ----------------------------------------------------------------- fuzzing

def raw_request(port, data, read=True, timeout=5):
    """Sends bytes as they are; returns the status line's code, or None."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(data)
        if not read:
            return None
        answer = b""
        try:
            while b"\r\n" not in answer:
                chunk = connection.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except socket.timeout:
            return None
    parts = answer.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


SEGMENTS = st.sampled_from(["api", "boards", "kitchen", "lab", "outputs", "value", "pulse", "events", "healthz",
                            "1", "8", "0", "65", "-1", "..", "%00", "%2F", "", "x" * 300])
PATHS = st.one_of(st.lists(SEGMENTS, min_size=0, max_size=7).map(lambda s: "/" + "/".join(s)),
                  st.text(alphabet=st.characters(min_codepoint=33, max_codepoint=126), max_size=200))
METHODS = st.sampled_from(["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD", "FOO", "get", "G\x00T"])
QUERIES = st.one_of(st.just(""), st.sampled_from(["?ms=500", "?ms=0", "?ms=-1", "?ms=99999999999999999999",
                                                  "?ms=", "?a=b&ms=5", "?%zz", "?" + "a" * 5000]))
BODIES = st.one_of(st.sampled_from([b"", b"ON", b"OFF", b"TOGGLE", b'{"state": "ON"}', b"0xA1", b"{", b"\xff\xfe"]),
                   st.binary(max_size=6000))
TOKENS = st.one_of(st.just(None), st.sampled_from(["Bearer " + TOKEN[:-1], "Bearer ", "Basic x", "Bearer " + TOKEN + "x",
                                                  "bearer " + TOKEN]), st.text(max_size=100))
HEADERS = st.lists(st.tuples(st.text(alphabet="abcdefXYZ-", min_size=1, max_size=20),
                             st.text(alphabet=st.characters(min_codepoint=32, max_codepoint=126), max_size=300)),
                   max_size=5)


@test
def fuzzed_requests_slow_and_vanishing_clients_leave_it_serving():
    s = service("fuzz", [{"name": "kitchen", "pulse_ms": 5}, {"name": "lab", "outputs": 16}], token=TOKEN).start()
    statuses = []

    @settings(max_examples=400, deadline=None, derandomize=True, database=None,
              suppress_health_check=list(HealthCheck))
    @given(method=METHODS, path=PATHS, query=QUERIES, body=BODIES, token=TOKENS, headers=HEADERS,
           oversized=st.sampled_from([0, 0, 0, 9000, 70000]), chunked=st.booleans())
    def one(method, path, query, body, token, headers, oversized, chunked):
        lines = [f"{method} {path}{query} HTTP/1.1", f"Host: 127.0.0.1:{s.port}"]
        if token is not None:
            lines.append(f"Authorization: {token}"[:400].replace("\r", "").replace("\n", ""))
        lines += [f"{name}: {value}" for name, value in headers]
        if oversized:
            lines.append("X-Large: " + "a" * oversized)
        if chunked:
            lines.append("Transfer-Encoding: chunked")
            payload = f"{len(body):x}\r\n".encode() + body + b"\r\n0\r\n\r\n"
        else:
            lines.append(f"Content-Length: {len(body)}")
            payload = body
        lines.append("Connection: close")
        data = "\r\n".join(lines).encode("latin-1", "replace") + b"\r\n\r\n" + payload
        statuses.append(raw_request(s.port, data))

    # Slow clients, a byte a second, and clients that vanish mid-request,
    # beside the fuzzer.
    slow_results = []

    def slow_client():
        request = f"GET /api/boards HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer {TOKEN}\r\n".encode()
        with socket.create_connection(("127.0.0.1", s.port), timeout=20) as connection:
            started = time.monotonic()
            try:
                for byte in request:
                    connection.sendall(bytes([byte]))
                    time.sleep(1)
                    if time.monotonic() - started > 15:
                        break
                slow_results.append(connection.recv(100) == b"")
            except (ConnectionResetError, BrokenPipeError):
                slow_results.append(True)

    slow = [threading.Thread(target=slow_client) for _ in range(3)]
    for thread in slow:
        thread.start()
    for _ in range(20):
        with socket.create_connection(("127.0.0.1", s.port), timeout=5) as connection:
            connection.sendall(b"POST /api/boards/kitchen/outputs/1 HTTP/1.1\r\nContent-Length: 100\r\n\r\nON")
    one()
    for thread in slow:
        thread.join(30)
    check(s.process.poll() is None, "the service ended")
    check(all(code is None or 200 <= code < 600 for code in statuses), f"answers {sorted(set(map(str, statuses)))}")
    check(slow_results == [True, True, True], f"slow clients cut off: {slow_results}")
    s.wait_for_log("no whole request within")
    # Well-formed requests are still answered, and nothing was ever latched
    # but for accepted requests (none carried the token).
    for board, output in (("kitchen", 1), ("lab", 16)):
        status, _, body = s.request("POST", f"/api/boards/{board}/outputs/{output}", "ON")
        check(status == 200 and body.strip() == "ON", f"a request after the fuzzing: {status} {body!r}")
    check(s.ports["kitchen"].latches() == [0x00, 0x80], f"kitchen latched {s.ports['kitchen'].latches()}")
    check(s.ports["lab"].latches() == [0x0000, 0x0001], f"lab latched {s.ports['lab'].latches()}")
    refused = sum(1 for code in statuses if code == 401)
    print(f"  {len(statuses)} fuzzed requests: {refused} refused for their token, "
          f"{sorted({c for c in statuses if c is not None})} in all")
    s.close()


# ----------------------------------------------------------------- attacks

def memory_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def answer_of(connection, timeout=10):
    """What the service answered on a raw connection, and whether it closed it."""
    connection.settimeout(timeout)
    data = b""
    try:
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
    except (ConnectionResetError, socket.timeout):
        pass
    return data.split(b"\r\n", 1)[0].decode(errors="replace"), data


@test
def heads_and_bodies_over_their_limits_are_refused_and_memory_stays_bounded():
    s = service("limits", [{"name": "kitchen"}]).start()
    before = memory_kib(s.process.pid)
    auth = f"Authorization: Bearer {s.token}\r\n".encode()
    start = b"POST /api/outputs/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth
    rows = [  # what is sent, the status, in the answer
        (start + b"X-a: b\r\n" * 200_000 + b"\r\nON", "431", b""),
        (start + b"X-a: b\r\n" * 65 + b"Content-Length: 2\r\n\r\nON", "431", b"more than 64 header lines"),
        (start + b"X-a: " + b"b" * 5000 + b"\r\nContent-Length: 2\r\n\r\nON", "431", b"a header line is over 4096"),
        (start + (b"X-a: " + b"b" * 3000 + b"\r\n") * 3 + b"Content-Length: 2\r\n\r\nON", "431",
         b"the request head is over 8192"),
        (b"GET /api/boards?" + b"a" * 3000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth + b"\r\n", "414",
         b"the request line is over 2048"),
        (start + b"Content-Length: 100000\r\n\r\nON", "413", b"over 4096 bytes"),
    ]
    for sent, status, text in rows:
        with socket.create_connection(("127.0.0.1", s.port), timeout=10) as connection:
            try:
                connection.sendall(sent)
            except (ConnectionResetError, BrokenPipeError):
                pass
            line, answer = answer_of(connection)
        check(status in line and text in answer, f"{sent[:60]!r}... ({len(sent)} bytes): {line!r} {answer[-120:]!r}")
    grown = memory_kib(s.process.pid) - before
    check(grown < 16 * 1024, f"the service grew by {grown / 1024:.1f} MiB")
    check(s.ports["kitchen"].latches() == [0], f"a refused request latched {s.ports['kitchen'].latches()}")
    # A POST with no body and no Content-Length, as curl -X POST sends it.
    with socket.create_connection(("127.0.0.1", s.port), timeout=10) as connection:
        started = time.monotonic()
        connection.sendall(b"POST /api/outputs/2/pulse?ms=50 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
                           b"Connection: close\r\n\r\n")
        line, answer = answer_of(connection)
        took = time.monotonic() - started
    check("200" in line and answer.endswith(b"ON\n") and took < 1, f"a POST without a body: {line!r} in {took:.1f} s")
    print(f"  a head of {len(rows[0][0]) / 1e6:.1f} MB refused; the service grew by {grown / 1024:.1f} MiB")
    s.close()


@test
def idle_and_slow_connections_hold_up_no_request():
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    s = service("crowd", [{"name": "kitchen"}]).start()
    idle = []
    for _ in range(min(hard, 8192) // 2 - 200):
        try:
            idle.append(socket.create_connection(("127.0.0.1", s.port), timeout=5))
        except OSError:
            break
    stop = threading.Event()

    def slow_client():
        with socket.create_connection(("127.0.0.1", s.port), timeout=30) as connection:
            for byte in b"GET /api/boards HTTP/1.1\r\nHost: 127.0.0.1\r\n" * 10:
                if stop.is_set():
                    return
                try:
                    connection.sendall(bytes([byte]))
                except OSError:
                    return
                time.sleep(0.2)

    slow = [threading.Thread(target=slow_client) for _ in range(100)]
    for thread in slow:
        thread.start()
    took = []
    for i in range(20):
        started = time.monotonic()
        status = s.request("POST", "/api/outputs/1", "ON" if i % 2 else "OFF", timeout=10)[0]
        took.append(time.monotonic() - started)
        check(status == 200, f"request {i} among {len(idle)} idle connections: {status}")
    stop.set()
    memory = peak_memory_kib(s.process.pid)
    check(max(took) < 1, f"requests held up: the slowest took {max(took):.2f} s")
    s.wait_for_log("waiting longest without a request, to make room")
    for connection in idle:
        connection.close()
    for thread in slow:
        thread.join(10)
    print(f"  {len(idle)} idle and 100 slow connections: 20 requests, the slowest {max(took) * 1000:.0f} ms; "
          f"peak memory {memory / 1024:.1f} MiB (under the sanitizers; scripts/benchmark measures the release build)")
    s.close()
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--service", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    ARGS = parser.parse_args()
    for name in ("work", "service", "register"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    return run_tests(TESTS, ARGS.only, f"service under load and fuzzing ({ARGS.service})")


if __name__ == "__main__":
    sys.exit(main())
