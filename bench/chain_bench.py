#!/usr/bin/python3
"""The delay through the whole chain, under Wine: from the host simulator's repaint
of a changed value to the MQTT subscriber and to the live page, with gateway.exe
reporting its state and the hub on Windows' node.exe reading its pipe and
publishing (support/wine_chain.py).

    /usr/bin/python3 bench/chain_bench.py [--changes N]

Needs the Windows build; prints median, p99 and max of each delay in ms."""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NODE = os.path.join(HERE, "..", "scripts", "node")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import wine_chain  # noqa: E402
from opcua_reader import HUB_LIBRARIES  # noqa: E402



def summary(delays):
    d = sorted(delays)
    return d[len(d) // 2], d[min(len(d) - 1, len(d) * 99 // 100)], d[-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--changes", type=int, default=200)
    parser.add_argument("--no-page", action="store_true",
                        help="without the page in Chromium, which shares this machine's two cores with the chain")
    args = parser.parse_args()
    if wine_chain.missing():
        sys.exit("chain_bench: needs %s" % wine_chain.missing())
    with tempfile.TemporaryDirectory() as work:
        chain, sub = wine_chain.Chain(work), None
        try:
            arrivals, lock, ready = {}, threading.Lock(), threading.Event()
            sub = subprocess.Popen([NODE, os.path.join(HERE, "hub", "mqtt_subscriber.js"), "mqtt://127.0.0.1:%d" % chain.port,
                                    chain.topic, wine_chain.HUB_LOGIN[0]], stdout=subprocess.PIPE, text=True,
                                   env=dict(os.environ, NODE_PATH=HUB_LIBRARIES,
                                            DRAXION_MQTT_PASSWORD=wine_chain.HUB_LOGIN[1]))

            def read():
                for line in sub.stdout:
                    if line == "ready\n":  # its subscription is in place (a retained message may come first)
                        ready.set()
                        continue
                    at, text = line.split(" ", 1)
                    m = json.loads(text)
                    with lock:
                        arrivals.setdefault(m["values"][0], (float(at) / 1000, m["time"], m.get("confirmed") or 0))
            threading.Thread(target=read, daemon=True).start()
            if not ready.wait(30):
                sys.exit("chain_bench: the MQTT subscriber did not subscribe")
            if not args.no_page:
                chain.open_page()
                chain.until_page("live values", lambda s: s["live"], timeout=60)
            to_subscriber, to_page, to_hub, to_cycle = [], [], [], []
            for i in range(args.changes):
                time.sleep(random.uniform(0, 0.02))  # any phase of the cycle
                text, want = "%d,%d" % (1000 + i, i % 10), (10000 + 10 * i + i % 10) / 10
                painted = chain.simulator.tell("set 1 0 " + text)
                if args.no_page:
                    deadline = time.monotonic() + 5
                    while want not in arrivals and time.monotonic() < deadline:
                        time.sleep(0.005)
                else:
                    s = chain.until_page("the change", lambda s: s["texts"] and float(s["texts"][0]) == want, timeout=5)
                    to_page.append(s["arrivedAt"] - painted * 1000)
                with lock:
                    to_subscriber.append((arrivals[want][0] - painted) * 1000)
                    to_hub.append((arrivals[want][1] - painted) * 1000)
                    to_cycle.append((arrivals[want][2] - painted) * 1000)
            print("| repaint to ... (%d changes) | median | p99 | max |\n|---|---:|---:|---:|" % args.changes)
            for what, d in (("the start of the cycle that sent it (its confirmed time)", to_cycle),
                            ("the hub, as it reads the pipe", to_hub),
                            ("MQTT subscriber", to_subscriber), ("live page", to_page)):
                if d:
                        print("| %s | %.1f ms | %.1f ms | %.1f ms |" % ((what,) + summary(d)))
            chain.simulator.tell("quit")
        finally:
            if sub is not None:
                sub.kill()
            chain.close()


if __name__ == "__main__":
    main()
