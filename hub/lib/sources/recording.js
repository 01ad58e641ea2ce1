// A recording of the axis monitor (axis_monitor --csv, with --state five more
// columns: "time,v0,...,v5[,state,confirmed,since,readings,made]"), played at
// its own pace (or at once) into a robot, values exactly as written.
"use strict";

const fs = require("fs");
const {STATES, VALUE_COUNT, updateProblem} = require("../contract");

// A number as the monitor writes it, and nothing looser ("", " 1", "0x10" are no numbers).
const NUMBER = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;

function number(text) {
  const n = NUMBER.test(text) ? Number(text) : NaN;
  if (!Number.isFinite(n)) throw new Error("not a number: " + JSON.stringify(text));
  return n;
}

// One line: {stamp, values, report (null without the state columns)}, or an Error.
function recordingLine(line) {
  const fields = line.split(",");
  if (fields.length !== VALUE_COUNT + 1 && fields.length !== VALUE_COUNT + 6) throw new Error("wrong number of columns");
  const stamp = number(fields[0]);
  const values = fields.slice(1, VALUE_COUNT + 1).map(number);
  let report = null;
  if (fields.length > VALUE_COUNT + 1) {
    const [state, confirmed, since, readings, made] = fields.slice(VALUE_COUNT + 1);
    if (state !== "no report") {
      if (!STATES.includes(state)) throw new Error("unknown state " + JSON.stringify(state));
      report = {state, confirmed: number(confirmed) || null, since: number(since), readings: number(readings),
                made: number(made)};
    }
  }
  const problem = updateProblem({values, report});
  if (problem !== null) throw new Error(problem);
  return {stamp, values, report};
}

// Every line of a recording, or an Error naming the first bad one.
function readRecording(file) {
  const lines = fs.readFileSync(file, "ascii").split(/\r?\n/);
  const rows = [];
  lines.forEach((line, i) => {
    if (line.trim() === "") return;
    try {
      rows.push(recordingLine(line.trim()));
    } catch (e) {
      throw new Error(file + " line " + (i + 1) + " is not \"time,v0,...,v5\" (with the state five more columns): " +
                      e.message, {cause: e});
    }
  });
  return rows;
}

class RecordingSource {
  // ended: called once the last row is played.
  constructor(rows, robot, pace = true, ended = () => {}) {
    this.ended = ended;
    this.rows = rows;
    this.robot = robot;
    this.pace = pace;
    this.timer = null;
  }

  start() {
    const first = this.rows.length ? this.rows[0].stamp : 0;
    const start = Date.now();
    let next = 0;
    this.robot.began();
    const play = () => {
      const now = Date.now();
      while (next < this.rows.length && (!this.pace || (this.rows[next].stamp - first) * 1000 <= now - start)) {
        const row = this.rows[next++];
        this.robot.take(row.values, row.report, now / 1000, now);
      }
      if (next >= this.rows.length) {
        this.timer = null;
        this.robot.ended("the recording has ended");
        this.ended();
        return;
      }
      // A timer's longest wait is some 24 days; a longer pause is waited in steps.
      const wait = (this.rows[next].stamp - first) * 1000 - (Date.now() - start);
      this.timer = setTimeout(play, Math.min(Math.max(0, wait), 2 ** 31 - 1));
    };
    play();
  }

  stop() {
    if (this.timer !== null) clearTimeout(this.timer);
    this.timer = null;
  }
}

module.exports = {RecordingSource, readRecording, recordingLine};
