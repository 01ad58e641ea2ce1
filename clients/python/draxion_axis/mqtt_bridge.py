"""Publishes every update of the gateway to an MQTT broker, so that any number of
programs, on any machine, can subscribe to the axis values.

    python3 -m draxion_axis.mqtt_bridge --broker HOST:PORT --topic T
        [--source PIPE|recording.csv] [--realtime] [--qos 0|1] [--retain]

Each update is one JSON message: {"seq": n, "time": t, "values": [v0, ..., v5]},
values in the shortest form that reads back as the same double (-0.0 stays -0.0).
The source is the gateway's pipe (its name, default zelmorvelgateway; Windows) or
a recording made by the axis monitor (--csv), at its own pace with --realtime.
With --retain the broker keeps the last update for late subscribers. A broker
that goes away is reconnected to with back-off, and the latest values are
published again once it is back.

Exit codes: 0 the source ended (the gateway has gone, or the recording is done);
2 bad arguments; 3 the broker cannot be reached at start; 4 the source cannot be
opened.
"""

import argparse
import json
import sys
import threading
import time

import paho.mqtt.client as mqtt

from .framing import PIPE_NAME, updates
from .sources import GatewayBusy, NoGateway, pipe_messages, recording_messages

EXIT_DONE, EXIT_USAGE, EXIT_BROKER, EXIT_SOURCE = 0, 2, 3, 4


def parse_broker(text: str):
    """HOST:PORT, or a ValueError saying what is wrong with it."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("the broker must be given as HOST:PORT, e.g. 127.0.0.1:1883, not %r" % text)
    return host.strip("[]"), int(port)


def check_topic(topic: str) -> str:
    if not topic or "+" in topic or "#" in topic or "\0" in topic:
        raise ValueError("the topic must be a plain topic name, without the wildcards + and #: %r" % topic)
    return topic


def payload(seq: int, update) -> str:
    # json writes a float as repr does: the shortest form that reads back exactly.
    return json.dumps({"seq": seq, "time": update.received, "values": list(update.values)})


class Bridge:
    def __init__(self, host, port, topic, qos, retain):
        self.topic, self.qos, self.retain = topic, qos, retain
        self.latest = None  # the last payload, published again after a reconnect
        self.lock = threading.Lock()
        self.connected = threading.Event()
        self.client = mqtt.Client(clean_session=True)
        self.client.max_queued_messages_set(0)  # with QoS 1, nothing is dropped while the broker is away
        self.client.reconnect_delay_set(min_delay=1, max_delay=30)
        self.client.on_connect = self._on_connect
        self.client.on_disconnect = self._on_disconnect
        self.host, self.port = host, port

    def _on_connect(self, client, userdata, flags, rc):
        if rc != 0:
            return
        self.connected.set()
        with self.lock:
            latest = self.latest
        if latest is not None:  # back after an absence: the broker gets the current values
            client.publish(self.topic, latest, qos=self.qos, retain=self.retain)

    def _on_disconnect(self, client, userdata, rc):
        self.connected.clear()
        if rc != 0:
            print("mqtt_bridge: lost the broker at %s:%d; reconnecting" % (self.host, self.port), file=sys.stderr)

    def start(self, timeout=10.0):
        self.client.connect(self.host, self.port, keepalive=10)  # raises when unreachable
        self.client.loop_start()
        if not self.connected.wait(timeout):
            raise ConnectionError("the broker did not accept the connection")

    def publish(self, text):
        with self.lock:
            self.latest = text
        return self.client.publish(self.topic, text, qos=self.qos, retain=self.retain)

    def stop(self, last=None, timeout=10.0):
        if last is not None and self.qos > 0:
            try:
                last.wait_for_publish(timeout)  # what was sent reaches the broker first
            except (RuntimeError, ValueError):
                pass
        elif last is not None:
            deadline = time.monotonic() + timeout
            while not last.is_published() and time.monotonic() < deadline and self.connected.is_set():
                time.sleep(0.01)
        self.client.disconnect()
        self.client.loop_stop()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m draxion_axis.mqtt_bridge",
                                     description="Publish the gateway's axis values to an MQTT broker.")
    parser.add_argument("--broker", required=True, help="HOST:PORT of the MQTT broker")
    parser.add_argument("--topic", required=True, help="the topic to publish on (no wildcards)")
    parser.add_argument("--source", default=PIPE_NAME,
                        help="the gateway's pipe name (default %(default)s) or a recording (.csv)")
    parser.add_argument("--realtime", action="store_true", help="play a recording at its own pace")
    parser.add_argument("--qos", type=int, choices=(0, 1), default=0)
    parser.add_argument("--retain", action="store_true", help="the broker keeps the last update")
    parser.add_argument("--connect-timeout", type=float, default=60.0,
                        help="seconds to wait for the gateway's pipe to appear")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return EXIT_USAGE if e.code else EXIT_DONE
    try:
        host, port = parse_broker(args.broker)
        topic = check_topic(args.topic)
    except ValueError as e:
        print("mqtt_bridge: %s" % e, file=sys.stderr)
        return EXIT_USAGE

    bridge = Bridge(host, port, topic, args.qos, args.retain)
    try:
        bridge.start()
    except (OSError, ConnectionError) as e:
        print("mqtt_bridge: cannot reach the broker at %s:%d: %s" % (host, port, e), file=sys.stderr)
        return EXIT_BROKER

    from_recording = args.source.lower().endswith(".csv")
    seq, last = 0, None
    try:
        messages = (recording_messages(args.source, args.realtime) if from_recording
                    else pipe_messages(args.source, args.connect_timeout))
        for update in updates(messages):
            seq += 1
            last = bridge.publish(payload(seq, update))
    except (OSError, ValueError, NoGateway, GatewayBusy) as e:
        print("mqtt_bridge: %s" % e, file=sys.stderr)
        bridge.stop()
        return EXIT_SOURCE
    except KeyboardInterrupt:
        bridge.stop(last)
        return EXIT_DONE
    bridge.stop(last)
    print("mqtt_bridge: %s after %d updates" % ("the recording has ended" if from_recording else "the gateway has gone",
                                                seq), file=sys.stderr)
    return EXIT_DONE


if __name__ == "__main__":
    sys.exit(main())
