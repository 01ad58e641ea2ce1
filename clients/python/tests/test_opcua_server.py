"""The OPC UA server (clients/opcua) as the release package carries it, fed by the
bridge through a mosquitto configured as shipped, read with node-opcua's client
(clients/opcua/tests/client.js): values bit for bit, status codes and source
timestamps through a robot's states, every update of a subscription at 100 a
second, a broker restart, and who may connect."""

import json
import os
import signal
import struct
import subprocess
import threading
import time

import pytest

from rig import bridge, free_port, wait_until, write_recording

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
CLIENT = os.path.join(ROOT, "clients", "opcua", "tests", "client.js")
USER = ("operator", "op-pass-2231")
ENCRYPTED = ("Basic256Sha256", "SignAndEncrypt")


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    out = tmp_path_factory.mktemp("opcua")
    subprocess.run([os.path.join(ROOT, "scripts", "build-opcua-server"), str(out)], check=True)
    subprocess.run(["node", str(out / "opcua_server.js"), "--users", str(out / "users.txt"), "--add-user", USER[0]],
                   input=USER[1] + "\n", text=True, check=True, capture_output=True)
    return out


class Server:
    """The server as a process, with a configuration of two robots; stopped with Ctrl+C."""

    def __init__(self, package, folder, broker, **settings):
        self.port = free_port()
        config = dict(broker="ws://127.0.0.1:%d" % broker.ws_port, port=self.port, users_file=str(package / "users.txt"),
                      pki_folder=str(package / "pki"), silence_s=2, no_communication_bad_after_s=3,
                      robots=[{"name": "robot1", "topic": "cell/r1", "units": {"axis1": "DD", "axis4": "MMT"}},
                              {"name": "robot2", "topic": "cell/r2"}])
        config.update(settings)
        path = folder / "opcua.json"
        path.write_text(json.dumps(config))
        self.lines, self.lock = [], threading.Lock()
        self.process = subprocess.Popen(["node", str(package / "opcua_server.js"), "--config", str(path)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        said = self.wait_for_line("NodeIds: ns=", 60)  # the last line at start
        self.endpoint = "opc.tcp://127.0.0.1:%d" % self.port
        assert "ns=%d (urn:draxion:gateway:axes)" % NAMESPACE_INDEX in said, said

    def _read(self):
        for line in self.process.stderr:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def wait_for_line(self, text, timeout=10):
        """The first line the server said with text in it."""
        if not wait_until(lambda: any(text in line for line in self.lines), self.lock, timeout,
                          stop=lambda: self.process.poll() is not None):
            pytest.fail("the server never said %r: %s" % (text, self.lines))
        with self.lock:
            return next(line for line in self.lines if text in line)

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        assert self.process.wait(10) == 0, self.lines


@pytest.fixture
def server(package, tmp_path, broker):
    s = Server(package, tmp_path, broker)
    yield s
    s.stop()


class Client:
    """client.js as a process: connect at construction, then read and watch."""

    def __init__(self, package, endpoint, security=ENCRYPTED, user=USER):
        how = dict(endpoint=endpoint, policy=security[0], mode=security[1], user=user, pki=str(package / "client-pki"))
        self.process = subprocess.Popen(["node", CLIENT, json.dumps(how)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, env=dict(os.environ,
                                                                                      NODE_PATH=str(package / "node_modules")))
        self.answers, self.changes, self.ready = [], [], threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.hello = self._answer(lambda m: "connected" in m or "error" in m, 60)

    def _read(self):
        for line in self.process.stdout:
            m = json.loads(line)
            with self.ready:
                (self.changes if "change" in m else self.answers).append(m)
                self.ready.notify_all()

    def _answer(self, check, timeout=20):
        with self.ready:
            assert self.ready.wait_for(lambda: any(check(m) for m in self.answers), timeout), self.answers
            m = next(m for m in self.answers if check(m))
            self.answers.remove(m)
            return m

    def _ask(self, command, key):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        return self._answer(lambda m: key in m)[key]

    def read(self, nodes):
        return self._ask({"read": nodes}, "read")

    def browse(self, node):
        return self._ask({"browse": node}, "browse")

    def watch(self, nodes, sampling, queue):
        return self._ask({"watch": nodes, "sampling": sampling, "queue": queue}, "watching")

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


NAMESPACE_INDEX = 2  # after the server's own


def node(name):
    return "ns=%d;s=%s" % (NAMESPACE_INDEX, name)


AXES = [node("robot1.axis%d" % k) for k in range(1, 7)]
SIDE = [node("robot1.state"), node("robot1.cause")]


def hex_bits(values):
    return [struct.pack("<d", v).hex() for v in values]


def until_read(client, nodes, check, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        got = client.read(nodes)
        if check(got) or time.monotonic() > deadline:
            return got
        time.sleep(0.05)


def test_values_status_codes_and_timestamps_follow_the_bridge(package, server, broker):
    c = Client(package, server.endpoint)
    assert c.hello == {"connected": True}
    assert {r["status"] for r in c.read(AXES + [node("robot2.axis1")])} == {"BadWaitingForInitialData"}
    assert "EngineeringUnits" in c.browse(node("robot1.axis1")) and "EngineeringUnits" not in c.browse(node("robot1.axis2"))
    unit = json.loads(json.dumps(c.read([node("robot1.axis1.EngineeringUnits")])[0]["value"]))
    assert unit["unitId"] == 0x4444 and unit["displayName"]["text"] == "°"  # UNECE "DD"

    values = [-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7.0]
    t0 = round(time.time() - 10, 3)  # confirmed before the server takes it
    row = ",".join(repr(v) for v in values)
    # The axis monitor's CSV with the state report: state, confirmed, since, readings, made.
    steps = [  # line, status, state, cause, the source timestamp (UTC s)
        ("0,%s,waiting,0,%r,1,%r" % (row, t0, t0), "BadWaitingForInitialData", "no_data", "not yet confirmed on screen", None),
        ("0,%s,live,%r,%r,2,%r" % (row, t0 + 0.25, t0 + 0.25, t0 + 0.25), "Good", "live", "", t0 + 0.25),
        ("0,%s,covered,%r,%r,3,%r" % (row, t0 + 0.25, t0 + 0.5, t0 + 0.5), "UncertainLastUsableValue", "held", "covered",
         t0 + 0.25),
        ("0,%s,waiting,%r,%r,4,%r" % (row, t0 + 0.25, t0 + 0.75, t0 + 0.75), "UncertainLastUsableValue", "waiting",
         "not yet confirmed on screen again", t0 + 0.25),
        ("0,%s,live,%r,%r,5,%r" % (row, t0 + 1.0, t0 + 1.0, t0 + 1.0), "Good", "live", "", t0 + 1.0),
    ]
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/r1", "--qos", "1", "--retain",
               "--source", "-", stdin=subprocess.PIPE)
    for line, status, state, cause, source in steps:
        b.stdin.write(line + "\n")
        b.stdin.flush()
        got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == state and g[7]["value"] == cause)
        assert [r["status"] for r in got[:6]] == [status] * 6, line
        assert (got[6]["value"], got[7]["value"]) == (state, cause), line
        if source is not None:
            assert [r["bits"] for r in got[:6]] == hex_bits(values)
            assert all(abs(r["source"] - source * 1000) <= 1 for r in got[:6]), (got[0], source)
            assert all(r["server"] >= r["source"] for r in got[:6])
    # No heartbeat for more than 2 s, then the bridge goes offline, and after 3 s more Bad.
    got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == "no_communication", timeout=5)
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue" and "nothing heard" in got[7]["value"]
    b.stdin.close()
    assert b.wait(20) == 0
    got = until_read(c, AXES + SIDE, lambda g: "offline" in g[7]["value"])
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue", got
    assert got[7]["value"] == "the bridge is offline: standard input has ended (the axis monitor has stopped)"
    got = until_read(c, AXES, lambda g: g[0]["status"] == "BadNoCommunication", timeout=6)
    assert [r["status"] for r in got] == ["BadNoCommunication"] * 6 and [r["bits"] for r in got] == hex_bits(values)
    # A new run of the bridge: cut off until its first values, then live again.
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/r1", "--qos", "1", "--source", "-",
               stdin=subprocess.PIPE)
    got = until_read(c, AXES + SIDE, lambda g: "online again" in g[7]["value"])  # the old run's values meanwhile
    assert got[0]["status"] == "BadNoCommunication", got
    b.stdin.write("0,1,2,3,4,5,6,live,%r,%r,9,%r\n" % (t0 + 9, t0 + 9, t0 + 9))
    b.stdin.flush()
    got = until_read(c, AXES, lambda g: g[0]["status"] == "Good")
    assert [r["bits"] for r in got] == hex_bits([1, 2, 3, 4, 5, 6])
    assert c.read([node("robot2.axis1")])[0]["status"] == "BadWaitingForInitialData"
    b.stdin.close()
    b.wait(20)
    c.close()


@pytest.mark.parametrize("sampling", [0, 10])
def test_a_monitored_item_gets_every_update_at_100_a_second(package, server, broker, tmp_path, sampling):
    c = Client(package, server.endpoint)
    assert c.watch([AXES[0], AXES[5]], sampling, 1000) == [0, 0]  # every change, whichever was asked for
    rows = [(i / 10, 0.0, 0.0, 0.0, 0.0, -i * 1e-5) for i in range(1, 601)]
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/r1", "--qos", "1", "--realtime",
               "--source", write_recording(tmp_path / "r.csv", rows))
    assert b.wait(30) == 0, b.stderr.read()
    good = lambda: [m for m in c.changes if m["status"] == "Good"]  # noqa: E731
    wait_until(lambda: len(good()) >= 2 * len(rows), c.ready, 10)
    with c.ready:
        seen = good()
    for k, axis in ((0, AXES[0]), (5, AXES[5])):
        assert [m["bits"] for m in seen if m["change"] == axis] == hex_bits([r[k] for r in rows]), axis
    c.close()


def test_a_broker_restart(package, server, broker, tmp_path):
    c = Client(package, server.endpoint)
    rows = [(float(i),) * 6 for i in range(200)]
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/r1", "--qos", "1", "--retain", "--realtime",
               "--source", write_recording(tmp_path / "r.csv", rows, step=0.05))
    until_read(c, AXES, lambda g: g[0]["status"] == "Good")
    broker.stop()
    got = until_read(c, AXES + SIDE, lambda g: g[7]["value"] == "the broker is away", timeout=5)
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue"
    server.wait_for_line("lost the broker at")
    broker.start()
    got = until_read(c, AXES, lambda g: g[0]["status"] == "Good", timeout=15)
    assert got[0]["status"] == "Good"
    server.wait_for_line("back at the broker at")
    b.terminate()
    b.wait(10)
    c.close()


@pytest.mark.parametrize("settings, security, user, connects", [
    ({}, ENCRYPTED, USER, True),
    ({}, ("Basic256Sha256", "Sign"), USER, True),
    ({}, ENCRYPTED, (USER[0], "guess"), False),    # a wrong login
    ({}, ENCRYPTED, None, False),                  # anonymous
    ({}, ("None", "None"), USER, False),           # no security unless asked for
    ({"allow_security_none": True, "allow_anonymous": True}, ("None", "None"), None, True),
])
def test_who_may_connect(package, tmp_path, broker, settings, security, user, connects):
    s = Server(package, tmp_path, broker, **settings)
    try:
        c = Client(package, s.endpoint, security, user)
        assert ("connected" in c.hello) == connects, c.hello
        c.close()
        assert (package / "pki" / "server" / "own" / "certs" / "certificate.pem").exists(), "made at first start"
    finally:
        s.stop()


@pytest.mark.parametrize("config, says", [
    ("{", "is not JSON"),
    ('{"users_file": "u"}', "robots must name at least one robot"),
    ('{"users_file": "u", "robots": [{"name": "r 1", "topic": "t"}]}', "each robot needs a name"),
    ('{"users_file": "u", "robots": [{"name": "r1", "topic": "cell/+/axes"}]}', "without the wildcards"),
    ('{"users_file": "u", "robots": [{"name": "r1", "topic": "t", "units": {"axis1": "XYZ"}}]}',
     'unit XYZ is not one of DD, C81'),
    ('{"robots": [{"name": "r1", "topic": "t"}]}', "give users_file"),
    ('{"users_file": "u", "broker": "127.0.0.1:1883", "robots": [{"name": "r1", "topic": "t"}]}', "must be a URL"),
])
def test_a_bad_configuration_is_refused_with_what_is_wrong(package, tmp_path, config, says):
    (tmp_path / "c.json").write_text(config)
    run = subprocess.run(["node", str(package / "opcua_server.js"), "--config", str(tmp_path / "c.json")],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 2 and says in run.stderr, run.stderr
