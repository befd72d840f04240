#!/usr/bin/python3
"""End-to-end tests of octolatchd's web page in a real browser.

octolatchd runs on virtual boards (virtual/service_session.py); headless
Chromium, driven by Selenium through chromedriver, opens the page as a user
would, and what the boards latched is read from the virtual register's log.
Everything stays on the loopback address.

Usage: /usr/bin/python3 page_e2e.py --service PATH --register PATH --work DIR [-k NAME]
"""
import argparse
import json
import http.server
import threading
import os
import shutil
import socket
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from runner import run_tests
from service_session import Service  # noqa: E402
from virtual_ports import check, wait_until  # noqa: E402

ARGS = None
TESTS = []
BOARDS = [
    {"name": "kitchen", "outputs": 16, "names": {1: "pump", 2: "fan", 16: "heater"}},
    {"name": "garage", "outputs": 8, "pulse_ms": 400, "names": {2: "door"}},
    {"name": "attic", "outputs": 64},
]
TOKEN = "page-test-token-7f3a"
LOOPBACK_PORTS = set()  # every service the browsers were sent to


def test(function):
    TESTS.append(function)
    return function


def in_board(board):
    """The CSS selector of a board's section on the page."""
    return f'section[aria-labelledby="board-{board}"]'


def free_port():
    """A loopback port nobody listens on, so that the service can be
    restarted on the same address."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Browser:
    """Headless Chromium with a fresh profile, its requests and console
    messages kept as they come."""

    def __init__(self, name):
        profile = os.path.join(ARGS.work, "profile-" + name)
        shutil.rmtree(profile, ignore_errors=True)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        arguments = ["--headless=new", f"--user-data-dir={profile}", "--window-size=1280,900",
                     # The machine has no network: nothing of Chromium's own may try it.
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--no-first-run", "--no-default-browser-check"]
        if os.geteuid() == 0:
            arguments.append("--no-sandbox")  # Chromium's sandbox refuses to run as root
        for argument in arguments:
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        self.driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=options)
        self.requests = []   # (method, URL) of every request the page made
        self.console = []

    def collect(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                request = message["params"]["request"]
                self.requests.append((message["params"].get("documentURL", ""), request["method"], request["url"]))
        self.console += [entry["message"] for entry in self.driver.get_log("browser")]

    def open(self, url):
        self.driver.get(url)
        wait_until("the page to be live", lambda: self.text("connection") == "Live", 15, 0.05)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def switch(self, board, output):
        return self.driver.find_element(By.CSS_SELECTOR, f'{in_board(board)} [role="switch"][data-output="{output}"]')

    def checked(self, board, output):
        return self.switch(board, output).get_attribute("aria-checked") == "true"

    def wait_checked(self, board, output, on, what=""):
        wait_until(f"{what or 'the page'} to show {board} output {output} {'on' if on else 'off'}",
                   lambda: self.checked(board, output) == on, 10, 0.05)

    def board_text(self, board):
        return self.driver.find_element(By.CSS_SELECTOR, in_board(board)).text

    def value(self, board):
        return self.driver.find_element(By.CSS_SELECTOR, f"{in_board(board)} code").text

    def message(self):
        element = self.driver.find_element(By.ID, "message")
        return element.text if element.is_displayed() else ""

    def quit(self):
        self.collect()
        self.driver.quit()


class Setting:
    """The service on its three boards, and two browsers on its page."""

    def __init__(self):
        self.service = Service(os.path.join(ARGS.work, "boards"), BOARDS, ARGS.service, ARGS.register,
                               listen=f"127.0.0.1:{free_port()}", token="")
        self.service.start()
        self.url = f"http://127.0.0.1:{self.service.port}/"
        self.first, self.second = Browser("first"), Browser("second")

    def latches(self, board):
        return self.service.ports[board].latches()

    def api_value(self, board):
        status, _, body = self.service.request("GET", f"/api/boards/{board}")
        check(status == 200, f"GET /api/boards/{board}: {status} {body}")
        return int(json.loads(body)["value"], 16)

    def close(self):
        for browser in (self.first, self.second):
            browser.quit()
        self.service.close()


S = None


def bit(board, output):
    outputs = next(b["outputs"] for b in BOARDS if b["name"] == board)
    return 1 << (outputs - output)


def wait_latch(board, before, value):
    """Waits for the board's next latch after `before` latches and checks
    it is value, alone."""
    wait_until(f"{board} to latch", lambda: S.latches(board)[before:], 10, 0.02)
    time.sleep(0.2)  # time for a second latch, if one were coming
    latches = S.latches(board)[before:]
    check(latches == [value], f"{board} latched {[hex(v) for v in latches]}, expected [{value:#x}]")


@test
def test_boards_drawn_with_names_values_and_pulse_buttons():
    S.service.request("PUT", "/api/boards/kitchen/value", "0x8001")
    S.first.open(S.url)
    labels = [  # board, output, the switch's label
        ("kitchen", 1, "pump"),
        ("kitchen", 2, "fan"),
        ("kitchen", 3, "Output 3"),
        ("kitchen", 16, "heater"),
        ("garage", 1, "Output 1"),
        ("garage", 2, "door"),
        ("attic", 64, "Output 64"),
    ]
    for board, output, label in labels:
        name = S.first.switch(board, output).accessible_name
        check(name == label, f"{board} output {output} is labelled {name!r}, expected {label!r}")
    for board, outputs, pulses in (("kitchen", 16, 0), ("garage", 8, 8), ("attic", 64, 0)):
        switches = S.first.driver.find_elements(By.CSS_SELECTOR, f'{in_board(board)} [role="switch"]')
        buttons = S.first.driver.find_elements(By.CSS_SELECTOR, f'{in_board(board)} button.pulse')
        check(len(switches) == outputs, f"{board}: {len(switches)} switches for {outputs} outputs")
        check(len(buttons) == pulses, f"{board}: {len(buttons)} pulse buttons, expected {pulses}")
    check(S.first.value("kitchen") == "0x8001", f"kitchen's value shown as {S.first.value('kitchen')!r}")
    # On a desktop a row of switches is a register: 9 stands under 1.
    places = {o: S.first.switch("kitchen", o).rect for o in (1, 8, 9)}
    check(places[9]["x"] == places[1]["x"] and places[9]["y"] > places[8]["y"], f"kitchen's rows: {places}")
    on = [output for output in range(1, 17) if S.first.checked("kitchen", output)]
    check(on == [1, 16], f"kitchen shows outputs {on} on, the service has 1 and 16")


@test
def test_click_latches_and_the_other_browser_follows():
    for browser in (S.first, S.second):
        browser.open(S.url)
        browser.driver.execute_script("window.notReloaded = true")
    before, value = len(S.latches("kitchen")), S.api_value("kitchen")
    on = not S.first.checked("kitchen", 3)
    S.first.switch("kitchen", 3).click()
    wanted = value | bit("kitchen", 3) if on else value & ~bit("kitchen", 3)
    wait_latch("kitchen", before, wanted)
    S.first.wait_checked("kitchen", 3, on)
    S.second.wait_checked("kitchen", 3, on, "the second browser")
    for browser in (S.first, S.second):
        check(browser.value("kitchen") == f"0x{wanted:04X}", f"value shown as {browser.value('kitchen')!r}")
    check(S.second.driver.execute_script("return window.notReloaded === true"), "the second browser reloaded")
    # And back, from the second browser.
    before = len(S.latches("kitchen"))
    S.second.switch("kitchen", 3).click()
    wait_latch("kitchen", before, value & ~bit("kitchen", 3) if on else value | bit("kitchen", 3))
    S.first.wait_checked("kitchen", 3, not on, "the first browser")


@test
def test_keyboard_space_switches_and_keeps_the_focus():
    S.first.open(S.url)
    before, value = len(S.latches("kitchen")), S.api_value("kitchen")
    switch = S.first.switch("kitchen", 5)
    on = not S.first.checked("kitchen", 5)
    switch.send_keys(Keys.SPACE)
    wait_latch("kitchen", before, value ^ bit("kitchen", 5))
    S.first.wait_checked("kitchen", 5, on)
    focused = S.first.driver.execute_script("return document.activeElement.dataset.output")
    check(focused == "5", f"the focus moved to {focused!r}")
    switch.send_keys(Keys.ENTER)
    S.first.wait_checked("kitchen", 5, not on)


@test
def test_switch_shows_the_answer_and_takes_one_request_at_a_time():
    # The 64-output board: a transmission long enough to look at the
    # switch while its request is under way.
    S.first.open(S.url)
    before, value = len(S.latches("attic")), S.api_value("attic")
    mark = S.service.mark()
    on = not S.first.checked("attic", 10)
    during = S.first.driver.execute_script(
        "const s = arguments[0]; s.click(); s.click();"
        "return [s.getAttribute('aria-checked'), s.closest('li').getAttribute('aria-busy')];",
        S.first.switch("attic", 10))
    check(during == [str(not on).lower(), "true"],
          f"right after the click the switch was checked={during[0]}, busy={during[1]}")
    wait_latch("attic", before, value ^ bit("attic", 10))
    S.first.wait_checked("attic", 10, on)
    requests = [line for line in S.service.lines[mark:] if "attic: output 10" in line]
    check(len(requests) == 1, f"two clicks in a row made {len(requests)} requests: {requests}")
    busy = S.first.driver.execute_script("return arguments[0].closest('li').getAttribute('aria-busy')",
                                         S.first.switch("attic", 10))
    check(busy is None, "the switch still says busy after the answer")


@test
def test_pulse_turns_on_then_off_by_itself():
    S.first.open(S.url)
    S.service.request("POST", "/api/boards/garage/outputs/2", "OFF")
    S.first.wait_checked("garage", 2, False)
    before, value = len(S.latches("garage")), S.api_value("garage")
    # Every state the switch shows, as it shows it.
    S.first.driver.execute_script(
        "const s = arguments[0]; window.shown = [];"
        "new MutationObserver(() => window.shown.push(s.getAttribute('aria-checked')))"
        ".observe(s, {attributes: true, attributeFilter: ['aria-checked']});",
        S.first.switch("garage", 2))
    S.first.driver.find_element(By.CSS_SELECTOR, 'button[aria-label="Pulse door, 400 ms"]').click()
    wait_until("the pulse to end", lambda: len(S.latches("garage")) >= before + 2, 10, 0.05)
    time.sleep(0.2)
    latches = S.latches("garage")[before:]
    expected = [value | bit("garage", 2), value]
    check(latches == expected, f"garage latched {[hex(v) for v in latches]}, expected {[hex(v) for v in expected]}")
    S.first.wait_checked("garage", 2, False)
    shown = [state for state in S.first.driver.execute_script("return window.shown") if state]
    # update() sets the attribute on every redraw: look at the changes only.
    changes = [s for i, s in enumerate(shown) if i == 0 or s != shown[i - 1]]
    check(changes == ["true", "false"], f"the switch showed {shown}")


@test
def test_unplugged_board_is_unavailable_and_comes_back():
    S.first.open(S.url)
    check("Unavailable" not in S.first.board_text("garage"), "garage said unavailable before the unplug")
    mark = S.service.mark()
    S.service.unplug("garage")
    wait_until("the page to say garage is unavailable", lambda: "Unavailable" in S.first.board_text("garage"), 10, 0.05)
    check("Unavailable" not in S.first.board_text("kitchen"), "kitchen said unavailable with garage")
    before, was_on = len(S.latches("garage")), S.first.checked("garage", 1)
    S.first.switch("garage", 1).click()
    message = wait_until("the page to say why", S.first.message, 10, 0.05)
    check("unavailable" in message and "garage" in message, f"the refusal said {message!r}")
    check(S.first.checked("garage", 1) == was_on, "the switch shows the click, not the service's state")
    check(len(S.latches("garage")) == before, "an unavailable board latched")
    S.service.plug("garage")
    S.service.wait_until_available("garage", since=mark)
    wait_until("the page to show garage back", lambda: "Unavailable" not in S.first.board_text("garage"), 10, 0.05)
    before = len(S.latches("garage"))
    S.first.switch("garage", 1).click()
    S.first.wait_checked("garage", 1, not was_on)
    check(len(S.latches("garage")) > before, "garage did not latch once back")
    check(S.first.message() == "", f"the old refusal is still shown: {S.first.message()!r}")


@test
def test_page_reconnects_when_the_service_restarts():
    S.first.open(S.url)
    S.first.driver.execute_script("window.notReloaded = true")
    S.service.stop()
    wait_until("the page to see the service gone", lambda: S.first.text("connection") != "Live", 10, 0.05)
    S.service.start()
    wait_until("the page to be live again", lambda: S.first.text("connection") == "Live", 15, 0.05)
    on = not S.first.checked("kitchen", 7)
    S.service.request("POST", "/api/boards/kitchen/outputs/7", "ON" if on else "OFF")
    S.first.wait_checked("kitchen", 7, on, "the reconnected page")
    check(S.first.driver.execute_script("return window.notReloaded === true"), "the page reloaded")


@test
def test_phone_width_has_no_sideways_scrolling_and_thumb_sized_targets():
    S.first.open(S.url)
    S.first.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": 360, "height": 780, "deviceScaleFactor": 2, "mobile": True})
    try:
        widths = S.first.driver.execute_script(
            "return [document.documentElement.scrollWidth, document.documentElement.clientWidth, innerWidth]")
        check(widths[2] == 360, f"the emulated screen is {widths[2]} px wide")
        check(widths[0] <= widths[1], f"the page is {widths[0]} px wide on a {widths[1]}-px screen")
        sizes = S.first.driver.execute_script(
            "return [...document.querySelectorAll('main section button')].map(b => {"
            "const r = b.getBoundingClientRect(); return [b.textContent, r.width, r.height, r.right]; })"
            ".filter(s => s[1] > 0)")
        # garage's eight pulse buttons give way to one pulse control.
        check(len(sizes) == 16 + 8 + 1 + 64, f"{len(sizes)} buttons on the page")
        small = [s for s in sizes if s[1] < 44 or s[2] < 44 or s[3] > 360]
        check(not small, f"buttons too small or off the screen: {small[:3]}")
        shown = S.first.driver.execute_script(
            f"const h = document.querySelector('{in_board('kitchen')} h2'); "
            f"return [h.title, getComputedStyle(document.querySelector('{in_board('kitchen')} .port')).display]")
        check(shown == [S.service.link("kitchen"), "none"], f"kitchen's port on a phone: {shown}")
        garage = S.service.ports["garage"]
        before = len(garage.latches())
        S.first.driver.find_element(By.CSS_SELECTOR, f"{in_board('garage')} .pulse-mode").click()
        S.first.switch("garage", 3).click()
        wait_until("the tap to pulse garage output 3", lambda: garage.latches()[before:][-2:] == [
            garage.latches()[before - 1] | 0x20, garage.latches()[before - 1] & ~0x20 & 0xFF], 5, 0.05)
        S.first.driver.find_element(By.CSS_SELECTOR, f"{in_board('garage')} .pulse-mode").click()
    finally:
        S.first.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


@test
def test_token_asked_once_kept_and_sent():
    shutil.rmtree(os.path.join(ARGS.work, "token"), ignore_errors=True)
    service = Service(os.path.join(ARGS.work, "token"), [{"name": "porch", "outputs": 8, "names": {1: "lamp"}}],
                      ARGS.service, ARGS.register, token=TOKEN)
    try:
        service.start()
        url = f"http://127.0.0.1:{service.port}/"
        LOOPBACK_PORTS.add(service.port)
        driver = S.second.driver
        driver.get(url)
        form = driver.find_element(By.ID, "token-form")
        wait_until("the page to ask for the token", form.is_displayed, 10, 0.05)
        check(not driver.find_elements(By.CSS_SELECTOR, "section.board"), "boards shown without a token")
        token = driver.find_element(By.ID, "token")
        check(driver.execute_script("return document.activeElement.id") == "token", "the token field has no focus")
        token.send_keys("wrong" + Keys.ENTER)
        wait_until("the page to say the token was refused",
                   lambda: form.is_displayed() and "refused" in S.second.text("token-why"), 10, 0.05)
        token.send_keys(TOKEN + Keys.ENTER)
        wait_until("the page to be live with the token", lambda: S.second.text("connection") == "Live", 10, 0.05)
        check(not form.is_displayed(), "the form stays after a good token")
        S.second.open(url)  # again, as a user coming back: the token is kept
        check(not driver.find_element(By.ID, "token-form").is_displayed(), "the token was asked for again")
        check(driver.execute_script("return localStorage.getItem('octolatch.token')") == TOKEN,
              "the token is not kept in the browser's storage")
        before = len(service.ports["porch"].latches())
        S.second.switch("porch", 1).click()
        S.second.wait_checked("porch", 1, True)
        check(service.ports["porch"].latches()[before:] == [0x80], "the click did not latch with the token")
    finally:
        service.close()


@test
def test_the_handed_out_address_gives_the_token_and_no_other_site_frames_the_page():
    shutil.rmtree(os.path.join(ARGS.work, "handed-out"), ignore_errors=True)
    service = Service(os.path.join(ARGS.work, "handed-out"), [{"name": "porch"}], ARGS.service, ARGS.register)
    try:
        service.start()
        LOOPBACK_PORTS.add(service.port)
        handed = service.wait_for_log("#token=").split("the page, with the token for this browser: ", 1)[1]
        driver = S.first.driver
        driver.execute_script("localStorage.clear()")
        S.first.open(handed)
        check(not driver.find_element(By.ID, "token-form").is_displayed(), "the handed-out token was asked for")
        check(driver.execute_script("return localStorage.getItem('octolatch.token')") == service.token and
              "token" not in driver.current_url, f"the token not kept, or left in the address: {driver.current_url}")
        before = len(service.ports["porch"].latches())
        S.first.switch("porch", 2).click()
        S.first.wait_checked("porch", 2, True)
        check(service.ports["porch"].latches()[before:] == [0x40], "the click did not latch with the handed-out token")
        # A page of another origin (another port) that frames the page gets
        # nothing drawn in its frame.
        frame = f"<iframe id=f src='http://127.0.0.1:{service.port}/' width=600 height=400></iframe>".encode()

        class Framing(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.end_headers()
                self.wfile.write(frame)

            def log_message(self, *arguments):
                pass

        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Framing)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        LOOPBACK_PORTS.add(other.server_address[1])
        driver.get(f"http://127.0.0.1:{other.server_address[1]}/")
        time.sleep(1.5)
        driver.switch_to.frame(driver.find_element(By.ID, "f"))
        framed = driver.find_elements(By.ID, "connection")
        driver.switch_to.default_content()
        other.shutdown()
        check(not framed, "another site's page framed the page")
    finally:
        service.close()


@test
def test_every_request_stays_on_the_loopback_address():
    S.first.open(S.url)
    S.first.switch("kitchen", 4).click()
    S.first.wait_checked("kitchen", 4, True)
    allowed = LOOPBACK_PORTS | {S.service.port}
    for browser in (S.first, S.second):
        browser.collect()
        # The browser's own pages (its new-tab page before the first
        # navigation) load from chrome://, and the framing test's page is a
        # data: address: neither from any network.
        paths = {url.split("?")[0] for document, _, url in browser.requests
                 if not document.startswith(("chrome://", "data:")) and not url.startswith("data:")}
        outside = [url for url in paths
                   if not any(url.startswith(f"http://127.0.0.1:{port}/") for port in allowed)]
        check(not outside, f"requests beyond the service: {sorted(outside)}")
        check(browser is S.second or {S.url, S.url + "api/boards", S.url + "api/events"} <= paths,
              f"the request log misses the page's own requests: {sorted(paths)}")
        blocked = [m for m in browser.console
                   if ("Content Security Policy" in m and "frame-ancestors" not in m) or "Uncaught" in m]
        check(not blocked, f"the console says: {blocked}")


def main():
    global ARGS, S
    parser = argparse.ArgumentParser()
    for option in ("--service", "--register", "--work"):
        parser.add_argument(option, required=True)
    parser.add_argument("-k", dest="only", default="", help="run the tests whose name has this")
    ARGS = parser.parse_args()
    ARGS.work = os.path.abspath(ARGS.work)
    ARGS.service, ARGS.register = os.path.abspath(ARGS.service), os.path.abspath(ARGS.register)
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    S = Setting()
    try:
        return run_tests(TESTS, ARGS.only, "web page e2e")
    finally:
        S.close()


if __name__ == "__main__":
    sys.exit(main())
