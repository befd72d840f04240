#!/usr/bin/env python3
"""Try the programs with nothing plugged in: a virtual port with a chain of
registers behind it, every latch printed as it happens.

  tryout.py sender [--outputs N] [COMMAND...]
      runs COMMAND (an interactive shell when none is given) with the
      virtual register preloaded, octolatch-send on its PATH and
      $OCTOLATCH_PORT naming the virtual port.
"""
import os
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

from virtual_ports import Port, declare_ports, latch_header, print_latches  # noqa: E402

WORK = os.path.join(ROOT, "build", "tryout")
REGISTER = os.path.join(ROOT, "build", "linux-release", "libvirtual_register.so")


def virtual_environment(directory):
    """The environment a program needs to see the virtual ports; its records
    are kept beside them, apart from the account's own."""
    return dict(os.environ, LD_PRELOAD=REGISTER, VREG_DIR=directory,
                XDG_STATE_HOME=os.path.join(directory, "state"),
                PATH=os.path.join(ROOT, "build", "linux-release") + os.pathsep + os.environ.get("PATH", ""))


def try_sender(outputs, command):
    directory = os.path.join(WORK, "sender")
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if name.endswith((".log", ".vcd", ".state", ".mode")):
            os.remove(os.path.join(directory, name))
    port = Port(directory, "PORT", outputs)
    declare_ports(directory, [port])
    env = dict(virtual_environment(directory), OCTOLATCH_PORT=port.tty)
    print(f"A virtual port with {outputs} outputs: OCTOLATCH_PORT={port.tty}", flush=True)
    if not command:
        command = [os.environ.get("SHELL", "/bin/sh")]
        print("A shell with octolatch-send at hand; try  octolatch-send \"$OCTOLATCH_PORT\" 3=on  "
              "and leave it with exit.", flush=True)
    print(latch_header({"PORT": port}), flush=True)
    stop = threading.Event()
    printer = threading.Thread(target=print_latches, args=({"PORT": port}, stop))
    printer.start()
    try:
        code = subprocess.call(command, env=env, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    except FileNotFoundError:
        print(f"scripts/run: {command[0]}: no such command", file=sys.stderr)
        code = 127
    finally:
        time.sleep(0.2)
        stop.set()
        printer.join()
        os.close(port.master)
    return code


def main():
    arguments = sys.argv[1:]
    if arguments[:1] != ["sender"]:
        print(__doc__, file=sys.stderr)
        return 2
    arguments = arguments[1:]
    outputs = 8
    if arguments[:1] == ["--outputs"]:
        if len(arguments) < 2 or arguments[1] not in [str(n) for n in range(8, 65, 8)]:
            print("scripts/run: --outputs takes 8, 16, ... 64", file=sys.stderr)
            return 2
        outputs, arguments = int(arguments[1]), arguments[2:]
    # Ctrl+C belongs to the command being tried; the printer stops with it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return try_sender(outputs, arguments)


if __name__ == "__main__":
    sys.exit(main())
