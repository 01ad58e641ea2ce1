"""The pipe source's logic against a stand-in for the kernel32 calls it makes
(there is no Windows here): connecting while the pipe appears, a busy or refused
pipe, messages read in ERROR_MORE_DATA parts, the broken pipe at the end and the
gateway's exit code after it."""

import ctypes
import re

import pytest

from draxion_axis import TAG, record_bytes, updates
from draxion_axis.sources import INVALID_HANDLE, GatewayBusy, GatewayPipe, NoGateway

ERRORS = {"missing": 2, "denied": 5, "busy": 231}


class FakeKernel32:
    """Serves `sends` (whole messages) to one client after the CreateFileW outcomes
    in `connects`, then breaks the pipe; the server process ends with `exit_code`."""

    def __init__(self, connects, sends=(), exit_code=None, message_mode=True):
        self.connects, self.sends = list(connects), [bytes(m) for m in sends]
        self.exit_code, self.message_mode = exit_code, message_mode
        self.error, self.open_handles, self.creates = 0, set(), 0
        self.rest = None  # what is left of the message being read
        self.access, self.written, self.write_ok = None, [], True

    def last_error(self):
        return self.error

    def CreateFileW(self, path, access, share, security, disposition, flags, template):
        assert path == "\\\\.\\Pipe\\zelmorvelgateway"
        self.creates += 1
        outcome = self.connects.pop(0) if self.connects else "missing"
        if outcome != "ok":
            self.error = ERRORS[outcome]
            return INVALID_HANDLE
        self.open_handles.add(10)
        self.access = access
        return 10

    def WriteFile(self, handle, data, size, written, overlapped):
        assert handle == 10 and overlapped is None
        if not self.write_ok:
            self.error = 232  # ERROR_NO_DATA: the gateway is closing
            return 0
        self.written.append(bytes(data[:size]))
        written._obj.value = size
        return 1

    def SetNamedPipeHandleState(self, handle, mode, collection, timeout):
        assert mode._obj.value == 2
        self.error = 0 if self.message_mode else 87
        return self.message_mode

    def GetNamedPipeServerProcessId(self, handle, pid):
        if self.exit_code is None:
            self.error = 1
            return 0
        pid._obj.value = 4242
        return 1

    def OpenProcess(self, access, inherit, pid):
        assert pid == 4242
        self.open_handles.add(20)
        return 20

    def ReadFile(self, handle, buffer, size, read, overlapped):
        assert handle == 10
        if self.rest is None:
            if not self.sends:
                self.error = 109  # ERROR_BROKEN_PIPE
                return 0
            self.rest = self.sends.pop(0)
        n = min(size, len(self.rest))
        ctypes.memmove(buffer, self.rest, n)
        read._obj.value = n
        self.rest = self.rest[n:] or None
        if self.rest is not None:
            self.error = 234  # ERROR_MORE_DATA
            return 0
        return 1

    def WaitForSingleObject(self, handle, ms):
        return 0

    def GetExitCodeProcess(self, handle, code):
        code._obj.value = self.exit_code & 0xFFFFFFFF
        return 1

    def CloseHandle(self, handle):
        self.open_handles.remove(handle)
        return 1


def pipe(fake, timeout=0.0, report=False):
    return GatewayPipe(connect_timeout=timeout, kernel32=fake, last_error=fake.last_error, report=report)


@pytest.mark.parametrize("report, write_ok", [(False, True), (True, True), (True, False)])
def test_the_report_is_asked_for_once_with_write_access(report, write_ok):
    fake = FakeKernel32(["ok"])
    fake.write_ok = write_ok
    p = pipe(fake, report=report)
    if not write_ok:
        with pytest.raises(OSError, match="cannot ask .* for its state report: system error 232"):
            p.open()
        assert not fake.open_handles
        return
    p.open()
    assert fake.written == ([bytes((0x02, 0x52, 0x01, 0x00))] if report else [])
    assert bool(fake.access & 0x40000000) == report, "GENERIC_WRITE only to ask"
    p.close()


def test_connects_once_the_pipe_appears():
    fake = FakeKernel32(["missing", "missing", "ok"])
    p = pipe(fake, timeout=10)
    p.open()
    assert fake.creates == 3
    p.close()
    assert not fake.open_handles


@pytest.mark.parametrize("connects, message_mode, error, says", [
    (["missing"] * 3, True, NoGateway, "no gateway serves"),
    (["busy"], True, GatewayBusy, "^%s$" % re.escape(
        "\\\\.\\Pipe\\zelmorvelgateway: the gateway has already served a client (it serves one per run): close the "
        "other program if it still runs, and restart gateway.exe")),
    (["denied"], True, OSError, "system error 5"),
    (["ok"], False, OSError, "message mode"),
])
def test_opening_fails_clearly(connects, message_mode, error, says):
    fake = FakeKernel32(connects, message_mode=message_mode)
    with pytest.raises(error, match=says):
        pipe(fake).open()
    assert not fake.open_handles


@pytest.mark.parametrize("exit_code", [-5, 0, None])
def test_messages_whole_across_parts_then_the_exit_code(exit_code):
    sends = [TAG, record_bytes([1.5, -0.0]), b"x" * 3000, TAG, record_bytes([2.5]),
             b"y" * 10000 + TAG, record_bytes([9.0]), TAG, record_bytes([3.5])]
    fake = FakeKernel32(["ok"], sends, exit_code)
    p = pipe(fake)
    p.open()
    got = list(p.messages())
    assert [len(m) for m in got] == [4, 384, 3000, 4, 384, GatewayPipe.KEEP, 384, 4, 384]
    assert got[:2] == sends[:2] and got[-2:] == sends[-2:]
    values = [u.values[:2] for u in updates(got, on_framing_error=lambda m, why: None)]
    assert values == [(1.5, -0.0), (2.5, 0.0), (3.5, 0.0)]
    assert p.exit_code == exit_code
    assert not fake.open_handles, "the pipe and the process are closed at the end"
