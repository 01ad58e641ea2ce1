"""The whole chain on this machine, for the chain test, its benchmark, the demo
and the walk of START-HERE.md: the host simulator and gateway.exe under Wine on a
display of our own, the hub on Windows' node.exe reading the gateway's pipe and
publishing to a mosquitto configured as shipped that also serves the live page,
and the page in headless Chromium.

Needs the Windows build (build/windows/bin), Wine 10 or later (node.exe 24 dies
under Wine 8: run under scripts/wine10), mosquitto, chromium with chromium-driver
and python3-selenium."""

import json
import os
import shutil
import subprocess
import threading
import time

from shipped_broker import HUB_LOGIN, MOSQUITTO, Broker

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build", "windows", "bin")
# The release package as the Windows tests unpack it (ctest's release_package).
PACKAGE = os.path.join(ROOT, "build", "windows", "package_check")
# The hub laid out as in the package, from the build (hub_kit).
KIT = os.path.join(ROOT, "build", "windows", "hub_kit")


def needed_package():
    """The unpacked release package's folder, with the Windows build beside it; a
    RuntimeError saying what is missing before the Windows tests made them."""
    found = sorted(os.path.join(PACKAGE, d) for d in os.listdir(PACKAGE)) if os.path.isdir(PACKAGE) else []
    if missing() or not found or not os.path.exists(os.path.join(found[-1], "hub.cmd")):
        raise RuntimeError("needs the Windows build and its unpacked package (scripts/test makes both)")
    return found[-1]


def hub_kit(unbundled=False):
    """The hub as the release package lays it out (node/node.exe, hub/ and
    pipe_server_exit.exe beside them), assembled from the build: for the chain,
    its benchmark and the demo, which need no release package. unbundled: the
    hub unpacked, as the package had it until it was packed (for the benchmark of its start)."""
    kit = KIT + ("-unbundled" if unbundled else "")
    for command, folder in ((["build-hub"] + (["--unbundled"] if unbundled else []), "hub"),
                            (["build-windows-node"], "node")):
        subprocess.run([os.path.join(ROOT, "scripts", command[0])] + command[1:] + [os.path.join(kit, folder)],
                       check=True, stdout=subprocess.DEVNULL)
    for helper in ("pipe_server_exit.exe", "gateway_keeper.exe"):
        shutil.copy(os.path.join(BIN, helper), kit)
    return kit


CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


def wine_major():
    """The major version of the Wine on PATH ("wine-10.0 ..."), 0 without one."""
    try:
        out = subprocess.run(["wine", "--version"], capture_output=True, text=True, check=False).stdout
    except OSError:
        return 0
    digits = out.strip().removeprefix("wine-").split(".")[0]
    return int(digits) if digits.isdigit() else 0


def missing():
    """What the chain cannot run without, or None."""
    if wine_major() < 10:
        return "Wine 10 or later for node.exe 24 (run it under scripts/wine10)"
    for what, path in (("the Windows build (cmake --build --preset windows)", os.path.join(BIN, "gateway.exe")),
                       ("the Windows build's pipe_server_exit.exe", os.path.join(BIN, "pipe_server_exit.exe")),
                       ("the Windows build's gateway_keeper.exe", os.path.join(BIN, "gateway_keeper.exe")),
                       ("mosquitto", MOSQUITTO), ("chromium", CHROMIUM), ("chromium-driver", DRIVER)):
        if not os.path.exists(path):
            return what
    return None


class Reader:
    """Reads a process's output all the time, so that it never waits on a full pipe."""

    def __init__(self, stream):
        self.lines, self.lock = [], threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in iter(stream.readline, ""):
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def text(self):
        with self.lock:
            return "\n".join(self.lines)

    def wait_for(self, check, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for line in self.lines:
                    if check(line):
                        return line
            time.sleep(0.005)
        return None


class Desktop:
    """An Xvfb of our own and the Wine prefix of the Windows build."""

    def __init__(self):
        n = next(n for n in range(90, 200) if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                 and not os.path.exists("/tmp/.X%d-lock" % n))
        self.xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists("/tmp/.X11-unix/X%d" % n):
            if time.monotonic() > deadline:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.05)
        self.env = dict(os.environ, DISPLAY=":%d" % n, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        WINEPREFIX=os.environ.get("WINEPREFIX", os.path.join(ROOT, "build", "wineprefix")))
        # Makes the prefix ready if the Windows tests have not.
        subprocess.run([os.path.join(ROOT, "scripts", "wine-run"), "--command", "true"], env=self.env, check=True)
        self.processes = []

    def start(self, program, *args, folder=BIN, **popen):
        p = subprocess.Popen(["wine", os.path.join(folder, program), *args], env=self.env, text=True, **popen)
        self.processes.append(p)
        return p

    def stop(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        self.xvfb.terminate()
        self.xvfb.wait(10)


class Simulator:
    """The host simulator (of the build, or of folder), driven by its commands."""

    def __init__(self, desktop, *args, folder=BIN):
        self.process = desktop.start("host_simulator.exe", *args, folder=folder, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = Reader(self.process.stdout)
        if self.out.wait_for(lambda l: l == "ready", 60) is None:
            raise RuntimeError("the host simulator did not start: " + self.out.text())
        self.main = next(l.split()[1] for l in self.out.lines if l.startswith("main "))
        self.answered = len(self.out.lines)

    def tell(self, command):
        """Carries out a command; the time (time.time()) its answer came, once the
        simulator has done it (and repainted)."""
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with self.out.lock:
                new = self.out.lines[self.answered:]
            for i, line in enumerate(new):
                if line == "ok" or line.startswith("error"):
                    self.answered += i + 1
                    if line != "ok":
                        raise RuntimeError("%s: %s" % (command, line))
                    return time.time()
            time.sleep(0.001)
        raise RuntimeError("no answer to " + command)


def windows_path(path):
    """A Linux path as Wine's programs see it (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineHub:
    """The hub of the unpacked package (or hub_kit) on its own Windows node.exe,
    under the desktop's Wine, from the configuration given (a dict; paths in it
    are Linux paths, made Windows ones here), with env's variables. Its output
    goes to a file, as node.exe cannot write into a Unix pipe under Wine."""

    def __init__(self, desktop, package, work, config, login=None, env=None):
        self.desktop, self.package, self.process = desktop, package, None
        self.env = dict(desktop.env, **(env or {}))
        self.log_path = os.path.join(work, "hub.log")
        # A hub started again in the same folder: this one's lines only.
        self.log_start = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        config = dict(config)
        for key in ("users_file", "pki_folder", "broker_password_file", "broker_ca"):
            if key in config:
                config[key] = windows_path(config[key])
        self.config_path = os.path.join(work, "hub.json")
        with open(self.config_path, "w") as f:
            json.dump(config, f)
        if login is not None:
            adding = self._node("--add-user", login[0], input=login[1] + "\n")
            if adding.wait(120) != 0:
                raise RuntimeError("the hub could not add its user: " + self.text())
        self.process = self._node()
        if not self.wait_for("Ctrl+C stops", 120):
            raise RuntimeError("the hub did not start: " + self.text())

    def _node(self, *args, input=None):
        log = open(self.log_path, "a")
        p = subprocess.Popen(["wine", os.path.join(self.package, "node", "node.exe"),
                              windows_path(os.path.join(self.package, "hub", "hub.js")), "--config",
                              windows_path(self.config_path), *args], env=self.env, stdout=log, stderr=log,
                             stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL, text=True)
        log.close()
        if input is not None:
            p.stdin.write(input)
            p.stdin.close()
        return p

    def text(self):
        with open(self.log_path, "rb") as f:
            f.seek(self.log_start)
            return f.read().decode("utf-8", errors="replace")

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.text():
                return True
            if self.process is not None and self.process.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


class Chain:
    """gateway.exe for robot 1 of a fresh simulator, its information box answered,
    and the hub under Wine reading its pipe (with the state report) and
    publishing on topic to a mosquitto that serves the page from web_dir."""

    def __init__(self, work, topic="chain/axes", qos=1):
        self.topic, self.browser, self.hub = topic, None, None
        web = os.path.join(work, "web")
        subprocess.run([os.path.join(ROOT, "scripts", "build-live-page"), web], check=True)
        self.broker = Broker(work, web_dir=web)  # as shipped
        self.broker.start()
        self.port, self.ws_port = self.broker.port, self.broker.ws_port
        self.desktop = Desktop()
        try:
            kit = hub_kit()
            self.simulator = Simulator(self.desktop)
            self.gateway = self.desktop.start("gateway.exe", self.simulator.main, "1", "chain_gateway",
                                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.gateway_out = Reader(self.gateway.stdout)
            box = self.desktop.start("box_user.exe", "--timeout", "60", stdout=subprocess.PIPE)
            if box.wait(90) != 0:
                raise RuntimeError("nobody answered the gateway's box: " + self.gateway_out.text())
            self.hub = WineHub(self.desktop, kit, work, {
                "opcua": False, "broker": "mqtt://127.0.0.1:%d" % self.port, "broker_username": HUB_LOGIN[0],
                "qos": qos, "robots": [{"name": "robot1", "pipe": "chain_gateway", "publish": topic}]},
                env={"DRAXION_MQTT_PASSWORD": HUB_LOGIN[1]})
        except BaseException:
            self.close()
            raise

    def page_url(self):
        return "http://127.0.0.1:%d/index.html?topic=%s" % (self.ws_port, self.topic)

    def open_page(self):
        self.browser = open_page(self.page_url())
        return self.browser

    def page(self):
        return page_state(self.browser)

    def until_page(self, what, check, timeout=20):
        return until_page(self.browser, what, check, timeout)

    def close(self):
        if self.browser is not None:
            self.browser.quit()
        if self.hub is not None:
            self.hub.stop()
        self.broker.stop()
        self.desktop.stop()


def open_page(url):
    """The live page at url in headless Chromium: selenium's driver of it."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1100",
              "--disable-background-networking", "--disable-component-update", "--no-first-run"):
        options.add_argument(a)
    browser = webdriver.Chrome(service=Service(DRIVER), options=options)
    browser.get(url)
    return browser


def page_state(browser):
    """What the page shows (its window.draxionLive), or None before it has any."""
    return browser.execute_script("const s = window.draxionLive; return s ? Object.assign({}, s) : null;")


def until_page(browser, what, check, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        s = page_state(browser)
        if s is not None and check(s):
            return s
        if time.monotonic() > deadline:
            raise AssertionError("the page never showed %s: %s" % (what, s))
        time.sleep(0.02)


def value_of(text):
    """What the gateway reads from a field's text: its digits and minus, over ten."""
    return float(text.replace(",", "")) / 10


def windows_processes(name):
    """The live (not yet reaped) Wine processes whose program is name (e.g.
    "gateway.exe"): {pid: command line}."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                words = f.read().decode(errors="replace").split("\0")
            with open("/proc/%s/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state != "Z" and words[0].replace("\\", "/").split("/")[-1].lower() == name:
            found[int(pid)] = " ".join(words).strip()
    return found


# The start of the reason in a hub's last will (hub/lib/mqtt/publisher.js).
WILL_REASON = "the hub has lost its connection to the broker"


def is_will(status):
    return (status.get("reason") or "").startswith(WILL_REASON)


class Watch:
    """Every message on the cell's topics, with when it arrived, read with login
    (None: without one); it comes back with the broker."""

    def __init__(self, port, topics, login=HUB_LOGIN):
        import paho.mqtt.client as mqtt

        self.messages, self.lock = [], threading.Lock()
        self.client = mqtt.Client()
        if login is not None:
            self.client.username_pw_set(*login)
        self.client.reconnect_delay_set(min_delay=0.1, max_delay=0.2)
        self.client.on_connect = lambda c, u, f, rc: [c.subscribe(t, qos=1) for t in topics]
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def _on_message(self, client, userdata, message):
        with self.lock:
            self.messages.append((time.monotonic(), message.topic, json.loads(message.payload)))

    def first(self, check, timeout):
        """The arrival time of the first message that check(topic, message) takes, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for at, topic, m in self.messages:
                    if check(topic, m):
                        return at
            time.sleep(0.01)
        return None

    def wills(self, since=0):
        """The topics of the hub's last wills among the messages from index since on."""
        with self.lock:
            return [t for _, t, m in self.messages[since:] if is_will(m)]

    def status(self, topic):
        """The robot's last status, or {} before its first."""
        with self.lock:
            return ([m for _, t, m in self.messages if t == topic + "/status"] or [{}])[-1]

    def until(self, check, timeout):
        deadline = time.monotonic() + timeout
        while not check():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Cell:
    """A cell of two robots under Wine: the host simulator with both jog windows,
    and the hub on node.exe keeping a gateway.exe for each (robots by number),
    serving OPC UA (anonymous, encrypted) and publishing to a mosquitto as
    shipped; restart_hub() and the simulator's and broker's own stop and start
    make the faults."""

    MACHINE = "cellpc"
    LEVELS = {"site": "plant", "area": "sim", "line": "line1", "cell": "cell1"}

    START = ["12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"]  # the simulator's start values

    def __init__(self, work, robots=(1, 2)):
        from shipped_broker import free_port

        self.work, self.robots, self.hub, self.watch, self.changed = work, robots, None, None, 0
        # What each robot's fields have shown: nothing else may be served as live.
        self.shown = {r: [{value_of(t)} for t in self.START] for r in robots}
        self.broker = Broker(work)
        self.broker.start()
        self.watch = Watch(self.broker.port, [self.topic(r) + s for r in robots for s in ("", "/status")])
        self.desktop = Desktop()
        try:
            self.kit = hub_kit()
            self.simulator = self.open_simulator()
            self.opcua_port = free_port()
            self.config = dict(self.LEVELS, machine=self.MACHINE, port=self.opcua_port, allow_anonymous=True,
                               pki_folder=os.path.join(work, "pki"), broker="mqtt://127.0.0.1:%d" % self.broker.port,
                               broker_username=HUB_LOGIN[0], gateway=windows_path(os.path.join(BIN, "gateway.exe")),
                               robots=[{"number": n} for n in robots])
            self.start_hub()
        except BaseException:
            self.close()
            raise

    def topic(self, robot):
        return "/".join(list(self.LEVELS.values()) + [self.MACHINE, "robot%d" % robot, "axes"])

    def open_simulator(self):
        return Simulator(self.desktop, *[w for n in self.robots for w in ("--robot", str(n))])

    def start_hub(self):
        self.hub = WineHub(self.desktop, self.kit, self.work, self.config, env={"DRAXION_MQTT_PASSWORD": HUB_LOGIN[1]})

    def gateways(self):
        return windows_processes("gateway.exe")

    def live_again(self, since, timeout=30):
        """Shows a new value in each robot's first field; {robot: seconds from since
        until the broker had it as live, or None if it never came within timeout}."""
        wanted = {}
        for r in self.robots:
            self.changed += 1
            text = "%d,%d" % (100 + self.changed, self.changed % 10)
            self.shown[r][0].add(value_of(text))
            wanted[r] = value_of(text)
            self.simulator.tell("set %d 0 %s" % (r, text))
        took = {}
        for r, value in wanted.items():
            topic = self.topic(r)
            at = self.watch.first(lambda t, m: t == topic and m.get("state") == "live" and m["values"][0] == value,
                                  timeout)
            took[r] = None if at is None else at - since
        return took

    def unseen_live(self):
        """How many updates the broker had as live, and those of them with a value
        no field showed."""
        robot = {self.topic(r): r for r in self.robots}
        with self.watch.lock:
            updates = [(robot[t], m) for _, t, m in self.watch.messages if t in robot and m.get("state") == "live"]
        return len(updates), [m for r, m in updates if not all(v in self.shown[r][k] for k, v in enumerate(m["values"]))]

    def close(self):
        if self.watch is not None:
            self.watch.close()
        if self.hub is not None:
            self.hub.stop()
        self.broker.stop()
        self.desktop.stop()


def demo(picture):
    """The chain for people: the page while the jog window is covered, saved as a
    picture, and what the page said at each step."""
    import tempfile

    with tempfile.TemporaryDirectory() as work:
        chain = Chain(work)
        try:
            chain.open_page()
            s = chain.until_page("live values", lambda s: s["live"], timeout=60)
            print("page: values %s, %s (%s)" % (", ".join(s["texts"]), "live" if s["live"] else "not live", s["shown"]))
            chain.simulator.tell("cover 1 right")
            chain.simulator.tell("set 1 5 88,8")
            s = chain.until_page("the hold", lambda s: s["valuesState"] == "covered", timeout=10)
            time.sleep(0.5)
            chain.browser.save_screenshot(picture)
            s = chain.page()
            print("page, jog window covered: values %s, held (%s), %s; picture in %s"
                  % (", ".join(s["texts"]), s["valuesState"], s["shown"], picture))
            chain.simulator.tell("uncover")
            s = chain.until_page("live again", lambda s: s["live"] and s["texts"][5] == "88.8", timeout=10)
            print("page, uncovered: values %s, live (%s)" % (", ".join(s["texts"]), s["shown"]))
            chain.simulator.tell("quit")
            s = chain.until_page("offline", lambda s: s["status"] == "offline", timeout=20)
            print("page, host closed: hub %s: %s" % (s["status"], s["reason"]))
        finally:
            chain.close()


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="The whole chain once, for people: a picture of the live page.")
    parser.add_argument("--picture", default=os.path.join(ROOT, "build", "chain_page.png"))
    demo(parser.parse_args().picture)
