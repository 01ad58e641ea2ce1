"""The MQTT bridge against a real mosquitto broker on 127.0.0.1, with a real
paho subscriber. Every test starts and stops its own broker."""

import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, tmp_path):
        self.port = free_port()
        self.config = tmp_path / "mosquitto.conf"
        self.config.write_text("listener %d 127.0.0.1\nallow_anonymous true\n" % self.port)
        self.process = None

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None


@pytest.fixture
def broker(tmp_path):
    if not os.path.exists(MOSQUITTO):
        pytest.fail("mosquitto is not installed (scripts/install-deps installs it)")
    b = Broker(tmp_path)
    b.start()
    yield b
    b.stop()


class Subscriber:
    """Collects every message on a topic; reconnects and subscribes again after the broker returns."""

    def __init__(self, port, topic):
        self.messages, self.lock, self.ready = [], threading.Lock(), threading.Event()
        self.client = mqtt.Client()
        self.client.reconnect_delay_set(min_delay=1, max_delay=2)
        self.client.on_connect = lambda c, u, f, rc: (c.subscribe(topic, qos=1), self.ready.set())
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        assert self.ready.wait(10)
        time.sleep(0.2)  # the subscription is in place

    def _on_message(self, client, userdata, message):
        with self.lock:
            self.messages.append((json.loads(message.payload), message.retain))

    def wait_for(self, count, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.messages) >= count:
                    break
            time.sleep(0.05)
        with self.lock:
            return list(self.messages)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def bridge(*args, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.Popen([sys.executable, "-m", "draxion_axis.mqtt_bridge", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def write_recording(path, rows, step=0.01):
    path.write_text("".join("%.3f,%s\n" % (i * step, ",".join(repr(v) for v in row)) for i, row in enumerate(rows)))
    return str(path)


def bits(values):
    return struct.pack("<%dd" % len(values), *values)


def test_every_update_arrives_in_order_and_exact(broker, tmp_path):
    rows = [(12.5, -0.5, 300.0, -1234.6, 0.0, 7.7), (-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, 1e-300, -7.7)]
    rows += [(float(i), -i / 10, 0.0, -0.0, i * 1e-5, 3.0) for i in range(40)]
    sub = Subscriber(broker.port, "cell/axes")
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/axes", "--qos", "1",
               "--source", write_recording(tmp_path / "r.csv", rows))
    assert b.wait(30) == 0, b.stderr.read()
    got = sub.wait_for(len(rows))
    sub.close()
    assert [m["seq"] for m, _ in got] == list(range(1, len(rows) + 1))
    for (m, _), row in zip(got, rows):
        assert bits(m["values"]) == bits(row)  # -0.0 stays -0.0, every bit as recorded


def test_retained_value_is_the_last(broker, tmp_path):
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, -0.0) for i in range(5)]
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/retained", "--retain", "--qos", "1",
               "--source", write_recording(tmp_path / "r.csv", rows))
    assert b.wait(30) == 0, b.stderr.read()
    late = Subscriber(broker.port, "cell/retained")
    got = late.wait_for(1, timeout=5)
    late.close()
    assert len(got) == 1 and got[0][1], "one retained message for a late subscriber"
    assert bits(got[0][0]["values"]) == bits(rows[-1])


def test_broker_restart_loses_no_update_published_after_it_is_back(broker, tmp_path):
    # Six seconds of updates, 20 a second; the broker is away from about 1.5 s to 3 s.
    rows = [(float(i), 0.0, 0.0, 0.0, 0.0, 0.0) for i in range(120)]
    sub = Subscriber(broker.port, "cell/restart")
    b = bridge("--broker", "127.0.0.1:%d" % broker.port, "--topic", "cell/restart", "--realtime",
               "--source", write_recording(tmp_path / "r.csv", rows, step=0.05))
    time.sleep(1.5)
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
    assert "lost the broker" in b.stderr.read()


@pytest.mark.parametrize("args, code, says", [
    (["--broker", "127.0.0.1:%d" % free_port(), "--topic", "t"], 3, "cannot reach the broker"),
    (["--broker", "127.0.0.1", "--topic", "t"], 2, "HOST:PORT"),
    (["--broker", "127.0.0.1:99999", "--topic", "t"], 2, "HOST:PORT"),
    (["--broker", "127.0.0.1:1883", "--topic", "cell/+/axes"], 2, "wildcards"),
    (["--broker", "127.0.0.1:1883", "--topic", "cell/#"], 2, "wildcards"),
])
def test_clear_errors(args, code, says):
    b = bridge(*args)
    assert b.wait(30) == code
    assert says in b.stderr.read()
