"""An OPC UA client for the hub's tests and benchmarks: hub/test/opcua_client.js
(node-opcua's client) run on the pinned Linux Node and driven through its
standard input, with what reading the hub's nodes needs."""

import json
import os
import struct
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NODE = os.path.join(ROOT, "scripts", "node")
CLIENT = os.path.join(ROOT, "hub", "test", "opcua_client.js")
# The hub's libraries at their pinned versions (scripts/npm-deps puts them there):
# the package carries them packed into the hub, so clients load them from here.
HUB_LIBRARIES = os.path.join(ROOT, "build", "hub-deps", "node_modules")
ENCRYPTED = ("Basic256Sha256", "SignAndEncrypt")


class Client:
    """hub/test/opcua_client.js as a process on the pinned Linux Node, with its
    certificates in hub_dir: connect at construction, then read and watch. user
    is (name, password) or None for anonymous."""

    def __init__(self, hub_dir, endpoint, security=ENCRYPTED, user=None):
        how = dict(endpoint=endpoint, policy=security[0], mode=security[1], user=user,
                   pki=os.path.join(str(hub_dir), "client-pki"))
        self.process = subprocess.Popen([NODE, CLIENT, json.dumps(how)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True,
                                        env=dict(os.environ, NODE_PATH=HUB_LIBRARIES))
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
            if not self.ready.wait_for(lambda: any(check(m) for m in self.answers), timeout):
                raise AssertionError("no answer from the OPC UA client: %s" % self.answers)
            m = next(m for m in self.answers if check(m))
            self.answers.remove(m)
            return m

    def _ask(self, command, key):
        """The client's answer to command: the message that holds key."""
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        return self._answer(lambda m: key in m)

    def read(self, nodes):
        return self._ask({"read": nodes}, "read")["read"]

    def browse(self, node):
        return self._ask({"browse": node}, "browse")["browse"]

    def translate(self, path):
        """The NodeId at the end of path ([(namespace URI, name), ...] from Objects), or None."""
        return self._ask({"translate": path}, "translate")["translate"]

    def watch(self, nodes, sampling, queue, publishing=20, trigger=None):
        """The revised sampling intervals; the revised publishing interval in self.publishing.
        trigger: a DataChangeFilter's trigger (without deadband), or None for no filter."""
        m = self._ask({"watch": nodes, "sampling": sampling, "queue": queue, "publishing": publishing,
                       "trigger": trigger}, "watching")
        self.publishing = m["publishing"]
        return m["watching"]

    def modify(self, sampling):
        """Modifies the last watch's items to this sampling interval: the revised ones."""
        return self._ask({"modify": sampling}, "modified")["modified"]

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


NAMESPACE_INDEX = 2  # after the server's own


def node(name):
    return "ns=%d;s=%s" % (NAMESPACE_INDEX, name)


AXES = [node("robot1.axis%d" % k) for k in range(1, 7)]
SIDE = [node("robot1.state"), node("robot1.cause")]


ROBOTICS, DI = "http://opcfoundation.org/UA/Robotics/", "http://opcfoundation.org/UA/DI/"
OWN = "urn:draxion:gateway:axes"


def robotics_path(robot, axis, system="MotionDeviceSystem"):
    """The browse path of a robot's axis's ActualPosition in the robotics model."""
    return [(DI, "DeviceSet"), (OWN, system), (ROBOTICS, "MotionDevices"), (OWN, robot),
            (ROBOTICS, "Axes"), (OWN, "axis%d" % axis), (DI, "ParameterSet"), (ROBOTICS, "ActualPosition")]


def hex_bits(values):
    return [struct.pack("<d", v).hex() for v in values]


def until_read(client, nodes, check, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        got = client.read(nodes)
        if check(got) or time.monotonic() > deadline:
            return got
        time.sleep(0.05)
