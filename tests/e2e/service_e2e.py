#!/usr/bin/env python3
"""End-to-end tests of octolatchd on virtual boards: the real service, its
ports pseudo-terminals with the virtual register behind them, reached over
HTTP on the loopback address.

Usage: service_e2e.py --service PATH --sender PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from runner import run_tests
from virtual_ports import check, wait_until  # noqa: E402
from service_session import Service  # noqa: E402

ARGS = None
TESTS = []


def test(function):
    TESTS.append(function)
    return function


def service(name, boards, **options):
    directory = os.path.join(ARGS.work, name)
    shutil.rmtree(directory, ignore_errors=True)
    return Service(directory, boards, ARGS.service, ARGS.register, **options)


def expect(result, status, body=None, what=""):
    got_status, _, got_body = result
    check(got_status == status and (body is None or body in got_body),
          f"{what}: {got_status} {got_body!r}; expected {status} {body!r}")


# ----------------------------------------------------------------- tests

@test
def every_endpoint_and_every_error_code():
    s = service("endpoints", [{"name": "kitchen", "outputs": 16, "names": {3: "pump"}},
                              {"name": "lab", "pulse_ms": 200}]).start()
    kitchen, lab = s.ports["kitchen"], s.ports["lab"]
    boards = json.loads(s.request("GET", "/api/boards")[2])
    check([(b["name"], b["outputs"], b["available"], b["value"]) for b in boards] ==
          [("kitchen", 16, True, "0x0000"), ("lab", 8, True, "0x00")], f"boards {boards}")
    rows = [  # method, path, body, status, in the answer, what kitchen latches afterwards (None: nothing)
        ("POST", "/api/boards/kitchen/outputs/3", "ON", 200, "ON", 0x2000),
        ("POST", "/api/boards/kitchen/outputs/16", '{"state": "ON"}', 200, "ON", 0x2001),
        ("POST", "/api/boards/kitchen/outputs/3", "TOGGLE\n", 200, "OFF", 0x0001),
        ("POST", "/api/boards/kitchen/outputs/3", "off", 200, "OFF", None),
        ("GET", "/api/boards/kitchen/outputs/16", None, 200, "ON", None),
        ("GET", "/api/boards/kitchen/outputs/3", None, 200, "OFF", None),
        ("POST", "/api/boards/kitchen/outputs/3", "MAYBE", 400, "expected ON, OFF, TOGGLE, true, false, 1 or 0", None),
        ("POST", "/api/boards/kitchen/outputs/3", "true", 200, "ON", 0x2001),
        ("POST", "/api/boards/kitchen/outputs/3", '{"state": false}', 200, "OFF", 0x0001),
        ("POST", "/api/boards/kitchen/outputs", "3=on 5=1 16=toggle", 200, "0x2800", 0x2800),
        ("POST", "/api/boards/kitchen/outputs", '{"3": "OFF", "4": true}', 200, "0x1800", 0x1800),
        ("POST", "/api/boards/kitchen/outputs", "3=on 17=on", 400, "17", None),
        ("POST", "/api/boards/kitchen/outputs", '{"3": 2}', 400, "bad state for output '3'", None),
        ("PUT", "/api/boards/kitchen/value", "0x8080", 200, "0x8080", 0x8080),
        ("GET", "/api/boards/kitchen/value", None, 200, "0x8080", None),
        ("GET", "/api/boards/kitchen", None, 200, '"value":"0x8080"', None),
        ("POST", "/api/boards/kitchen/outputs/3", '{"state": 1}', 400, "expected ON", None),
        ("POST", "/api/boards/kitchen/outputs/0", "ON", 400, "has outputs 1 to 16", None),
        ("POST", "/api/boards/kitchen/outputs/17", "ON", 400, "has outputs 1 to 16", None),
        ("POST", "/api/boards/kitchen/outputs/x", "ON", 400, "bad output 'x'", None),
        ("PUT", "/api/boards/kitchen/value", "0x10000", 400, "expected a value for 16 outputs", None),
        ("PUT", "/api/boards/kitchen/value", "", 400, "bad value ''", None),
        ("PUT", "/api/boards/kitchen/value", "0b1010", 400, "for 16 outputs needs 16 digits, output 1 first, not 4", None),
        ("POST", "/api/boards/kitchen/outputs/1/pulse", None, 400, "no pulse length", None),
        ("POST", "/api/boards/kitchen/outputs/1/pulse?ms=0", None, 400, "bad pulse length '0'", None),
        ("POST", "/api/boards/kitchen/outputs/1/pulse?ms=3600001", None, 400, "bad pulse length", None),
        ("POST", "/api/boards/cellar/outputs/1", "ON", 404, "no board 'cellar'", None),
        ("GET", "/api/outputs/1", None, 404, "there are several boards", None),
        ("GET", "/api/nothing", None, 404, "no such path", None),
        ("GET", "/api/boards/kitchen/outputs/3/", None, 404, "no such path", None),
        ("DELETE", "/api/boards/kitchen/value", None, 405, "GET, PUT", None),
        ("PUT", "/api/boards/kitchen/outputs/3", "ON", 405, "GET, POST", None),
        ("POST", "/api/boards/kitchen/outputs/3", "O" * 5000, 413, "over 4096 bytes", None),
        ("GET", "/healthz", None, 200, '"unavailable":[]', None),
    ]
    for method, path, body, status, answer, latched in rows:
        before = kitchen.latches()
        expect(s.request(method, path, body), status, answer, f"{method} {path} {body!r}"[:80])
        after = kitchen.latches()
        if latched is None:
            check(after == before, f"{method} {path} {body!r}: latched {after[len(before):]}"[:200])
        else:
            check(after[len(before):] == [latched], f"{method} {path}: latched {after[len(before):]}")
    # The board's pulse length, and one given: on, answered, off by itself.
    expect(s.request("POST", "/api/boards/lab/outputs/2/pulse"), 200, "ON", "a pulse")
    check(lab.latches()[-1] == 0x40, f"lab latched {lab.latches()}")
    wait_until("the pulse to end", lambda: lab.latches()[-1] == 0x00, 3, 0.01)
    expect(s.request("POST", "/api/boards/lab/outputs/1/pulse?ms=50"), 200, "ON", "a pulse of 50 ms")
    wait_until("the pulse to end", lambda: lab.latches()[-2:] == [0x80, 0x00], 3, 0.01)
    outputs = json.loads(s.request("GET", "/api/boards/kitchen/outputs")[2])
    check(outputs[2]["name"] == "pump" and outputs[2]["state"] == "OFF" and outputs[1]["name"] is None and
          outputs[0]["state"] == "ON" and
          len(outputs) == 16, f"outputs {outputs[:3]}")
    kitchen.transmissions()  # every latch a whole transmission
    lab.transmissions()
    check(s.stop() == 0, "the service did not stop cleanly")
    s.close()


def read_events(s, count, timeout=10):
    """The first `count` events of /api/events, as dicts."""
    connection = http.client.HTTPConnection("127.0.0.1", s.port, timeout=timeout)
    connection.request("GET", "/api/events", headers={"Authorization": f"Bearer {s.token}"} if s.token else {})
    response = connection.getresponse()
    check(response.status == 200 and response.getheader("Content-Type") == "text/event-stream",
          f"events: {response.status} {response.getheader('Content-Type')}")
    events = []
    while len(events) < count:
        line = response.fp.readline().decode()
        if line.startswith("data: "):
            events.append(json.loads(line[6:]))
    connection.close()
    return events


@test
def the_event_stream_gives_the_state_then_each_change():
    s = service("events", [{"name": "kitchen"}, {"name": "lab", "outputs": 16}]).start()
    got = []
    reader = threading.Thread(target=lambda: got.extend(read_events(s, 4)))
    reader.start()
    time.sleep(0.5)
    expect(s.request("POST", "/api/boards/lab/outputs/9", "ON"), 200, "ON", "a change")
    s.unplug("kitchen")
    reader.join(15)
    check([e["board"] for e in got[:2]] == ["kitchen", "lab"] and len(got[0]["outputs"]) == 8 and
          len(got[1]["outputs"]) == 16, f"the first events: {got[:2]}")
    check(got[2] == {"board": "lab", "available": True, "value": "0x0080", "outputs": [{"output": 9, "state": "ON"}]},
          f"the change: {got[2:3]}")
    check(got[3]["board"] == "kitchen" and got[3]["available"] is False, f"the unplugging: {got[3:]}")
    s.close()


def open_stream(s):
    """A new /api/events connection and its answer, before any event is read."""
    connection = http.client.HTTPConnection("127.0.0.1", s.port, timeout=10)
    connection.request("GET", "/api/events", headers={"Authorization": f"Bearer {s.token}"})
    return connection, connection.getresponse()


@test
def event_streams_miss_no_change_and_are_let_go_when_their_readers_go():
    s = service("streams", [{"name": "kitchen"}]).start()
    # A change made while a stream starts reaches it after its first state.
    for value in range(1, 21):
        connection, response = open_stream(s)
        threading.Thread(target=s.request, args=("PUT", "/api/value", str(value))).start()
        seen = []
        while not seen or seen[-1] != f"0x{value:02X}":
            line = response.fp.readline().decode()
            if line.startswith("data: "):
                seen.append(json.loads(line[6:])["value"])
        connection.close()
    # Readers that went are let go: the streams they held are free again.
    for _ in range(40):
        connection, response = open_stream(s)
        connection.close()
    wait_until("a new stream let in", lambda: open_stream(s)[1].status == 200, 15, 0.5)
    s.close()


@test
def an_adapter_unplugged_while_idle_and_while_busy_comes_back_with_its_state():
    s = service("unplug", [{"name": "kitchen"}, {"name": "lab"}]).start()
    kitchen = s.ports["kitchen"]
    expect(s.request("PUT", "/api/boards/kitchen/value", "0x81"), 200, "0x81", "a value")
    started = time.monotonic()
    mark = s.mark()
    s.unplug("kitchen")
    wait_until("kitchen unavailable", lambda: s.request("GET", "/healthz")[0] == 503, 5, 0.05)
    took = time.monotonic() - started
    check(took < 2, f"unavailable only after {took:.1f} s")
    s.wait_for_log("kitchen:", "the adapter is gone", since=mark)
    expect(s.request("GET", "/healthz"), 503, '"unavailable":["kitchen"]', "health")
    expect(s.request("POST", "/api/boards/kitchen/outputs/2", "ON"), 503, "unavailable", "a change while gone")
    expect(s.request("GET", "/api/boards/kitchen/outputs/1"), 503, "unavailable", "a read while gone")
    expect(s.request("POST", "/api/boards/lab/outputs/2", "ON"), 200, "ON", "the other board meanwhile")
    mark, before = s.mark(), len(kitchen.latches())
    s.plug("kitchen")
    s.wait_until_available("kitchen", since=mark)
    check(kitchen.latches()[before:] == [0x81], f"the state re-sent: {kitchen.latches()[before:]}")
    expect(s.request("GET", "/healthz"), 200, None, "health after the return")

    # Busy: requests in flight while the adapter goes; every answer is 200
    # or 503, and what comes back is the last state answered 200.
    answered = []

    def flood():
        for i in range(200):
            status, _, body = s.request("PUT", "/api/boards/kitchen/value", str(i % 256))
            answered.append((status, i % 256))

    clients = [threading.Thread(target=flood) for _ in range(4)]
    for client in clients:
        client.start()
    wait_until("the flood under way", lambda: len(answered) > 50, 20, 0.01)
    s.unplug("kitchen")
    time.sleep(0.5)
    mark = s.mark()
    s.plug("kitchen")
    for client in clients:
        client.join(60)
    check({status for status, _ in answered} <= {200, 503} and 503 in {st for st, _ in answered},
          f"answers {sorted({st for st, _ in answered})}")
    s.wait_until_available("kitchen", since=mark)
    time.sleep(0.3)
    value = int(s.request("GET", "/api/boards/kitchen/value")[2], 16)
    check(kitchen.latches()[-1] == value, f"the register shows {kitchen.latches()[-1]:#x}, the service {value:#x}")
    kitchen.transmissions()
    check(s.process.poll() is None, "the service ended")
    s.close()


@test
def a_restart_restores_the_state_and_a_kill_leaves_a_readable_record():
    s = service("restart", [{"name": "kitchen", "outputs": 16}])
    s.start()
    expect(s.request("PUT", "/api/boards/kitchen/value", "0xA5A5"), 200, "0xA5A5", "a value")
    check(s.stop() == 0, "the service did not stop cleanly")
    s.start()
    check(s.ports["kitchen"].latches()[-1] == 0xA5A5, f"restored {s.ports['kitchen'].latches()}")
    # SIGKILL in the middle of a flood: the record is whole, the next start uses it.
    stop = threading.Event()

    def flood():
        i = 0
        while not stop.is_set():
            try:
                s.request("PUT", "/api/boards/kitchen/value", str(i % 65536), timeout=5)
            except OSError:
                return
            i += 1

    clients = [threading.Thread(target=flood) for _ in range(4)]
    for client in clients:
        client.start()
    time.sleep(1.0)
    s.stop(signal.SIGKILL)
    stop.set()
    for client in clients:
        client.join(10)
    # A pseudo-terminal whose other end stays open keeps the killed holder's
    # exclusive flag; a real adapter's last close clears it. A fresh one
    # stands in for that.
    s.unplug("kitchen")
    s.plug("kitchen")
    with open(os.path.join(s.dir, "state", "kitchen.state")) as record:
        text = record.read()
    check(text.startswith("# octolatch") and "outputs 16" in text, f"the record after SIGKILL: {text!r}")
    recorded = int(text.split("value ")[1].split()[0], 16)
    s.start()
    check(s.ports["kitchen"].latches()[-1] == recorded, f"restored {s.ports['kitchen'].latches()[-1]:#x}, "
                                                        f"the record says {recorded:#x}")
    s.close()


def check_config(s, *arguments, env=None):
    """octolatchd --check-config on s's configuration: (exit, standard error)."""
    result = subprocess.run([ARGS.service, "--check-config", "--config", s.configuration] + list(arguments),
                            env=dict(s.environment(), **(env or {})), capture_output=True, text=True, timeout=20)
    return result.returncode, result.stderr


@test
def access_cross_site_tokens_hosts_and_framing():
    s = service("token", [{"name": "kitchen"}], token="s3cret-token").start()
    same = f"http://127.0.0.1:{s.port}"
    good = {"Authorization": "Bearer s3cret-token"}
    rows = [  # method, path, headers, status, in the answer
        ("GET", "/api/boards", good, 200, "kitchen"),
        ("GET", "/api/boards", {"Authorization": "bearer s3cret-token"}, 200, "kitchen"),
        ("GET", "/api/boards", {"Authorization": "BEARER   s3cret-token "}, 200, "kitchen"),
        ("GET", "/api/boards", {"Authorization": "Bearer s3cret-toke"}, 401, "the token is wrong"),
        ("GET", "/api/boards", {"Authorization": "Bearer s3cret-token!"}, 401, "the token is wrong"),
        ("GET", "/api/boards", {"Authorization": "Basic s3cret-token"}, 401, "is not 'Bearer TOKEN'"),
        ("GET", "/api/outputs/1", {"Authorization": ""}, 401, "a token is needed"),
        ("GET", "/healthz", {"Authorization": ""}, 200, "unavailable"),
        ("GET", "/", {"Authorization": ""}, 200, "<html"),
        ("GET", "/api/boards", dict(good, Host="attacker.example:80"), 421, "loopback"),
        ("GET", "/api/boards", dict(good, Host="localhost:8080"), 200, "kitchen"),
        ("GET", "/api/boards", dict(good, Host="[::1]:8080"), 200, "kitchen"),
        ("GET", "/", {"Host": "evil.example"}, 421, "loopback"),
        # A page of another site, through the user's browser, with the token
        # the browser would not even have: refused before anything else.
        ("POST", "/api/outputs/1", dict(good, Origin="https://evil.example", **{"Content-Type": "text/plain"}),
         403, "another site"),
        ("POST", "/api/outputs/1", dict(good, **{"Sec-Fetch-Site": "cross-site"}), 403, "another site"),
        ("POST", "/api/outputs/1", dict(good, Origin="null"), 403, "another site"),
        ("POST", "/api/outputs/1", dict(good, Origin=f"http://localhost:{s.port}"), 403, "another site"),
        ("OPTIONS", "/api/outputs/1", {"Origin": "https://evil.example",
                                       "Access-Control-Request-Method": "POST"}, 403, "another site"),
        ("GET", "/api/boards", {"Origin": "https://evil.example"}, 403, "another site"),
        # The page itself, and a link to it followed from elsewhere.
        ("POST", "/api/outputs/2", dict(good, Origin=same, **{"Sec-Fetch-Site": "same-origin"}), 200, "ON"),
        ("GET", "/", {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate"}, 200, "<html"),
    ]
    for method, path, headers, status, text in rows:
        got = s.request(method, path, "ON" if method == "POST" else None, headers=headers)
        what = f"{method} {path} {headers}"
        check(got[0] == status and text in got[2], f"{what}: {got[0]} {got[2][:80]!r}, expected {status} {text!r}")
        check(not any(h.lower().startswith("access-control-") for h in got[1]), f"{what}: CORS headers {got[1]}")
        if status == 401:
            check(got[1].get("WWW-Authenticate", "").startswith("Bearer"), f"{what}: 401 without WWW-Authenticate")
    check(s.ports["kitchen"].latches() == [0, 0x40], f"refused requests latched: {s.ports['kitchen'].latches()}")
    page = s.request("GET", "/")[1]
    check("frame-ancestors 'none'" in page.get("Content-Security-Policy", "") and
          page.get("X-Frame-Options") == "DENY" and page.get("Referrer-Policy") == "no-referrer",
          f"the page may be framed or leak its address: {page}")
    s.close()


@test
def token_files_credentials_and_the_services_own_token():
    s = service("token-files", [{"name": "kitchen"}], token="file-token")
    token_file = os.path.join(s.dir, "token")
    elsewhere = os.path.join(s.dir, "elsewhere")
    with open(elsewhere, "w") as f:
        f.write("file-token\n")

    def as_link():
        os.remove(token_file)
        os.symlink(elsewhere, token_file)

    def as_directory():
        os.remove(token_file)
        os.mkdir(token_file)

    def as_empty():
        open(token_file, "w").close()

    rows = [  # what is done to the token file, exit, in the message
        (lambda: os.chmod(token_file, 0o644), 2, "may be read by anyone"),
        (lambda: os.chmod(token_file, 0o620), 2, "others than its owner may write"),
        (lambda: os.chmod(token_file, 0o640), 0, ""),
        (as_empty, 2, "is empty"),
        (as_link, 2, "is a symbolic link"),
        (as_directory, 2, "not a regular file"),
    ]
    if os.geteuid() == 0:
        rows.append((lambda: os.chown(token_file, 65534, 65534), 2, "belongs to uid 65534"))
    for change, code, text in rows:
        if os.path.isdir(token_file) and not os.path.islink(token_file):
            os.rmdir(token_file)
        elif os.path.lexists(token_file):
            os.remove(token_file)
        with open(token_file, "w") as f:
            f.write("file-token\n")
        os.chmod(token_file, 0o600)
        change()
        got, err = check_config(s)
        check(got == code and text in err, f"{text or 'a good file'}: exit {got}: {err!r}")
    if os.path.isdir(token_file):
        os.rmdir(token_file)
    s.write_configuration()
    # systemd's credential wins over token_file; --token-file over both.
    credentials = os.path.join(s.dir, "credentials")
    os.makedirs(credentials, exist_ok=True)
    with open(os.path.join(credentials, "token"), "w") as f:
        f.write("credential-token\n")
    other = os.path.join(s.dir, "other-token")
    with open(other, "w") as f:
        f.write("command-line-token\n")
    os.chmod(other, 0o600)
    for env, arguments, accepted, refused in [
            ({"CREDENTIALS_DIRECTORY": credentials}, [], "credential-token", "file-token"),
            ({}, ["--token-file", other], "command-line-token", "file-token")]:
        s.more_env = env
        s.start(arguments)
        for token, status in [(accepted, 200), (refused, 401)]:
            got = s.request("GET", "/api/boards", headers={"Authorization": f"Bearer {token}"})
            check(got[0] == status, f"{env} {arguments}: {token} answered {got[0]}")
        check(s.stop() == 0, "the service did not stop cleanly")
    s.close()

    # No token_file: the service makes its own once and keeps it.
    own = service("own-token", [{"name": "kitchen"}])
    own.start()
    token_path = os.path.join(own.dir, "state", "token")
    mode = os.stat(token_path).st_mode & 0o777
    check(len(own.token) == 32 and all(c in "0123456789abcdef" for c in own.token) and mode in (0o640, 0o600),
          f"the token made: {own.token!r}, mode {mode:o}")
    own.wait_for_log(f"#token={own.token}")
    check(own.request("GET", "/api/boards", headers={"Authorization": ""})[0] == 401, "the own token not asked for")
    check(own.request("GET", "/api/boards")[0] == 200, "the own token refused")
    own.stop()
    own.start()
    check(own.request("GET", "/api/boards")[0] == 200 and not any("made the token" in l for l in own.lines),
          "the token was made again at the second start")
    own.close()
    # token_file = "": none, on loopback only.
    open_service = service("no-token", [{"name": "kitchen"}], token="").start()
    check(open_service.request("POST", "/api/outputs/1", "ON")[0] == 200, "no token: refused")
    open_service.wait_for_log("no token: every local account may switch")
    open_service.close()
    for listen, token, code, text in [("0.0.0.0:0", "", 2, "needs a token"), ("0.0.0.0:0", None, 0, ""),
                                      ("127.0.0.1:99999", None, 2, "bad listen address")]:
        bare = service("open-address", [{"name": "kitchen"}], listen=listen, token=token)
        got, err = check_config(bare)
        check(got == code and text in err and bare.ports["kitchen"].events() == [],
              f"listen {listen} token {token!r}: exit {got}: {err!r}")
        bare.close()


@test
def a_second_service_on_a_taken_address_opens_no_port():
    first = service("first", [{"name": "kitchen"}]).start()
    second = service("second", [{"name": "lab"}], listen=f"127.0.0.1:{first.port}", token="")
    second.start(wait=False)
    code = second.process.wait(20)
    check(code == 1 and any("the address is taken" in l for l in second.lines) and
          second.ports["lab"].events() == [], f"exit {code}: {second.lines}")
    check(first.request("POST", "/api/outputs/1", "ON")[0] == 200, "the first service stopped answering")
    first.close()
    second.close()


@test
def configuration_errors_and_a_board_without_a_file():
    s = service("check", [{"name": "kitchen"}])
    with open(s.configuration, "a") as f:
        f.write("colour = \"red\"\npulse_ms = 0\n")
    result = subprocess.run([ARGS.service, "--check-config", "--config", s.configuration],
                            capture_output=True, text=True, timeout=20)
    lines = result.stderr.splitlines()
    check(result.returncode == 2 and len(lines) == 2 and all(f"{s.configuration}:" in l for l in lines) and
          "unknown key 'colour'" in result.stderr and "pulse_ms must be" in result.stderr,
          f"exit {result.returncode}: {result.stderr!r}")
    # --port: one board named "board", 8 outputs; systemd is told when it is ready.
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(os.path.join(s.dir, "notify"))
    notify.settimeout(10)
    process = subprocess.Popen([ARGS.service, "--port", s.link("kitchen"), "--listen", "127.0.0.1:0"],
                               env=dict(s.environment(), STATE_DIRECTORY=os.path.join(s.dir, "state"),
                                        NOTIFY_SOCKET=os.path.join(s.dir, "notify")),
                               stderr=subprocess.PIPE, text=True)
    try:
        check(notify.recv(4096) == b"READY=1", "systemd was not told the service is ready")
        line = process.stderr.readline()
        s.port = int(line.split("http://", 1)[1].split("/")[0].rsplit(":", 1)[1])
        with open(os.path.join(s.dir, "state", "token")) as f:
            s.token = f.read().strip()
        wait_until("the board", lambda: s.request("GET", "/healthz")[0] == 200, 10, 0.05)
        expect(s.request("POST", "/api/outputs/8", "ON"), 200, "ON", "the one board")
        check(s.ports["kitchen"].latches()[-1] == 0x01, f"latched {s.ports['kitchen'].latches()}")
    finally:
        process.send_signal(signal.SIGTERM)
        check(process.wait(10) == 0, "the service did not stop cleanly")
        check(notify.recv(4096) == b"STOPPING=1", "systemd was not told the service stops")
        notify.close()
    s.close()


def sender(s, *args, stdin=None, env=None):
    """octolatch-send run as a script would, beside the service: (exit, out, err)."""
    result = subprocess.run([ARGS.sender] + [str(a) for a in args], input=stdin, capture_output=True, text=True,
                            env=dict(s.environment(), XDG_STATE_HOME=os.path.join(s.dir, "sender-state"),
                                     **(env or {})), timeout=60)
    return result.returncode, result.stdout, result.stderr


def opens(port):
    return sum(what == "OPEN" for _, what, _ in port.events())


@test
def the_sender_hands_its_commands_to_the_service():
    runtime = os.path.join(ARGS.work, "hand-off-run")
    shutil.rmtree(runtime, ignore_errors=True)
    os.makedirs(runtime)
    s = service("hand-off", [{"name": "kitchen", "outputs": 16}], env={"OCTOLATCH_RUNTIME_DIR": runtime}).start()
    port = s.ports["kitchen"]
    link = s.link("kitchen")
    wait_until("the sender's socket", lambda: os.listdir(runtime), 5, 0.05)
    rows = [  # arguments, standard input, exit, standard output, standard error (its start), latched afterwards
        (["--verbose", link, "0x8001", "3=on", "5=on"], None, 0, "", "latched 0x8001\nlatched 0xA801\n", 0xA801),
        (["--get", link], None, 0, "0xA801\n", "", None),
        (["--get", link, "3"], None, 0, "on\n", "", None),
        (["--get", link, "4"], None, 0, "off\n", "", None),
        ([link, "-"], "1=off 16=off\n2=on # a comment\n", 0, "", "", 0x6800),
        (["--verbose", link, "7=pulse:200ms"], None, 0, "", "latched 0x6A00\nlatched 0x6800\n", 0x6800),
        ([link, "17=on"], None, 2, "", "octolatch-send: output 17 in '17=on' is beyond the 16 outputs", None),
        ([link, "0x1FFFF"], None, 2, "", "octolatch-send: bad value '0x1FFFF': expected a value for 16", None),
        (["--outputs", "8", link, "0x01"], None, 1, "", "octolatch-send: " + link + ": octolatchd owns it with 16", None),
        (["--get", link, "17"], None, 2, "", "octolatch-send: output 17 is beyond the 16 outputs", None),
    ]
    for arguments, stdin, code, out, err, latched in rows:
        before = len(port.latches())
        got = sender(s, *arguments, stdin=stdin)
        check(got[0] == code and got[1] == out and got[2].startswith(err),
              f"{arguments}: {got}; expected {code}, {out!r}, {err!r}")
        if latched is not None:
            check(port.latches()[-1] == latched, f"{arguments}: latched {[hex(v) for v in port.latches()[before:]]}")
        else:
            check(len(port.latches()) == before, f"{arguments}: latched {port.latches()[before:]}")
    check(opens(port) == 1, f"the port was opened {opens(port)} times: something besides the service opened it")
    s.wait_for_log("kitchen: output 3 on", "octolatch-send, uid")
    # A peer that could not open the device itself is refused (root always could).
    if os.geteuid() != 0:
        mode = os.stat(port.tty).st_mode & 0o777
        os.chmod(port.tty, 0o000)
        got = sender(s, link, "1=on")
        os.chmod(port.tty, mode)
        check(got == (1, "", f"octolatch-send: {link}: permission denied\n"), f"a refused peer: {got}")
        s.wait_for_log("kitchen: refused octolatch-send")
    # The service stopping while the sender waits for a pulse: the sender
    # says so, and the pulse does not stay on.
    waiting = subprocess.Popen([ARGS.sender, link, "4=pulse:10s"], stderr=subprocess.PIPE, text=True,
                               env=dict(s.environment(), XDG_STATE_HOME=os.path.join(s.dir, "sender-state")))
    wait_until("the pulse on", lambda: port.latches()[-1] & 0x1000, 10, 0.02)
    check(s.stop() == 0, "the service did not stop cleanly")
    code = waiting.wait(15)
    err = waiting.stderr.read()
    check(code == 1 and "octolatchd" in err and ("stopped" in err or "stopping" in err), f"exit {code}: {err!r}")
    check(port.latches()[-1] & 0x1000 == 0, "the service stopped with the pulse on")
    # No service: the sender opens the port itself.
    got = sender(s, "--outputs", "16", link, "0x0001")
    check(got[0] == 0 and port.latches()[-1] == 0x0001 and opens(port) == 2, f"without the service: {got}")
    s.close()


# ------------------------------------------------------------------ main

def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--service", "--sender", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    ARGS = parser.parse_args()
    ARGS.work = os.path.abspath(ARGS.work)
    ARGS.service = os.path.abspath(ARGS.service)
    ARGS.register = os.path.abspath(ARGS.register)
    ARGS.sender = os.path.abspath(ARGS.sender)
    return run_tests(TESTS, ARGS.only, f"service e2e ({ARGS.service})")


if __name__ == "__main__":
    sys.exit(main())
