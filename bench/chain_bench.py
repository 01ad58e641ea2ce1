#!/usr/bin/python3
"""The delay through the whole chain, under Wine: from the host simulator's repaint
of a changed value to the MQTT subscriber and to the live page, with gateway.exe
reporting its state, the axis monitor as its pipe client and the bridge reading
the monitor's CSV (support/wine_chain.py).

    /usr/bin/python3 bench/chain_bench.py [--changes N]

Needs the Windows build; prints median, p99 and max of each delay in ms."""

import argparse
import json
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_chain  # noqa: E402

import paho.mqtt.client as mqtt  # noqa: E402


def summary(delays):
    d = sorted(delays)
    return d[len(d) // 2], d[min(len(d) - 1, len(d) * 99 // 100)], d[-1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--changes", type=int, default=200)
    args = parser.parse_args()
    if wine_chain.missing():
        sys.exit("chain_bench: needs %s" % wine_chain.missing())
    with tempfile.TemporaryDirectory() as work:
        chain = wine_chain.Chain(work)
        try:
            arrivals, lock = {}, threading.Lock()

            def on_message(client, userdata, message):
                m = json.loads(message.payload)
                with lock:
                    arrivals.setdefault(m["values"][0], (time.time(), m["time"], m.get("confirmed") or 0))

            api = getattr(mqtt, "CallbackAPIVersion", None)
            sub = mqtt.Client(api.VERSION1) if api else mqtt.Client()
            sub.on_connect = lambda c, u, f, rc: c.subscribe(chain.topic, qos=1)
            sub.on_message = on_message
            sub.connect("127.0.0.1", chain.port)
            sub.loop_start()
            chain.open_page()
            chain.until_page("live values", lambda s: s["live"], timeout=60)
            to_subscriber, to_page, to_bridge, to_cycle = [], [], [], []
            for i in range(args.changes):
                time.sleep(random.uniform(0, 0.02))  # any phase of the cycle
                text, want = "%d,%d" % (1000 + i, i % 10), (10000 + 10 * i + i % 10) / 10
                painted = chain.simulator.tell("set 1 0 " + text)
                s = chain.until_page("the change", lambda s: s["texts"] and float(s["texts"][0]) == want, timeout=5)
                with lock:
                    to_subscriber.append((arrivals[want][0] - painted) * 1000)
                    to_bridge.append((arrivals[want][1] - painted) * 1000)
                    to_cycle.append((arrivals[want][2] - painted) * 1000)
                to_page.append(s["arrivedAt"] - painted * 1000)
            sub.loop_stop()
            print("| repaint to ... (%d changes) | median | p99 | max |\n|---|---:|---:|---:|" % args.changes)
            for what, d in (("the start of the cycle that sent it (its confirmed time)", to_cycle),
                            ("the bridge, as it reads the monitor's line", to_bridge),
                            ("MQTT subscriber", to_subscriber), ("live page", to_page)):
                print("| %s | %.1f ms | %.1f ms | %.1f ms |" % ((what,) + summary(d)))
            chain.simulator.tell("quit")
        finally:
            chain.close()


if __name__ == "__main__":
    main()
