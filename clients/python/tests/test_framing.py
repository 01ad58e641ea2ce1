"""The framing over scripted message sequences, and the recording source."""

import struct

import pytest

from draxion_axis import TAG, FramingError, record_bytes, recording_messages, updates
from draxion_axis.framing import Report


def rec(*values):
    return record_bytes(values)


@pytest.mark.parametrize("name, messages, expected, errors", [
    ("normal", [TAG, rec(1.5, -2.0), TAG, rec(3.0)], [(1.5, -2.0, 0, 0, 0, 0), (3.0, 0, 0, 0, 0, 0)], 0),
    ("lone tag: the second starts afresh", [TAG, TAG, rec(7.0)], [(7.0, 0, 0, 0, 0, 0)], 0),
    ("short message, then resync at the next tag", [TAG, b"\x02\x55", rec(1.0), TAG, rec(2.0)],
     [(2.0, 0, 0, 0, 0, 0)], 2),
    ("record without its tag", [rec(9.0), TAG, rec(4.0)], [(4.0, 0, 0, 0, 0, 0)], 1),
    ("a message of another size", [TAG, b"x" * 500], [], 1),
    ("the gateway gone after a tag", [TAG, rec(1.0), TAG], [(1.0, 0, 0, 0, 0, 0)], 0),
    ("nothing at all", [], [], 0),
])
def test_updates_are_exactly_what_the_messages_hold(name, messages, expected, errors):
    reported = []
    got = [u.values for u in updates(messages, lambda m, why: reported.append(why))]
    assert got == expected, name
    assert len(reported) == errors, name


def test_values_arrive_bit_for_bit():
    tricky = (-0.0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 1e-300)
    (u,) = updates([TAG, rec(*tricky)])
    assert struct.pack("<6d", *u.values) == struct.pack("<6d", *tricky)


@pytest.mark.parametrize("slots, expected", [
    ({}, None),  # a gateway without the report, or not asked
    ({6: 1, 7: 6, 8: 1796811330.197, 9: 1796811330.25, 10: 5812, 11: 1796811331.25},
     Report("covered", 1796811330.197, 1796811330.25, 5812, 1796811331.25)),
    ({6: 1, 7: 1, 8: 0, 9: 5.0, 10: 1, 11: 5.0}, Report("waiting", None, 5.0, 1, 5.0)),  # never confirmed
    ({6: 1, 7: 9, 10: float("nan")}, Report("unknown", None, 0.0, 0, 0.0)),  # from a later gateway, or an impostor
    ({6: 2, 7: 0}, None),  # a report of a form this client does not know
])
def test_the_state_report_is_read_from_its_slots(slots, expected):
    values = [1.5, 0, 0, 0, 0, 0] + [slots.get(k, 0.0) for k in range(6, 48)]
    (u,) = updates([TAG, struct.pack("<48d", *values)])
    assert u.report == expected
    assert u.values == (1.5, 0, 0, 0, 0, 0)


def test_framing_error_raises_when_no_one_listens():
    with pytest.raises(FramingError):
        list(updates([TAG, b"odd"], on_framing_error=None))


def test_a_recording_reads_back_exactly(tmp_path):
    path = tmp_path / "r.csv"
    path.write_text("0.000,12.5,-0.5,300,-1234.6,0,7.7\n0.010,-0,5e-324,0.30000000000000004,1,2,3\n")
    got = [u.values for u in updates(recording_messages(str(path)))]
    assert struct.pack("<12d", *got[0], *got[1]) == struct.pack(
        "<12d", 12.5, -0.5, 300.0, -1234.6, 0.0, 7.7, -0.0, 5e-324, 0.30000000000000004, 1, 2, 3)


def test_a_line_that_is_no_recording_is_named(tmp_path):
    path = tmp_path / "r.csv"
    path.write_text("0.000,1,2,3,4,5,6\n0.010,1,2,three,4,5,6\n")
    with pytest.raises(ValueError, match="line 2"):
        list(recording_messages(str(path)))
