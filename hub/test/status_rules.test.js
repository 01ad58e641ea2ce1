"use strict";
const assert = require("node:assert");
const test = require("node:test");
const {blankRecord, judge, keptVerdict, CONDITIONS} = require("../lib/status_rules");
const {afterEnd, restartDelayS, endText} = require("../lib/restart_rules");

const limits = {silence_s: 2, no_communication_bad_after_s: 60};
const NOW = 1e6;
const record = (fields) => Object.assign(blankRecord("the gateway"), {heard: NOW}, fields);
const values = [1, 2, 3, 4, 5, 6];

test("each record has its status code, state and cause", () => {
  const cases = [
    // [what, record fields, code, state, cause, served with its values]
    ["nothing yet", {}, "BadWaitingForInitialData", "no_data", "no values yet", false],
    ["nothing yet, no pipe", {link: "waiting for the gateway's pipe"}, "BadWaitingForInitialData", "no_data",
     "waiting for the gateway's pipe", false],
    ["values never confirmed", {values, report: true, state: "waiting"}, "BadWaitingForInitialData", "no_data",
     "not yet confirmed on screen", false],
    ["live", {values, report: true, state: "live", confirmed: 5}, "Good", "live", "", true],
    ["no report", {values}, "Good", "live", "", true],
    ["no report, silent", {values, heard: NOW - 9000}, "Good", "live", "", true],
    ["held", {values, report: true, state: "covered", confirmed: 5}, "UncertainLastUsableValue", "held", "covered", true],
    ["waiting again", {values, report: true, state: "waiting", confirmed: 5}, "UncertainLastUsableValue", "waiting",
     "not yet confirmed on screen again", true],
    ["silent", {values, report: true, state: "live", confirmed: 5, heard: NOW - 2001}, "UncertainNoCommunicationLastUsableValue",
     "no_communication", "nothing heard from the gateway for more than 2 s", true],
    ["gone", {values, report: true, state: "live", confirmed: 5, link: "the gateway has gone"},
     "UncertainNoCommunicationLastUsableValue", "no_communication", "the gateway has gone", true],
    ["gone for a minute", {values, report: true, state: "live", confirmed: 5, link: "gone", cutSince: NOW - 60000},
     "BadNoCommunication", "no_communication", "gone", true],
  ];
  for (const [what, fields, code, state, cause, withValues] of cases) {
    const v = judge(record(fields), NOW, limits);
    assert.deepStrictEqual([v.code, v.state, v.cause, v.withValues], [code, state, cause, withValues], what);
  }
});

test("a cut is timed from when it began, and forgotten once the source delivers", () => {
  const r = record({values, link: "the broker is away"});
  assert.strictEqual(judge(r, NOW, limits).cutSince, NOW);
  r.cutSince = NOW - 1000;
  assert.strictEqual(judge(r, NOW, limits).cutSince, NOW - 1000);
  r.link = null;
  assert.strictEqual(judge(r, NOW, limits).cutSince, null);
});

test("a kept robot's condition: the keeper's phase outside a run, its values' within", () => {
  const live = {values, report: true, state: "live", confirmed: 5};
  const cases = [
    // [what, record fields, phase, seen live, condition, cause]
    ["waiting for the host", {}, "waiting_for_simulator", false, "waiting_for_simulator", "why"],
    ["restarting with old values", Object.assign({link: "gone"}, live), "restarting", true, "restarting", "why"],
    ["running, not yet confirmed", {values, report: true, state: "waiting"}, "running", false, "starting",
     "not yet confirmed on screen"],
    ["running, covered before it was ever live", Object.assign({}, live, {state: "covered"}), "running", false,
     "starting", "covered"],
    ["running, live", live, "running", false, "live", ""],
    ["running, covered", Object.assign({}, live, {state: "covered"}), "running", true, "held", "covered"],
    ["running, silent", Object.assign({heard: NOW - 5000}, live), "running", true, "held",
     "nothing heard from the gateway for more than 2 s"],
  ];
  for (const [what, fields, phase, seenLive, condition, cause] of cases) {
    const plain = judge(record(fields), NOW, limits);
    const v = keptVerdict(plain, phase, "why", seenLive);
    assert.deepStrictEqual([v.state, v.cause, v.code], [condition, cause, plain.code], what);
    assert.ok(CONDITIONS.includes(v.state), what);
  }
});

test("a gateway starts again after 1 s, later after each end in a row that was not live, never in step", () => {
  const cases = [[1, 0, 1], [1, 0.999, 1.4995], [2, 0, 2], [5, 0, 16], [6, 0, 30], [1000, 0.5, 37.5]];
  for (const [failures, random, delay] of cases) assert.strictEqual(restartDelayS(failures, random), delay, failures + "");
  // Given up at once on an exit no restart mends; else after 10 unstable ends within 10 minutes.
  const minute = 60000, ten = Array.from({length: 10}, (_, k) => k * minute);
  const ends = [[-4, [], "giveUp"], [-6, [], "giveUp"], [-5, ten.slice(1), "restart"], [-5, ten, "giveUp"],
                [null, ten.map((t) => t - 1), "restart"], [1, ten, "giveUp"]];
  for (const [code, unstable, step] of ends)
    assert.ok(step in afterEnd(code, unstable, 10 * minute - 1), code + " after " + unstable.length);
  assert.match(endText(-2, "Can't find Draxion3 main window", "P", false), /exit code -2: no Draxion3 main window$/);
  assert.match(endText(-2, null, "P", false), /exit code -2: P is taken/);
  assert.match(endText(0, null, "P", "its pipe had closed"), /^the hub stopped the gateway, as its pipe had closed; .* 0: /);
});
