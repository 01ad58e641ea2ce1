"""The live page in headless Chromium, served by a mosquitto of our own from its
WebSocket listener and fed by the bridge from a recording: the last values
exactly, every update counted and plotted, the bridge's status with its reason,
and the page reconnecting after the broker restarts. With DRAXION_SCREENSHOT set,
saves a picture of the page there."""

import json
import math
import os
import shutil
import subprocess
import time

import pytest

from rig import Broker, bridge, write_recording

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
CHROMIUM, DRIVER = shutil.which("chromium") or "/usr/bin/chromium", shutil.which("chromedriver") or "/usr/bin/chromedriver"


@pytest.fixture
def page_broker(tmp_path):
    web = tmp_path / "web"
    subprocess.run([os.path.join(ROOT, "scripts", "build-live-page"), str(web)], check=True)
    b = Broker(tmp_path, web_dir=web)  # the shipped configuration: the page reads without a login
    b.start()
    yield b
    b.stop()


@pytest.fixture
def browser():
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        pytest.fail("chromium and chromium-driver are not installed (scripts/install-deps installs them)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1100"):
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield driver
    driver.quit()


def until(driver, what, check, timeout=30):
    """Waits for check(state of the page) to hold; the state on timeout in the failure."""
    deadline = time.monotonic() + timeout
    while True:
        state = driver.execute_script(
            "const s = window.draxionLive; return s ? Object.assign({}, s, {points: s.points()}) : null;")
        if state is not None and check(state):
            return state
        if time.monotonic() > deadline:
            pytest.fail("the page never showed %s: %s" % (what, state))
        time.sleep(0.1)


def test_page_shows_every_update_exactly_and_whether_it_is_live(page_broker, browser, tmp_path):
    browser.get("http://127.0.0.1:%d/index.html?topic=cell/live&window=30" % page_broker.ws_port)
    until(browser, "its connection", lambda s: s["connection"] == "connected")

    # 1,000 updates at 100 a second; the last holds values whose shortest form matters.
    rows = [(i / 10, -i / 7, 0.0, -0.0, 1000.0 - i, i * 1e-5) for i in range(999)]
    rows.append((-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7.0))
    b = bridge("--broker", "127.0.0.1:%d" % page_broker.port, "--topic", "cell/live", "--qos", "1", "--retain",
               "--realtime", "--source", write_recording(tmp_path / "r.csv", rows))
    until(browser, "the bridge online", lambda s: s["status"] == "online", timeout=10)
    assert b.wait(60) == 0, b.stderr.read()
    s = until(browser, "every update", lambda s: s["received"] == len(rows) and s["status"] == "offline")
    expected = [json.dumps(v) for v in rows[-1]]
    assert s["texts"] == expected == ["-0.0", "5e-324", "1.7976931348623157e+308", "0.30000000000000004",
                                      "-1234.6", "7.0"]
    shown = [e.text for e in browser.find_elements("css selector", ".axis .value")]
    assert shown == expected
    assert (s["seq"], s["plotted"], s["points"], s["repeats"], s["unreadable"]) == (1000, 1000, 1000, 0, 0)
    assert s["reason"] == "the recording has ended"
    assert browser.find_element("id", "received").text == "1000"
    # Everything the page loaded came from the broker that serves it.
    loaded = browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name);")
    own = "http://127.0.0.1:%d/" % page_broker.ws_port
    assert loaded and all(url.startswith(own) for url in loaded), loaded
    if os.environ.get("DRAXION_SCREENSHOT"):
        browser.save_screenshot(os.environ["DRAXION_SCREENSHOT"])

    # The broker goes away and comes back: the page says so, then reconnects by itself.
    page_broker.stop()
    until(browser, "the lost broker", lambda s: s["connection"] != "connected", timeout=10)
    page_broker.start()
    until(browser, "the broker again", lambda s: s["connection"] == "connected", timeout=20)

    # A bridge that is killed: the broker's last will reaches the page.
    b = bridge("--broker", "127.0.0.1:%d" % page_broker.port, "--topic", "cell/live", "--realtime",
               "--source", write_recording(tmp_path / "long.csv", rows, step=0.05))
    until(browser, "a new run online", lambda s: s["status"] == "online" and s["seq"] is not None and s["seq"] < 50)
    b.kill()
    b.wait(10)
    s = until(browser, "the killed bridge", lambda s: s["status"] == "offline", timeout=15)
    assert "lost its connection" in s["reason"]


def test_page_shows_held_values_dimmed_with_their_cause_and_a_silence(page_broker, browser, tmp_path):
    browser.get("http://127.0.0.1:%d/index.html?topic=cell/state" % page_broker.ws_port)
    until(browser, "its connection", lambda s: s["connection"] == "connected")
    base = time.time()
    a, b = "1,2,3,4,5,6", "1,2,3,4,5,-0.5"

    def line(stamp, values, state, confirmed, since):
        return "%.3f,%s,%s,%r,%r,%d,%r\n" % (stamp, values, state, base + confirmed, base + since, stamp * 94,
                                            base + stamp)
    # Live with heartbeats, covered for 1.5 s, waiting, live with a new value,
    # then silence for 3.5 s before the last heartbeat.
    text = "".join([line(0.0, a, "live", 0.0, 0.0), line(0.5, a, "live", 0.5, 0.0), line(1.0, a, "live", 1.0, 0.0),
                    line(1.5, a, "covered", 1.4, 1.5), line(2.0, a, "covered", 1.4, 1.5),
                    line(2.5, a, "covered", 1.4, 1.5), line(3.0, a, "waiting", 1.4, 3.0),
                    line(3.2, b, "live", 3.2, 3.2), line(6.7, b, "live", 6.7, 3.2)])
    path = tmp_path / "state.csv"
    path.write_text(text)
    bridge("--broker", "127.0.0.1:%d" % page_broker.port, "--topic", "cell/state", "--qos", "1", "--realtime",
           "--source", str(path))
    held = lambda: "held" in browser.find_element("id", "values").get_attribute("class").split()
    s = until(browser, "live values", lambda s: s["live"] and s["shown"].startswith("age "), timeout=10)
    assert not held()
    s = until(browser, "the hold", lambda s: s["valuesState"] == "covered", timeout=5)
    since = time.strftime("%H:%M:%S", time.gmtime(base + 1.5)) + (".%03d UTC" % (math.floor((base + 1.5) * 1000) % 1000))
    assert (s["live"], s["shown"]) == (False, "held since " + since)
    assert held(), "held values are dimmed"
    assert browser.find_element("id", "valuesState").text == "held (covered)"
    s = until(browser, "live again", lambda s: s["live"] and s["texts"][5] == "-0.5", timeout=5)
    assert not held()
    s = until(browser, "the silence", lambda s: s["shown"].startswith("nothing heard for"), timeout=5)
    assert not s["live"] and held()
    until(browser, "the end", lambda s: s["status"] == "offline", timeout=10)
