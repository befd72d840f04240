#!/usr/bin/env python3
"""The demo behind scripts/run: octolatch.exe under Wine with two virtual
registers on COM3 and COM4, printing every latch as it happens; or, with
--port, octolatch.exe on real serial devices.

  --interactive  the window is the user's to click; ends when it is closed
  --auto         (no display) clicks through a short session by itself and
                 leaves a screenshot and the VCD traces behind
  --port PATH    (again for more) give each device a COM name, COM1 on, in
                 the demo's own Wine prefix and start the window on them
  --check        with --port: only check that the devices can be used
"""
import argparse
import errno
import grp
import os
import stat
import termios
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

from virtual_ports import latch_header, print_latches, wait_until  # noqa: E402
from wine_session import Session, configure, make_prefix  # noqa: E402

WORK = os.path.join(ROOT, "build", "demo")
PORTS = ["COM3", "COM4"]


def click_through(session):
    """A short session: a few boxes, Send, a switch to the other port, more boxes."""
    view = session.wait_for_window()
    steps = [(0, "tick 1"), (2, "tick 3"), (7, "tick 8"), (8, "Send"), (2, "untick 3")]
    for index, what in steps:
        print(f"  click: {what}", flush=True)
        session.click(view["controls"][index])
        time.sleep(0.4)
    active = view["items"][view["selected"]]
    other = next(name for name in view["items"] if name != active)
    print(f"  pick {other} in the port list", flush=True)
    session.pick_port(other)
    wait_until("the switch", lambda: (lambda v: v["items"][v["selected"]] == other)(session.look()))
    for index, what in [(1, "tick 2"), (6, "tick 7"), (0, "untick 1")]:
        print(f"  click: {what}", flush=True)
        session.click(view["controls"][index])
        time.sleep(0.4)
    x, y, w, h = session.look()["windowrect"]
    shot = os.path.join(WORK, "window.png")
    subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", shot], check=True)
    print("  close the window", flush=True)
    code = session.close_window()
    print(f"  octolatch.exe ended with exit code {code}", flush=True)
    return shot


def device_problem(path):
    """What keeps the window from using the device at path, or None."""
    if not os.path.exists(path):
        return "no such device"
    if not stat.S_ISCHR(os.stat(path).st_mode):
        return "not a serial device"
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno not in (errno.EACCES, errno.EPERM):
            return f"cannot be opened: {error.strerror}"
        device = os.stat(path)
        if device.st_mode & 0o060 != 0o060:
            return "not accessible: only its owner may use it"
        group = grp.getgrgid(device.st_gid).gr_name
        return (f"not accessible: members of the group '{group}' may use it "
                f"(sudo usermod -aG {group} $USER, then log in again)")
    try:
        termios.tcgetattr(fd)
    except termios.error:
        return "not a serial device"
    finally:
        os.close(fd)
    return None


def devices_usable(paths):
    """Says what is wrong with each device that cannot be used."""
    usable = True
    for path in paths:
        problem = device_problem(path)
        if problem:
            print(f"scripts/run: {path}: {problem}", file=sys.stderr)
            usable = False
    return usable


def run_on_devices(paths):
    """The window on real devices, COM1 on, until the user closes it."""
    devices = {f"COM{i}": os.path.abspath(path) for i, path in enumerate(paths, 1)}
    make_prefix()
    session = Session("ports", [], devices)
    try:
        for name, path in devices.items():
            print(f"{name} is {path}", flush=True)
        print("Starting octolatch.exe under Wine; close its window (or press Ctrl+C) to end.", flush=True)
        session.start()
        code = session.process.wait()
        print(f"octolatch.exe ended with exit code {code}", flush=True)
        return code
    except KeyboardInterrupt:
        print("\nStopping.", flush=True)
        return 0
    finally:
        session.finish()


def main():
    parser = argparse.ArgumentParser()
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--auto", action="store_true")
    mode.add_argument("--interactive", action="store_true")
    parser.add_argument("--port", action="append", default=[])
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    if args.port and not devices_usable(args.port):
        return 1
    if args.check:
        return 0

    configure(os.path.join(ROOT, "build", "windows", "octolatch.exe"),
              os.path.join(ROOT, "build", "windows", "probe.exe"),
              os.path.join(ROOT, "build", "linux", "libvirtual_register.so"),
              WORK, desktop=args.auto)
    # Ctrl+C, or the terminal going away, ends the demo and all it started,
    # also when started from a shell that had SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGHUP, signal.default_int_handler)
    if args.port:
        return run_on_devices(args.port)
    make_prefix()
    session = Session("demo", PORTS)
    stop = threading.Event()
    printer = threading.Thread(target=print_latches, args=(session.ports, stop))
    shot = None
    try:
        print(f"Virtual registers on {' and '.join(PORTS)}; starting octolatch.exe under Wine.",
              flush=True)
        session.start()
        if args.interactive:
            print("Click the boxes in the Octolatch window; close it (or press Ctrl+C) to end.",
                  flush=True)
        print(latch_header(session.ports), flush=True)
        printer.start()
        if args.auto:
            shot = click_through(session)
        else:
            session.process.wait()
    except KeyboardInterrupt:
        print("\nStopping.", flush=True)
    finally:
        time.sleep(0.2)
        stop.set()
        if printer.is_alive():
            printer.join()
        session.finish()
    print("\nWhat travelled on the wire, as Value Change Dump traces (GTKWave, PulseView):")
    for name in PORTS:
        trace = os.path.join(session.dir, name + ".vcd")
        if os.path.exists(trace):
            print(f"  {os.path.relpath(trace, ROOT)}")
    if shot:
        print(f"A screenshot of the window: {os.path.relpath(shot, ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
