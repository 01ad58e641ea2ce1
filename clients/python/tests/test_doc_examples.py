"""The examples of the docs run as printed: each is taken from its document,
so that the document cannot drift from what is tested, and run against a
mosquitto configured as shipped, with only what the document tells the user to
put in (host, port, password) replaced."""

import json
import os
import re
import subprocess
import threading
import time

import pytest

from rig import READER_LOGIN, ROOT, publisher, wait_until

PYTHON = "/usr/bin/python3"


def indented_block(document, heading):
    """The first code block (indented by four) after heading in docs/document."""
    with open(os.path.join(ROOT, "docs", document), encoding="utf-8") as f:
        text = f.read()
    lines = text[text.index("\n" + heading + "\n"):].split("\n")
    first = next(k for k, line in enumerate(lines) if line.startswith("    "))
    block = []
    for line in lines[first:]:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    return "\n".join(block).strip() + "\n"


def with_own(code, replacements):
    """code with each (old, new) replaced, each old exactly once in it."""
    for old, new in replacements:
        assert code.count(old) == 1, "%r is not once in the example" % old
        code = code.replace(old, new)
    return code


@pytest.mark.parametrize("password, exit_code, says", [
    (READER_LOGIN[1], None, r"^\d+ \[1\.5, -0\.0, 5e-324, 0\.0, 0\.0, 7\.0\]$"),   # the values, live
    ("guess", 1, r"^the broker at 127\.0\.0\.1:\d+ refused the connection: Connection Refused: not authorised\.$"),
])
def test_the_mqtt_subscriber(broker, tmp_path, password, exit_code, says):
    code = with_own(indented_block("mqtt.md", "## A subscriber in a few lines"),
                    [('HOST, PORT = "127.0.0.1", 1883', 'HOST, PORT = "127.0.0.1", %d' % broker.port),
                     ('"the reader\'s password"', repr(password))])
    (tmp_path / "subscriber.py").write_text(code)
    run = subprocess.Popen([PYTHON, "-u", str(tmp_path / "subscriber.py")], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    lines, lock = [], threading.Lock()

    def read():
        for line in run.stdout:
            with lock:
                lines.append(line.rstrip("\n"))
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    hub = publisher(broker.port)
    try:
        topic = "cell4/robot1/axes"
        hub.publish(topic + "/status", json.dumps({"state": "online", "time": time.time()}), qos=1,
                    retain=True).wait_for_publish(5)
        seq = 0

        def printed():
            nonlocal seq
            if run.poll() is not None or any(re.search(says, line) for line in lines):
                return True
            seq += 1  # until the example has subscribed, what is sent passes it by
            hub.publish(topic, json.dumps({"seq": seq, "time": time.time(), "values": [1.5, -0.0, 5e-324, 0.0, 0.0, 7.0]}),
                        qos=1)
            return False
        wait_until(printed, lock, 20)
        if exit_code is not None:
            assert run.wait(10) == exit_code
            reader.join(10)
        with lock:
            assert any(re.search(says, line) for line in lines), lines
    finally:
        hub.loop_stop()
        hub.disconnect()
        run.kill()
        run.wait(10)
