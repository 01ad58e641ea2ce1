"""Read the Draxion gateway's axis values from Python.

    from draxion_axis import pipe_messages, updates
    for u in updates(pipe_messages(report=True)):   # Windows: the gateway's pipe
        print(u.values, u.report.state if u.report else "no state report")

The framing works on any source of messages, so it runs anywhere; the pipe source
needs Windows (ctypes, standard library only). recording_messages() reads the
axis monitor's CSV recordings. To publish the values to MQTT, run the hub
(docs/mqtt.md).
"""

from .framing import (PIPE_NAME, PIPE_PREFIX, RECORD_BYTES, TAG, VALUE_COUNT, FramingError, Report, Update,
                      record_bytes, updates)
from .sources import GatewayBusy, NoGateway, pipe_messages, recording_messages

__all__ = ["PIPE_NAME", "PIPE_PREFIX", "RECORD_BYTES", "TAG", "VALUE_COUNT", "FramingError", "Report", "Update",
           "record_bytes", "updates", "GatewayBusy", "NoGateway", "pipe_messages", "recording_messages"]
