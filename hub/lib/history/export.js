// hub --export ROBOT --from T1 --to T2 FILE: a robot's updates that the hub took
// between two times, from its history, written as a recording (the axis
// monitor's --csv --state lines), so that a test bench replays a run bit for bit.
"use strict";

const fs = require("fs");
const {EXIT, HubExit} = require("../exits");
const {eachUpdate} = require("./store");

// A double in the shortest form that reads back as the same double, -0 kept.
const text = (v) => (Object.is(v, -0) ? "-0.0" : String(v));

// A time as the user gives it: ISO 8601 (with a zone, or the PC's own time without one).
function timeOf(given, what) {
  const ms = /^\d{4}-\d\d-\d\d/.test(given) ? Date.parse(given) : NaN;
  if (!Number.isFinite(ms))
    throw new HubExit(EXIT.usage, what + " " + JSON.stringify(given) + " is not a time: give it as 2026-12-10T09:30:00 " +
                      "(the PC's time) or 2026-12-10T08:30:00Z (UTC)");
  return ms;
}

// One recording line: the time since the first update (s, to the millisecond, as the
// monitor writes it), the six values, and the state columns ("no report" where the
// source sent none).
function line(row, first) {
  const r = row.report === null ? ["no report", 0, 0, 0, 0]
    : [row.report, row.confirmed === null ? 0 : row.confirmed, row.since, row.readings, row.made];
  return [(row.time - first).toFixed(3), ...row.values.map(text), r[0], ...r.slice(1).map(text)].join(",");
}

// Writes the file; returns how many updates it holds.
function exportRecording(config, robot, from, to, file) {
  if (!config.robots.some((r) => r.name === robot))
    throw new HubExit(EXIT.usage, "no robot " + JSON.stringify(robot) + " in the configuration (its robots: " +
                      config.robots.map((r) => r.name).join(", ") + ")");
  const [start, end] = [timeOf(from, "--from"), timeOf(to, "--to")];
  if (end < start) throw new HubExit(EXIT.usage, "--to is before --from");
  // Written as read, in blocks of lines: a week of updates is gigabytes.
  let fd = null, count = 0, first = null, block = [];
  const write = () => {
    fs.writeSync(fd, block.join("\n") + "\n");
    block = [];
  };
  try {
    for (const row of eachUpdate(config.history_folder, robot, start, end)) {
      if (fd === null) fd = fs.openSync(file, "w");
      if (first === null) first = row.time;
      block.push(line(row, first));
      count += 1;
      if (block.length === 10000) write();
    }
    if (block.length) write();
  } catch (e) {
    if (e.syscall) throw new HubExit(EXIT.usage, "cannot write " + file + ": " + e.message);
    throw new HubExit(EXIT.usage, "cannot read the history in " + config.history_folder + ": " + e.message);
  } finally {
    if (fd !== null) fs.closeSync(fd);
  }
  if (count === 0)
    throw new HubExit(EXIT.usage, "the history holds no update of " + robot + " from " + new Date(start).toISOString() +
                      " to " + new Date(end).toISOString());
  return count;
}

module.exports = {exportRecording, timeOf};
