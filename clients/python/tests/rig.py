"""What the bridge's and the live page's tests share: a mosquitto of our own, a
paho subscriber, the bridge as a process and recordings."""

import json
import os
import struct
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)


from shipped_broker import BRIDGE_LOGIN, MOSQUITTO, Broker, free_port, shipped_config

# What the test modules take from here, some of it from support/.
__all__ = ["BRIDGE_LOGIN", "MOSQUITTO", "Broker", "free_port", "shipped_config", "wait_until", "Subscriber", "bridge",
           "publisher", "write_recording", "bits", "status_after"]


def wait_until(check, lock, timeout, stop=lambda: False):
    """Polls check() under lock until it holds (True), timeout s pass or stop() (False)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not stop():
        with lock:
            if check():
                return True
        time.sleep(0.05)
    return False


class Subscriber:
    """Collects every message on a topic; reconnects and subscribes again after the broker returns."""

    def __init__(self, port, topic, session=None, login=BRIDGE_LOGIN, transport="tcp"):
        self.messages, self.lock, self.ready = [], threading.Lock(), threading.Event()
        # With a session the broker keeps what arrives while this one is away.
        self.client = mqtt.Client(session or "", clean_session=session is None, transport=transport)
        if login is not None:
            self.client.username_pw_set(*login)
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
        wait_until(lambda: len(self.messages) >= count, self.lock, timeout)
        with self.lock:
            return list(self.messages)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def bridge(*args, env_extra=None, **kwargs):
    """The bridge as a process, logged in as the bridge unless it is given a login."""
    env = dict(env_extra or os.environ, PYTHONPATH=PACKAGE_ROOT)
    if "--username" not in args:
        args = args + ("--username", BRIDGE_LOGIN[0])
        env.setdefault("DRAXION_MQTT_PASSWORD", BRIDGE_LOGIN[1])
    return subprocess.Popen([sys.executable, "-m", "draxion_axis.mqtt_bridge", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def write_recording(path, rows, step=0.01):
    path.write_text("".join("%.3f,%s\n" % (i * step, ",".join(repr(v) for v in row)) for i, row in enumerate(rows)))
    return str(path)


def bits(values):
    return struct.pack("<%dd" % len(values), *values)


def publisher(port):
    """A paho client logged in as the bridge, connected and looping."""
    client = mqtt.Client()
    client.username_pw_set(*BRIDGE_LOGIN)
    client.connect("127.0.0.1", port)
    client.loop_start()
    return client


def status_after(port, topic):
    """The retained status a late subscriber finds."""
    late = Subscriber(port, topic + "/status")
    got = late.wait_for(1, timeout=5)
    late.close()
    assert got and got[-1][1], "a retained status"
    return got[-1][0]
