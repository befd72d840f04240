#!/usr/bin/env python3
"""Try the programs with nothing plugged in: a virtual port with a chain of
registers behind it, every latch printed as it happens.

  tryout.py sender [--outputs N] [COMMAND...]
      runs COMMAND (an interactive shell when none is given) with the
      virtual register preloaded, octolatch-send on its PATH and
      $OCTOLATCH_PORT naming the virtual port.

  tryout.py service [--service PATH] [--register PATH]
      runs octolatchd on two virtual boards (home, 16 outputs; yard, 8
      outputs with a pulse length). With a display it prints the page's
      address and every latch until Ctrl+C; without one it clicks a few
      switches on the page in headless Chromium and leaves a screenshot at a
      desktop width and one at a phone's (build/tryout/service/page-desktop.png,
      page-phone.png; scripts/pictures copies them into docs/).
"""
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

from service_session import Service  # noqa: E402
from virtual_ports import Port, declare_ports, latch_header, print_latches, wait_until  # noqa: E402

WORK = os.path.join(ROOT, "build", "tryout")
REGISTER = os.path.join(ROOT, "build", "linux-release", "libvirtual_register.so")
SERVICE = os.path.join(ROOT, "build", "linux-release", "octolatchd")
DEMO_BOARDS = [
    {"name": "home", "outputs": 16, "names": {1: "pump", 2: "fan", 5: "ceiling lights", 6: "worktop", 16: "heater"}},
    {"name": "yard", "outputs": 8, "pulse_ms": 500, "names": {1: "gate", 2: "garage door"}},
]


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


def try_service(service_path, register):
    # Relative paths, so that the page shows short port names.
    os.chdir(ROOT)
    directory = os.path.relpath(os.path.join(WORK, "service"))
    shutil.rmtree(directory, ignore_errors=True)
    service = Service(directory, DEMO_BOARDS, service_path, register)
    ports = {board["name"]: service.ports[board["name"]] for board in DEMO_BOARDS}
    stop = threading.Event()
    printer = threading.Thread(target=print_latches, args=(ports, stop))
    try:
        service.start()
        url = f"http://127.0.0.1:{service.port}/"
        print(f"octolatchd serves two virtual boards; its log is {os.path.join(directory, 'service.log')}", flush=True)
        print(latch_header(ports), flush=True)
        printer.start()
        if os.environ.get("DISPLAY"):
            print(f"Open {url} in a browser; press Ctrl+C to end.", flush=True)
            try:
                service.process.wait()
            except KeyboardInterrupt:
                pass
        else:
            shots = [os.path.join(WORK, "service", "page-desktop.png"), os.path.join(WORK, "service", "page-phone.png")]
            take_screenshots(url, os.path.join(directory, "browser"), *shots)
            print("No display: the page was clicked in headless Chromium; its screenshots are\n  " +
                  "\n  ".join(os.path.relpath(shot) for shot in shots), flush=True)
    finally:
        time.sleep(0.2)
        stop.set()
        if printer.is_alive():
            printer.join()
        service.close()
    return 0


def take_screenshots(url, profile, desktop, phone):
    """Clicks a few switches on the page, as a user would, and saves the page
    1280 pixels wide and on a phone's screen, 360 by 760."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", f"--user-data-dir={os.path.abspath(profile)}", "--hide-scrollbars",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--no-first-run", "--no-default-browser-check"] + (["--no-sandbox"] if os.geteuid() == 0 else []):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
    try:
        browser.get(url)
        status = browser.find_element(By.ID, "connection")
        wait_until("the page to be live", lambda: status.text == "Live", 15, 0.05)
        for board, output in (("home", 1), ("home", 5), ("home", 9), ("yard", 3)):
            switch = browser.find_element(
                By.CSS_SELECTOR, f'section[aria-labelledby="board-{board}"] [role="switch"][data-output="{output}"]')
            switch.click()
            wait_until(f"{board} output {output} to be on", lambda: switch.get_attribute("aria-checked") == "true",
                       10, 0.05)
        browser.execute_script("document.activeElement.blur()")
        emulate = "Emulation.setDeviceMetricsOverride"
        browser.execute_cdp_cmd(emulate, {"width": 1280, "height": 600, "deviceScaleFactor": 1, "mobile": False})
        height = browser.execute_script("return document.documentElement.scrollHeight")
        browser.execute_cdp_cmd(emulate, {"width": 1280, "height": height, "deviceScaleFactor": 1, "mobile": False})
        browser.save_screenshot(desktop)
        browser.execute_cdp_cmd(emulate, {"width": 360, "height": 760, "deviceScaleFactor": 2, "mobile": True})
        browser.save_screenshot(phone)
    finally:
        browser.quit()


def main():
    arguments = sys.argv[1:]
    if arguments[:1] == ["service"]:
        paths = {"--service": SERVICE, "--register": REGISTER}
        arguments = arguments[1:]
        while arguments[:1] and arguments[0] in paths and len(arguments) >= 2:
            paths[arguments[0]] = os.path.abspath(arguments[1])
            arguments = arguments[2:]
        if arguments:
            print(__doc__, file=sys.stderr)
            return 2
        return try_service(paths["--service"], paths["--register"])
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
