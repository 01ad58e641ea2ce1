"""The hub's MQTT against a real mosquitto broker on 127.0.0.1, with a real paho
subscriber: the hub of the built package publishing recordings. Every test
starts and stops its own broker, configured as shipped (docs/mosquitto-live.conf)
but for ports and paths."""

import json
import re
import signal
import socket
import struct
import subprocess
import threading
import time
import urllib.error
import urllib.request

import paho.mqtt.client as mqtt
import pytest
from draxion_axis import TAG, record_bytes

from rig import HUB_LOGIN, Broker, Subscriber, bits, free_port, hub, status_after, wait_until, write_recording
from shipped_broker import PATH_DIRECTIVES, SHIPPED_CONFIG


def url(broker, scheme="mqtt"):
    return "%s://127.0.0.1:%d" % (scheme, broker.port)


def recorded(tmp_path, topic, rows, step=0.01, **robot):
    """A robot that plays a recording of rows and publishes it on topic."""
    return dict(name="r1", recording=write_recording(tmp_path / "r.csv", rows, step=step), publish=topic, **robot)


def test_every_update_arrives_in_order_and_exact(hub_package, broker, tmp_path):
    rows = [(12.5, -0.5, 300.0, -1234.6, 0.0, 7.7), (-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, 1e-300, -7.7)]
    rows += [(float(i), -i / 10, 0.0, -0.0, i * 1e-5, 3.0) for i in range(40)]
    sub = Subscriber(broker.port, "cell/axes")
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/axes", rows, pace=False), broker=url(broker), retain=False)
    assert b.wait(30) == 0, b.stderr.read()
    got = sub.wait_for(len(rows))
    sub.close()
    assert [m["seq"] for m, _ in got] == list(range(1, len(rows) + 1))
    for (m, _), row in zip(got, rows):
        assert bits(m["values"]) == bits(row)  # -0.0 stays -0.0, every bit as recorded
    s = status_after(broker.port, "cell/axes")
    assert (s["state"], s["reason"], s["updates"]) == ("offline", "the recording has ended", len(rows))


def test_the_state_goes_with_the_values_and_to_the_status_topic(hub_package, broker, tmp_path):
    # The axis monitor's CSV with the state report.
    lines = ["0.000,1,2,3,4,5,6,waiting,0,100,1,100",
             "0.010,1,2,3,4,5,6,live,100.5,100.5,50,100.5",
             "0.020,1,2,3,4,5,6,live,101,100.5,100,101",  # the heartbeat
             "0.030,1,2,3,4,5,6,covered,101,101.25,120,101.25",
             "0.040,1,2,3,4,5,6,waiting,101,102,180,102",
             "0.050,7,2,3,4,5,6,live,102.125,102.125,190,102.125",
             "0.060,7,2,3,4,5,6,no report,0,0,0,0",  # a gateway without the report
             "0.070,8,2,3,4,5,6"]  # a monitor without --state
    (tmp_path / "r.csv").write_text("\n".join(lines) + "\n")
    values, statuses = Subscriber(broker.port, "cell/state"), Subscriber(broker.port, "cell/state/status")
    b = hub(hub_package, tmp_path, dict(name="r1", recording=str(tmp_path / "r.csv"), publish="cell/state"),
            broker=url(broker))
    assert b.wait(30) == 0, b.stderr.read()
    got = values.wait_for(len(lines))
    assert [(m.get("state"), m.get("confirmed"), m.get("since"), m["values"][0]) for m, _ in got] == [
        ("waiting", None, 100, 1), ("live", 100.5, 100.5, 1), ("live", 101, 100.5, 1), ("covered", 101, 101.25, 1),
        ("waiting", 101, 102, 1), ("live", 102.125, 102.125, 7), (None, None, None, 7), (None, None, None, 8)]
    said = statuses.wait_for(9)
    assert [{k: v for k, v in m.items() if k != "time"} for m, _ in said] == [
        {"state": "offline", "reason": "the hub is starting"},
        {"state": "online"},
        {"state": "online", "values_state": "waiting", "since": 100},
        {"state": "online", "values_state": "live", "since": 100.5},
        {"state": "online", "values_state": "held", "cause": "covered", "since": 101.25},
        {"state": "online", "values_state": "waiting", "since": 102},
        {"state": "online", "values_state": "live", "since": 102.125},
        {"state": "online", "values_state": "unknown"},
        {"state": "offline", "reason": "the recording has ended", "updates": 8}]
    values.close()
    statuses.close()


def test_retained_value_is_the_last(hub_package, broker, tmp_path):
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, -0.0) for i in range(5)]
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/retained", rows), broker=url(broker))
    assert b.wait(30) == 0, b.stderr.read()
    late = Subscriber(broker.port, "cell/retained")
    got = late.wait_for(1, timeout=5)
    late.close()
    assert len(got) == 1 and got[0][1], "one retained message for a late subscriber"
    assert bits(got[0][0]["values"]) == bits(rows[-1])


def test_broker_restart_loses_no_update_published_after_it_is_back(hub_package, broker, tmp_path):
    # Six seconds of updates, 20 a second; the broker is away from about 1.5 s to 3 s.
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, 0.0) for i in range(120)]
    sub = Subscriber(broker.port, "cell/restart")
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/restart", rows, step=0.05), broker=url(broker), qos=0)
    assert sub.wait_for(1), "the hub publishes"
    broker.stop()
    time.sleep(1.5)
    broker.start()
    assert b.wait(60) == 0, b.stderr.read()
    got = sub.wait_for(10 ** 6, timeout=3)
    sub.close()
    seqs = [m["seq"] for m, _ in got]
    assert seqs and seqs[-1] == len(rows), "the last update reaches the broker"
    # From the first update after the broker's return (the latest, published again
    # at the reconnect), every later one is there, in order.
    resumed = next(i for i in range(1, len(seqs)) if seqs[i] != seqs[i - 1] + 1)
    after = seqs[resumed:]
    assert after == sorted(set(after)) and after == list(range(after[0], len(rows) + 1))
    said = b.stderr.read()
    assert "lost the broker" in said and "updates were dropped while it was away (QoS 0)" in said


def distinct_in_order(seqs):
    """The seq numbers with repeats (QoS 1 delivers at least once) taken out."""
    out = []
    for n in seqs:
        if not out or n > out[-1]:
            out.append(n)
        else:
            assert n in out, "an update out of order: %d after %d" % (n, out[-1])
    return out


@pytest.mark.parametrize("away, queue, code, says", [
    (1.0, 60000, 0, None),                                          # back in time: everything arrives
    (None, 60000, 5, "of 40 updates were not delivered"),           # never back: said, with its own exit code
    (1.5, 3, 5, "of 40 updates were not delivered"),                # more than the queue holds
])
def test_qos1_delivers_across_a_broker_restart_or_says_how_many_it_could_not(hub_package, broker, tmp_path, away,
                                                                             queue, code, says):
    rows = [(float(i), -i / 10, 0.0, -0.0, i * 1e-5, 3.0) for i in range(40)]
    sub = Subscriber(broker.port, "cell/outage", session="outage-subscriber")
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/outage", rows, step=0.1), broker=url(broker), queue=queue)
    assert sub.wait_for(1), "the hub publishes"
    broker.stop()
    if away is not None:
        time.sleep(away)
        broker.start()
    assert b.wait(60) == code
    said = b.stderr.read()
    assert says is None and "not delivered" not in said or says in said, said
    if away is None:
        return
    got = sub.wait_for(10 ** 6, timeout=3)
    sub.close()
    seqs = distinct_in_order([m["seq"] for m, _ in got])
    if queue >= len(rows):
        assert seqs == list(range(1, len(rows) + 1))
        for m, _ in got:
            assert bits(m["values"]) == bits(rows[m["seq"] - 1])
    else:
        assert seqs[-1] == len(rows), "the latest values arrive even past the queue's bound"
        assert int(said.split(" of 40 updates")[0].split()[-1]) == len(rows) - len(seqs)


def test_status_says_offline_when_the_hub_is_killed(hub_package, broker, tmp_path):
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, 0.0) for i in range(100)]
    sub = Subscriber(broker.port, "cell/killed")
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/killed", rows, step=0.1), broker=url(broker))
    assert sub.wait_for(1), "the hub publishes"
    sub.close()
    assert status_after(broker.port, "cell/killed")["state"] == "online"
    b.kill()
    b.wait(10)
    s = status_after(broker.port, "cell/killed")
    assert s["state"] == "offline" and "lost its connection" in s["reason"]


def make_certificates(folder):
    """A certificate authority, a server certificate for 127.0.0.1 that it signs,
    and a second authority that signed nothing."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other_ca"):
        run("req", "-x509", *ec, "-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2", "-subj", "/CN=" + ca)
    run("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (folder / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.crt", "-days", "2", "-extfile", "san.ext")


@pytest.fixture
def secured_broker(tmp_path):
    """The shipped configuration with its hub listener on TLS, as its comment says."""
    make_certificates(tmp_path)
    tls_port = free_port()
    b = Broker(tmp_path, hub_listener="listener %d 127.0.0.1\ncafile %s/ca.crt\ncertfile %s/server.crt\n"
                                         "keyfile %s/server.key" % (tls_port, tmp_path, tmp_path, tmp_path))
    b.port = tls_port
    b.start()
    yield b
    b.stop()


@pytest.mark.parametrize("case, tls, password, from_env, code, says", [
    ("login over TLS", "ca.crt", HUB_LOGIN[1], False, 0, None),
    ("password from the environment", "ca.crt", HUB_LOGIN[1], True, 0, None),
    ("wrong password", "ca.crt", "guess", False, 3,
     "the broker refused the connection (Not authorized): check broker_username and its password"),
    ("untrusted certificate", "other_ca.crt", HUB_LOGIN[1], False, 3, "self-signed certificate in certificate chain"),
])
def test_login_and_tls(hub_package, secured_broker, tmp_path, case, tls, password, from_env, code, says):
    (tmp_path / "password").write_text(password + "\n")
    rows = [(1.0, -0.0, 5e-324, 0.0, 0.0, 0.0), (2.0,) * 6, (3.0,) * 6]
    # Read where browsers read: over WebSockets, without a login.
    sub = Subscriber(secured_broker.ws_port, "cell/secure", login=None, transport="websockets")
    settings = dict(broker=url(secured_broker, "mqtts"), broker_ca=str(tmp_path / tls))
    if not from_env:
        settings["broker_password_file"] = str(tmp_path / "password")
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/secure", rows, client_id="hub-" + case[:5]),
            password=password if from_env else "", **settings)
    ended = b.wait(30)
    said = b.stderr.read()
    assert ended == code, (case, said)
    assert says is None or says.replace("%d", str(secured_broker.port)) in said, (case, said)
    got = sub.wait_for(len(rows) if code == 0 else 10 ** 6, timeout=5 if code == 0 else 1)
    sub.close()
    assert [bits(m["values"]) for m, _ in got] == ([bits(r) for r in rows] if code == 0 else []), case


REFUSED_UPDATES = (r"refused an update on cell/ro: not authorized\n(.*\n)*"
                   r"hub: r1: (\d+) of \2 updates were not delivered \(\2 refused by the broker\)")


@pytest.mark.parametrize("login, qos, code, says, pace", [
    # May read only: refused at its first publish, the status at start.
    ("viewer", 1, 3, r"refuses the hub's publishes on cell/ro/status: not authorized \(may the login 'viewer'", True),
    ("viewer", 0, 3, r"refuses the hub's publishes on cell/ro/status: not authorized", True),
    # May write the status but not the values: refused at the first update, and
    # every update sent is counted; also when the refusal comes while the hub,
    # its recording played at once, is already stopping.
    ("status-only", 1, 5, REFUSED_UPDATES, True),
    ("status-only", 1, 5, REFUSED_UPDATES, False),
])
def test_a_login_that_may_not_write_ends_the_hub_with_a_failure(hub_package, tmp_path, login, qos, code, says, pace):
    b = Broker(tmp_path, logins={"viewer": ("v", "topic read #"),
                                 "status-only": ("s", "topic readwrite cell/ro/status\ntopic read #")})
    b.start()
    try:
        sub = Subscriber(b.port, "cell/ro")
        rows = [(float(i),) * 6 for i in range(200)]
        run = hub(hub_package, tmp_path, recorded(tmp_path, "cell/ro", rows, pace=pace), login=(login, login[0]),
                  broker=url(b), qos=qos)
        # Within a second or two, not after the recording's two seconds.
        assert run.wait(1.9) == code
        said = run.stderr.read()
        assert re.search(says, said), said
        assert sub.wait_for(1, timeout=0.5) == []
        sub.close()
    finally:
        b.stop()


def test_a_broker_of_mqtt_3_1_1_only_is_spoken_to_in_3_1_1(hub_package, tmp_path):
    """A stand-in broker that refuses MQTT 5 as a 3.1.1 broker does, then takes
    everything: the hub connects again in 3.1.1, says what that costs, delivers."""
    server = socket.create_server(("127.0.0.1", 0))
    levels, published = [], []

    def serve():
        for _ in range(2):
            conn, _ = server.accept()
            with conn, conn.makefile("rb") as f:
                while True:
                    head = f.read(1)
                    if not head:
                        break
                    length, shift = 0, 0
                    while True:  # the remaining length, 7 bits a byte
                        byte = f.read(1)[0]
                        length, shift = length | (byte & 0x7F) << shift, shift + 7
                        if byte < 0x80:
                            break
                    body = f.read(length)
                    kind = head[0] >> 4
                    if kind == 1:  # CONNECT: refused as "unacceptable protocol version" unless 3.1.1
                        levels.append(body[6])
                        conn.sendall(bytes([0x20, 2, 0, 0 if body[6] == 4 else 1]))
                    elif kind == 3:  # PUBLISH
                        topic_end = 2 + struct.unpack("!H", body[:2])[0]
                        published.append(body[2:topic_end].decode())
                        if head[0] & 0x06:  # QoS 1: acknowledged
                            conn.sendall(bytes([0x40, 2]) + body[topic_end:topic_end + 2])
                    elif kind == 12:  # PINGREQ
                        conn.sendall(bytes([0xD0, 0]))
                    elif kind == 14:  # DISCONNECT
                        break
    threading.Thread(target=serve, daemon=True).start()
    b = hub(hub_package, tmp_path, recorded(tmp_path, "old/axes", [(1.0,) * 6, (2.0,) * 6]), login=None,
            broker="mqtt://127.0.0.1:%d" % server.getsockname()[1])
    assert b.wait(20) == 0
    assert "speaks MQTT 3.1.1 only" in b.stderr.read()
    assert levels == [5, 4]
    assert published == ["old/axes/status"] * 3 + ["old/axes"] * 2 + ["old/axes/status"]
    server.close()


def test_the_shipped_broker_refuses_forged_values_and_status_on_every_listener(broker):
    """Anyone else than the hub's login: refused on the hub's listener, read
    only on the browsers' one, whatever it publishes."""
    values, late = Subscriber(broker.port, "cell/forged/#"), None
    anonymous = mqtt.Client()
    refused = []
    anonymous.on_connect = lambda c, u, f, rc: refused.append(rc)
    anonymous.connect("127.0.0.1", broker.port)
    anonymous.loop_start()
    deadline = time.monotonic() + 5
    while not refused and time.monotonic() < deadline:
        time.sleep(0.05)
    anonymous.loop_stop()
    assert refused == [5], "anonymous refused on the hub's listener (not authorised)"
    browser = mqtt.Client(transport="websockets")
    browser.connect("127.0.0.1", broker.ws_port)
    browser.loop_start()
    for topic, payload in (("cell/forged", json.dumps({"seq": 1, "time": 0, "values": [666.0] * 6})),
                           ("cell/forged/status", json.dumps({"state": "online"}))):
        browser.publish(topic, payload, qos=1, retain=True).wait_for_publish(5)
    browser.loop_stop()
    browser.disconnect()
    assert values.wait_for(1, timeout=2) == [], "nothing forged arrives"
    values.close()
    late = Subscriber(broker.ws_port, "cell/forged/#", login=None, transport="websockets")
    assert late.wait_for(1, timeout=2) == [], "nothing forged is retained"
    late.close()


def paths_named(text):
    """The directives of a configuration's text that take a path, each with its
    path: those in force, and those its comments show as lines to put in."""
    named = []
    for line in text.splitlines():
        m = re.match(r"^(#\s+)?(\w+)\s+(?:file\s+)?([A-Za-z]:\\|/)(\S*)$", line)
        if m and m.group(2) in PATH_DIRECTIVES:
            named.append((m.group(2), m.group(3) + m.group(4), m.group(1) is None))
    return named


def test_the_shipped_configuration_says_what_to_set_each_of_its_paths_to(broker):
    """Each path of the shipped configuration, in force or shown in a comment, is
    named in the comments that open it, among what to set before the first
    start; and mosquitto runs on it once they are set, as its tests set them."""
    with open(SHIPPED_CONFIG, encoding="utf-8") as f:
        text = f.read()
    opening = text[:text.index("\n\n" + next(line for line in text.splitlines() if line and line[0] != "#"))]
    named = paths_named(text)
    assert {d for d, _, _ in named} >= {"password_file", "acl_file", "http_dir", "persistence_location"}, named
    for directive, path, _ in named:
        assert re.search(r"\b%s\b" % directive, opening), "%s (%s) is not among the paths to set" % (directive, path)
    # Every path in force set anew (shipped_broker.py), and mosquitto runs with them.
    assert broker.process.poll() is None
    running = [(d, p) for d, p, in_force in paths_named(broker.config.read_text()) if in_force]
    shipped = [(d, p) for d, p, in_force in named if in_force]
    assert [d for d, _ in running] == [d for d, _ in shipped] and not set(running) & set(shipped), running


@pytest.mark.parametrize("settings, code, says", [
    ({"broker": "mqtt://127.0.0.1:%d" % free_port()}, 3,
     "r1: cannot reach the broker: nothing listens at its address: start the broker, or mend \"broker\" in the "
     "configuration; the broker: mqtt://127.0.0.1:"),
    ({"broker": "mqtt://127.0.0.1:1883", "broker_password_file": "/nonexistent"}, 2, "cannot read /nonexistent"),
])
def test_clear_errors(hub_package, tmp_path, settings, code, says):
    b = hub(hub_package, tmp_path, {"name": "r1", "pipe": "p", "publish": "t"}, **settings)
    assert b.wait(30) == code
    assert says in b.stderr.read()


def test_the_hubs_own_broker_takes_writes_from_the_hub_alone(hub_package, tmp_path):
    """Without a broker in its configuration the hub runs its own: anyone on this
    PC reads, over MQTT and over WebSocket, without a login; nobody but the hub
    writes values or a status, and no login but the hub's is taken."""
    port, ws_port = free_port(), free_port()
    rows = [(float(i),) * 6 for i in range(200)]  # ten seconds: the hub serves throughout the attempts
    b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/own", rows, step=0.05, client_id="hub-r1"), login=None,
            broker_port=port, page_port=ws_port, page_folder=str(tmp_path))
    deadline = time.monotonic() + 20
    while socket.socket().connect_ex(("127.0.0.1", port)) != 0:  # the hub has started
        assert time.monotonic() < deadline and b.poll() is None, "the hub's broker never listened"
        time.sleep(0.05)
    sub = Subscriber(port, "cell/own/#", login=None)
    forged = {"seq": 1, "time": 0, "values": [666.0] * 6}
    outcomes = []
    for transport, at, login, client_id in (("tcp", port, None, ""), ("websockets", ws_port, None, ""),
                                            ("tcp", port, ("hub", "guess"), ""), ("tcp", port, ("someone", "x"), ""),
                                            ("tcp", port, None, "hub-r1")):  # the hub's client id: would push it off
        client, answers = mqtt.Client(client_id, transport=transport), []
        if login is not None:
            client.username_pw_set(*login)
        client.on_connect = lambda c, u, f, rc: answers.append(rc)
        client.connect("127.0.0.1", at)
        client.loop_start()
        deadline = time.monotonic() + 5
        while not answers and time.monotonic() < deadline:
            time.sleep(0.02)
        for topic, payload in (("cell/own", forged), ("cell/own/status", {"state": "online"})):
            client.publish(topic, json.dumps(payload), qos=1, retain=True)
        time.sleep(0.3)
        client.loop_stop()
        outcomes.append((transport, login and login[0], client_id, answers[:1]))
    assert outcomes == [("tcp", None, "", [0]), ("websockets", None, "", [0]), ("tcp", "hub", "", [4]),
                        ("tcp", "someone", "", [4]), ("tcp", None, "hub-r1", [2])]
    assert b.poll() is None, b.stderr.read()
    for hostile in ("/x%00.html", "/%2e%2e/%2e%2e/etc/passwd.html", "/%zz.html"):  # answered 404, and the hub serves on
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen("http://127.0.0.1:%d%s" % (ws_port, hostile), timeout=5)
    assert b.poll() is None
    for taken, what, ports in ((port, "MQTT", (port, free_port())), (ws_port, "the page", (free_port(), ws_port))):
        second = hub(hub_package, tmp_path, recorded(tmp_path, "cell/other", rows), login=None, broker_port=ports[0],
                     page_port=ports[1], page_folder=str(tmp_path))
        assert second.wait(30) == 3
        assert "cannot start the hub's own MQTT broker: cannot listen on 127.0.0.1:%d for %s" % (
            taken, what) in second.stderr.read()
    assert b.wait(30) == 0, b.stderr.read()
    got = sub.wait_for(10 ** 6, timeout=2)
    sub.close()
    assert [m for m, _ in got if m.get("values") == forged["values"] or m == {"state": "online"}] == []
    seqs = [m["seq"] for m, _ in got if "seq" in m]  # from the first this subscriber saw (maybe retained), all
    assert seqs == list(range(seqs[0], len(rows) + 1)) and seqs[0] < 20, seqs


def sparkplug_fields(data):
    """A protobuf message's fields as {number: [values]}: varints as ints, the
    rest as bytes (enough of Sparkplug B's Payload and Metric for these tests)."""
    fields, i = {}, 0

    def varint():
        nonlocal i
        v, shift = 0, 0
        while True:
            b = data[i]
            i += 1
            v |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return v
    while i < len(data):
        key = varint()
        number, kind = key >> 3, key & 7
        if kind == 0:
            value = varint()
        elif kind == 2:
            n = varint()
            value, i = data[i:i + n], i + n
        elif kind in (1, 5):
            size = 8 if kind == 1 else 4
            value, i = data[i:i + size], i + size
        else:
            raise ValueError("wire type %d" % kind)
        fields.setdefault(number, []).append(value)
    return fields


INT64 = 4  # Sparkplug B's DataType of bdSeq


def bd_seq(payload):
    """The bdSeq metric's value, checked to be an Int64 (Payload.metrics = 2;
    Metric.name = 1, datatype = 4, long_value = 11)."""
    for metric in map(sparkplug_fields, sparkplug_fields(payload).get(2, [])):
        if metric.get(1) == [b"bdSeq"]:
            assert metric.get(4) == [INT64], "bdSeq's datatype: %r" % metric.get(4)
            return metric[11][0]
    return None


def test_sparkplug_births_data_and_the_nodes_death_when_the_hub_is_killed(hub_package, broker, tmp_path):
    seen, lock, subscribed = [], threading.Lock(), threading.Event()
    reader = mqtt.Client()
    reader.username_pw_set(*HUB_LOGIN)

    def on_message(client, userdata, message):
        with lock:
            seen.append((message.topic.split("/")[2], message.payload))
    reader.on_message = on_message
    reader.on_subscribe = lambda c, u, mid, granted: subscribed.set()
    reader.connect("127.0.0.1", broker.port)
    reader.subscribe("spBv1.0/#", qos=1)
    reader.loop_start()
    assert subscribed.wait(10)
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, 0.0) for i in range(100)]
    runs = []
    for _ in range(2):  # killed, then started again: the next run's connection has the next bdSeq
        first = len(seen)
        b = hub(hub_package, tmp_path, recorded(tmp_path, "cell/r1", rows, step=0.05), broker=url(broker),
                format="sparkplug", machine="pc7", sparkplug_group="g", state_folder=str(tmp_path / "state"))
        assert wait_until(lambda: [t for t, _ in seen[first:]].count("DDATA") > 10, lock, 30), "data flows"
        b.kill()
        b.wait(10)
        assert wait_until(lambda: any(t == "NDEATH" for t, _ in seen[first:]), lock, 30), "the will"
        with lock:
            runs.append(list(seen[first:]))
    reader.loop_stop()
    for run in runs:
        types = [t for t, _ in run]
        assert types[:3] == ["NBIRTH", "DBIRTH", "DDATA"] and types.count("DDATA") > 10, types[:5]
        assert types[-1] == "NDEATH", types[-3:]
    assert [(bd_seq(run[0][1]), bd_seq(run[-1][1])) for run in runs] == [(0, 0), (1, 1)], \
        "the will's bdSeq is its connection's, and a new run's connection has the next"

def test_records_that_cannot_be_served_are_refused_and_the_hub_serves_on(hub_package, broker, tmp_path):
    # Anything can serve a pipe name: one robot's "gateway" sends NaN, infinities
    # and garbage before a good record; the other robot's is sound throughout.
    served = {"bad": [record_bytes([float("nan")] + [0.0] * 5), record_bytes([0.0] * 5 + [float("inf")]),
                      b"\x07" * 50, record_bytes([float("-inf")] * 6), record_bytes([1.0, 2, 3, 4, 5, 6])],
              "good": [record_bytes([7.0, 8, 9, 10, 11, 12])]}
    servers = []
    for name, records in served.items():
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(tmp_path / name))
        server.listen(1)
        servers.append(server)

        def serve(server=server, records=records):
            client, _ = server.accept()
            client.recv(4)  # the report request
            client.sendall(b"".join(r if r.startswith(b"\x07") else TAG + r for r in records))
            client.recv(1)  # held open until the hub goes
        threading.Thread(target=serve, daemon=True).start()
    subs = {name: Subscriber(broker.port, "cell/" + name) for name in served}
    b = hub(hub_package, tmp_path, [dict(name=n, pipe=n, publish="cell/" + n) for n in served], broker=url(broker),
            env={"DRAXION_HUB_PIPE_DIR": str(tmp_path)})
    got = {name: sub.wait_for(1) for name, sub in subs.items()}
    assert b.poll() is None, b.stderr.read()
    assert [m["values"] for m, _ in got["bad"]] == [[1.0, 2, 3, 4, 5, 6]]
    assert [m["values"] for m, _ in got["good"]] == [[7.0, 8, 9, 10, 11, 12]]
    b.send_signal(signal.SIGINT)
    assert b.wait(30) == 0
    said = b.stderr.read()
    assert re.search(r"bad: \d record\(s\) from the gateway refused, as they cannot be served \(a value is not a "
                     r"finite number; 3 in all\)", said), said
    for s in servers + list(subs.values()):
        s.close()
