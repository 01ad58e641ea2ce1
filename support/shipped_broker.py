"""The broker configuration as shipped (docs/mosquitto-live.conf), made runnable
here: ports and paths of our own, and the hub's password file made as its
comment says. For the hub's and the page's tests and the chain harness, which
all run against it."""

import os
import pathlib
import shutil
import socket
import subprocess
import time

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED_CONFIG = os.path.join(ROOT, "docs", "mosquitto-live.conf")
HUB_LOGIN = ("hub", "hub-pass-4711")
READER_LOGIN = ("reader", "reader-pass-2718")
# The directives of a mosquitto configuration that take a path (log_dest takes
# one after "file").
PATH_DIRECTIVES = ("password_file", "acl_file", "http_dir", "persistence_location", "cafile", "capath", "certfile",
                   "keyfile", "crlfile", "dhparamfile", "psk_file", "pid_file", "include_dir", "plugin",
                   "auth_plugin", "log_dest")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def shipped_config(folder, port, ws_port, web_dir, hub_listener=None, logins=None):
    """The shipped configuration with the hub's listener on port (or the lines
    hub_listener instead of its first), the browsers' on ws_port serving
    web_dir, and its paths in folder: the password file made as its comment
    says (the hub's and the reader's logins). logins: more users, each
    {name: (password, its ACL lines)}, after the shipped ACL. Every replacement
    must happen, so that a changed file fails here rather than passing untested."""
    passwords = os.path.join(str(folder), "passwords")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, *HUB_LOGIN], check=True)
    subprocess.run(["mosquitto_passwd", "-b", passwords, *READER_LOGIN], check=True)
    acl = os.path.join(ROOT, "docs", "mosquitto-live.acl")
    if logins:
        with open(acl, encoding="utf-8") as f:
            text = f.read()
        acl = os.path.join(str(folder), "acl")
        with open(acl, "w", encoding="utf-8") as f:
            f.write(text + "".join("\nuser %s\n%s\n" % (user, rules) for user, (_, rules) in logins.items()))
        for user, (password, _) in logins.items():
            subprocess.run(["mosquitto_passwd", "-b", passwords, user, password], check=True)
    with open(SHIPPED_CONFIG, encoding="utf-8") as f:
        text = f.read()
    for old, new in (("listener 1883 127.0.0.1", hub_listener or "listener %d 127.0.0.1" % port),
                     ("listener 9001", "listener %d" % ws_port),
                     ("password_file C:\\mosquitto\\draxion-passwords", "password_file %s" % passwords),
                     ("acl_file C:\\draxion-gateway\\docs\\mosquitto-live.acl", "acl_file %s" % acl),
                     ("http_dir C:\\draxion-gateway\\web", "http_dir %s" % web_dir),
                     ("persistence_location C:\\mosquitto\\data\\", "persistence_location %s/" % folder)):
        assert "\n" + old + "\n" in text, "%s is not in %s" % (old, SHIPPED_CONFIG)
        text = text.replace("\n" + old + "\n", "\n" + new + "\n")
    return text


class Broker:
    """A mosquitto of our own in folder: the shipped configuration (hub
    listener on port, WebSockets and the page on ws_port) with the lines extra
    after it, or one loopback listener with settings. It keeps its sessions
    across a restart, as a plant broker would, so that a subscriber's queued
    messages survive it."""

    def __init__(self, folder, settings=None, web_dir=None, hub_listener=None, logins=None, extra=""):
        tmp_path = pathlib.Path(folder)
        self.port, self.ws_port = free_port(), free_port()
        self.config = tmp_path / "mosquitto.conf"
        if settings is None:
            web = web_dir or tmp_path / "web"
            os.makedirs(web, exist_ok=True)
            body = shipped_config(tmp_path, self.port, self.ws_port, web, hub_listener, logins)
        else:
            # Its own store, where a restart finds the sessions again.
            body = "persistence true\npersistence_location %s/\nlistener %d 127.0.0.1\n%s" % (tmp_path, self.port,
                                                                                            settings)
        # Run as whoever runs the tests, so that it can read the test's files.
        self.config.write_text("user root\n%s\n%s" % (body, extra))
        self.ports = [self.port] + ([self.ws_port] if settings is None else [])
        self.process = None

    def start(self):
        self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        # Every listener, the WebSockets one included, which may open a moment later
        # (self.port as it is now: a test may have put the hub's listener elsewhere).
        ports = [self.port] + self.ports[1:]
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
