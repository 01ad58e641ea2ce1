"""The live page in headless Chromium, served by a mosquitto of our own from its
WebSocket listener and fed by the hub from a recording: the last values
exactly, every update counted and plotted, the hub's status with its reason,
and the page reconnecting after the broker restarts. With DRAXION_SCREENSHOT set,
saves a picture of the page there."""

import json
import math
import os
import shutil
import signal
import subprocess
import time

import pytest

from rig import Broker, free_port, hub, publisher, write_recording

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
        state = driver.execute_script("const s = window.draxionLive; "
                                      "return s ? Object.assign({}, s, {points: s.points(), notes: s.notes()}) : null;")
        if state is not None and check(state):
            return state
        if time.monotonic() > deadline:
            pytest.fail("the page never showed %s: %s" % (what, state))
        time.sleep(0.1)


def publishing(package, folder, broker, recording, topic):
    """A hub playing a recording at its pace, published on topic."""
    return hub(package, folder, {"name": "r1", "recording": str(recording), "publish": topic},
               broker="mqtt://127.0.0.1:%d" % broker.port)


def test_page_shows_every_update_exactly_and_whether_it_is_live(hub_package, page_broker, browser, tmp_path):
    browser.get("http://127.0.0.1:%d/index.html?topic=cell/live&window=30" % page_broker.ws_port)
    until(browser, "its connection", lambda s: s["connection"] == "connected")

    # 1,000 updates at 100 a second; the last holds values whose shortest form matters.
    rows = [(i / 10, -i / 7, 0.0, -0.0, 1000.0 - i, i * 1e-5) for i in range(999)]
    rows.append((-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7.0))
    b = publishing(hub_package, tmp_path, page_broker, write_recording(tmp_path / "r.csv", rows), "cell/live")
    until(browser, "the hub online", lambda s: s["status"] == "online", timeout=10)
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

    # A hub that is killed: the broker's last will reaches the page.
    b = publishing(hub_package, tmp_path, page_broker, write_recording(tmp_path / "long.csv", rows, step=0.05),
                   "cell/live")
    until(browser, "a new run online", lambda s: s["status"] == "online" and s["seq"] is not None and s["seq"] < 50)
    b.kill()
    b.wait(10)
    s = until(browser, "the killed hub", lambda s: s["status"] == "offline", timeout=15)
    assert "lost its connection" in s["reason"]


def test_page_shows_held_values_dimmed_with_their_cause_and_a_silence(hub_package, page_broker, browser, tmp_path):
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
    publishing(hub_package, tmp_path, page_broker, path, "cell/state")
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
    # The status of each change comes before its values: since went only with its own state.
    assert [c for c in s["sinceChanges"] if c["state"] == "covered"] == [{"state": "covered", "since": base + 1.5}]
    s = until(browser, "the silence", lambda s: s["shown"].startswith("nothing heard for"), timeout=5)
    assert not s["live"] and held()
    until(browser, "the end", lambda s: s["status"] == "offline", timeout=10)


def test_page_says_which_topic_it_listens_to_until_values_come(page_broker, browser):
    browser.get("http://127.0.0.1:%d/index.html?topic=cell/quiet" % page_broker.ws_port)
    s = until(browser, "what it listens to", lambda s: s["shown"] != "")
    assert (s["connection"], s["shown"]) == ("connected", "listening to cell/quiet: nothing received on this topic yet")
    assert browser.find_element("id", "valuesDetail").text == s["shown"]
    assert browser.find_element("id", "valuesState").text == "-", "no claim about values it has not seen"
    writer = publisher(page_broker.port)
    writer.publish("cell/quiet/status", '{"state": "offline", "reason": "waiting"}', qos=1).wait_for_publish(5)
    until(browser, "a status, no values",
          lambda s: s["shown"] == "listening to cell/quiet: no values received on this topic yet")
    writer.publish("cell/quiet", '{"seq": 1, "time": %r, "values": [1, 2, 3, 4, 5, 6]}' % time.time(),
                   qos=1).wait_for_publish(5)
    s = until(browser, "the values", lambda s: s["received"] == 1)
    assert not s["shown"].startswith("listening"), s["shown"]
    writer.loop_stop()
    writer.disconnect()


# What each plot shows, measured on its canvas: the y scale, pixels of the
# series' colour, and whether two neighbouring time labels overlap.
PLOTS_DRAWN = """
return window.draxionLive.plots.map((u) => {
  const c = u.series[1].stroke(u, 1), rgb = [1, 3, 5].map((i) => parseInt(c.slice(i, i + 2), 16));
  const px = u.ctx.getImageData(0, 0, u.ctx.canvas.width, u.ctx.canvas.height).data;
  let stroke = 0;
  for (let i = 0; i < px.length; i += 4)
    stroke += Math.abs(px[i] - rgb[0]) + Math.abs(px[i + 1] - rgb[1]) + Math.abs(px[i + 2] - rgb[2]) < 40;
  const x = u.axes[0];
  u.ctx.font = x.font[0];
  const at = x._splits.map((t) => u.valToPos(t, "x", true)), w = x._values.map((t) => u.ctx.measureText(t).width);
  const overlaps = at.slice(1).filter((p, i) => p - at[i] < (w[i] + w[i + 1]) / 2 + 4).length;
  return {min: u.scales.y.min, max: u.scales.y.max, stroke, labels: x._values.length, overlaps, y: u.axes[1]._values};
});
"""
WHOLE_ON_ONE_LINE = """
return [...document.querySelectorAll('.axis .value')].map((e) => {
  const r = document.createRange();
  r.selectNodeContents(e);
  return e.scrollWidth <= e.clientWidth && r.getClientRects().length === 1;
});
"""


def test_page_takes_nothing_it_cannot_trust(page_broker, browser):
    t0 = time.time()
    writer = publisher(page_broker.port)

    def send(suffix, text, retain=False):
        data = text if isinstance(text, bytes) else text.encode()
        writer.publish("cell/t" + suffix, data, qos=1, retain=retain).wait_for_publish(5)

    def update(seq, values, extra=""):
        return '{"seq": %d, "time": %r, "values": [%s]%s}' % (seq, t0 + seq / 4, values, extra)
    # A late joiner: what the hub left retained, with every number's text as written.
    exact = ["-0.0", "5e-324", "1.7976931348623157e+308", "0.30000000000000004", "1E-7", "7.0"]
    send("/status", '{"state": "online", "reason": "here", "values_state": "live"}', retain=True)
    send("", update(1, ", ".join(exact), ', "state": "live", "confirmed": %r' % t0), retain=True)
    browser.get("http://127.0.0.1:%d/index.html?topic=cell/t" % page_broker.ws_port)
    s = until(browser, "the retained values", lambda s: s["texts"] == exact and s["status"] == "online")
    assert [e.text for e in browser.find_elements("css selector", ".axis .value")] == exact
    # Retained, they are the last of an earlier moment, as the hub's own reader takes them: not live.
    assert (s["live"], s["fresh"]) == (False, False)
    assert browser.find_element("id", "valuesState").text == "not current"

    markup = '"<img src=x onerror=\\"window.forged=1\\">"'
    unreadable = [
        ("", update(2, '"1", "2", "3", "4", "5", "6"')),          # strings
        ("", update(2, ", ".join([markup] * 6))),                 # markup
        ("", update(2, "1, 2, 3, 4, 5")), ("", update(2, "1, 2, 3, 4, 5, 6, 7")),
        ("", update(2, "NaN, 1, 2, 3, 4, 5")), ("", update(2, "1e400, 1, 2, 3, 4, 5")),
        ("", update(2, "[1], 2, 3, 4, 5, 6")), ("", update(2, "null, 2, 3, 4, 5, 6")),
        ("", '{"seq": 2, "time": %r, "meta": {"values": [9, 9, 9, 9, 9, 9]}}' % t0),  # only nested values
        ("", '{"seq": "2", "time": 1, "values": [1, 2, 3, 4, 5, 6]}'), ("", '{"time": 1, "values": [1, 2, 3, 4, 5, 6]}'),
        ("", '{"seq": 2.5, "time": 1, "values": [1, 2, 3, 4, 5, 6]}'), ("", update(2, "1, 2, 3, 4, 5, 6", ', "state": 5')),
        ("", "null"), ("", "[1, 2, 3, 4, 5, 6]"), ("", "5"), ("", "not json"), ("", b"\xff\xfe{}"),
        ("", update(2, "1, 2, 3, 4, 5, 6")[:-1]),                # cut short
        ("/status", "null"), ("/status", "[]"), ("/status", "5"), ("/status", "{}"), ("/status", '{"state": 7}'),
        ("/status", '"online"'), ("/status", '{"state": "offline"'),
    ]
    kept = ("received", "seq", "texts", "values", "status", "reason", "valuesState", "points", "plotted", "repeats",
            "lastHeard", "since")
    for n, (suffix, text) in enumerate(unreadable, start=1):
        before = until(browser, "a steady page", lambda s: s["unreadable"] == n - 1)
        send(suffix, text)
        after = until(browser, "%r counted as unreadable" % text, lambda s: s["unreadable"] == n, timeout=5)
        assert {k: after[k] for k in kept} == {k: before[k] for k in kept}, text
    assert browser.execute_script("return window.forged") is None
    assert browser.find_elements("css selector", "#values img") == []

    # Still handling messages; the message's own top-level values, not nested ones.
    send("", '{"meta": {"values": [9, 9, 9, 9, 9, 9]}, "seq": 2, "time": %r, "values": [1.5, 2, 3, 4, 5, 6]}'
         % (t0 + 0.5))
    until(browser, "the top-level values, live as sent", lambda s: s["texts"] == ["1.5", "2", "3", "4", "5", "6"]
          and s["live"])
    send("/status", '{"state": "online", "reason": "again"}')
    until(browser, "the status after all", lambda s: s["reason"] == "again")

    # The extremes of a double, within the plots' window: every plot draws, the
    # numbers stay whole on one line, and no two time labels overlap.
    m = "1.7976931348623157e+308"
    for seq, values in ((3, "%s, -%s, 5e-324, -5e-324, 1e15, 1e-300" % (m, m)),
                        (4, "-%s, %s, 0.0, 5e-324, -1e15, 1e300" % (m, m)),
                        (5, "-1234.56789012345, 0.1, 2.5, -5e-324, 1e15, 12"), (6, "%s, 1, 2, 3, 4, -%s" % (m, m))):
        send("", update(seq, values))
    until(browser, "the extremes", lambda s: s["seq"] == 6 and s["unreadable"] == len(unreadable))
    time.sleep(0.3)  # drawn within 50 ms
    drawn = browser.execute_script(PLOTS_DRAWN)
    for k, p in enumerate(drawn):
        assert math.isfinite(p["min"]) and math.isfinite(p["max"]) and p["min"] < p["max"], (k, p)
        assert p["stroke"] > 20 and p["labels"] >= 2 and p["overlaps"] == 0, (k, p)
    assert drawn[0]["y"][-1].endswith("e308"), drawn[0]  # says by which power of ten the column is drawn
    assert until(browser, "no notes", lambda s: True)["notes"] == [""] * 6
    assert browser.execute_script(WHOLE_ON_ONE_LINE) == [True] * 6
    # A clock that went back: the plots start anew rather than go out of order.
    send("", update(0, "1, 2, 3, 4, 5, 6").replace('"seq": 0', '"seq": 7'))
    until(browser, "the plots started anew", lambda s: s["seq"] == 7 and s["points"] == 1)
    writer.loop_stop()
    writer.disconnect()


def test_the_hubs_own_broker_serves_the_page_and_its_values(hub_package, browser, tmp_path):
    """No broker to install: the hub serves the page and its values itself."""
    web = tmp_path / "web"
    subprocess.run([os.path.join(ROOT, "scripts", "build-live-page"), str(web)], check=True)
    base = time.time()
    rows = ["%.3f,%r,%r,0.0,-0.0,5e-324,1.0,live,%r,%r,%d,%r" % (i / 100, i / 10, -i / 7, base + i / 100, base, i,
                                                                  base + i / 100) for i in range(300)]
    rows += ["%.3f,1,2,3,4,5,6,covered,%r,%r,300,%r" % (3 + i / 2, base + 3, base + 3.5, base + 3 + i / 2)
             for i in range(1, 5)]
    (tmp_path / "r.csv").write_text("\n".join(rows) + "\n")
    ws_port = free_port()
    # A second robot, whose gateway never comes, keeps the hub serving after the recording.
    b = hub(hub_package, tmp_path, [{"name": "r1", "recording": str(tmp_path / "r.csv"), "publish": "cell/own"},
                                    {"name": "r2", "pipe": "nobody"}],
            login=None, broker_port=free_port(), page_port=ws_port, page_folder=str(web))
    try:
        # The page's address as the hub says it, alone at the end of its line, once it serves it.
        said = next((line for line in b.stderr if "r1's live page: " in line), "the hub ended")
        address = said.rstrip("\n").split(": ")[-1]
        assert address == "http://127.0.0.1:%d/index.html?topic=cell/own" % ws_port, said
        browser.get(address)
        s = until(browser, "the hold at the end", lambda s: s["seq"] == len(rows), timeout=20)
        assert (s["live"], s["valuesState"], s["status"], s["reason"]) == (False, "covered", "offline", "the recording has ended")
        assert s["texts"] == ["1.0", "2.0", "3.0", "4.0", "5.0", "6.0"] and s["unreadable"] == 0
        assert "29.9" in s["liveSeen"][-1] and s["shown"].startswith("held since")
        loaded = browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name);")
        assert loaded and all(url.startswith("http://127.0.0.1:%d/" % ws_port) for url in loaded), loaded
    finally:
        b.send_signal(signal.SIGINT)
        assert b.wait(20) == 0, b.stderr.read()
