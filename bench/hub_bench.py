#!/usr/bin/python3
"""The hub's benchmarks (hub/, assembled by scripts/build-hub):

    /usr/bin/python3 bench/hub_bench.py latency [--changes N]    under Wine: a repaint to an OPC UA notification
    /usr/bin/python3 bench/hub_bench.py footprint [--seconds S]  one robot at 100 updates/s to MQTT: the hub's CPU
                                                                 and memory beside the bridge of 1.1.0's, in one run
    /usr/bin/python3 bench/hub_bench.py cell [--robots N] [--rate R] [--seconds S] [--websockets] [--axes A] [--drop]
                                                                 N robots from the broker: every update to a subscriber
                                                                 of A axes of each? With --drop, the hub's connection
                                                                 to the broker is cut once halfway.
    /usr/bin/python3 bench/hub_bench.py start [--rounds N] [--against PACKAGE_FOLDER]
                                                                 under Wine, the packed hub beside the unpacked one (as
                                                                 shipped until now): seconds to serving, one robot on OPC UA and a
                                                                 two-robot cell; wills published while starting
    /usr/bin/python3 bench/hub_bench.py history [--robots N] [--seconds S] [--rounds R]
                                                                 the cell of `cell` with the history off, then on:
                                                                 delays, CPU, bytes a robot-hour; HistoryRead of an hour
    /usr/bin/python3 bench/hub_bench.py overflow                 a broker queue overflowed on purpose: counted?
    /usr/bin/python3 bench/hub_bench.py brokers [--robots N] [--seconds S]
                                                                 N robots at 100 updates/s to the hub's own broker,
                                                                 then to mosquitto: CPU, memory, delays

CPU and memory are read from /proc; times are this machine's clock."""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "support"))
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
import opcua_reader  # noqa: E402
import wine_chain  # noqa: E402
from shipped_broker import HUB_LOGIN, Broker, free_port  # noqa: E402
from stand_in_gateway import StandInGateway  # noqa: E402

NODE = os.path.join(ROOT, "scripts", "node")
TICKS = os.sysconf("SC_CLK_TCK")
OLD_RELEASE = "9609f5b"  # 1.1.0: the Python MQTT bridge


def summary(values):
    d = sorted(values)
    return d[len(d) // 2], d[min(len(d) - 1, len(d) * 99 // 100)], d[-1]


def cpu_seconds(pid, thread=None):
    """User and system time of a process (or one of its threads), in seconds."""
    path = "/proc/%d/task/%d/stat" % (pid, thread) if thread else "/proc/%d/stat" % pid
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid, field="VmRSS"):
    """A process's resident memory (MB), or with field "VmHWM" its peak so far."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return 0.0


class Process:
    """A process whose output is read all the time, into lines."""

    def __init__(self, args, **popen):
        self.p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **popen)
        self.out = wine_chain.Reader(self.p.stdout)

    @property
    def lines(self):
        with self.out.lock:
            return list(self.out.lines)

    def wait_for(self, text, timeout=60):
        line = self.out.wait_for(lambda line: text in line, timeout)
        if line is None:
            raise RuntimeError("never said %r: %s" % (text, "\n".join(self.lines[-20:])))
        return line

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGINT)
            try:
                self.p.wait(10)
            except subprocess.TimeoutExpired:
                self.p.kill()


def shipped_broker(work, extra=""):
    broker = Broker(work, extra=extra)
    broker.start()
    return broker


def build_hub(work):
    hub = os.path.join(work, "hub")
    subprocess.run([os.path.join(ROOT, "scripts", "build-hub"), hub], check=True)
    return hub


def start_hub(hub, work, robots, env=None, **settings):
    port = free_port()
    config = dict(robots=robots, port=port, allow_anonymous=True, allow_security_none=True,
                  pki_folder=os.path.join(work, "pki"), **settings)
    path = os.path.join(work, "hub.json")
    with open(path, "w") as f:
        json.dump(config, f)
    p = Process([NODE, os.path.join(hub, "hub.js"), "--config", path], env=env)
    p.wait_for("Ctrl+C stops")
    return p, "opc.tcp://127.0.0.1:%d" % port


def subscriber(hub, endpoint, robots, prefix, seconds, publishing=10, axes=1):
    p = Process([NODE, os.path.join(HERE, "hub", "opcua_subscriber.js"),
                 json.dumps(dict(endpoint=endpoint, robots=robots, prefix=prefix, seconds=seconds,
                                 publishing=publishing, axes=axes))],
                env=dict(os.environ, NODE_PATH=opcua_reader.HUB_LIBRARIES))
    p.wait_for('"ready"', 60)
    return p


def result_of(process, timeout):
    process.p.wait(timeout)
    return json.loads(process.wait_for('"counts"', 1))


def feed(broker, robots, rate, seconds, seq_from=1):
    return Process([NODE, os.path.join(HERE, "hub", "bridge_feed.js"),
                    json.dumps(dict(broker="mqtt://127.0.0.1:%d" % broker.port, robots=robots, rate=rate,
                                    seconds=seconds, username=HUB_LOGIN[0], password=HUB_LOGIN[1],
                                    seq_from=seq_from))],
                   env=dict(os.environ, NODE_PATH=opcua_reader.HUB_LIBRARIES))


class CutProxy:
    """A TCP relay from a port of its own to the broker's, whose connections can
    be cut at once (as a network would) while it goes on taking new ones."""

    def __init__(self, port):
        self.port, self.pairs, self.lock = port, [], threading.Lock()
        self.server = socket.create_server(("127.0.0.1", 0))
        self.listen_port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                a, _ = self.server.accept()
            except OSError:
                return
            b = socket.create_connection(("127.0.0.1", self.port))
            with self.lock:
                self.pairs.append((a, b))
            for x, y in ((a, b), (b, a)):
                threading.Thread(target=self._pump, args=(x, y), daemon=True).start()

    @staticmethod
    def _pump(x, y):
        try:
            while True:
                data = x.recv(65536)
                if not data:
                    break
                y.sendall(data)
        except OSError:
            pass
        CutProxy._shut(x, y)

    @staticmethod
    def _shut(*sockets):
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for a, b in pairs:
            CutProxy._shut(a, b)


def cell_robots(count):
    """The robots of a cell read from the broker, as the feed publishes them."""
    return [{"name": "bench%d" % k, "topic": "bench/robot%d" % k} for k in range(1, count + 1)]


def cell(args):
    with tempfile.TemporaryDirectory() as work:
        hub_dir = build_hub(work)
        broker = shipped_broker(work)
        robots = cell_robots(args.robots)
        proxy = CutProxy(broker.port) if args.drop else None
        if args.websockets:  # the browsers' listener: read only, no login
            hub, endpoint = start_hub(hub_dir, work, robots, broker="ws://127.0.0.1:%d" % broker.ws_port)
        else:  # the bridge's listener, with its login
            hub, endpoint = start_hub(hub_dir, work, robots, env=dict(os.environ, DRAXION_MQTT_PASSWORD=HUB_LOGIN[1]),
                                      broker="mqtt://127.0.0.1:%d" % (proxy.listen_port if proxy else broker.port),
                                      broker_username=HUB_LOGIN[0])
        try:
            hub.wait_for("connected to the broker")
            sub = subscriber(hub_dir, endpoint, args.robots, "bench", args.seconds + 15, axes=args.axes)
            main0, all0, t0 = cpu_seconds(hub.p.pid, hub.p.pid), cpu_seconds(hub.p.pid), time.monotonic()
            f = feed(broker, args.robots, args.rate, args.seconds)
            if proxy:
                time.sleep(args.seconds / 2)  # the scenario: a cut halfway through the run
                proxy.cut()
                hub.wait_for("back at the broker", 30)
            f.p.wait(args.seconds + 60)
            main1, all1, t1 = cpu_seconds(hub.p.pid, hub.p.pid), cpu_seconds(hub.p.pid), time.monotonic()
            published = json.loads(f.wait_for('"published"', 1))
            got = result_of(sub, 60)
            counts = got["counts"]
            missed = [line for line in hub.lines if "never arrived" in line]
            print("| %d robots at %d updates/s, %d s, hub reading %s, %d item(s) a robot%s | |\n|---|---:|" % (
                args.robots, args.rate, args.seconds, "WebSockets" if args.websockets else "MQTT (TCP)", args.axes,
                ", its connection cut once halfway" if proxy else ""))
            print("| updates published, per robot | %d |" % published["per_robot"])
            print("| notifications per item: fewest, most | %d, %d |" % (min(counts), max(counts)))
            print("| items with every update | %d of %d |" % (sum(c >= published["per_robot"] for c in counts),
                                                          len(counts)))
            if proxy:
                print("| hub: its connection lost and back | %s |" % "; ".join(
                    line for line in hub.lines if "the broker at" in line)[-300:])
            print("| source time to notification: median, p99, max | %s, %s, %s ms |" % (
                got["median_ms"], got["p99_ms"], got["max_ms"]))
            print("| notifications with the overflow bit | %d |" % got["overflows"])
            print("| hub: main thread CPU, whole process CPU (of one core) | %.0f %%, %.0f %% |" % (
                100 * (main1 - main0) / (t1 - t0), 100 * (all1 - all0) / (t1 - t0)))
            print("| hub: resident memory at the end | %.0f MB |" % rss_mb(hub.p.pid))
            print("| hub said updates never arrived | %s |" % ("; ".join(missed[-3:]) or "no"))
        finally:
            hub.stop()
            broker.stop()


def history(args):
    """The recorder's cost, in one run: the cell of `cell` (N robots from the broker,
    one subscriber on each robot's axis1) with the history off, then on; then
    HistoryRead of one hour of one axis (360,000 values; --read-hours) from a history filled for it."""
    with tempfile.TemporaryDirectory() as work:
        hub_dir = build_hub(work)
        broker = shipped_broker(work)
        robots = cell_robots(args.robots)
        login = dict(env=dict(os.environ, DRAXION_MQTT_PASSWORD=HUB_LOGIN[1]), broker_username=HUB_LOGIN[0],
                     broker="mqtt://127.0.0.1:%d" % broker.port)
        results, seq = {False: [], True: []}, 1
        try:
            # Off and on in turns, so that both see the machine alike.
            for recording in [False, True] * args.rounds:
                folder = os.path.join(work, "history")
                hub, endpoint = start_hub(hub_dir, work, robots, history=recording, history_folder=folder, **login)
                try:
                    hub.wait_for("connected to the broker")
                    sub = subscriber(hub_dir, endpoint, args.robots, "bench", args.seconds + 15)
                    main0, all0, t0 = cpu_seconds(hub.p.pid, hub.p.pid), cpu_seconds(hub.p.pid), time.monotonic()
                    f = feed(broker, args.robots, args.rate, args.seconds, seq_from=seq)
                    f.p.wait(args.seconds + 60)
                    main1, all1, t1 = cpu_seconds(hub.p.pid, hub.p.pid), cpu_seconds(hub.p.pid), time.monotonic()
                    published = json.loads(f.wait_for('"published"', 1))["per_robot"]
                    seq += published
                    got = result_of(sub, 60)
                    results[recording].append(dict(got=got, published=published, main=(main1 - main0) / (t1 - t0),
                                                   all=(all1 - all0) / (t1 - t0), rss=rss_mb(hub.p.pid)))
                finally:
                    hub.stop()
                if recording:
                    results[recording][-1]["bytes"] = sum(os.path.getsize(os.path.join(folder, f))
                                                          for f in os.listdir(folder))
                    shutil.rmtree(folder)
            hour = os.path.join(work, "hour")
            filled = json.loads(subprocess.run([NODE, os.path.join(HERE, "hub", "history_read.js"), "fill", hour,
                                                "bench1", str(round(args.read_hours * 360000))], capture_output=True,
                                               text=True, check=True).stdout)
            hub, endpoint = start_hub(hub_dir, work, robots[:1], history_folder=hour, **login)
            try:
                before = rss_mb(hub.p.pid, "VmHWM")
                read = subprocess.run([NODE, os.path.join(HERE, "hub", "history_read.js"), "read", json.dumps(dict(
                    endpoint=endpoint, nodeId="ns=2;s=bench1.axis1", **{k: filled[k] for k in ("from", "to")}))],
                    capture_output=True, text=True, env=dict(os.environ, NODE_PATH=opcua_reader.HUB_LIBRARIES))
                hour_read = json.loads(read.stdout.strip().splitlines()[-1])
                hour_read["peak"] = (before, rss_mb(hub.p.pid, "VmHWM"))
            finally:
                hub.stop()
        finally:
            broker.stop()
    row = lambda what, f: print("| %s | %s | %s |" % (  # noqa: E731
        what, "; ".join(f(r) for r in results[False]), "; ".join(f(r) for r in results[True])))
    print("| %d robots at %d updates/s, %d s, one item a robot; %d run(s) of each, in turns | history off | "
          "history on |\n|---|---:|---:|" % (args.robots, args.rate, args.seconds, args.rounds))
    row("updates published, per robot", lambda r: "%d" % r["published"])
    row("notifications per item: fewest, most", lambda r: "%d, %d" % (min(r["got"]["counts"]), max(r["got"]["counts"])))
    row("source time to notification: median, p99, max (ms)", lambda r: "%s, %s, %s" % (
        r["got"]["median_ms"], r["got"]["p99_ms"], r["got"]["max_ms"]))
    row("hub: main thread CPU, whole process CPU (of one core)", lambda r: "%.0f %%, %.0f %%" % (
        100 * r["main"], 100 * r["all"]))
    row("hub: resident memory at the end", lambda r: "%.0f MB" % r["rss"])
    hours = args.robots * args.seconds / 3600
    print("| history file (with its write-ahead log) | | %s |" % "; ".join(
        "%d bytes: %.0f MB a robot-hour" % (r["bytes"], r["bytes"] / hours / 1e6) for r in results[True]))
    print("\nHistoryRead of %g hour(s) of one axis: %d values in %d pages, %.2f s, %d bytes received (%.1f MB); "
          "the hub's peak resident memory %.0f MB before, %.0f MB after" % (
              args.read_hours, hour_read["values"], hour_read["pages"], hour_read["seconds"], hour_read["bytes"], hour_read["bytes"] / 1e6,
              *hour_read["peak"]))


class PacedGateway(StandInGateway):
    """A stand-in gateway sending the report's records at rate per second, values
    changing each time, from the moment the hub connects."""

    def __init__(self, folder, name, rate):
        super().__init__(folder, name)
        self.rate, self.sent, self.stopped = rate, 0, False
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        self.accept(timeout=120)
        start = time.time()
        while not self.stopped:
            self.sent += 1
            v = self.sent / 10
            self.send([v, -v, 0.0, 0.0, 0.0, 1.0], "live", time.time(), start)
            time.sleep(max(0.0, start + self.sent / self.rate - time.time()))
        self.client.close()


def old_bridge(work):
    """The MQTT bridge of 1.1.0, from git: a folder to put on PYTHONPATH."""
    folder = os.path.join(work, "old", "draxion_axis")
    os.makedirs(folder)
    for name in ("__init__.py", "framing.py", "sources.py", "mqtt_bridge.py"):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(subprocess.run(["git", "-C", ROOT, "show", "%s:clients/python/draxion_axis/%s" % (OLD_RELEASE, name)],
                                   check=True, capture_output=True).stdout)
    return os.path.dirname(folder)


def counter(port, topics):
    """A subscriber that counts the messages on each topic."""
    import paho.mqtt.client as mqtt
    counts, client = dict.fromkeys(topics, 0), mqtt.Client()
    client.username_pw_set(*HUB_LOGIN)
    client.on_connect = lambda c, u, f, rc: c.subscribe([(t, 1) for t in topics])
    client.on_message = lambda c, u, m: counts.__setitem__(m.topic, counts[m.topic] + 1)
    client.connect("127.0.0.1", port)
    client.loop_start()
    return client, counts


def footprint(args):
    with tempfile.TemporaryDirectory() as work:
        hub_dir = build_hub(work)
        old = old_bridge(work)
        broker = shipped_broker(work)
        pipes = os.path.join(work, "pipes")
        os.makedirs(pipes)
        sub, counts = counter(broker.port, ["bench/hub", "bench/bridge"])
        time.sleep(0.5)
        gateway = PacedGateway(pipes, "bench_gateway", 100)
        hub, _ = start_hub(hub_dir, work, [{"name": "bench1", "pipe": "bench_gateway", "publish": "bench/hub"}],
                           env=dict(os.environ, DRAXION_HUB_PIPE_DIR=pipes, DRAXION_MQTT_PASSWORD=HUB_LOGIN[1]),
                           opcua=False, broker="mqtt://127.0.0.1:%d" % broker.port, broker_username=HUB_LOGIN[0])
        # The bridge of 1.1.0 reads what the axis monitor would print: the same records at 100 a second.
        bridge = subprocess.Popen([sys.executable, "-m", "draxion_axis.mqtt_bridge", "--broker",
                                   "127.0.0.1:%d" % broker.port, "--topic", "bench/bridge", "--qos", "1", "--retain",
                                   "--source", "-", "--username", HUB_LOGIN[0]], stdin=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True,
                                  env=dict(os.environ, PYTHONPATH=old, DRAXION_MQTT_PASSWORD=HUB_LOGIN[1]))
        try:
            time.sleep(1)
            pids = {"hub (the pipe to MQTT)": hub.p.pid, "bridge of 1.1.0 (the monitor's CSV to MQTT)": bridge.pid,
                    "broker": broker.process.pid}
            before, got_before = {k: cpu_seconds(p) for k, p in pids.items()}, dict(counts)
            t0 = time.monotonic()
            start, n = time.time(), 0
            while time.monotonic() - t0 < args.seconds:
                n += 1
                now = time.time()
                bridge.stdin.write("%.3f,%r,%r,0.0,0.0,0.0,1.0,live,%r,%r,%d,%r\n" % (
                    now - start, n / 10, -n / 10, now, start, n, now))
                bridge.stdin.flush()
                time.sleep(max(0.0, start + n / 100 - time.time()))
            took = time.monotonic() - t0
            after, got = {k: cpu_seconds(p) for k, p in pids.items()}, dict(counts)
            print("| one robot at 100 updates/s, QoS 1, %d s, side by side | CPU (of one core) | resident memory |\n"
                  "|---|---:|---:|" % args.seconds)
            for k, p in pids.items():
                print("| %s | %.1f %% | %.0f MB |" % (k, 100 * (after[k] - before[k]) / took, rss_mb(p)))
            print("\nmessages a subscriber got meanwhile: from the hub %d, from the bridge %d (%.0f s at 100 a second)"
                  % (got["bench/hub"] - got_before["bench/hub"], got["bench/bridge"] - got_before["bench/bridge"], took))
        finally:
            gateway.stopped = True
            bridge.stdin.close()
            bridge.wait(30)
            hub.stop()
            sub.loop_stop()
            broker.stop()


def brokers(args):
    """The same robots published to the hub's own broker and to mosquitto (the
    shipped configuration), one after the other, read by one subscriber."""
    results = []
    with tempfile.TemporaryDirectory() as work:
        hub_dir = build_hub(work)
        for own in (True, False):
            folder = os.path.join(work, "own" if own else "mosquitto")
            os.makedirs(os.path.join(folder, "pipes"))
            broker = None if own else shipped_broker(folder)
            port = free_port() if own else broker.port
            gateways = [PacedGateway(os.path.join(folder, "pipes"), "bench%d" % k, 100)
                        for k in range(1, args.robots + 1)]
            robots = [{"name": "bench%d" % k, "pipe": "bench%d" % k, "publish": "bench/robot%d" % k}
                      for k in range(1, args.robots + 1)]
            settings = dict(broker_port=port, page_port=free_port(), page_folder=folder) if own else dict(
                broker="mqtt://127.0.0.1:%d" % port, broker_username=HUB_LOGIN[0])
            hub, _ = start_hub(hub_dir, folder, robots, opcua=False, env=dict(
                os.environ, DRAXION_HUB_PIPE_DIR=os.path.join(folder, "pipes"), DRAXION_MQTT_PASSWORD=HUB_LOGIN[1]),
                **settings)
            sub = Process([NODE, os.path.join(HERE, "hub", "mqtt_subscriber.js"), "mqtt://127.0.0.1:%d" % port,
                           "bench/#", "" if own else HUB_LOGIN[0]],
                          env=dict(os.environ, NODE_PATH=opcua_reader.HUB_LIBRARIES,
                                   DRAXION_MQTT_PASSWORD="" if own else HUB_LOGIN[1]))
            try:
                sub.wait_for("ready", 20)
                time.sleep(2)
                pids = [hub.p.pid] + ([] if own else [broker.process.pid])
                skip, before, t0 = len(sub.lines), [cpu_seconds(p) for p in pids], time.monotonic()
                time.sleep(args.seconds)
                took, after, lines = time.monotonic() - t0, [cpu_seconds(p) for p in pids], sub.lines[skip:]
                delays = []
                for line in lines:
                    at, text = line.split(" ", 1)
                    m = json.loads(text)
                    if "seq" in m:
                        delays.append(float(at) - m["time"] * 1000)
                cpu = [100 * (a - b) / took for a, b in zip(after, before)]
                results.append(("the hub's own" if own else "mosquitto (shipped configuration)", len(delays) / took,
                                summary(delays), cpu, [rss_mb(p) for p in pids]))
            finally:
                for g in gateways:
                    g.stopped = True
                sub.p.kill()
                hub.stop()
                if broker is not None:
                    broker.stop()
    print("| %d robots at 100 updates/s, QoS 1, %d s | messages/s to the subscriber | hub read to subscriber: "
          "median, p99, max | hub CPU, RSS | broker CPU, RSS |\n|---|---:|---:|---:|---:|" % (args.robots, args.seconds))
    for what, rate, (median, p99, most), cpu, rss in results:
        print("| %s | %.0f | %.1f, %.1f, %.1f ms | %.0f %%, %.0f MB | %s |" % (
            what, rate, median, p99, most, cpu[0], rss[0],
            "%.0f %%, %.0f MB" % (cpu[1], rss[1]) if len(cpu) > 1 else "(in the hub)"))


def overflow(args):
    """The hub stopped (SIGSTOP) while ten bridges publish: the broker's queue for
    it (here 1,000 messages) overflows once the socket's buffers are full, and the
    hub must count what it lost."""
    with tempfile.TemporaryDirectory() as work:
        hub_dir = build_hub(work)
        broker = shipped_broker(work, "max_queued_messages 1000")
        robots = [{"name": "bench%d" % k, "topic": "bench/robot%d" % k} for k in range(1, 11)]
        hub, endpoint = start_hub(hub_dir, work, robots, broker="ws://127.0.0.1:%d" % broker.ws_port)
        try:
            hub.wait_for("connected to the broker")
            f = feed(broker, 10, 100, 1)
            f.p.wait(30)
            time.sleep(1)
            hub.p.send_signal(signal.SIGSTOP)
            f = feed(broker, 10, 1000, 4, json.loads(f.wait_for('"published"', 1))["last_seq"] + 1)
            f.p.wait(60)  # some 40,000 updates while the hub cannot take them
            published = json.loads(f.wait_for('"published"', 1))
            hub.p.send_signal(signal.SIGCONT)
            time.sleep(2)
            feed(broker, 10, 100, 1, published["last_seq"] + 1).p.wait(30)  # a gap shows when the next update comes
            said = hub.wait_for("never arrived", 20)
            time.sleep(2)
            c = opcua_reader.Client(hub_dir, endpoint, security=("None", "None"))
            missed = [r["value"] for r in c.read(["ns=2;s=bench%d.missed" % k for k in range(1, 11)])]
            c.close()
            print("published while the hub was stopped: %d per robot\nthe hub said, first: %s\n"
                  "benchN.missed: %s" % (published["per_robot"], said, missed))
            print("\n".join(line for line in hub.lines if "broker" in line))
        finally:
            hub.stop()
            broker.stop()


def latency(args):
    package = wine_chain.needed_package()
    with tempfile.TemporaryDirectory() as work:
        desktop = wine_chain.Desktop()
        hub = None
        try:
            simulator = wine_chain.Simulator(desktop)
            desktop.start("gateway.exe", simulator.main, "1", "hub_bench", stdout=subprocess.DEVNULL)
            if desktop.start("box_user.exe", "--timeout", "60", stdout=subprocess.DEVNULL).wait(90) != 0:
                sys.exit("hub_bench: nobody answered the gateway's box")
            port = free_port()
            hub = wine_chain.WineHub(desktop, package, work, {
                "robots": [{"name": "robot1", "pipe": "hub_bench"}], "port": port, "allow_anonymous": True,
                "allow_security_none": True, "pki_folder": os.path.join(work, "pki")})
            c = opcua_reader.Client(os.path.join(package, "hub"), "opc.tcp://127.0.0.1:%d" % port,
                                    security=("None", "None"))
            c.watch([opcua_reader.AXES[0]], 0, 100, publishing=10)
            opcua_reader.until_read(c, opcua_reader.AXES[:1], lambda g: g[0]["status"] == "Good", timeout=30)
            import random
            delays = []
            for i in range(args.changes):
                time.sleep(random.uniform(0, 0.02))  # any phase of the cycle
                text = "%d,%d" % (1000 + i, i % 10)
                want = opcua_reader.hex_bits([(10000 + 10 * i + i % 10) / 10])[0]
                painted = simulator.tell("set 1 0 " + text)
                deadline = time.monotonic() + 5
                while time.monotonic() < deadline:
                    with c.ready:
                        at = next((m["at"] for m in c.changes if m["bits"] == want), None)
                    if at is not None:
                        break
                    time.sleep(0.002)
                if at is None:
                    sys.exit("hub_bench: change %d never notified" % i)
                delays.append(at - painted * 1000)
            c.close()
            print("| repaint to an OPC UA notification, hub on node.exe under Wine, publishing interval 10 ms "
                  "(%d changes) | median | p99 | max |\n|---|---:|---:|---:|" % args.changes)
            print("| | %.1f ms | %.1f ms | %.1f ms |" % summary(delays))
            simulator.tell("quit")
        finally:
            if hub is not None:
                hub.stop()
            desktop.stop()

def start(args):
    """Starts under Wine, in turns, of the hub as packed now and as laid out
    unpacked (as shipped until now): one robot served over OPC UA, and a cell of two robots
    whose gateways it keeps, publishing to mosquitto; seconds from the launch of
    node.exe to the line that says it serves (its OPC UA port then answers), and
    every will the broker published while a hub started."""
    if wine_chain.missing():
        sys.exit("hub_bench: needs %s" % wine_chain.missing())
    kits = {"packed": wine_chain.hub_kit(),
            "unpacked": args.against or wine_chain.hub_kit(unbundled=True)}
    with tempfile.TemporaryDirectory() as work:
        broker = Broker(work)
        broker.start()
        cell = wine_chain.Cell.LEVELS
        topics = ["/".join(list(cell.values()) + ["benchpc", "robot%d" % r, "axes/status"]) for r in (1, 2)]
        watch = wine_chain.Watch(broker.port, topics)
        desktop = wine_chain.Desktop()
        simulator = wine_chain.Simulator(desktop, "--robot", "1", "--robot", "2")
        one = dict(robots=[{"name": "robot1", "pipe": "bench_start_idle"}], allow_anonymous=True)
        two = dict(cell, machine="benchpc", allow_anonymous=True, broker="mqtt://127.0.0.1:%d" % broker.port,
                   broker_username=HUB_LOGIN[0], gateway=wine_chain.windows_path(os.path.join(wine_chain.BIN, "gateway.exe")),
                   robots=[{"number": 1}, {"number": 2}])
        took = {(kit, what): [] for kit in kits for what in ("one", "cell")}
        wills = {kit: 0 for kit in kits}
        try:
            for round_ in range(args.rounds + 1):  # round 0 makes each kit's certificate, and is not counted
                for kit, path in kits.items():
                    for what, config in (("one", one), ("cell", two)):
                        folder = os.path.join(work, kit + "-" + what)
                        os.makedirs(folder, exist_ok=True)
                        port = free_port()
                        config = dict(config, port=port, pki_folder=os.path.join(folder, "pki"))
                        with watch.lock:
                            before = len(watch.messages)
                        t0 = time.monotonic()
                        hub = wine_chain.WineHub(desktop, path, folder, config,
                                                 env={"DRAXION_MQTT_PASSWORD": HUB_LOGIN[1]})
                        served = time.monotonic() - t0
                        socket.create_connection(("127.0.0.1", port), 5).close()  # it serves
                        if what == "cell":
                            # Each robot's first status from this hub ends its start.
                            watch.until(lambda: len({t for _, t, m in watch.messages[before:]
                                                     if not wine_chain.is_will(m)}) == 2, 60)
                            wills[kit] += len(watch.wills(before))
                        if round_:
                            took[(kit, what)].append(served)
                        print("%s %s: serving after %.1f s%s" % (kit, what, served, "" if round_ else " (first start)"),
                              flush=True)
                        hub.stop()
                        if what == "cell":
                            # The killed hub's wills, waited for, so that the next start does not count them.
                            with watch.lock:
                                after = len(watch.messages)
                            watch.until(lambda: len(watch.wills(after)) == 2, 30)
                            for pid in wine_chain.windows_processes("gateway.exe"):
                                os.kill(pid, signal.SIGKILL)
            print("| hub | one robot, OPC UA: median (min-max) | two-robot cell: median (min-max) | wills while starting |")
            print("|---|---|---|---|")
            for kit in kits:
                cells = []
                for what in ("one", "cell"):
                    t = sorted(took[(kit, what)])
                    cells.append("%.1f s (%.1f-%.1f)" % (t[len(t) // 2], t[0], t[-1]))
                print("| %s | %s | %s | %d in %d starts |" % (kit, cells[0], cells[1], wills[kit], args.rounds + 1))
        finally:
            simulator.tell("quit")
            watch.close()
            desktop.stop()
            broker.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=("latency", "footprint", "cell", "overflow", "brokers", "start", "history"))
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=None, help="starts of each hub (start: 5), runs of each (history: 2)")
    parser.add_argument("--against", help="an unpacked release package to start beside the packed hub, in place of "
                                          "this tree's hub unpacked (start)")
    parser.add_argument("--robots", type=int, default=100)
    parser.add_argument("--rate", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--websockets", action="store_true", help="the hub reads the broker's WebSocket listener")
    parser.add_argument("--axes", type=int, default=1, choices=range(1, 7), help="monitored items a robot (cell)")
    parser.add_argument("--drop", action="store_true", help="cut the hub's connection to the broker once (cell)")
    parser.add_argument("--read-hours", type=float, default=1, help="hours of one axis read by HistoryRead (history)")
    args = parser.parse_args()
    if args.rounds is None:
        args.rounds = 2 if args.what == "history" else 5
    {"latency": latency, "footprint": footprint, "cell": cell, "overflow": overflow, "brokers": brokers,
     "start": start, "history": history}[args.what](args)


if __name__ == "__main__":
    main()
