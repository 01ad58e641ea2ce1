"""START-HERE.md walked as a new user walks it: in the unpacked release package,
under Wine, step by step, each step's commands taken from the document's own
code blocks (so that a change that breaks a step breaks this test), with the
host simulator of step 2 in place of Draxion3 and box_user.exe pressing OK in
each gateway's box. Between steps it stops only what a step's "Before the next
step" says, so a step that needs a restart the document does not ask for fails.
What differs from a user's walk: free ports in place of the shipped fixed ones
(the machine is shared), mosquitto's paths made Linux ones, and Ctrl+C where a
key is to be pressed."""

import json
import ntpath
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

import wine_chain
from opcua_reader import AXES, SIDE, Client, until_read
from shipped_broker import Broker, free_port

pytestmark = pytest.mark.node_exe  # the hub on node.exe 24, which needs Wine 10

HERE = os.path.dirname(os.path.abspath(__file__))
DOC = os.path.join(HERE, "..", "..", "..", "docs", "start-here.md")
# Evidence is waited for this long at the most: enough for a loaded machine.
WAIT_S = 120


def link_or_copy(source, target):
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)


def steps(text):
    """{number: (prose, blocks)} of each "## N." section: its text outside code
    blocks as one line, and its code blocks in order, each a list of lines."""
    found = {}
    for m in re.finditer(r"^## (\d+)\. .*\n((?:(?!## ).*\n?)*)", text, re.M):
        prose, blocks, block = [], [], None
        for line in m.group(2).split("\n"):
            if line.startswith("    "):
                if block is None:
                    block = []
                    blocks.append(block)
                block.append(line[4:])
            else:
                block = None
                prose.append(line)
        found[int(m.group(1))] = (" ".join(" ".join(prose).split()), blocks)
    return found


def six_values(line):
    """The six values of a line of axis_monitor's, or None."""
    try:
        values = [float(w) for w in line.split()]
    except ValueError:
        return None
    return values if len(values) == 6 else None


def until(check, what):
    """Waits for check() to hold; a failure saying what never came."""
    deadline = time.monotonic() + WAIT_S
    while not check():
        assert time.monotonic() < deadline, "never: " + what()
        time.sleep(0.05)


def own_file(path, text):
    """Writes path anew: the package folder is a copy by hard links, whose files
    are the unpacked package's own."""
    if os.path.exists(path):
        os.unlink(path)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def live(message):
    return message.get("state") == "live" and len(message.get("values") or []) == 6


class Walk:
    """The user at the package's folder: one console's environment (what `set`
    sets stays), the programs they started, and what the steps left to check."""

    PASSWORD = "walk-pass-3318"  # the one the user types at every prompt

    def __init__(self, desktop, package, work, box_text):
        self.desktop, self.package, self.work, self.box_text = desktop, package, work, box_text
        self.env = dict(desktop.env)
        self.processes, self.simulator, self.gateway, self.monitor, self.hub = [], None, None, None, None
        self.broker, self.hubs, self.hub_log, self.user = None, 0, None, None
        # The shipped configurations' fixed ports, made free ones: the machine is
        # shared, and each hub is checked on the port it is given here.
        self.ports = {}
        for name, keys in (("page.json", ("broker_port", "page_port")), ("hub.json", ("port",)),
                           ("cell.json", ("port", "broker_port", "page_port"))):
            path = os.path.join(package, "hub", name)
            with open(path, encoding="utf-8") as f:
                config = json.load(f)
            self.ports[name] = {k: free_port() for k in keys}
            config.update(self.ports[name])
            own_file(path, json.dumps(config))

    def start(self, words, output=None, stdin=subprocess.DEVNULL):
        """A program of the package under Wine, from its folder; its output read
        (or into the file output: node.exe writes into no Unix pipe under Wine)."""
        out = open(output, "a") if output else subprocess.PIPE
        p = subprocess.Popen(["wine", *words], cwd=self.package, env=self.env, stdin=stdin, stdout=out,
                             stderr=subprocess.STDOUT, text=True)
        if output:
            out.close()
        else:
            p.out = wine_chain.Reader(p.stdout)
        self.processes.append(p)
        return p

    def hub_words(self, args):
        """hub.cmd's command line with args, as the shipped hub.cmd makes it."""
        with open(os.path.join(self.package, "hub.cmd"), encoding="utf-8") as f:
            line = next(l for l in f if "%*" in l)
        here = wine_chain.windows_path(self.package) + "\\"
        words = []
        for w in re.findall(r'"[^"]*"|\S+', line):
            words.extend(args if w == "%*" else [w.strip('"').replace("%~dp0", here)])
        return words

    def run(self, line):
        # Words as the Windows console parses them: a quoted path is one.
        words = [w.strip('"') for w in re.findall(r'"[^"]*"|\S+', line)]
        program = ntpath.basename(words[0]).lower()
        if program == "selfcheck.cmd":
            return  # selfcheck_from_package (tests/e2e) runs it from the unpacked package
        if program == "axis_replay.exe":
            return  # the stand-in for a machine without a simulator; the walk has the host simulator
        if program == "host_simulator.exe":
            self.simulator = wine_chain.Simulator(self.desktop, *words[1:], folder=self.package)
        elif program == "gateway.exe":
            self.start_gateway(words)
        elif program == "axis_monitor.exe":
            self.monitor = self.start(words)
            out = self.monitor.out
            # Two different lines: values that move on screen reach it.
            until(lambda: len({l for l in out.text().split("\n") if six_values(l)}) > 1,
                  lambda: "moving values from axis_monitor.exe:\n" + out.text())
        elif program == "set":
            name, value = line.split(None, 1)[1].split("=", 1)
            self.env[name] = self.PASSWORD if value == "..." else value
        elif program == "mkdir":
            self.make_broker()
        elif program == "mosquitto_passwd.exe":
            self.make_passwords(words)
        elif program == "mosquitto.exe":
            assert self.broker is not None and words[-1].endswith(r"\docs\mosquitto-live.conf"), line
            self.broker.start()
        elif program == "hub.cmd":
            self.run_hub(words[1:])
        else:
            raise AssertionError("the walk cannot run %r" % line)

    def start_gateway(self, words):
        self.gateway = self.start(words)
        box = self.start(["box_user.exe", "--timeout", str(WAIT_S)])
        until(lambda: box.poll() is not None or self.gateway.poll() is not None,
              lambda: "the gateway's box:\n" + self.gateway.out.text())
        assert self.gateway.poll() is None, "the gateway ended at its start:\n" + self.gateway.out.text()
        assert box.wait(WAIT_S) == 0, "nobody could press OK in the gateway's box: " + self.gateway.out.text()
        said = box.out.wait_for(lambda l: l.startswith("box "), 5)
        assert said and said.split(": ", 1)[1] == self.box_text, "the box is not what step 2 says: %s" % said

    def make_broker(self):
        """mosquitto's folder, as step 3 makes it, and the shipped configuration
        with its paths set as its comments say (shipped_broker)."""
        folder = os.path.join(self.work, "mosquitto")
        os.makedirs(folder)
        self.broker = Broker(folder)

    def make_passwords(self, words):
        """A login, made by the command as written, in the file the configuration names."""
        assert self.broker is not None, "mosquitto_passwd before its folder was made"
        passwords = os.path.join(self.work, "mosquitto", "passwords")
        assert "\npassword_file %s\n" % passwords in self.broker.config.read_text()
        command = ["mosquitto_passwd"] + [passwords if re.match(r"[A-Za-z]:\\", w) else w for w in words[1:]]
        subprocess.run(command, input="%s\n%s\n" % (self.PASSWORD, self.PASSWORD), text=True, check=True,
                       stdout=subprocess.DEVNULL)

    def write(self, prose, block):
        """The file the step says to write, with the text of the block (the broker's
        port the walk's own)."""
        name = re.search(r"write `([^`]+)`", prose).group(1)
        config = json.loads(" ".join(block))
        config["broker"] = re.sub(r":1883$", ":%d" % self.broker.port, config["broker"])
        own_file(os.path.join(self.package, *name.split("\\")), json.dumps(config))
        return config

    def run_hub(self, args):
        self.hubs += 1
        self.hub_log = os.path.join(self.work, "hub%d.log" % self.hubs)
        words = self.hub_words(args)
        if "--add-user" in args:
            # It asks for the password: the user types it.
            p = self.start(words, self.hub_log, stdin=subprocess.PIPE)
            p.stdin.write(self.PASSWORD + "\n")
            p.stdin.close()
            assert p.wait(WAIT_S) == 0, self.hub_said()
            self.user = args[args.index("--add-user") + 1]
            assert "user %s is in " % self.user in self.hub_said()
            return
        self.hub = self.start(words, self.hub_log)
        until(lambda: "Ctrl+C stops" in self.hub_said() or self.hub.poll() is not None, self.hub_said)
        assert "Ctrl+C stops" in self.hub_said(), "the hub did not start:\n" + self.hub_said()

    def gateway_said(self):
        """The running gateway's output, and its end if it has ended, for a failure."""
        if self.gateway is None:
            return ""
        end = self.gateway.poll()
        return "\ngateway.exe%s:\n%s" % ("" if end is None else " (ended: %s)" % end, self.gateway.out.text())

    def hub_said(self):
        if self.hub_log is None:
            return ""
        with open(self.hub_log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def before_next(self, prose):
        """Stops what the step's "Before the next step" says, as its user would,
        with Ctrl+C in the program's console. (The gateway is to end at a key, but
        Wine 8's console hands no key to _kbhit: it reads the terminal only for a
        pending read. Ctrl+C ends the gateway on Windows as well.)"""
        said = prose.split("Before the next step", 1)[1] if "Before the next step" in prose else ""
        for asked, which in (("close `axis_monitor.exe`", "monitor"), ("stop the hub", "hub"),
                             ("end the gateway", "gateway")):
            p = getattr(self, which)
            if asked in said and p is not None:
                p.send_signal(signal.SIGINT)
                try:
                    p.wait(WAIT_S)
                except subprocess.TimeoutExpired:
                    raise AssertionError("the %s did not end at Ctrl+C" % which) from None
                setattr(self, which, None)

    def close(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
        if self.broker is not None:
            self.broker.stop()


def values_at(port, topic, login=None):
    """Whether live values come on topic at the broker on port."""
    watch = wine_chain.Watch(port, [topic], login)
    try:
        return watch.first(lambda t, m: live(m), WAIT_S) is not None
    finally:
        watch.close()


def test_start_here_walks_as_written(tmp_path):
    if wine_chain.missing():
        raise AssertionError("the walk needs %s (scripts/test builds and installs it)" % wine_chain.missing())
    unpacked = wine_chain.needed_package()
    with open(os.path.join(unpacked, "START-HERE.md"), encoding="utf-8") as f:
        text = f.read()
    with open(DOC, encoding="utf-8") as f:
        assert f.read() == text, "the package is older than docs/start-here.md: make it again (ctest -R release_package)"
    doc = steps(text)
    assert sorted(doc) == [1, 2, 3, 4, 5, 6], sorted(doc)
    box_text = re.search(r'box, "([^"]+)"', doc[2][0])
    assert box_text, "step 2 says what the gateway's box says"

    # The walk writes users, certificates and configurations into the folder: a
    # copy of the unpacked package of its own, by hard links where the two folders
    # share a mount (not so under scripts/wine10, where the checkout is bound in).
    package = str(tmp_path / "package")
    shutil.copytree(unpacked, package, copy_function=link_or_copy)
    desktop = wine_chain.Desktop()
    walk = Walk(desktop, package, str(tmp_path), box_text.group(1))
    try:
        began = time.monotonic()
        for number in sorted(doc):
            prose, blocks = doc[number]
            address, config = None, None
            try:
                for block in blocks:
                    if block[0].startswith("{"):
                        config = walk.write(prose, block)
                    elif block[0].startswith("http://"):
                        address = block[0]
                    else:
                        for line in block:
                            walk.run(line)
                check(number, walk, prose, address, config)
            except AssertionError as e:
                raise AssertionError("step %d: %s%s" % (number, e, walk.gateway_said())) from None
            print("step %d done at %.0f s" % (number, time.monotonic() - began))
            walk.before_next(prose)
    finally:
        walk.close()
        desktop.stop()


def check(number, walk, prose, address, config):
    """What the user of step number sees once its commands run."""
    if number == 2:
        assert walk.simulator is not None and walk.monitor is not None, "step 2 starts the simulator and the monitor"
    elif number == 3:
        got = values_at(walk.broker.port, config["robots"][0]["publish"], login=("hub", walk.PASSWORD))
        assert got, "no live values on the broker of step 3:\n" + walk.hub_said()
    elif number == 4:
        ports = walk.ports["page.json"]
        wanted = address.replace(":9001/", ":%d/" % ports["page_port"])
        assert any(l.endswith(" " + wanted) for l in walk.hub_said().split("\n")), (wanted, walk.hub_said())
        browser = wine_chain.open_page(wanted)
        try:
            wine_chain.until_page(browser, "live values", lambda s: s["live"] and s["texts"], timeout=WAIT_S)
        finally:
            browser.quit()
    elif number == 5:
        endpoint = re.search(r"`(opc\.tcp://[^`]+)`", prose).group(1)
        endpoint = endpoint.replace("<this machine>", "127.0.0.1").replace(":4840", ":%d" % walk.ports["hub.json"]["port"])
        c = Client(os.path.join(walk.package, "hub"), endpoint, user=(walk.user, walk.PASSWORD))
        try:
            assert c.hello == {"connected": True}, (c.hello, walk.hub_said())
            got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == "live", timeout=WAIT_S)
            assert got[6]["value"] == "live" and all(r["status"] == "Good" for r in got[:6]), (got, walk.hub_said())
        finally:
            c.close()
    elif number == 6:
        topic = re.search(r"`([^`]*<this PC>[^`]*)`", prose).group(1).replace("<this PC>", "+")
        with open(os.path.join(walk.package, "hub", "cell.json"), encoding="utf-8") as f:
            robots = [r["number"] for r in json.load(f)["robots"]]
        for n in robots:
            got = values_at(walk.ports["cell.json"]["broker_port"], topic.replace("robot1", "robot%d" % n))
            assert got, "no live values of robot %d from the cell:\n%s" % (n, walk.hub_said())
