"""A stand-in for the gateway's pipe where the hub runs on Linux: a Unix socket
named as the pipe, in the folder the hub is told by DRAXION_HUB_PIPE_DIR. Like
the gateway it takes one client, reads its report request and sends tagged
records; closing it is the gateway's end."""

import os
import socket

from draxion_axis.framing import REPORT_REQUEST, TAG, Report, record_bytes


class StandInGateway:
    def __init__(self, folder, name):
        self.path = os.path.join(str(folder), name)
        self.server = socket.socket(socket.AF_UNIX)
        self.server.bind(self.path)
        self.server.listen(1)
        self.client = None

    def accept(self, timeout=30):
        """Waits for the client and its report request."""
        self.server.settimeout(timeout)
        self.client, _ = self.server.accept()
        self.client.settimeout(timeout)
        request = self.client.recv(len(REPORT_REQUEST))
        assert request == REPORT_REQUEST, request

    def send(self, values, state=None, confirmed=None, since=0.0):
        """One update; with a state, its report (readings and made are of no interest here)."""
        report = None if state is None else Report(state, confirmed, since, 1, since)
        self.client.sendall(TAG + record_bytes(values, report))

    def close(self):
        """The gateway's end: its client sees the pipe break, and the name is free again."""
        if self.client is not None:
            self.client.close()
        self.server.close()
        os.unlink(self.path)
