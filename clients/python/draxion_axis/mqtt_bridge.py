"""Publishes every update of the gateway to an MQTT broker, so that any number of
programs, on any machine, can subscribe to the axis values.

    python3 -m draxion_axis.mqtt_bridge --broker HOST:PORT --topic T
        [--source PIPE|recording.csv|-] [--realtime] [--qos 0|1] [--retain]
        [--queue N] [--drain-timeout S]
        [--username U (password: --password-file F, or DRAXION_MQTT_PASSWORD)]
        [--tls-ca CA.pem [--tls-cert CERT.pem --tls-key KEY.pem]] [--client-id ID]

The bridge asks the gateway for its state report. Each update is one JSON
message on T: {"seq": n, "time": t, "values": [v0, ..., v5], "state": s,
"confirmed": c}, values in the shortest form that reads back as the same double
(-0.0 stays -0.0), s "live", "waiting" or the cause of a hold, c when the values
were last confirmed on screen (UTC seconds; null before the first); without a
report (a gateway or recording without it) "state" and "confirmed" are left out.
Beside it, retained on T/status: {"state": "online", "values_state": "live" |
"waiting" | "held" | "unknown", "cause": ..., "since": ...} while the bridge is
connected and reading, published again whenever the values' state changes,
{"state": "offline", "reason": ...} once the source has ended, and the same
offline message as the connection's last will, so that the broker says so when
the bridge dies or loses its network.

The source is the gateway's pipe (Windows), a recording of the axis monitor
(.csv), or "-": the monitor's CSV on standard input as it prints it
(axis_monitor --csv --state | python3 -m draxion_axis.mqtt_bridge --source - ...).

With --qos 1 every update reaches the broker: while it is away they wait in a
queue of at most --queue updates, and at the end of the source the bridge keeps
trying for --drain-timeout seconds until every one is acknowledged. With --qos 0
updates published while the broker is away are dropped (the count is printed when
it is back) and the latest values are published again.

The bridge speaks MQTT 5, under which the broker says when it refuses a publish
(a login that may not write the topic, a quota): a refused update counts as not
delivered. At start the bridge waits for the broker to take its online status
(always QoS 1); a login that may not write ends the bridge at once, and so does
one refused later with "not authorized". A broker of MQTT 3.1.1 only is spoken to
in 3.1.1, which acknowledges a refused publish like an accepted one: the bridge
says so at start.

Exit codes: 0 the source ended and every update was delivered (QoS 1) or sent
(QoS 0); 2 bad arguments; 3 the broker cannot be reached, or refuses the login,
the certificate or the bridge's publishes, at start; 4 the source cannot be opened
or read; 5 updates were not delivered, or refused (the count is printed).
"""

import argparse
import json
import os
import ssl
import struct
import sys
import threading
import time

import paho.mqtt.client as mqtt

from .framing import PIPE_NAME, exit_code_meaning, pipe_name_problem, updates
from .sources import GatewayBusy, GatewayPipe, MonitorOutput, NoGateway, recording_messages

EXIT_DONE, EXIT_USAGE, EXIT_BROKER, EXIT_SOURCE, EXIT_UNDELIVERED = 0, 2, 3, 4, 5
PASSWORD_VARIABLE = "DRAXION_MQTT_PASSWORD"
MAX_QUEUE = 60000  # below the 65,535 message ids a connection can have outstanding
WILL_REASON = "the bridge has lost its connection to the broker, or has ended without saying why"
UNSUPPORTED_PROTOCOL = 132  # CONNACK: the broker does not speak MQTT 5
# The reasons an MQTT 5 broker gives in a PUBACK for a publish it has refused.
REFUSALS = {0x80: "unspecified error", 0x83: "implementation specific error", 0x87: "not authorized",
            0x90: "topic name invalid", 0x91: "packet identifier in use", 0x97: "quota exceeded",
            0x99: "payload format invalid"}
FOR_GOOD = (0x87, 0x90)  # the same login and topic will never be taken


class RefusalsClient(mqtt.Client):
    """paho's client, telling on_refused(mid, code) of an MQTT 5 PUBACK with a
    refusal before on_publish: paho 1.6 parses the reason code and drops it."""

    on_refused = None

    def _handle_pubackcomp(self, cmd):
        packet = self._in_packet
        if (cmd == "PUBACK" and self._protocol == mqtt.MQTTv5 and packet["remaining_length"] > 2
                and packet["packet"][2] >= 0x80 and self.on_refused is not None):
            mid = struct.unpack("!H", packet["packet"][:2])[0]
            # Only a PUBACK for a message still outstanding settles one (as paho
            # checks too): a stray one's refusal would stick to a later message.
            with self._out_message_mutex:
                ours = mid in self._out_messages
            if ours:
                self.on_refused(mid, packet["packet"][2])
        return super()._handle_pubackcomp(cmd)


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
    p = {"seq": seq, "time": update.received, "values": list(update.values)}
    if update.report is not None:
        p["state"], p["confirmed"] = update.report.state, update.report.confirmed
    return json.dumps(p)


def values_state(update):
    """What the status says of the values: live, waiting or held (with the cause and
    since when), or unknown without a report."""
    r = update.report
    if r is None:
        return {"values_state": "unknown"}
    if r.state in ("live", "waiting"):
        return {"values_state": r.state, "since": r.since}
    return {"values_state": "held", "cause": r.state, "since": r.since}


def status(state: str, reason: str = None, updates_sent: int = None, exit_code: int = None, values=None) -> str:
    s = {"state": state, "time": time.time()}
    if values is not None:
        s.update(values)
    if reason is not None:
        s["reason"] = reason
    if exit_code is not None:
        s["exit_code"] = exit_code
    if updates_sent is not None:
        s["updates"] = updates_sent
    return json.dumps(s)


class Bridge:
    """One connection to the broker. Counts what the broker has acknowledged
    (QoS 1) so that the end can tell whether everything arrived."""

    def __init__(self, host, port, topic, qos, retain, queue=MAX_QUEUE, username=None, password=None,
                 tls=None, client_id=""):
        self.host, self.port, self.topic, self.qos, self.retain, self.queue = host, port, topic, qos, retain, queue
        self.username, self.password, self.tls, self.client_id = username, password, tls, client_id
        self.status_topic = topic + "/status"
        self.lock = threading.Lock()
        self.connected = threading.Event()
        self.answered = threading.Event()  # the first connection attempt has an answer
        self.refusal = None
        self.ever_connected = False
        self.current_status = None  # published again at each connection
        self.latest = None          # the last update's payload
        self.latest_dropped = False  # and it never went out
        self.outstanding = {}       # message id -> True for an update, False for a status
        self.pending = 0            # updates among them
        self.early = set()          # acknowledged before publish() had returned its id
        self.dropped = 0            # updates that never reached the broker
        self.dropped_away = 0       # QoS 0: of those, since the broker went away
        self.refused_ids = {}       # message id -> the reason the broker gave for refusing it
        self.refused = 0            # updates the broker refused
        self.refusals = set()       # (update?, reason) already said
        self.denied = None          # why the broker will take nothing more of this login
        self.client = self._make_client(mqtt.MQTTv5)

    def _make_client(self, protocol):
        # paho 2 asks which callback signatures are meant: ours are those of 1.x.
        api = getattr(mqtt, "CallbackAPIVersion", None)
        options = {"client_id": self.client_id or "", "protocol": protocol}  # 3.1.1: a clean session by default
        client = RefusalsClient(api.VERSION1, **options) if api else RefusalsClient(**options)
        if self.username is not None:
            client.username_pw_set(self.username, self.password)
        if self.tls is not None:
            ca, cert, key = self.tls
            client.tls_set(ca_certs=ca, certfile=cert, keyfile=key)  # raises on unreadable files
        client.will_set(self.status_topic, status("offline", WILL_REASON), qos=1, retain=True)
        client.max_queued_messages_set(0)  # bounded here, where the drop is counted
        # Soon after a loss, then backing off to a few seconds.
        client.reconnect_delay_set(min_delay=0.25, max_delay=4)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_publish = self._on_publish
        client.on_refused = self._on_refused
        return client

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        if rc != 0:
            self.refusal = getattr(rc, "value", rc)
            self.refusal_text = (mqtt.connack_string(rc) if client._protocol != mqtt.MQTTv5
                                 else "unsupported protocol version" if rc == UNSUPPORTED_PROTOCOL else str(rc))
            if self.ever_connected:
                print("mqtt_bridge: the broker at %s:%d refused the connection: %s; trying again"
                      % (self.host, self.port, self.refusal_text), file=sys.stderr)
            self.answered.set()
            return
        returning = self.ever_connected
        self.ever_connected = True
        self.refusal = None
        self.connected.set()
        self.answered.set()
        with self.lock:
            current, latest = self.current_status, self.latest
            # With QoS 1 the queue goes out after this callback, so the latest
            # values would overtake it; they go out in turn instead (see drain).
            again = latest is not None and self.qos == 0
            away, self.dropped_away = self.dropped_away, 0
        if current is not None:
            self._send(current, update=False, topic=self.status_topic, qos=1, retain=True)
        if returning:
            print("mqtt_bridge: back at the broker at %s:%d" % (self.host, self.port) +
                  ("; %d updates were dropped while it was away (QoS 0)" % away if away else ""), file=sys.stderr)
        if again:  # back after an absence: the broker gets the current values
            self._send(latest, update=True)

    def _on_disconnect(self, client, userdata, rc, properties=None):
        self.connected.clear()
        if rc != 0:
            print("mqtt_bridge: lost the broker at %s:%d; reconnecting" % (self.host, self.port), file=sys.stderr)

    def _on_refused(self, mid, code):
        with self.lock:
            self.refused_ids[mid] = code

    def _on_publish(self, client, userdata, mid):
        with self.lock:
            kind = self.outstanding.pop(mid, None)
            if kind is None:
                self.early.add(mid)  # settled when publish() returns
                return
            self.pending -= kind
            self._settled(mid, kind)

    def _settled(self, mid, update):
        """Under the lock: counts and says a refusal of message mid."""
        code = self.refused_ids.pop(mid, None)
        if code is None:
            return
        self.refused += update
        reason = REFUSALS.get(code, "reason code 0x%02x" % code)
        topic = self.topic if update else self.status_topic
        if code in FOR_GOOD and self.denied is None:
            who = "the login %r" % self.username if self.username is not None else "a client without a login"
            self.denied = "the broker refuses the bridge's publishes on %s: %s (may %s write %s and %s? See the " \
                          "broker's ACL)" % (topic, reason, who, self.topic, self.status_topic)
        if (update, code) not in self.refusals:  # once each: a refusal tends to repeat
            self.refusals.add((update, code))
            print("mqtt_bridge: the broker refused %s on %s: %s" % ("an update" if update else "the status", topic,
                                                                    reason), file=sys.stderr)

    def _send(self, text, update, topic=None, qos=None, retain=None):
        """Hands a message to the connection: its id, or None if it will never go out."""
        qos = self.qos if qos is None else qos
        info = self.client.publish(topic or self.topic, text, qos=qos,
                                   retain=self.retain if retain is None else retain)
        if info.rc not in (mqtt.MQTT_ERR_SUCCESS, mqtt.MQTT_ERR_NO_CONN) or (qos == 0 and info.rc != 0):
            return None
        with self.lock:
            if info.mid in self.early:
                self.early.discard(info.mid)
                self._settled(info.mid, update)
            else:
                self.outstanding[info.mid] = update
                self.pending += update
        return info.mid

    def start(self, timeout=10.0):
        """Connects, in MQTT 5 or else 3.1.1, or raises OSError (unreachable, a
        certificate refused) or ConnectionError (the login refused, no answer)
        saying why not."""
        self._connect(timeout)
        if self.refusal == UNSUPPORTED_PROTOCOL:
            print("mqtt_bridge: the broker at %s:%d speaks MQTT 3.1.1 only, which does not say when it refuses a "
                  "publish: updates it refuses cannot be counted" % (self.host, self.port), file=sys.stderr)
            self.client = self._make_client(mqtt.MQTTv311)
            self._connect(timeout)
        if self.refusal is not None:
            raise ConnectionError("the broker refused the connection: %s" % self.refusal_text)

    def _connect(self, timeout):
        """Connects; a refusal is left in self.refusal, no answer raises."""
        self.answered.clear()
        self.refusal = None
        self.client.connect(self.host, self.port, keepalive=5)
        self.client.loop_start()
        if self.answered.wait(timeout) and self.refusal is None:
            return
        self.client.loop_stop()
        self.client.disconnect()
        if self.refusal is None:
            raise ConnectionError("no answer from the broker within %g s" % timeout)

    def publish_update(self, text):
        with self.lock:
            self.latest = text
            full = self.pending >= self.queue
        # Past the bound an update is dropped (and counted): the queue keeps the
        # oldest, which the broker gets first.
        sent = not full and (self.qos == 1 or self.connected.is_set()) and self._send(text, update=True) is not None
        with self.lock:
            self.latest_dropped = not sent
            if not sent:
                self.dropped += 1
                self.dropped_away += self.qos == 0

    def set_status(self, text):
        """Publishes the status; its message id, or None."""
        with self.lock:
            self.current_status = text
        return self._send(text, update=False, topic=self.status_topic, qos=1, retain=True)

    def wait_settled(self, mid, timeout):
        """Waits for the broker to take or refuse message mid, at most timeout s."""
        deadline = time.monotonic() + timeout
        while mid is not None and time.monotonic() < deadline:
            with self.lock:
                if mid not in self.outstanding:
                    return
            time.sleep(0.01)

    def drain(self, timeout):
        """Waits until the broker has everything (QoS 0: until it is written);
        returns the updates it has not. With QoS 1, latest values dropped past the
        queue's bound go out again, after the queue, once there is room."""
        deadline = time.monotonic() + timeout
        while True:
            with self.lock:
                again = self.qos == 1 and self.latest_dropped and self.pending < self.queue
                if again:
                    self.latest_dropped = False
                    self.dropped -= 1  # its values arrive after all
            if again and self._send(self.latest, update=True) is None:
                with self.lock:
                    self.dropped += 1
            with self.lock:
                left, everything = self.pending, not self.outstanding
            if everything or time.monotonic() >= deadline:
                return left
            time.sleep(0.02)

    def stop(self):
        self.client.disconnect()
        self.client.loop_stop()


class PublishesRefused(Exception):
    """The broker takes nothing more of this login."""


def read_password(args):
    """The password for --username: from --password-file, else the environment."""
    if args.password_file is not None:
        try:
            with open(args.password_file, encoding="utf-8") as f:
                return f.read().rstrip("\r\n")
        except OSError as e:
            raise ValueError("cannot read the password file %s: %s" % (args.password_file, e.strerror)) from None
    return os.environ.get(PASSWORD_VARIABLE)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m draxion_axis.mqtt_bridge",
                                     description="Publish the gateway's axis values to an MQTT broker.")
    parser.add_argument("--broker", required=True, help="HOST:PORT of the MQTT broker")
    parser.add_argument("--topic", required=True, help="the topic to publish on (no wildcards); status on TOPIC/status")
    parser.add_argument("--source", default=PIPE_NAME,
                        help="the gateway's pipe name (default %(default)s), a recording (.csv), or - for the axis "
                        "monitor's CSV on standard input")
    parser.add_argument("--realtime", action="store_true", help="play a recording at its own pace")
    parser.add_argument("--qos", type=int, choices=(0, 1), default=0)
    parser.add_argument("--retain", action="store_true", help="the broker keeps the last update")
    parser.add_argument("--connect-timeout", type=float, default=60.0,
                        help="seconds to wait for the gateway's pipe to appear")
    parser.add_argument("--queue", type=int, default=MAX_QUEUE,
                        help="QoS 1: updates kept while the broker is away (at most %(default)s)")
    parser.add_argument("--drain-timeout", type=float, default=30.0,
                        help="QoS 1: seconds to keep trying at the end until the broker has every update")
    parser.add_argument("--username", help="log in as this user; the password from --password-file or the "
                        "environment variable " + PASSWORD_VARIABLE)
    parser.add_argument("--password-file", help="a file holding the password (its first line)")
    parser.add_argument("--tls-ca", help="connect with TLS, trusting the certificate authority in this file")
    parser.add_argument("--tls-cert", help="with --tls-ca: this client certificate (and --tls-key)")
    parser.add_argument("--tls-key", help="with --tls-cert: its private key")
    parser.add_argument("--client-id", default="", help="the MQTT client id (default: one the broker picks)")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return EXIT_USAGE if e.code else EXIT_DONE
    from_recording = args.source.lower().endswith(".csv")
    from_stdin = args.source == "-"
    try:
        host, port = parse_broker(args.broker)
        topic = check_topic(args.topic)
        if not from_recording and not from_stdin and pipe_name_problem(args.source):
            raise ValueError("bad pipe name: %s" % pipe_name_problem(args.source))
        if not 1 <= args.queue <= MAX_QUEUE:
            raise ValueError("--queue must be between 1 and %d" % MAX_QUEUE)
        if args.drain_timeout < 0 or args.connect_timeout < 0:
            raise ValueError("a timeout cannot be negative")
        if (args.tls_cert is None) != (args.tls_key is None) or (args.tls_cert and not args.tls_ca):
            raise ValueError("--tls-cert and --tls-key go together, and with --tls-ca")
        if args.password_file is not None and args.username is None:
            raise ValueError("--password-file needs --username")
        password = read_password(args) if args.username is not None else None
        tls = (args.tls_ca, args.tls_cert, args.tls_key) if args.tls_ca else None
        bridge = Bridge(host, port, topic, args.qos, args.retain, args.queue, args.username, password, tls,
                        args.client_id)
    except (ValueError, OSError, ssl.SSLError) as e:
        print("mqtt_bridge: %s" % e, file=sys.stderr)
        return EXIT_USAGE

    try:
        bridge.start()
    except (OSError, ConnectionError) as e:
        print("mqtt_bridge: cannot reach the broker at %s:%d: %s" % (host, port, e), file=sys.stderr)
        return EXIT_BROKER

    seq, exit_code, code = 0, None, EXIT_DONE
    try:
        if from_recording:
            open(args.source, encoding="ascii").close()  # unreadable: a clear error before going online
            messages = recording_messages(args.source, args.realtime)
        elif from_stdin:
            monitor = MonitorOutput()
            messages = monitor.messages()
        else:
            pipe = GatewayPipe(args.source, args.connect_timeout, report=True)
            pipe.open()
            messages = pipe.messages()
        # The status goes with QoS 1 whatever --qos says: its answer tells whether
        # this login may write at all.
        bridge.wait_settled(bridge.set_status(status("online")), timeout=10)
        if bridge.denied is not None:
            print("mqtt_bridge: %s" % bridge.denied, file=sys.stderr)
            bridge.stop()
            return EXIT_BROKER
        said = None
        for update in updates(messages):
            seq += 1
            # The state goes out with the values (under QoS 1 delivered alike), and
            # on the status topic whenever it changes.
            now = values_state(update)
            if now != said:
                said = now
                bridge.set_status(status("online", values=now))
            bridge.publish_update(payload(seq, update))
            if bridge.denied is not None:
                raise PublishesRefused(bridge.denied)
        if from_recording:
            reason = "the recording has ended"
        elif from_stdin and monitor.exit_code is None:
            reason = "standard input has ended (the axis monitor has stopped)"
        else:
            exit_code = monitor.exit_code if from_stdin else pipe.exit_code
            reason = "the gateway has gone" + ("" if exit_code is None else " (exit code %d: %s)" % (
                exit_code, exit_code_meaning(exit_code)))
    except (OSError, ValueError, NoGateway, GatewayBusy) as e:
        reason, code = str(e), EXIT_SOURCE
    except PublishesRefused as e:
        reason, code = str(e), EXIT_UNDELIVERED
    except KeyboardInterrupt:
        reason = "the bridge was stopped"
    bridge.set_status(status("offline", reason, seq, exit_code))
    print("mqtt_bridge: %s after %d updates" % (reason, seq), file=sys.stderr)
    try:
        unacknowledged = bridge.drain(args.drain_timeout)
    except KeyboardInterrupt:  # a second Ctrl+C: stop waiting, but say what was lost
        unacknowledged = bridge.drain(0)
    undelivered = unacknowledged + bridge.dropped + bridge.refused
    bridge.stop()
    if undelivered and args.qos == 1:
        why = []
        if bridge.refused:
            why.append("%d refused by the broker" % bridge.refused)
        if bridge.dropped:
            why.append("%d dropped while the queue of %d was full" % (bridge.dropped, args.queue))
        if unacknowledged:
            why.append("%d not acknowledged within %g s" % (unacknowledged, args.drain_timeout))
        print("mqtt_bridge: %d of %d updates were not delivered (%s)" % (undelivered, seq, ", ".join(why)),
              file=sys.stderr)
        return code if code != EXIT_DONE else EXIT_UNDELIVERED
    if undelivered:  # at most once, as asked for
        print("mqtt_bridge: %d of %d updates were dropped while the broker was away (QoS 0)" % (undelivered, seq),
              file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
