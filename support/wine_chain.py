"""The whole chain on this machine, for the chain test, its benchmark and the
demo: the host simulator and gateway.exe under Wine on a display of our own, the
hub on Windows' node.exe reading the gateway's pipe and publishing to a mosquitto
configured as shipped that also serves the live page, and the page in headless
Chromium.

Needs the Windows build (build/windows/bin, with the Wine prefix its tests made
ready), mosquitto, chromium with chromium-driver and python3-selenium."""

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


def hub_kit():
    """The hub as the release package lays it out (node/node.exe, hub/ and
    pipe_server_exit.exe beside them), assembled from the build: for the chain,
    its benchmark and the demo, which need no release package."""
    for script, folder in (("build-hub", "hub"), ("build-windows-node", "node")):
        subprocess.run([os.path.join(ROOT, "scripts", script), os.path.join(KIT, folder)], check=True,
                       stdout=subprocess.DEVNULL)
    for helper in ("pipe_server_exit.exe", "gateway_keeper.exe"):
        shutil.copy(os.path.join(BIN, helper), KIT)
    return KIT


CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


def missing():
    """What the chain cannot run without, or None."""
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
        self.env = dict(os.environ, DISPLAY=":%d" % n, WINEPREFIX=os.path.join(ROOT, "build", "wineprefix"),
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        # Makes the prefix ready if the Windows tests have not.
        subprocess.run([os.path.join(ROOT, "scripts", "wine-run"), "--command", "true"], env=self.env, check=True)
        self.processes = []

    def start(self, program, *args, **popen):
        p = subprocess.Popen(["wine", os.path.join(BIN, program), *args], env=self.env, text=True, **popen)
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
    """The host simulator, driven by its commands."""

    def __init__(self, desktop, *args):
        self.process = desktop.start("host_simulator.exe", *args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
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
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

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
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1100",
                  "--disable-background-networking", "--disable-component-update", "--no-first-run"):
            options.add_argument(a)
        self.browser = webdriver.Chrome(service=Service(DRIVER), options=options)
        self.browser.get(self.page_url())
        return self.browser

    def page(self):
        return self.browser.execute_script("const s = window.draxionLive; return s ? Object.assign({}, s) : null;")

    def until_page(self, what, check, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            s = self.page()
            if s is not None and check(s):
                return s
            if time.monotonic() > deadline:
                raise AssertionError("the page never showed %s: %s" % (what, s))
            time.sleep(0.02)

    def close(self):
        if self.browser is not None:
            self.browser.quit()
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
