#!/usr/bin/env python3
"""Try the programs with nothing plugged in: a virtual port with a chain of
registers behind it, every latch printed as it happens.

  tryout.py sender [--outputs N] [COMMAND...]
      runs COMMAND with a shell (an interactive shell when none is given)
      with the virtual register preloaded, octolatch-send on its PATH and
      $OCTOLATCH_PORT naming the virtual port. Each session starts with no
      record from an earlier one.

  tryout.py service [--config FILE] [--service PATH] [--register PATH]
                    [--screenshots] [COMMAND...]
      runs octolatchd on two virtual boards (home, 16 outputs; yard, 8
      outputs with a pulse length), or on the boards of FILE with a virtual
      port for each, and prints the page's address, a curl line and every
      latch until Ctrl+C. With COMMAND it runs COMMAND with a shell instead,
      with $OCTOLATCH_URL and $OCTOLATCH_TOKEN set, and then stops. With
      --screenshots it clicks a few switches on the page in headless Chromium
      and leaves it at a desktop's width and a phone's
      (build/tryout/service/page-desktop.png, page-phone.png; scripts/pictures
      copies them into docs/).
"""
import os
import re
import socket
import shutil
import signal
import subprocess
import sys
import threading
import time
import tomllib

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
    # The records are named after the pty, which the system hands out again.
    shutil.rmtree(os.path.join(directory, "state"), ignore_errors=True)
    port = Port(directory, "PORT", outputs)
    declare_ports(directory, [port])
    env = dict(virtual_environment(directory), OCTOLATCH_PORT=port.tty)
    print(f"A virtual port with {outputs} outputs: OCTOLATCH_PORT={port.tty}", flush=True)
    if not command:
        print("A shell with octolatch-send at hand; try  octolatch-send \"$OCTOLATCH_PORT\" 3=on  "
              "and leave it with exit.", flush=True)
    print(latch_header({"PORT": port}), flush=True)
    stop = threading.Event()
    printer = threading.Thread(target=print_latches, args=({"PORT": port}, stop))
    printer.start()
    try:
        code = run_command(command, env)
    finally:
        time.sleep(0.2)
        stop.set()
        printer.join()
        os.close(port.master)
    return code


def run_command(command, env):
    """COMMAND's words joined and run by a shell, as ssh runs its command, so
    that an example runs the same quoted as one word or not; with none, an
    interactive shell."""
    shell = ["/bin/sh", "-c", " ".join(command)] if command else [os.environ.get("SHELL", "/bin/sh")]
    return subprocess.call(shell, env=env, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def free_address():
    """The service's own default, 127.0.0.1:8080, where it is free."""
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", 8080))
            return "127.0.0.1:8080"
        except OSError:
            return "127.0.0.1:0"


def boards_of(path):
    """The boards of a user's configuration, and a function that makes the
    same configuration with virtual ports put in for theirs."""
    with open(path, "rb") as f:
        boards = tomllib.load(f).get("board", [])
    with open(path) as f:
        lines = f.read().splitlines()

    def configuration(links):
        text, table, index = [], "", -1
        for line in lines:
            header = re.match(r"\s*(\[\[?[^\]]*\]\]?)", line)
            if header:
                table = header.group(1).replace(" ", "")
                index += table == "[[board]]"
            key = re.match(r"\s*([A-Za-z_]+)\s*=", line)
            key = key.group(1) if key and not header else None
            if table.startswith("[mqtt"):
                continue  # virtual boards must not take the real ones' topics
            if table == "" and key in ("listen", "state_directory", "token_file"):
                continue
            if table == "[[board]]" and key == "port":
                line = f'port = "{links[boards[index]["name"]]}"'
            text.append(line)
        return f'state_directory = "{os.path.abspath(os.path.join(directory, "state"))}"\n' + "\n".join(text) + "\n"

    directory = os.path.relpath(os.path.join(WORK, "service"))
    return ([{"name": b.get("name", ""), "outputs": b.get("outputs", 8), "invert": b.get("invert", False)}
             for b in boards], configuration)


def try_service(service_path, register, config, screenshots, command):
    # Relative paths, so that the page shows short port names.
    os.chdir(ROOT)
    directory = os.path.relpath(os.path.join(WORK, "service"))
    shutil.rmtree(directory, ignore_errors=True)
    boards, configuration = boards_of(config) if config else (DEMO_BOARDS, None)
    runtime = os.path.abspath(os.path.join(directory, "run"))
    os.makedirs(runtime)
    service = Service(directory, boards, service_path, register, listen=free_address(),
                      env={"OCTOLATCH_RUNTIME_DIR": runtime}, configuration=configuration)
    ports = {board["name"]: service.ports[board["name"]] for board in boards}
    stop = threading.Event()
    printer = threading.Thread(target=print_latches, args=(ports, stop))
    code = 0
    try:
        service.start()
        url = f"http://127.0.0.1:{service.port}"
        first = boards[0]["name"]
        print(f"The page, with the token for this browser: {url}/#token={service.token}\n"
              f"Output 3 of {first} on, from another terminal:\n"
              f"  curl -H 'Authorization: Bearer {service.token}' -d ON {url}/api/boards/{first}/outputs/3\n"
              f"The service's log is {os.path.join(directory, 'service.log')}; its virtual boards latch:",
              flush=True)
        print(latch_header(ports), flush=True)
        printer.start()
        if screenshots:
            shots = [os.path.join(directory, "page-desktop.png"), os.path.join(directory, "page-phone.png")]
            take_screenshots(f"{url}/#token={service.token}", os.path.join(directory, "browser"), *shots)
            print("The page, clicked in headless Chromium: " + " and ".join(shots), flush=True)
        elif command:
            env = dict(service.environment(), OCTOLATCH_URL=url, OCTOLATCH_TOKEN=service.token,
                       PATH=os.path.join(ROOT, "build", "linux-release") + os.pathsep + os.environ["PATH"])
            del env["LD_PRELOAD"]
            code = run_command(command, env)
        else:
            print("Press Ctrl+C to end.\n", end="", flush=True)  # one write, beside the latches' lines
            try:
                service.process.wait()
            except KeyboardInterrupt:
                pass
    finally:
        time.sleep(0.2)
        stop.set()
        if printer.is_alive():
            printer.join()
        if service.process and service.process.poll() is None:
            service.stop()
        service.close()
    return code


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
        options = {"--service": SERVICE, "--register": REGISTER, "--config": None}
        arguments = arguments[1:]
        screenshots = False
        while arguments[:1] and (arguments[0] in options and len(arguments) >= 2 or arguments[0] == "--screenshots"):
            if arguments[0] == "--screenshots":
                screenshots, arguments = True, arguments[1:]
                continue
            options[arguments[0]] = os.path.abspath(arguments[1])
            arguments = arguments[2:]
        if arguments[:1] and arguments[0].startswith("-"):
            print(__doc__, file=sys.stderr)
            return 2
        return try_service(options["--service"], options["--register"], options["--config"], screenshots, arguments)
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
