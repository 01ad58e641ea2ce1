"""What the hub's MQTT and the live page's tests share: a mosquitto of our own, a
paho subscriber, the hub as a process and recordings."""

import json
import os
import struct
import subprocess
import threading
import time

import paho.mqtt.client as mqtt

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
NODE = os.path.join(ROOT, "scripts", "node")


from shipped_broker import HUB_LOGIN, MOSQUITTO, READER_LOGIN, Broker, free_port, shipped_config

# What the test modules take from here, some of it from support/.
__all__ = ["HUB_LOGIN", "MOSQUITTO", "READER_LOGIN", "Broker", "free_port", "shipped_config", "wait_until",
           "Subscriber", "hub", "publisher", "write_recording", "bits", "status_after"]


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

    def __init__(self, port, topic, session=None, login=HUB_LOGIN, transport="tcp"):
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


def hub(package, folder, robots, login=HUB_LOGIN, password=None, env=None, **settings):
    """The hub of the built package as a process, MQTT only unless settings say
    otherwise, publishing the robots given (a list, or one robot's dict) to the
    broker in settings, logged in as login (None: without one) with password (by
    default the login's own) from the environment, with env's variables too."""
    config = dict(opcua=False, robots=robots if isinstance(robots, list) else [robots], drain_timeout_s=3)
    if login is not None:
        config["broker_username"] = login[0]
    config.update(settings)
    path = os.path.join(str(folder), "hub-%d.json" % time.monotonic_ns())
    with open(path, "w") as f:
        json.dump(config, f)
    env = dict(os.environ, **(env or {}))
    env.pop("DRAXION_MQTT_PASSWORD", None)
    if login is not None or password is not None:
        env["DRAXION_MQTT_PASSWORD"] = password if password is not None else login[1]
    return subprocess.Popen([NODE, os.path.join(str(package), "hub.js"), "--config", path], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def write_recording(path, rows, step=0.01):
    path.write_text("".join("%.3f,%s\n" % (i * step, ",".join(repr(v) for v in row)) for i, row in enumerate(rows)))
    return str(path)


def bits(values):
    return struct.pack("<%dd" % len(values), *values)


def publisher(port):
    """A paho client logged in as the hub, connected and looping."""
    client = mqtt.Client()
    client.username_pw_set(*HUB_LOGIN)
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
