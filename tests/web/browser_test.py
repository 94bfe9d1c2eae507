#!/usr/bin/python3
"""The browser page in a real browser: Debian's chromium, headless, driven by
selenium against the real agent. It opens the address the agent prints, sees
frames counted as they land, a closed shot with its picture, the pace of the
day, a wrong token refused, and the page finding the agent again after a
restart; it keeps screenshots of a phone-sized and a screen-sized window.

Usage: browser_test.py AGENT CAMERA_FILE SCREENSHOT_FOLDER
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

AGENT, CAMERA_FILE, SCREENS = sys.argv[1:4]
FAILURES = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILURES.append(what)
    return condition


def wait_until(test, seconds):
    """Polls `test` until it gives something true or `seconds` pass; its last answer."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            answer = test()
        except Exception:  # the page may be between states
            answer = None
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(0.02)


class Agent:
    """vantle-agent --headless --web, its standard output read line by line."""

    def __init__(self, home, folder, web_port):
        environment = dict(os.environ,
                           HOME=home,
                           XDG_CONFIG_HOME=os.path.join(home, "config"),
                           XDG_DATA_HOME=os.path.join(home, "data"),
                           XDG_STATE_HOME=os.path.join(home, "state"),
                           DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(home, "no-bus"))
        self.log = open(os.path.join(home, "agent.log"), "a")
        self.process = subprocess.Popen(
            [AGENT, "--headless", "--watch", folder, "--port", "0", "--web", "--web-port", str(web_port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.log, env=environment, text=True)
        self.lines = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def line(self, pattern, seconds=30):
        found = wait_until(lambda: next((m for m in map(re.compile(pattern).search, list(self.lines)) if m), None),
                           seconds)
        if not found:
            raise RuntimeError("the agent never printed %r; it printed %r" % (pattern, self.lines))
        return found

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        self.log.close()


def land(folder, name):
    """A frame the way gphoto2 writes one: a temporary name, then the final one."""
    os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, "tmpfile" + name.split(".")[0])
    with open(CAMERA_FILE, "rb") as source, open(temporary, "wb") as target:
        target.write(source.read())
    os.rename(temporary, os.path.join(folder, name))
    return time.monotonic()


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--ignore-certificate-errors", "--window-size=1600,1000"):
        options.add_argument(argument)
    options.accept_insecure_certs = True
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def main():
    os.makedirs(SCREENS, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vantle-browser-") as home:
        shoot = os.path.join(home, "Shoot")
        os.makedirs(shoot)
        agent = Agent(home, shoot, 0)
        address = agent.line(r"^Browsers: (https://\S+)$").group(1)
        check(re.fullmatch(r"https://[^/]+:\d+/#[0-9a-f]{32}", address) is not None,
              "the agent prints one line with the browser address")
        port = int(re.search(r":(\d+)/#", address).group(1))
        token = address.split("#")[1]
        # The host is the computer's address on the studio network; here the browser is on the computer itself.
        local = "https://127.0.0.1:%d/" % port

        driver = browser()
        try:
            driver.get(local + "#" + token)
            check(wait_until(lambda: text(driver, "link") == "Live", 30), "the page goes live with the QR address")
            check("#" not in driver.current_url, "the token leaves the address bar")

            landed = land(os.path.join(shoot, "Look 1"), "IMG_0001.CR3")
            counted = wait_until(lambda: text(driver, "count") == "1" and time.monotonic(), 30)
            check(counted and counted - landed <= 1.0,
                  "the count changes within 1 s of a frame landing (%.3f s)" % ((counted or 0) - landed))
            check(wait_until(lambda: text(driver, "shot") == "Look 1", 10), "the open shot is named")
            check(wait_until(lambda: driver.execute_script(
                "const i = document.getElementById('frame'); return !i.hidden && i.complete && i.naturalWidth > 0;"),
                30), "the newest frame's picture shows")

            # A folder becomes a shot once it has held the designation for a moment; then the next one closes it.
            check(wait_until(lambda: text(driver, "clock-state") == "running", 30), "the shot clock runs")
            land(os.path.join(shoot, "Look 2"), "IMG_0002.CR3")
            check(wait_until(lambda: driver.execute_script(
                "const i = document.querySelector('#shots li img');"
                "return i && i.complete && i.naturalWidth > 0 && i.alt;") == "Look 1", 30),
                "the closed shot appears with its thumbnail")

            driver.find_element(By.ID, "target").send_keys("10")
            check(wait_until(lambda: text(driver, "looks-left") == "9", 30), "the pace comes from the agent's plan")

            driver.set_window_size(390, 844)
            driver.save_screenshot(os.path.join(SCREENS, "browser-phone.png"))
            driver.set_window_size(1600, 1000)
            driver.save_screenshot(os.path.join(SCREENS, "browser-screen.png"))

            main_tab = driver.current_window_handle
            driver.switch_to.new_window("tab")
            driver.get(local + "#" + "0" * 32)
            check(wait_until(lambda: "no longer opens" in text(driver, "link"), 30), "a wrong token is refused")
            check(text(driver, "count") == "\u2013", "and shows nothing of the shoot")
            driver.close()
            driver.switch_to.window(main_tab)

            agent.stop()
            check(wait_until(lambda: text(driver, "link") != "Live", 60), "the page sees the agent go")
            agent = Agent(home, shoot, port)
            agent.line(r"^Browsers: https://")
            check(wait_until(lambda: text(driver, "link") == "Live", 60), "the page reconnects after the agent restarts")
            land(os.path.join(shoot, "Look 2"), "IMG_0003.CR3")
            check(wait_until(lambda: text(driver, "count") == "2", 30), "and follows the shoot again")
        finally:
            driver.quit()
            agent.stop()
    if FAILURES:
        print("%d failed" % len(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
