"""The gateway's framing: a 4-byte tag, then a 384-byte record of 48
little-endian doubles whose first six are the axis values, and, for a client
that asked for it, the state report in slots 6 to 11 (see docs/protocol.md).
"""

import math
import struct
import sys
import time
from dataclasses import dataclass
from typing import Callable, Iterable, Iterator, Optional, Tuple

PIPE_PREFIX = "\\\\.\\Pipe\\"
PIPE_NAME = "zelmorvelgateway"
TAG = bytes((0x02, 0x55, 0x00, 0x00))
SLOT_COUNT = 48
VALUE_COUNT = 6
RECORD_BYTES = 8 * SLOT_COUNT
PIPE_NAME_MAX = 247

# The state report: the request a client writes, and what the record then carries.
REPORT_REQUEST = bytes((0x02, 0x52, 0x01, 0x00))
REPORT_HEARTBEAT_MS = 500
SLOT_REPORT, SLOT_STATE, SLOT_CONFIRMED, SLOT_STATE_SINCE, SLOT_READINGS, SLOT_MADE = 6, 7, 8, 9, 10, 11
REPORT_VERSION = 1
# The state codes, in order: live, waiting for evidence, and the causes of a hold.
STATES = ("live", "waiting", "hidden", "minimized", "docked", "off_screen", "covered")

# The gateway's exit codes (as a signed 32-bit status) and what each means.
EXIT_CODE_MEANINGS = {
    0: "stopped normally: the owner window closed, or a key was pressed",
    1: "the gateway's framework could not start",
    -2: "no Draxion3 main window, or the pipe could not be opened (another gateway holds the name)",
    -3: "no jog window for the robot (open it, undock it, check the robot's name)",
    -4: "the glyph bitmaps cannot be used (damaged, or the display is not 32 bits per pixel)",
    -5: "the jog window was closed while the gateway ran",
    -6: "the pipe name on the command line is not a valid name",
}


def exit_code_meaning(code: int) -> str:
    return EXIT_CODE_MEANINGS.get(code, "unknown exit code")


def pipe_name_problem(name: str) -> Optional[str]:
    """Why the gateway would refuse this pipe name, or None when it takes it."""
    if not name:
        return "the name is empty"
    if len(name) > PIPE_NAME_MAX:
        return "the name is longer than 247 characters"
    for c in name:
        if c == "\\":
            return "the name holds a backslash"
        if not 0x20 <= ord(c) <= 0x7E:
            return "the name holds a character other than printable ASCII"
    return None


class FramingError(Exception):
    """A message that is neither a tag nor a record after its tag."""


@dataclass(frozen=True)
class Report:
    """What the gateway's state report says of an update's values. Times are UTC
    seconds since 1970 on the gateway machine's clock."""
    state: str                  # "live", "waiting", or the cause of a hold ("covered", ...)
    confirmed: Optional[float]  # when the values were last confirmed on screen; None: never yet
    since: float                # since when the state holds
    readings: int               # readings the gateway has made
    made: float                 # when the record was made

    @property
    def live(self) -> bool:
        return self.state == "live"


def state_name(code: float) -> str:
    """The name of a state code; "unknown" for one this client does not know."""
    return STATES[int(code)] if code in range(len(STATES)) else "unknown"


@dataclass(frozen=True)
class Update:
    values: Tuple[float, ...]         # the six values, top field first
    received: float                   # time.time() when it was read
    report: Optional[Report] = None   # None: no report (not asked for, or a gateway without it)


def record_bytes(values: Iterable[float], report: Optional[Report] = None) -> bytes:
    """A record as the gateway sends it: the values in the first slots, then the
    report if given, zeros after."""
    values = list(values)
    if report is not None:
        values = values + [0.0] * (VALUE_COUNT - len(values)) + [
            float(REPORT_VERSION), float(STATES.index(report.state)), report.confirmed or 0.0, report.since,
            float(report.readings), report.made]
    if len(values) > SLOT_COUNT:
        raise ValueError("a record holds 48 values at most")
    return struct.pack("<%dd" % SLOT_COUNT, *(values + [0.0] * (SLOT_COUNT - len(values))))


def _report(message: bytes, reason: str) -> None:
    print("draxion_axis: skipped a %d-byte message: %s" % (len(message), reason), file=sys.stderr)


def updates(messages: Iterable[bytes],
            on_framing_error: Optional[Callable[[bytes, str], None]] = _report) -> Iterator[Update]:
    """The updates in a sequence of whole messages, in order. A tag followed by
    another tag lost its record: the second starts afresh. Any other message out
    of place is reported (on_framing_error; None raises FramingError) and skipped
    until the next tag. The iteration ends when the messages do (the gateway has
    gone)."""
    tag_seen = False
    for message in messages:
        message = bytes(message)
        if message == TAG:
            tag_seen = True
            continue
        if len(message) == RECORD_BYTES and tag_seen:
            tag_seen = False
            slots = struct.unpack("<%dd" % SLOT_COUNT, message)
            report = None
            if slots[SLOT_REPORT] == REPORT_VERSION:
                confirmed = slots[SLOT_CONFIRMED]
                readings = slots[SLOT_READINGS]
                report = Report(state_name(slots[SLOT_STATE]), confirmed if confirmed > 0 else None,
                                slots[SLOT_STATE_SINCE], int(readings) if math.isfinite(readings) else 0,
                                slots[SLOT_MADE])
            yield Update(slots[:VALUE_COUNT], time.time(), report)
            continue
        reason = ("a record without its tag" if len(message) == RECORD_BYTES
                  else "neither a tag (4 bytes) nor a record (384 bytes)")
        tag_seen = False
        if on_framing_error is None:
            raise FramingError("%d-byte message: %s" % (len(message), reason))
        on_framing_error(message, reason)
