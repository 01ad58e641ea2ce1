"""The framing over scripted message sequences, and the recording source."""

import struct

import pytest

from draxion_axis import TAG, FramingError, record_bytes, recording_messages, updates


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
