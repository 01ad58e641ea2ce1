"""The hub (hub/) as the release package carries it, serving OPC UA from the
topics another hub publishes at a mosquitto configured as shipped, read with node-opcua's
client (hub/test/opcua_client.js): values bit for bit, status codes and source
timestamps through a robot's states, every update of a subscription at 100 a
second with 0.0 and -0.0 told apart, gaps in the publisher's seq counted, a broker
restart, and who may connect."""

import functools
import json
import os
import re
import signal
import subprocess
import threading
import time

import opcua_reader
import pytest
from opcua_reader import AXES, ENCRYPTED, NAMESPACE_INDEX, NODE, SIDE, hex_bits, node, robotics_path, until_read

from rig import free_port, hub, publisher, wait_until, write_recording
from stand_in_gateway import StandInGateway

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
USER = ("operator", "op-pass-2231")
# Logged in as the operator unless a test says otherwise.
Client = functools.partial(opcua_reader.Client, user=USER)


@pytest.fixture(scope="module")
def package(hub_package):
    out = hub_package
    config = out / "users.json"
    config.write_text(json.dumps({"users_file": "users.txt", "robots": [{"name": "r", "pipe": "p"}]}))
    subprocess.run([NODE, str(out / "hub.js"), "--add-user", USER[0], "--config", str(config)],
                   input=USER[1] + "\n", text=True, check=True, capture_output=True)
    return out


class Server:
    """The server as a process, with a configuration of two robots; stopped with Ctrl+C."""

    def __init__(self, package, folder, broker, **settings):
        self.port = free_port()
        config = dict(broker="ws://127.0.0.1:%d" % broker.ws_port, port=self.port, users_file=str(package / "users.txt"),
                      pki_folder=str(package / "pki"), silence_s=2, no_communication_bad_after_s=3,
                      robots=[{"name": "robot1", "topic": "cell/r1", "units": {"axis1": "DD", "axis4": "MMT"},
                               "profiles": {"axis6": "linear"}, "limits": {"axis1": [-170, 170]}},
                              {"name": "robot2", "topic": "cell/r2"}])
        config.update(settings)
        path = folder / "opcua.json"
        path.write_text(json.dumps(config))
        self.lines, self.lock = [], threading.Lock()
        self.process = subprocess.Popen([NODE, str(package / "hub.js"), "--config", str(path)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for_line("Ctrl+C stops", 60)  # the last line at start
        said = self.wait_for_line("NodeIds: ns=")
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


def publishing_hub(package, folder, broker, robot=None):
    """A hub that publishes robot (by default, read from a stand-in gateway's pipe
    "gw" in folder, which it returns too once the hub has connected) on cell/r1."""
    gateway = StandInGateway(folder, "gw") if robot is None else None
    b = hub(package, folder, robot or {"name": "r1", "pipe": "gw", "publish": "cell/r1"},
            broker="mqtt://127.0.0.1:%d" % broker.port, env={"DRAXION_HUB_PIPE_DIR": str(folder)})
    if gateway is not None:
        gateway.accept()
    return gateway, b


def test_values_status_codes_and_timestamps_follow_the_publisher(package, server, broker, tmp_path):
    c = Client(package, server.endpoint)
    assert c.hello == {"connected": True}
    assert {r["status"] for r in c.read(AXES + [node("robot2.axis1")])} == {"BadWaitingForInitialData"}
    assert "EngineeringUnits" in c.browse(node("robot1.axis1")) and "EngineeringUnits" not in c.browse(node("robot1.axis2"))
    unit = json.loads(json.dumps(c.read([node("robot1.axis1.EngineeringUnits")])[0]["value"]))
    assert unit["unitId"] == 0x4444 and unit["displayName"]["text"] == "°"  # UNECE "DD"
    # The same axes in the robotics model, found by their browse path: their units, as configured or by profile.
    actual = [c.translate(robotics_path("robot1", k)) for k in range(1, 7)]
    assert None not in actual, actual
    below = lambda k, name: c.translate(robotics_path("robot1", k) + [("http://opcfoundation.org/UA/", name)])  # noqa: E731
    symbols = [u["value"]["displayName"]["text"] for u in c.read([below(k, "EngineeringUnits") for k in range(1, 7)])]
    assert symbols == ["°", "°", "°", "mm", "°", "mm"], symbols
    assert below(1, "EURange") is not None and below(2, "EURange") is None

    values = [-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7.0]
    t0 = round(time.time() - 10, 3)  # confirmed before the server takes it
    steps = [  # the report (state, confirmed, since), status, state, cause, the source timestamp (UTC s)
        (("waiting", None, t0), "BadWaitingForInitialData", "no_data", "not yet confirmed on screen", None),
        (("live", t0 + 0.25, t0 + 0.25), "Good", "live", "", t0 + 0.25),
        (("covered", t0 + 0.25, t0 + 0.5), "UncertainLastUsableValue", "held", "covered", t0 + 0.25),
        (("waiting", t0 + 0.25, t0 + 0.75), "UncertainLastUsableValue", "waiting", "not yet confirmed on screen again",
         t0 + 0.25),
        (("live", t0 + 1.0, t0 + 1.0), "Good", "live", "", t0 + 1.0),
    ]
    gateway, b = publishing_hub(package, tmp_path, broker)
    for report, status, state, cause, source in steps:
        gateway.send(values, *report)
        got = until_read(c, AXES + SIDE + actual, lambda g: g[6]["value"] == state and g[7]["value"] == cause)
        assert [r["status"] for r in got[:6]] == [status] * 6, report
        flat = lambda r: (r["bits"], r["type"], r["status"], r["source"])  # noqa: E731
        assert [flat(r) for r in got[8:]] == [flat(r) for r in got[:6]], "ActualPosition is the flat node's"
        assert (got[6]["value"], got[7]["value"]) == (state, cause), report
        if source is None:  # nothing trustworthy yet: no value at all
            assert [r["type"] for r in got[:6]] == ["Null"] * 6, got
        else:
            assert [r["bits"] for r in got[:6]] == hex_bits(values)
            assert all(abs(r["source"] - source * 1000) <= 1 for r in got[:6]), (got[0], source)
            assert all(r["server"] >= r["source"] for r in got[:6])
    # No heartbeat for more than 2 s, then the gateway goes and its hub says offline, and after 3 s more Bad.
    got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == "no_communication", timeout=5)
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue" and "nothing heard" in got[7]["value"]
    gateway.close()
    got = until_read(c, AXES + SIDE, lambda g: "offline" in g[7]["value"])
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue", got
    assert got[7]["value"] == "the publisher is offline: the gateway has gone"
    got = until_read(c, AXES, lambda g: g[0]["status"] == "BadNoCommunication", timeout=6)
    assert [r["status"] for r in got] == ["BadNoCommunication"] * 6 and [r["bits"] for r in got] == hex_bits(values)
    # The next gateway: cut off until its first values, then live again.
    gateway = StandInGateway(tmp_path, "gw")
    gateway.accept()
    got = until_read(c, AXES + SIDE, lambda g: "online again" in g[7]["value"])  # the old run's values meanwhile
    assert got[0]["status"] == "BadNoCommunication", got
    gateway.send([1, 2, 3, 4, 5, 6], "live", t0 + 9, t0 + 9)
    got = until_read(c, AXES, lambda g: g[0]["status"] == "Good")
    assert [r["bits"] for r in got] == hex_bits([1, 2, 3, 4, 5, 6])
    assert c.read([node("robot2.axis1")])[0]["status"] == "BadWaitingForInitialData"
    gateway.close()
    b.send_signal(signal.SIGINT)
    assert b.wait(20) == 0, b.stderr.read()
    c.close()


def recording(folder, rows, step=0.01):
    return {"name": "r1", "recording": write_recording(folder / "r.csv", rows, step), "publish": "cell/r1"}


@pytest.mark.parametrize("sampling, trigger", [(0, None), (10, None), (-1, None),  # -1: the publishing interval
                                               (0, "StatusValue")])  # the filter many clients send
def test_a_monitored_item_gets_every_update_at_100_a_second(package, server, broker, tmp_path, sampling, trigger):
    c = Client(package, server.endpoint)
    actual = [(k, c.translate(robotics_path("robot1", k + 1))) for k in (0, 4, 5)]  # the same in the robotics model
    watched = [AXES[0], AXES[4], AXES[5]] + [n for _, n in actual]
    assert c.watch(watched, sampling, 1000, publishing=10, trigger=trigger) == [0] * 6  # every change
    assert c.modify(5) == [0] * 6, "a modified item too"
    assert c.publishing == 10
    # Axis 5 flips between 0.0 and -0.0: a change of sign is a change.
    rows = [(i / 10, 0.0, 0.0, 0.0, -0.0 if i % 2 else 0.0, -i * 1e-5) for i in range(1, 601)]
    _, b = publishing_hub(package, tmp_path, broker, recording(tmp_path, rows))
    assert b.wait(30) == 0, b.stderr.read()
    good = lambda: [m for m in c.changes if m["status"] == "Good"]  # noqa: E731
    wait_until(lambda: len(good()) >= 6 * len(rows), c.ready, 10)
    with c.ready:
        seen = good()
    for k, axis in [(0, AXES[0]), (4, AXES[4]), (5, AXES[5])] + actual:
        assert [m["bits"] for m in seen if m["change"] == axis] == hex_bits([r[k] for r in rows]), axis
    c.close()


def test_updates_that_never_arrived_are_counted_and_shown(package, server, broker):
    c = Client(package, server.endpoint)
    hub_login = publisher(broker.port)
    t = time.time()
    for seq in (1, 2, 5, 6, 1, 2, 10):  # a gap of 2; a new run of the publisher (1) is none; then a gap of 7
        hub_login.publish("cell/r1", json.dumps({"seq": seq, "time": t, "values": [float(seq)] * 6}), qos=1).wait_for_publish()
    got = until_read(c, [node("robot1.missed"), AXES[0]], lambda g: g[1]["bits"] == hex_bits([10.0])[0])
    assert got[0]["value"] == 9
    server.wait_for_line("robot1: 2 update(s) never arrived (2 in all)")
    hub_login.loop_stop()
    hub_login.disconnect()
    c.close()


def test_a_broker_restart(package, server, broker, tmp_path):
    c = Client(package, server.endpoint)
    rows = [(float(i),) * 6 for i in range(600)]  # still sending when the broker is back, on a slow machine too
    _, b = publishing_hub(package, tmp_path, broker, recording(tmp_path, rows, step=0.05))
    until_read(c, AXES, lambda g: g[0]["status"] == "Good")
    broker.stop()
    got = until_read(c, AXES + SIDE, lambda g: g[7]["value"] == "the broker is away", timeout=5)
    assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue"
    server.wait_for_line("lost the broker")
    broker.start()
    got = until_read(c, AXES, lambda g: g[0]["status"] == "Good", timeout=15)
    assert got[0]["status"] == "Good"
    server.wait_for_line("back at the broker")
    b.kill()
    b.wait(10)
    c.close()


def doc_settings():
    """What docs/opcua.md tells a client to connect with: the endpoint (host and
    port its user's own), the security policy and each mode, and a NodeId; the
    port the hub's default."""
    with open(os.path.join(ROOT, "docs", "opcua.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("\n## Endpoint and security\n"):text.index("\n## Address space\n")]
    endpoint = re.search(r"`(opc\.tcp://<host>:(\d+))`", section)
    security = re.search(r"SecurityPolicy\s+(\w+)\s+in\s+the\s+modes\s+(\w+)\s+and\s+(\w+)\.", section)
    assert endpoint and security and "A login (UserName token) is needed" in " ".join(section.split()), section
    default = subprocess.run([NODE, "-e", "console.log(require('./hub/lib/config').parseConfig("
                              "'{\"robots\": [{\"name\": \"r\", \"pipe\": \"p\"}], \"allow_anonymous\": true}', "
                              "'hub.json').port)"], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    assert endpoint.group(2) == default.strip(), "the endpoint's port is the hub's default"
    node_id = re.search(r"NodeIds such as `(ns=\d+;s=robot1\.axis1)`", text).group(1)
    return endpoint.groups(), [(security.group(1), mode) for mode in security.groups()[1:]], node_id


(DOC_ENDPOINT, DOC_PORT), DOC_SECURITY, DOC_NODE_ID = doc_settings()


@pytest.mark.parametrize("settings, security, user, connects", [
    *[({}, security, USER, True) for security in DOC_SECURITY],  # as docs/opcua.md tells a client
    ({}, ENCRYPTED, (USER[0], "guess"), False),    # a wrong login
    ({}, ENCRYPTED, None, False),                  # anonymous
    ({}, ("None", "None"), USER, False),           # no security unless asked for
    ({"allow_security_none": True, "allow_anonymous": True}, ("None", "None"), None, True),
])
def test_who_may_connect(package, tmp_path, broker, settings, security, user, connects):
    s = Server(package, tmp_path, broker, **settings)
    try:
        # The endpoint as docs/opcua.md gives it, with this server's host and port.
        endpoint = DOC_ENDPOINT.replace("<host>", "127.0.0.1").replace(":" + DOC_PORT, ":%d" % s.port)
        c = opcua_reader.Client(package, endpoint, security, user)
        assert ("connected" in c.hello) == connects, c.hello
        if connects:
            assert c.read([DOC_NODE_ID])[0]["status"] == "BadWaitingForInitialData", "the NodeId the docs give"
        c.close()
        assert (package / "pki" / "server" / "own" / "certs" / "certificate.pem").exists(), "made at first start"
    finally:
        s.stop()
