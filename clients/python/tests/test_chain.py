"""The whole chain under Wine: gateway.exe with the state report, the hub on
Windows' node.exe reading its pipe and publishing to mosquitto, and the live page
in headless Chromium, while for three minutes the host simulator covers, moves
and minimises the jog window at random, changing values while live and while
held (support/wine_chain.py)."""

import os
import random
import time

import pytest

import wine_chain

pytestmark = pytest.mark.node_exe  # the hub on node.exe 24, which needs Wine 10

SHOWN = ["12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"]  # the simulator's start values
CHAOS_S = float(os.environ.get("DRAXION_CHAOS_S", 180))
HOLDS = [("cover 1 right", "uncover", "covered"), ("move 1 -150 40", "move 1 480 40", "off_screen"),
         ("cover 1", "uncover", "covered"), ("minimize 1", "restore 1", "minimized")]


def value_of(text):
    """What the gateway reads from a field's text: its digits and minus, over ten."""
    return float(text.replace(",", "")) / 10


def test_the_page_shows_held_values_as_held_and_only_shown_values_as_live(tmp_path):
    if wine_chain.missing():
        pytest.fail("the chain needs %s (scripts/test builds and installs it)" % wine_chain.missing())
    chain = wine_chain.Chain(str(tmp_path))
    try:
        chain.open_page()
        shown = [{value_of(t)} for t in SHOWN]
        chain.until_page("the first live values", lambda s: s["live"] and s["texts"] is not None, timeout=60)
        rng, slowest, holds, n = random.Random(4711), 0, 0, 0
        begun = time.monotonic()
        while time.monotonic() - begun < CHAOS_S:
            for _ in range(rng.randint(0, 2)):  # changes while live
                n += 1
                k, text = rng.randrange(6), "%d,%d" % (rng.randint(-9999, 9999), n % 10)
                shown[k].add(value_of(text))
                chain.simulator.tell("set 1 %d %s" % (k, text))
            spoil, mend, cause = rng.choice(HOLDS)
            covered_at = chain.simulator.tell(spoil) * 1000
            s = chain.until_page("held (%s)" % cause, lambda s: s["valuesState"] == cause, timeout=5)
            took = s["changes"][-1]["at"] - covered_at
            slowest = max(slowest, took)
            assert took <= 500, "%s: the page said held %.0f ms after it" % (spoil, took)
            assert not s["live"]
            n += 1
            text = "%d,%d" % (100 + n, n % 10)
            shown[5].add(value_of(text))
            chain.simulator.tell("set 1 5 " + text)  # while held: not to be shown as live until whole
            chain.simulator.tell(mend)
            chain.until_page("live again after " + mend,
                             lambda s: s["live"] and float(s["texts"][5]) == value_of(text), timeout=5)
            holds += 1
        print("%d holds in %.0f s; the page said held at most %.0f ms after a hold began"
              % (holds, time.monotonic() - begun, slowest))

        chain.simulator.tell("quit")  # the owner window closes: the gateway ends normally
        assert chain.gateway.wait(30) == 0, chain.gateway_out.text()
        s = chain.until_page("the hub offline with the exit code",
                             lambda s: s["status"] == "offline" and "exit code" in s["reason"], timeout=20)
        assert "the gateway has gone (exit code 0" in s["reason"], s["reason"]
        assert chain.browser.find_element("id", "reason").text.endswith("[exit code 0]")
        assert not s["live"]
        for seen in s["liveSeen"]:
            values = [float(v) for v in seen.split(",")]
            for k, v in enumerate(values):
                assert v in shown[k], "shown as live, never on screen: field %d = %r (%s)" % (k, v, seen)
    finally:
        chain.close()
