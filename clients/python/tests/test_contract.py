"""The package's and the hub's constants, and the sample update in
docs/protocol.md, are those of the contract header the gateway is built with
(stream/axis_contract.h)."""

import json
import os
import re
import struct
import subprocess

from draxion_axis import framing

ROOT = os.path.join(os.path.dirname(__file__), "..", "..", "..")


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def header_constant(header, name):
    m = re.search(r"inline constexpr [^=]*\b" + name + r"(\[\d*\])? = (.*?);", header)
    assert m, name + " is not in the contract header"
    return m.group(2)


def c_string(literal):
    assert literal.startswith('"') and literal.endswith('"'), literal
    return literal[1:-1].encode().decode("unicode_escape")


def test_constants_are_the_headers():
    h = read("stream", "axis_contract.h")
    assert framing.PIPE_PREFIX == c_string(header_constant(h, "axis_pipe_prefix"))
    assert framing.PIPE_NAME == c_string(header_constant(h, "axis_pipe_name"))
    tag = [int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]{2})", header_constant(h, "axis_message_tag"))]
    assert framing.TAG == bytes(tag)
    assert framing.SLOT_COUNT == int(header_constant(h, "axis_slot_count"))
    assert framing.VALUE_COUNT == int(header_constant(h, "axis_value_count"))
    assert framing.RECORD_BYTES == int(header_constant(h, "axis_record_bytes"))
    request = [int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]{2})", header_constant(h, "axis_report_request"))]
    assert framing.REPORT_REQUEST == bytes(request)
    assert framing.REPORT_HEARTBEAT_MS == int(header_constant(h, "axis_report_heartbeat_ms"))
    assert framing.REPORT_VERSION == float(header_constant(h, "axis_report_version"))
    for name in ("report", "state", "confirmed", "state_since", "readings", "made"):
        assert getattr(framing, "SLOT_" + name.upper()) == int(header_constant(h, "axis_slot_" + name)), name


def test_the_hubs_constants_are_the_packages():
    """The hub's copy (hub/lib/contract.js), through the package's, which is checked above."""
    script = ("const c = require('./hub/lib/contract'); console.log(JSON.stringify(Object.assign({}, c, "
              "{TAG: [...c.TAG], REPORT_REQUEST: [...c.REPORT_REQUEST], "
              "EXIT_CODE_MEANINGS: Object.fromEntries(c.EXIT_CODE_MEANINGS)})))")
    hub = json.loads(subprocess.run([os.path.join(ROOT, "scripts", "node"), "-e", script], cwd=ROOT, check=True,
                                    capture_output=True, text=True).stdout)
    slots = {"SLOT_" + k.upper(): v for k, v in hub["SLOT"].items()}
    for name in ("PIPE_PREFIX", "PIPE_NAME", "PIPE_NAME_MAX", "SLOT_COUNT", "VALUE_COUNT", "RECORD_BYTES",
                 "REPORT_HEARTBEAT_MS", "REPORT_VERSION", "SLOT_REPORT", "SLOT_STATE", "SLOT_CONFIRMED",
                 "SLOT_STATE_SINCE", "SLOT_READINGS", "SLOT_MADE"):
        assert dict(hub, **slots)[name] == getattr(framing, name), name
    assert bytes(hub["TAG"]) == framing.TAG and bytes(hub["REPORT_REQUEST"]) == framing.REPORT_REQUEST
    assert tuple(hub["STATES"]) == framing.STATES
    assert {int(k): v for k, v in hub["EXIT_CODE_MEANINGS"].items()} == framing.EXIT_CODE_MEANINGS


def test_state_codes_and_names_are_the_headers():
    h = read("stream", "axis_contract.h")
    codes = {name: int(v) for name, v in re.findall(r"(axis_state_\w+) = (\d+),", h)}
    names = dict(re.findall(r"case (axis_state_\w+): return \"(\w+)\";", h))
    assert sorted(codes.values()) == list(range(len(framing.STATES)))
    assert {codes[c]: n for c, n in names.items()} == dict(enumerate(framing.STATES))
    doc = read("docs", "protocol.md")
    assert dict((int(c), n) for c, n in re.findall(r"^\| (\d) \| `(\w+)` \|", doc, re.M)) == dict(enumerate(framing.STATES))


def sample_rows(doc, first_word):
    """The rows of a hex sample as the document shows them (offset, sixteen bytes),
    from the line that starts with first_word to the sample's end."""
    block = re.search(r"^    " + first_word + r"  +[0-9a-f]{4}  .*?(?=\n\n)", doc, re.M | re.S).group(0)
    return re.findall(r"([0-9a-f]{4})  ((?:[0-9a-f]{2} ){15}[0-9a-f]{2})", block)


def test_protocol_samples_are_updates_the_package_reads():
    doc = read("docs", "protocol.md")
    tag = bytes(int(b, 16) for b in re.search(r"^    tag     ((?:[0-9a-f]{2} ?){4})", doc, re.M).group(1).split())
    assert tag == framing.TAG
    request = re.search(r"^    request ((?:[0-9a-f]{2} ?){4})", doc, re.M).group(1).split()
    assert bytes(int(b, 16) for b in request) == framing.REPORT_REQUEST
    # The rows left out ("...") are zero; the report's sample shows its slots only.
    record = bytearray(framing.RECORD_BYTES)
    for offset, data in sample_rows(doc, "record") + sample_rows(doc, "report"):
        record[int(offset, 16):int(offset, 16) + 16] = bytes(int(b, 16) for b in data.split())
    values = struct.unpack("<6d", bytes(record[:48]))
    assert values == (12.5, -0.5, 300.0, -1234.6, 0.0, 7.7)
    (u,) = framing.updates([framing.TAG, bytes(record)])
    assert u.report == framing.Report("covered", 1796811330.197, 1796811330.25, 5812, 1796811331.25)
    assert framing.record_bytes(values, u.report) == bytes(record)
    assert framing.record_bytes(values) == bytes(record[:48]) + bytes(framing.RECORD_BYTES - 48)


def exit_codes(h):
    """The header's exit codes by name, in its order."""
    return {name: int(value) for name, value in re.findall(r"inline constexpr int (axis_exit_\w+) = (-?\d+);", h)}


def test_exit_codes_and_pipe_name_rule_are_the_headers():
    h = read("stream", "axis_contract.h")
    codes = exit_codes(h)
    meanings = {}
    for name, text in re.findall(r"case (axis_exit_\w+):\s*return ((?:\"[^\"]*\"\s*)+);", h):
        meanings[codes[name]] = "".join(re.findall(r"\"([^\"]*)\"", text)).replace("\\'", "'")
    assert meanings and framing.EXIT_CODE_MEANINGS == meanings
    assert framing.exit_code_meaning(99) == "unknown exit code"
    assert framing.PIPE_NAME_MAX == int(header_constant(h, "axis_pipe_name_max"))
    for name, problem in [("", "the name is empty"), ("x" * 248, "the name is longer than 247 characters"),
                          ("a\\b", "the name holds a backslash"), ("caf\u00e9", "printable ASCII"),
                          ("cell4_robot2", None), ("x" * 247, None)]:
        said = framing.pipe_name_problem(name)
        assert (said is None) == (problem is None) and (problem is None or problem in said), name
        assert problem is None or problem in h, "the header says the same"


def test_the_exit_code_tables_in_the_docs_are_the_headers():
    codes = list(exit_codes(read("stream", "axis_contract.h")).values())

    def hex_of(c):
        return "" if c >= 0 else " (0x%08X)" % (c & 0xFFFFFFFF)

    # docs/protocol.md: the table of the gateway's exit codes, in the contract's order.
    protocol = read("docs", "protocol.md")
    table = protocol[protocol.index("| code | meaning |"):]
    table = table[:table.index("\n\n")]
    assert re.findall(r"^\| (-?\d+(?: \(0x[0-9A-F]{8}\))?) \|", table, re.M) == ["%d%s" % (c, hex_of(c)) for c in codes]
    # docs/gateway.md: the paragraph of exit codes, with what a Linux shell sees of them.
    gateway = read("docs", "gateway.md")
    paragraph = gateway[gateway.index("Exit codes: 0 stopped normally;"):]
    paragraph = paragraph[:paragraph.index("\n\n")]
    said = re.findall(r"(?:^Exit codes: |; )(-?\d+(?: \(0x[0-9A-F]{8}\))?) ", paragraph.replace("\n", " "))
    assert said == ["%d%s" % (c, hex_of(c)) for c in codes]
    shell = re.search(r"modulo 256 \(([\d, ]+)\)", paragraph.replace("\n", " ")).group(1)
    assert [int(v) for v in shell.split(", ")] == [c % 256 for c in codes if c < 0]
