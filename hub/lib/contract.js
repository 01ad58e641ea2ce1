// What crosses the pipe between the gateway and the hub: the pipe's name and its
// rule, one update's tag and record, the state report and the gateway's exit
// codes, as the gateway's own header (stream/axis_contract.h) has them. A test
// checks every one against that header.
"use strict";

// The states' names and the range of a time are those of the MQTT messages too.
const {STATES, isTime} = require("./messages");

const PIPE_PREFIX = "\\\\.\\Pipe\\";
const PIPE_NAME = "zelmorvelgateway";
const PIPE_NAME_MAX = 247;

const TAG = Buffer.from([0x02, 0x55, 0x00, 0x00]);
const SLOT_COUNT = 48;
const VALUE_COUNT = 6;
const RECORD_BYTES = 384;

const REPORT_REQUEST = Buffer.from([0x02, 0x52, 0x01, 0x00]);
const REPORT_HEARTBEAT_MS = 500;
const REPORT_VERSION = 1;
const SLOT = {report: 6, state: 7, confirmed: 8, state_since: 9, readings: 10, made: 11};

const EXIT_CODE_MEANINGS = new Map([
  [0, "stopped normally: the owner window closed, or a key was pressed"],
  [1, "the gateway's framework could not start"],
  [-2, "no Draxion3 main window, or the pipe could not be opened (another gateway holds the name)"],
  [-3, "no jog window for the robot (open it, undock it, check the robot's name)"],
  [-4, "the glyph bitmaps cannot be used (damaged, or the display is not 32 bits per pixel)"],
  [-5, "the jog window was closed while the gateway ran"],
  [-6, "the pipe name on the command line is not a valid name"],
]);

const exitCodeMeaning = (code) => EXIT_CODE_MEANINGS.get(code) || "unknown exit code";

// Why the gateway would refuse this pipe name, or null when it takes it.
function pipeNameProblem(name) {
  if (typeof name !== "string" || name.length === 0) return "the name is empty";
  if (name.length > PIPE_NAME_MAX) return "the name is longer than 247 characters";
  for (const c of name) {
    if (c === "\\") return "the name holds a backslash";
    const code = c.codePointAt(0);
    if (code < 0x20 || code > 0x7e) return "the name holds a character other than printable ASCII";
  }
  return null;
}

// Why an update ({values, report: {confirmed, since, made} or null}, from the pipe
// or a recording) cannot be served, or null: six finite values, and the report's
// times within the range of a date (confirmed null before the first confirmation).
// Anything can serve a pipe name; nothing downstream may meet what it cannot write.
function updateProblem(u) {
  if (u.values.length !== VALUE_COUNT || !u.values.every(Number.isFinite)) return "a value is not a finite number";
  const r = u.report;
  if (r !== null && !((r.confirmed === null || isTime(r.confirmed)) && isTime(r.since) && isTime(r.made)))
    return "a time of its state report is out of range";
  return null;
}

module.exports = {
  updateProblem, PIPE_PREFIX, PIPE_NAME, PIPE_NAME_MAX, TAG, SLOT_COUNT, VALUE_COUNT, RECORD_BYTES, REPORT_REQUEST,
  REPORT_HEARTBEAT_MS, REPORT_VERSION, SLOT, STATES, EXIT_CODE_MEANINGS, exitCodeMeaning, pipeNameProblem,
};
