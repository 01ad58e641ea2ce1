"""What the bridge's and the live page's tests share: a mosquitto of our own, a
paho subscriber, the bridge as a process and recordings."""

import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)


from shipped_broker import BRIDGE_LOGIN, MOSQUITTO, free_port, shipped_config  # noqa: F401


class Broker:
    """A mosquitto of our own: the shipped configuration (bridge listener on port,
    WebSockets and the page on ws_port), or one loopback listener with settings.
    It keeps its sessions across a restart, as a plant broker would, so that a
    subscriber's queued messages survive it."""

    def __init__(self, tmp_path, settings=None, web_dir=None, bridge_listener=None, logins=None):
        self.port, self.ws_port = free_port(), free_port()
        self.config = tmp_path / "mosquitto.conf"
        if settings is None:
            web = web_dir or tmp_path / "web"
            os.makedirs(web, exist_ok=True)
            body = shipped_config(tmp_path, self.port, self.ws_port, web, bridge_listener, logins)
        else:
            body = "persistence true\nlistener %d 127.0.0.1\n%s" % (self.port, settings)
        # Run as whoever runs the tests, so that it can read the test's files.
        self.config.write_text("user root\npersistence_location %s/\n%s" % (tmp_path, body))
        self.ports = [self.port] + ([self.ws_port] if settings is None else [])
        self.process = None

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        # Every listener, the WebSockets one included, which may open a moment later.
        ports = [self.port] + [p for p in self.ports[1:]]
        while time.monotonic() < deadline:
            try:
                for port in ports:
                    socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None


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


def status_after(port, topic):
    """The retained status a late subscriber finds."""
    late = Subscriber(port, topic + "/status")
    got = late.wait_for(1, timeout=5)
    late.close()
    assert got and got[-1][1], "a retained status"
    return got[-1][0]
