"""The hub as Windows code: from the unpacked release package, on its own
node.exe under Wine, reading gateway.exe's pipe while the host simulator shows,
changes, covers and closes the jog window; read over OPC UA by node-opcua's
client on Linux, with the shipped security (Basic256Sha256 and a login)."""

import os

import pytest

import wine_chain
from opcua_reader import AXES, SIDE, Client, hex_bits, until_read

from rig import free_port

pytestmark = pytest.mark.node_exe  # the hub on node.exe 24, which needs Wine 10

START = [12.5, -0.5, 300.0, -1234.6, 0.0, 7.7]  # the simulator's start values
LOGIN = ("operator", "wine-pass-7713")


def test_the_hub_serves_gateway_exe_s_pipe_as_windows_code(tmp_path):
    package = wine_chain.needed_package()
    desktop = wine_chain.Desktop()
    hub = None
    try:
        simulator = wine_chain.Simulator(desktop)
        gateway = desktop.start("gateway.exe", simulator.main, "1", "hub_on_wine", stdout=wine_chain.subprocess.PIPE,
                                stderr=wine_chain.subprocess.STDOUT)
        gateway_out = wine_chain.Reader(gateway.stdout)
        port = free_port()
        hub = wine_chain.WineHub(desktop, package, str(tmp_path), {
            "robots": [{"name": "robot1", "pipe": "hub_on_wine", "units": {"axis1": "DD"}}], "port": port,
            "users_file": str(tmp_path / "users.txt"), "pki_folder": str(tmp_path / "pki")}, login=LOGIN)
        c = Client(os.path.join(package, "hub"), "opc.tcp://127.0.0.1:%d" % port, user=LOGIN)
        assert c.hello == {"connected": True}, (c.hello, hub.text())
        # The gateway waits in its information box: nothing confirmed yet, and no value at all.
        got = c.read(AXES + SIDE)
        assert [(r["status"], r["type"]) for r in got[:6]] == [("BadWaitingForInitialData", "Null")] * 6, got
        assert got[6]["value"] == "no_data"
        assert c.watch(AXES, 0, 1000, publishing=10) == [0] * 6 and c.publishing == 10

        box = desktop.start("box_user.exe", "--timeout", "60", stdout=wine_chain.subprocess.PIPE)
        assert box.wait(90) == 0, gateway_out.text()
        got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == "live", timeout=30)
        assert [r["bits"] for r in got[:6]] == hex_bits(START) and got[0]["status"] == "Good", got

        # Signs of zero, and a value, changed on screen: every change notified, bit for bit.
        shown = ["-0,0", "0,0", "-0,0", "0,0", "4,2", "-0,0"]
        for text in shown:
            simulator.tell("set 1 4 " + text)
            until_read(c, [AXES[4]], lambda g: g[0]["bits"] == hex_bits([float(text.replace(",", "")) / 10])[0])
        with c.ready:
            axis5 = [m["bits"] for m in c.changes if m["change"] == AXES[4] and m["status"] == "Good"]
        assert axis5 == hex_bits([0.0] + [float(t.replace(",", "")) / 10 for t in shown]), axis5

        # Each hold: its status code and cause, and live again afterwards.
        for spoil, mend, cause in (("cover 1", "uncover", "covered"), ("minimize 1", "restore 1", "minimized")):
            simulator.tell(spoil)
            got = until_read(c, AXES + SIDE, lambda g: g[7]["value"] == cause)
            assert (got[0]["status"], got[6]["value"]) == ("UncertainLastUsableValue", "held"), got
            simulator.tell(mend)
            got = until_read(c, AXES + SIDE, lambda g: g[6]["value"] == "live")
            assert got[0]["status"] == "Good", got

        # The jog window closes: the gateway ends with -5, which the cause names.
        simulator.tell("close 1")
        got = until_read(c, AXES + SIDE, lambda g: "gone" in g[7]["value"], timeout=20)
        assert got[7]["value"] == ("the gateway has gone (exit code -5: the jog window was closed while the gateway "
                                   "ran)"), (got, hub.text())
        assert got[0]["status"] == "UncertainNoCommunicationLastUsableValue"
        assert "its server is process " in hub.text() and "gateway.exe" in hub.text(), hub.text()
        c.close()
    finally:
        if hub is not None:
            hub.stop()
        desktop.stop()
