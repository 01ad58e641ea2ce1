"""Sources of the gateway's messages: its pipe (Windows), or a recording made by
the axis monitor (--csv: lines "time,v0,v1,v2,v3,v4,v5")."""

import sys
import time
from typing import Iterator

from .framing import PIPE_NAME, PIPE_PREFIX, TAG, VALUE_COUNT, record_bytes


class NoGateway(Exception):
    """No gateway served the pipe within the time allowed."""


class GatewayBusy(Exception):
    """The gateway takes one client per run, and it already has one."""


def recording_messages(path: str, realtime: bool = False) -> Iterator[bytes]:
    """The tag and record of every line of a recording, values exactly as written
    (the monitor writes the shortest form that reads back as the same double).
    With realtime, at the recording's own pace."""
    start = None
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            fields = line.split(",")
            try:
                if len(fields) != VALUE_COUNT + 1:
                    raise ValueError
                stamp, values = float(fields[0]), [float(v) for v in fields[1:]]
            except ValueError:
                raise ValueError("%s line %d is not \"time,v0,...,v5\": %s" % (path, number, line)) from None
            if realtime:
                if start is None:
                    start = time.monotonic() - stamp
                delay = start + stamp - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            yield TAG
            yield record_bytes(values)


def pipe_messages(name: str = PIPE_NAME, connect_timeout: float = 0.0) -> Iterator[bytes]:
    """Every message the gateway sends on its pipe, until it has gone. Connects
    first, trying again while the pipe does not exist, for connect_timeout seconds."""
    if sys.platform != "win32":
        raise OSError("the gateway's pipe is a Windows named pipe")
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.CreateFileW.restype = wintypes.HANDLE
    GENERIC_READ, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING = 0x80000000, 0x100, 3
    PIPE_READMODE_MESSAGE, ERROR_MORE_DATA, ERROR_PIPE_BUSY = 0x2, 234, 231
    INVALID = wintypes.HANDLE(-1).value
    give_up = time.monotonic() + connect_timeout
    while True:
        handle = kernel32.CreateFileW(PIPE_PREFIX + name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, None,
                                      OPEN_EXISTING, 0, None)
        if handle != INVALID:
            break
        if ctypes.get_last_error() == ERROR_PIPE_BUSY:
            raise GatewayBusy("%s%s already has its one client (it may have gone)" % (PIPE_PREFIX, name))
        if time.monotonic() >= give_up:
            raise NoGateway("no gateway serves %s%s" % (PIPE_PREFIX, name))
        time.sleep(0.05)
    try:
        mode = wintypes.DWORD(PIPE_READMODE_MESSAGE)
        kernel32.SetNamedPipeHandleState(handle, ctypes.byref(mode), None, None)
        buffer = ctypes.create_string_buffer(1024)
        read = wintypes.DWORD()
        while True:
            message = b""
            while True:
                ok = kernel32.ReadFile(handle, buffer, len(buffer), ctypes.byref(read), None)
                message += buffer.raw[:read.value]
                if ok:
                    break
                if ctypes.get_last_error() != ERROR_MORE_DATA:
                    return  # the gateway has gone
            yield message
    finally:
        kernel32.CloseHandle(handle)
