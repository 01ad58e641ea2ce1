"""The broker configuration as shipped (docs/mosquitto-live.conf), made runnable
here: ports and paths of our own, and the bridge's password file made as its
comment says. For the bridge's and the page's tests and the chain harness, which
all run against it."""

import os
import shutil
import socket
import subprocess

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED_CONFIG = os.path.join(ROOT, "docs", "mosquitto-live.conf")
BRIDGE_LOGIN = ("bridge", "bridge-pass-4711")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def shipped_config(folder, port, ws_port, web_dir, bridge_listener=None, logins=None):
    """The shipped configuration with the bridge's listener on port (or the lines
    bridge_listener instead of its first), the browsers' on ws_port serving
    web_dir, and the password file in folder. logins: more users, each
    {name: (password, its ACL lines)}, after the shipped ACL. Every replacement
    must happen, so that a changed file fails here rather than passing untested."""
    passwords = os.path.join(str(folder), "passwords")
    subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, *BRIDGE_LOGIN], check=True)
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
    for old, new in (("listener 1883 127.0.0.1", bridge_listener or "listener %d 127.0.0.1" % port),
                     ("listener 9001", "listener %d" % ws_port),
                     ("password_file /etc/mosquitto/draxion-passwords", "password_file %s" % passwords),
                     ("acl_file /opt/draxion-gateway/docs/mosquitto-live.acl",
                      "acl_file %s" % acl),
                     ("http_dir /opt/draxion-gateway/web", "http_dir %s" % web_dir)):
        assert "\n" + old in text, "%s is not in %s" % (old, SHIPPED_CONFIG)
        text = text.replace("\n" + old, "\n" + new)
    return text
