"""Sources of the gateway's messages: its pipe (Windows), a recording made by the
axis monitor (--csv: lines "time,v0,v1,v2,v3,v4,v5", with --state five more
columns), or the monitor's CSV on standard input as it prints it."""

import sys
import time
from typing import Iterable, Iterator, Tuple

from .framing import PIPE_NAME, PIPE_PREFIX, REPORT_REQUEST, STATES, TAG, VALUE_COUNT, Report, record_bytes


class NoGateway(Exception):
    """No gateway served the pipe within the time allowed."""


class GatewayBusy(Exception):
    """The gateway has already served a client (it serves one per run); that client
    may still be connected, or gone: the pipe looks the same either way."""


BUSY_TEXT = ("the gateway has already served a client (it serves one per run): close the other program if it still "
             "runs, and restart gateway.exe")


REPORT_COLUMNS = ("state", "confirmed", "since", "readings", "made")


def csv_record(line: str) -> Tuple[float, bytes]:
    """One line of the axis monitor's CSV: its time stamp and the record it stands
    for. "time,v0,...,v5", and with --state five more columns: the state, when the
    values were last confirmed, since when the state holds, the readings and when
    the record was made (axis_monitor --state --csv). ValueError for anything else."""
    fields = line.split(",")
    if len(fields) not in (VALUE_COUNT + 1, VALUE_COUNT + 1 + len(REPORT_COLUMNS)):
        raise ValueError
    stamp, values = float(fields[0]), [float(v) for v in fields[1:VALUE_COUNT + 1]]
    report = None
    if len(fields) > VALUE_COUNT + 1:
        state, confirmed, since, readings, made = fields[VALUE_COUNT + 1:]
        if state not in STATES:
            if state != "no report":
                raise ValueError
        else:
            report = Report(state, float(confirmed) or None, float(since), int(float(readings)), float(made))
    return stamp, record_bytes(values, report)


def csv_messages(lines: Iterable[str], name: str, realtime: bool = False) -> Iterator[bytes]:
    """The tag and record of every line, values exactly as written (the monitor
    writes the shortest form that reads back as the same double). With realtime,
    at the lines' own pace."""
    start = None
    for number, line in enumerate(lines, 1):
        line = line.strip()
        if not line:
            continue
        try:
            stamp, record = csv_record(line)
        except ValueError:
            raise ValueError("%s line %d is not \"time,v0,...,v5\" (with --state five more columns): %s"
                             % (name, number, line)) from None
        if realtime:
            if start is None:
                start = time.monotonic() - stamp
            delay = start + stamp - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        yield TAG
        yield record


def recording_messages(path: str, realtime: bool = False) -> Iterator[bytes]:
    """The messages of a recording made by the axis monitor (--csv, with or without
    --state). With realtime, at the recording's own pace."""
    with open(path, encoding="ascii") as f:
        yield from csv_messages(f, path, realtime)


class GatewayPipe:
    """The gateway's pipe (Windows, ctypes): open() connects, trying again while
    the pipe does not exist, for connect_timeout seconds; messages() yields every
    message until the gateway has gone, after which exit_code holds its exit code
    when the system tells it (else None). With report, open() asks the gateway
    for its state report (a gateway without it ignores the request). kernel32 and
    last_error stand in for the system's in tests."""

    READ_SIZE = 1024
    KEEP = 4096  # of a longer message, which is no message of ours anyway

    def __init__(self, name: str = PIPE_NAME, connect_timeout: float = 0.0, kernel32=None, last_error=None,
                 report: bool = False):
        self.name, self.connect_timeout, self.report = name, connect_timeout, report
        if kernel32 is None:
            if sys.platform != "win32":
                raise OSError("the gateway's pipe is a Windows named pipe")
            kernel32, last_error = _system_kernel32()
        self.kernel32, self.last_error = kernel32, last_error
        self.handle = self.process = None
        self.exit_code = None

    def open(self) -> None:
        from ctypes import byref, wintypes

        k = self.kernel32
        path = PIPE_PREFIX + self.name
        give_up = time.monotonic() + self.connect_timeout
        while True:
            access = GENERIC_READ | (GENERIC_WRITE if self.report else FILE_WRITE_ATTRIBUTES)
            handle = k.CreateFileW(path, access, 0, None, OPEN_EXISTING, 0, None)
            if handle not in (None, INVALID_HANDLE):
                break
            error = self.last_error()
            if error == ERROR_PIPE_BUSY:
                raise GatewayBusy("%s: %s" % (path, BUSY_TEXT))
            if error != ERROR_FILE_NOT_FOUND:
                raise OSError("cannot open %s: system error %d" % (path, error))
            if time.monotonic() >= give_up:
                raise NoGateway("no gateway serves %s" % path)
            time.sleep(0.05)
        self.handle = handle
        mode = wintypes.DWORD(PIPE_READMODE_MESSAGE)
        if not k.SetNamedPipeHandleState(handle, byref(mode), None, None):
            error = self.last_error()
            self.close()
            raise OSError("cannot read %s in message mode: system error %d" % (path, error))
        written = wintypes.DWORD()
        if self.report and not (k.WriteFile(handle, REPORT_REQUEST, len(REPORT_REQUEST), byref(written), None)
                                and written.value == len(REPORT_REQUEST)):
            error = self.last_error()
            self.close()
            raise OSError("cannot ask %s for its state report: system error %d" % (path, error))
        # The server's process, kept open so that its exit code can be read once
        # it has gone.
        pid = wintypes.ULONG()
        if k.GetNamedPipeServerProcessId(handle, byref(pid)):
            self.process = k.OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, False, pid.value) or None

    def messages(self) -> Iterator[bytes]:
        import ctypes
        from ctypes import byref, wintypes

        k = self.kernel32
        buffer = ctypes.create_string_buffer(self.READ_SIZE)
        read = wintypes.DWORD()
        try:
            while True:
                message = b""
                while True:
                    read.value = 0
                    ok = k.ReadFile(self.handle, buffer, len(buffer), byref(read), None)
                    if len(message) < self.KEEP:
                        message += buffer.raw[:read.value]
                    if ok:
                        break
                    if self.last_error() != ERROR_MORE_DATA:
                        self._read_exit_code()
                        return  # the gateway has gone
                yield message
        finally:
            self.close()

    def _read_exit_code(self) -> None:
        from ctypes import byref, wintypes

        if self.process is None:
            return
        code = wintypes.DWORD()
        # The pipe breaks as the gateway ends; its process may need a moment more.
        self.kernel32.WaitForSingleObject(self.process, 2000)
        if self.kernel32.GetExitCodeProcess(self.process, byref(code)) and code.value != STILL_ACTIVE:
            self.exit_code = code.value - (1 << 32) if code.value >= 1 << 31 else code.value

    def close(self) -> None:
        for h in (self.handle, self.process):
            if h is not None:
                self.kernel32.CloseHandle(h)
        self.handle = self.process = None


GENERIC_READ, GENERIC_WRITE, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING = 0x80000000, 0x40000000, 0x100, 3
SYNCHRONIZE, PROCESS_QUERY_LIMITED_INFORMATION, STILL_ACTIVE = 0x100000, 0x1000, 259
PIPE_READMODE_MESSAGE = 0x2
ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ERROR_PIPE_BUSY = 2, 234, 231
INVALID_HANDLE = (1 << 64) - 1 if sys.maxsize > 2 ** 32 else (1 << 32) - 1


def _system_kernel32():
    import ctypes
    from ctypes import wintypes

    k = ctypes.WinDLL("kernel32", use_last_error=True)
    k.CreateFileW.restype = wintypes.HANDLE
    k.OpenProcess.restype = wintypes.HANDLE
    k.CreateFileW.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, wintypes.LPVOID, wintypes.DWORD,
                              wintypes.DWORD, wintypes.HANDLE]
    k.ReadFile.argtypes = [wintypes.HANDLE, wintypes.LPVOID, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD),
                           wintypes.LPVOID]
    k.SetNamedPipeHandleState.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD), wintypes.LPVOID,
                                          wintypes.LPVOID]
    k.WriteFile.argtypes = [wintypes.HANDLE, wintypes.LPCVOID, wintypes.DWORD, ctypes.POINTER(wintypes.DWORD),
                            wintypes.LPVOID]
    k.GetNamedPipeServerProcessId.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.ULONG)]
    k.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    k.WaitForSingleObject.argtypes = [wintypes.HANDLE, wintypes.DWORD]
    k.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    k.CloseHandle.argtypes = [wintypes.HANDLE]
    return k, ctypes.get_last_error


def pipe_messages(name: str = PIPE_NAME, connect_timeout: float = 0.0, report: bool = False) -> Iterator[bytes]:
    """Every message the gateway sends on its pipe, until it has gone. Connects
    first, trying again while the pipe does not exist, for connect_timeout
    seconds; with report, asks for the state report."""
    pipe = GatewayPipe(name, connect_timeout, report=report)
    pipe.open()
    yield from pipe.messages()
