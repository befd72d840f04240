#!/usr/bin/env python3
"""End-to-end tests of octolatch.exe under Wine.

Each scenario declares its COM ports in the Wine registry, each port a
pseudo-terminal watched by the virtual register (virtual_register.c, preloaded
into Wine), starts the real program, clicks it with real pointer clicks
(xdotool) and reads what the user and the register would see: the window
through probe.exe, the wire through the register's event log.

Run by tests/e2e/run, inside Xvfb and a /dev without serial devices.
"""
import argparse
import grp
import os
import subprocess
import sys
import time

from runner import run_tests
from virtual_ports import (Port, check, latched_at_opens, lines_after, transmissions, wait_until,  # noqa: E402
                           what_an_open_did)
from wine_session import ARGS, Session, configure, make_prefix, run_wine  # noqa: E402

SCENARIOS = []


def scenario(function):
    SCENARIOS.append(function)
    return function


def start_with_window(session):
    session.start()
    return session.wait_for_window()


def startup_events(port):
    """Checks that opening and configuring sent nothing: lines lowered, no data, no latch."""
    events = port.events()
    check(any(what == "OPEN" for _, what, _ in events), f"{port.name} was never opened")
    sent = [e for e in events if e[1] in ("BREAK", "LATCH") or (e[1] in ("DTR", "RTS") and e[2] == "1")]
    check(not sent, f"start-up sent something on {port.name}: {sent}")
    check(lines_after(events) == {"DTR": 0, "RTS": 0}, f"DTR and RTS not lowered on {port.name}")


def close_and_check(session, active):
    """Closes the window like a user; exit 0, nothing more sent, the port released."""
    events_before = [e for e in active.events() if e[1] not in ("CLOSE",)]
    code = session.close_window()
    check(code == 0, f"exit code {code} after closing the window")
    time.sleep(0.3)
    events_after = [e for e in active.events() if e[1] not in ("CLOSE",)]
    check(events_after == events_before, f"sent on close: {events_after[len(events_before):]}")
    check(active.holders() == 0, f"{active.name} still held after exit")


# ---------------------------------------------------------- scenarios

@scenario
def window_and_controls_and_nothing_sent_at_startup():
    with Session("window", ["COM3", "COM5"]) as s:
        view = start_with_window(s)
        x, y, w, h = view["windowrect"]
        check((w, h) == (620, 100), f"window size {w}x{h}")
        check(view["style"] & 0x00CA0000 == 0x00CA0000, "no caption, system menu or minimize box")
        check(view["style"] & 0x00050000 == 0, "a sizing border or maximize box")
        expected = [("Button", str(k), 0x50000003, (120 + 50 * (k - 1), 15, 40, 40)) for k in range(1, 9)]
        expected += [("Button", "Send", 0x50000000, (530, 15, 70, 40)),
                     ("ComboBox", "", 0x50000202, (20, 20, 70, None))]
        got = [(c["class"], c["text"], c["style"], c["rect"]) for c in view["controls"]]
        check(len(got) == 10, f"{len(got)} controls: {got}")
        for (cls, text, style, rect), control in zip(expected, view["controls"]):
            # A combo box sets its own height from its font; the rest is as created.
            actual_rect = control["rect"] if rect[3] is not None else control["rect"][:3] + (None,)
            check((control["class"], control["text"], control["style"], actual_rect, control["id"]) ==
                  (cls, text, style, rect, 0), f"control {control} differs from {(cls, text, style, rect)}")
            check(control["checked"] == 0, f"{control['text']} starts ticked")
        order = s.platform_ports()
        active = s.ports[order[0]]
        startup_events(active)
        other = s.ports[order[1]]
        check(other.events() == [], f"{other.name} touched at start-up: {other.events()}")
        check(view["items"] == order and view["selected"] == 0,
              f"selector {view['items']} selected {view['selected']}, platform order {order}")
        close_and_check(s, active)


@scenario
def ticking_unticking_and_send_latch_the_byte():
    with Session("ticking", ["COM3"]) as s:
        view = start_with_window(s)
        port = s.ports["COM3"]
        steps = [  # (control index, byte latched)
            (2, 0x20),   # tick 3
            (2, 0x00),   # untick 3
            (0, 0x80),   # tick 1
            (7, 0x81),   # tick 8
            (0, 0x01),   # untick 1
            (7, 0x00),   # untick 8
            (7, 0x01),   # tick 8, then 1: the same byte either order
            (0, 0x81),
            (0, 0x01), (7, 0x00),
            (1, 0x40),   # tick 2
            (6, 0x42),   # tick 7
            (8, 0x42),   # Send: the same byte again
            (8, 0x42),
        ]
        for index, byte in steps:
            s.click_and_wait(port, view, index, byte)
        check(transmissions(port.events()) == [b for _, b in steps],
              "the data bits sent do not match the bytes latched")
        ticks = [c["checked"] for c in s.look()["controls"][:8]]
        check(ticks == [0, 1, 0, 0, 0, 0, 1, 0], f"boxes ticked {ticks} after Send")
        close_and_check(s, port)


@scenario
def port_list_in_platform_order_with_the_active_port_selected():
    with Session("order", ["COM3", "COM5", "COM12", "COM7", "COM4"]) as s:
        view = start_with_window(s)
        order = s.platform_ports()
        check(sorted(order) == sorted(s.ports), f"platform lists {order}")
        check(view["items"] == order, f"selector {view['items']}, platform {order}")
        check(view["selected"] == 0, f"selected entry {view['selected']}")
        close_and_check(s, s.ports[order[0]])


@scenario
def first_listed_port_busy_opens_the_next():
    with Session("busy-first", ["COM3", "COM5"]) as s:
        order = s.platform_ports()
        first, second = s.ports[order[0]], s.ports[order[1]]
        first.set_mode("busy")
        view = start_with_window(s)
        check(view["items"] == order and view["selected"] == 1,
              f"selector {view['items']} selected {view['selected']}")
        check([w for _, w, _ in first.events()] == ["OPEN"] and "refused" in first.events()[0][2],
              f"{first.name}: {first.events()}")
        startup_events(second)
        s.click_and_wait(second, view, 0, 0x80)
        check(first.latches() == [], f"{first.name} latched {first.latches()}")
        close_and_check(s, second)


@scenario
def switching_ports_above_9():
    with Session("switch", ["COM10", "COM12"]) as s:
        view = start_with_window(s)
        order = s.platform_ports()
        old, new = s.ports[order[0]], s.ports[order[1]]
        s.click_and_wait(old, view, 2, 0x20)
        old_events = len(old.events())
        s.pick_port(new.name)
        view = wait_until("the switch", lambda: (lambda v: v if v.get("selected") == 1 and not v.get("dropped") else None)(s.look()))
        wait_until(f"{old.name} released", lambda: old.holders() == 0)
        opened = [t for t, w, _ in new.events() if w == "OPEN"]
        closed = [t for t, w, _ in old.events()[old_events:] if w == "CLOSE"]
        check(opened and closed and opened[0] < closed[0],
              f"{new.name} opened at {opened}, {old.name} closed at {closed}: new must open first")
        startup_events(new)
        # The boxes keep their ticks and the byte; nothing is sent by the switch.
        check(new.latches() == [], "the switch sent the byte")
        s.click_and_wait(new, view, 4, 0x28)
        check([w for _, w, _ in old.events()[old_events:] if w != "CLOSE"] == [],
              f"{old.name} moved after the switch: {old.events()[old_events:]}")
        # Picking the active port again does nothing at all.
        events = new.events()
        s.pick_port(new.name)
        wait_until("the list to close", lambda: not s.look().get("dropped"))
        time.sleep(0.3)
        check(new.events() == events, f"re-picking the active port did something: {new.events()[len(events):]}")
        close_and_check(s, new)


@scenario
def switching_to_com1_selects_com1_not_a_port_whose_name_begins_with_it():
    with Session("switch-prefix", ["COM10", "COM12", "COM1", "COM2", "COM21"]) as s:
        view = start_with_window(s)
        items = view["items"]
        # A port whose name begins another name listed before it.
        target = next((name for i, name in enumerate(items)
                       if any(other.startswith(name) for other in items[:i])), None)
        check(target, f"no name in {items} begins another listed before it")
        check(items[view["selected"]] != target, f"{target} is active already")
        s.pick_port(target)
        view = wait_until("the switch", lambda: (lambda v: v if s.ports[target].holders() and not v.get("dropped")
                                                 else None)(s.look()))
        check(view["items"][view["selected"]] == target,
              f"after picking {target} the list shows {view['items'][view['selected']]} selected")
        close_and_check(s, s.ports[target])


def switch_refused(mode, text):
    with Session(f"switch-{mode}", ["COM3", "COM5"]) as s:
        view = start_with_window(s)
        order = s.platform_ports()
        active, refused = s.ports[order[0]], s.ports[order[1]]
        refused.set_mode(mode)
        before = len(active.events())
        s.pick_port(refused.name)
        view = s.wait_for_error()
        error = view["error"]
        check(error.get("errortext") == text and error["owner"] == "owned" and
              error.get("erroricon") == "yes" and error.get("errorbutton") == "OK",
              f"error box {error}, expected '{text}' owned by the window")
        s.dismiss_error(view)
        view = s.look()
        check(view["selected"] == 0, f"selection on {view['selected']} after the failed switch")
        check(refused.holders() == 0 and all(w == "OPEN" for _, w, _ in refused.events()),
              f"{refused.name}: {refused.events()}")
        again = active.events()[before:]
        check(lines_after(active.events()) == {"DTR": 0, "RTS": 0} and
              not [e for e in again if e[1] in ("BREAK", "LATCH")],
              f"{active.name} after the failed switch: {again}")
        s.click_and_wait(active, view, 1, 0x40)
        close_and_check(s, active)


@scenario
def switching_to_a_missing_port_says_port_not_found():
    switch_refused("missing", "Port not found")


@scenario
def switching_to_a_busy_port_says_port_unreachable():
    switch_refused("busy", "Port unreachable")


def startup_failure(name, ports, text):
    with Session(name, ports) as s:
        for port in s.ports.values():
            port.set_mode("busy")
        s.start()
        view = s.wait_for_error()
        check(view["error"].get("errortext") == text and view["error"]["owner"] == "unowned",
              f"error box {view['error']}, expected unowned '{text}'")
        check(not view.get("visible"), "the window was shown")
        s.dismiss_error(view)
        code = s.exit_code()
        check(code == 0, f"exit code {code}")
        for port in s.ports.values():
            check(all(w == "OPEN" for _, w, _ in port.events()), f"{port.name}: {port.events()}")


@scenario
def no_com_ports_found():
    startup_failure("no-ports", [], "No COM ports found")


@scenario
def no_usable_com_port_found():
    startup_failure("none-usable", ["COM3", "COM5"], "No usable COM port found")


@scenario
def the_port_vanishes_while_running():
    with Session("vanish", ["COM3"]) as s:
        view = start_with_window(s)
        port = s.ports["COM3"]
        s.click_and_wait(port, view, 0, 0x80)
        port.set_mode("dead")
        for index in (1, 2, 8):
            before = len(port.events())
            s.click(view["controls"][index])
            wait_until("the click to reach the port",
                       lambda: sum(w == "FAILED" for _, w, _ in port.events()[before:]) >= 26)
        view = s.look()
        check(view.get("visible") and [c["checked"] for c in view["controls"][:3]] == [1, 1, 1],
              "the window stopped answering after the port vanished")
        check(port.latches() == [0x80], f"latched {port.latches()}")
        code = s.close_window()
        check(code == 0, f"exit code {code}")


@scenario
def a_burst_of_200_clicks_loses_none():
    with Session("burst", ["COM3"]) as s:
        view = start_with_window(s)
        port = s.ports["COM3"]
        expected = s.click_burst(view, [[3, 8, 1, 5, 3, 2, 8, 7][i % 8] for i in range(200)])
        wait_until("200 latches", lambda: len(port.latches()) >= 200, timeout=60)
        time.sleep(0.3)
        check(port.latches() == expected, "the latched bytes differ from the clicks' bytes")
        check(transmissions(port.events()) == expected, "the transmissions differ")
        close_and_check(s, port)


# ------------------------------------------- octolatch-send.exe under Wine

@scenario
def windows_sender_latches_values_and_lists_ports():
    with Session("sender", ["COM3", "COM12", "COM5"]) as s:
        code, out, err = s.send("--list")
        order = s.platform_ports()
        check(code == 0 and out.split() == order, f"--list gave {out.split()} (exit {code}), platform {order}")
        port = s.ports["COM12"]
        code, out, err = s.send("COM12", "0xA1", "1", "0b10000000")
        check(code == 0 and "octolatch-send" not in err, f"exit {code}: {err}")
        events = port.events()
        check([w for _, w, _ in events][0] == "OPEN", f"COM12: {events[:3]}")
        check(transmissions(events) == [0xA1, 0x01, 0x80], f"sent {transmissions(events)}")
        check(port.latches() == [0xA1, 0x01, 0x80], f"latched {port.latches()}")
        check(port.holders() == 0, "COM12 still held after the sender exited")
        # One output at a time, from the record under %LOCALAPPDATA%.
        code, out, err = s.send("COM12", "3=on", "8=on")
        check(code == 0 and port.latches()[-1] == 0xA1, f"3=on 8=on: exit {code}, {err!r}, {port.latches()}")
        code, out, err = s.send("--get", "COM12", "3")
        check((code, out.strip()) == (0, "on"), f"--get COM12 3: exit {code}, {out!r} {err!r}")
        code, out, err = s.send("COM12", "1=pulse:50ms")
        check(code == 0 and port.latches()[-2:] == [0xA1, 0x21], f"a pulse: exit {code}, {port.latches()}")


@scenario
def windows_sender_failures():
    with Session("sender-failures", ["COM3", "COM5"]) as s:
        s.ports["COM3"].set_mode("missing")
        s.ports["COM5"].set_mode("busy")
        rows = [  # arguments, exit code, message, port that must not be opened
            (["COM3", "1"], 1, "octolatch-send: COM3: no such port", None),
            (["--wait", "0", "COM5", "1"], 1, "octolatch-send: COM5: port busy", None),
            (["--wait", "1", "COM5", "1"], 1, "octolatch-send: COM5: port busy", None),
            (["COM5", "0x1FF"], 2, "octolatch-send: bad value '0x1FF'", "COM5"),
        ]
        def opens(name):
            return sum(what == "OPEN" for _, what, _ in s.ports[name].events()) if name else 0

        for arguments, expected_code, message, unopened in rows:
            opens_before = opens(unopened)
            code, _, err = s.send(*arguments)
            check(code == expected_code and message in err,
                  f"{arguments}: exit {code}, stderr {err!r}; expected {expected_code} and {message!r}")
            check(opens(unopened) == opens_before, f"{arguments}: {unopened} was opened")
        for port in s.ports.values():
            check(port.latches() == [], f"{port.name} latched {port.latches()}")


@scenario
def opening_a_port_shifts_revision_1_and_keeps_revision_2():
    # Linux ttys whose lines rise together at an open: Wine always sets a
    # rate, never 0, so every open of the window raises them.
    rows = [("COM3", 1, "shifted"), ("COM5", 2, "kept")]
    options = {name: {"opening": "linux-open", "revision": revision} for name, revision, _ in rows}
    with Session("opens", [name for name, _, _ in rows], port_options=options) as s:
        for name, _, _ in rows:
            code, _, err = s.send(name, "0x81")
            check(code == 0, f"{name}: the sender failed: {err}")
        start_with_window(s)
        s.pick_port("COM5")
        wait_until("the window to open COM5", lambda: len(latched_at_opens(s.ports["COM5"].events())) == 2)
        for name, revision, expected in rows:
            opens = latched_at_opens(s.ports[name].events())
            check(len(opens) == 2, f"{name}: opened {len(opens)} times, not by the sender and then the window")
            did = what_an_open_did(*opens[-1])
            check(did == expected, f"{name}, revision {revision}: the window's open {did}, expected {expected}")


@scenario
def running_out_of_memory_still_ends_the_process():
    # Built and linked as octolatch.exe is: without the verbose terminate
    # handler an uncaught std::bad_alloc must still end the process.
    program = os.path.join(os.path.dirname(os.path.abspath(ARGS.probe)), "out_of_memory.exe")
    with Session("out-of-memory", []) as s:
        result = run_wine([program], env=s.env, tries=1)
        check(result.stdout.split() == ["growing"] and result.returncode == 3,
              f"exit {result.returncode}, printed {result.stdout!r}: expected abort's exit code 3")


# ------------------------------------------ scripts/run --port, a device

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_script(*args, user=None):
    command = [os.path.join(ROOT, "scripts", "run")] + list(args)
    if user:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + command
    return subprocess.run(command, capture_output=True, text=True, timeout=600, cwd=ROOT)


@scenario
def run_with_a_device_gives_it_a_com_name_and_starts_the_window_on_it():
    # A pseudo-terminal stands in for the adapter.
    device = Port(ARGS.work, "device")
    script = subprocess.Popen([os.path.join(ROOT, "scripts", "run"), "--port", device.tty],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=ROOT)
    try:
        said = script.stdout.readline()
        while said and " is " not in said:
            said = script.stdout.readline()
        check(said.strip() == f"COM1 is {device.tty}", f"scripts/run said {said!r}")
        # The probe waits for the window to hold the device: the first Wine
        # process starts Wine's device manager with its own environment, and
        # the probe's has no register to hide the machine's serial ports.
        wait_until(f"{device.tty} to be opened", lambda: device.holders() >= 1, timeout=60)
        prefix = os.path.join(ROOT, "build", "demo", "prefix")
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")

        def window():
            out = run_wine([os.path.abspath(ARGS.probe), "window"], env=env).stdout
            return out if "visible 1" in out and "item " in out else None
        view = wait_until("the window on COM1", window, timeout=60, interval=0.5)
        items = [line.split(" ", 1)[1] for line in view.splitlines() if line.startswith("item ")]
        check(items == ["COM1"] and "selected 0" in view, f"port list {items}: {view}")
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Octolatch$"],
                               capture_output=True, text=True).stdout.split()
        subprocess.run(["xdotool", "windowfocus", "--sync", found[0], "key", "alt+F4"], check=True)
        rest = script.communicate(timeout=60)[0]
        check(script.returncode == 0 and "exit code 0" in rest, f"exit {script.returncode}: {rest}")
        check(device.holders() == 0, f"{device.tty} still open")
    finally:
        if script.poll() is None:
            script.kill()
        os.close(device.master)


@scenario
def run_with_a_device_that_cannot_be_used_says_why():
    device = Port(ARGS.work, "locked-device")
    as_root = os.geteuid() == 0
    # Root opens anything: another user meets the permissions instead.
    os.chmod(device.tty, 0o660 if as_root else 0)
    group = grp.getgrgid(os.stat(device.tty).st_gid).gr_name
    rows = [  # the user who runs it (None: this one), the device, what must be said
        (None, "/nonexistent-adapter", "scripts/run: /nonexistent-adapter: no such device"),
        (None, "/dev/null", "scripts/run: /dev/null: not a serial device"),
        (None, ROOT, f"scripts/run: {ROOT}: not a serial device"),
        ("65534" if as_root else None, device.tty,
         f"members of the group '{group}' may use it" if as_root else "only its owner may use it"),
    ]
    for user, path, message in rows:
        result = run_script("--port", path, user=user)
        check(result.returncode == 1 and message in result.stderr,
              f"{path}: exit {result.returncode}, {result.stderr!r}; expected {message!r}")
    os.close(device.master)


# --------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--sender", "--probe", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the scenarios whose name has this")
    args = parser.parse_args()
    configure(args.exe, args.probe, args.register, args.work, sender=args.sender)
    make_prefix()
    return run_tests(SCENARIOS, args.only, "e2e")


if __name__ == "__main__":
    sys.exit(main())
