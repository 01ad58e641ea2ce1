"""The whole chain under Wine: gateway.exe with the state report, the axis monitor
as its pipe client, the bridge reading the monitor's CSV, mosquitto, and the live
page in headless Chromium, while the host simulator covers, moves and minimises
the jog window and changes a value during each hold (support/wine_chain.py)."""

import pytest

import wine_chain

SHOWN = ["12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"]  # the simulator's start values


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
        holds = [("cover 1 right", "uncover", "covered"), ("move 1 -150 40", "move 1 480 40", "off_screen"),
                 ("cover 1", "uncover", "covered"), ("minimize 1", "restore 1", "minimized")] * 2
        slowest = 0
        for i, (spoil, mend, cause) in enumerate(holds):
            covered_at = chain.simulator.tell(spoil) * 1000
            s = chain.until_page("held (%s)" % cause, lambda s: s["valuesState"] == cause, timeout=5)
            took = s["changes"][-1]["at"] - covered_at
            slowest = max(slowest, took)
            assert took <= 500, "%s: the page said held %.0f ms after it" % (spoil, took)
            assert not s["live"]
            text = "%d,%d" % (100 + i, i % 10)
            shown[5].add(value_of(text))
            chain.simulator.tell("set 1 5 " + text)  # while held: not to be shown as live until whole
            chain.simulator.tell(mend)
            chain.until_page("live again after " + mend,
                             lambda s: s["live"] and float(s["texts"][5]) == value_of(text), timeout=5)
        print("the page said held at most %.0f ms after a hold began" % slowest)

        chain.simulator.tell("quit")  # the owner window closes: the gateway ends normally
        assert chain.gateway.wait(30) == 0, chain.gateway_out.text()
        s = chain.until_page("the bridge offline", lambda s: s["status"] == "offline", timeout=20)
        assert "the gateway has gone (exit code 0" in s["reason"], s["reason"]
        assert chain.browser.find_element("id", "reason").text.endswith("[exit code 0]")
        assert not s["live"]
        assert chain.bridge.wait(30) == 0, chain.bridge_err.text()
        for seen in s["liveSeen"]:
            values = [float(v) for v in seen.split(",")]
            for k, v in enumerate(values):
                assert v in shown[k], "shown as live, never on screen: field %d = %r (%s)" % (k, v, seen)
        assert len(s["liveSeen"]) == 1 + len(holds)
    finally:
        chain.close()
