"use strict";
// The broker source against a stand-in MQTT client: what the publisher's messages,
// retained or as sent, and the broker's comings and goings make of a robot.
const assert = require("node:assert");
const EventEmitter = require("events");
const test = require("node:test");
const {Robot} = require("../lib/robot");
const {BrokerSource} = require("../lib/sources/broker");

test("values are live only as the publisher sends them, while publisher and broker are there", () => {
  const client = Object.assign(new EventEmitter(), {subscribe: () => {}, end: () => {}});
  const shown = [];
  const view = {show: (v) => shown.push(v.state + (v.cause ? ": " + v.cause : "")), missed: () => {}};
  const lines = [];
  const robot = new Robot({name: "r1", topic: "c/r1"}, {silence_s: 2, no_communication_bad_after_s: 60}, "the publisher",
                          view, (l) => lines.push(l));
  const source = new BrokerSource([robot], {broker: "mqtt://b", no_communication_bad_after_s: 60}, (l) => lines.push(l),
                                  {connect: () => client});
  source.start();
  let seq = 0;
  const update = (retain, s = ++seq) => client.emit("message", "c/r1", Buffer.from(JSON.stringify(
    {seq: s, time: 1, values: [1, 2, 3, 4, 5, 6], state: "live", confirmed: 1})), {retain});
  const status = (state, retain = false) => client.emit("message", "c/r1/status",
                                                        Buffer.from(JSON.stringify({state, reason: "done"})), {retain});
  const steps = [
    ["connect", () => client.emit("connect"), "no_data: no new values from the publisher yet"],
    ["its retained status", () => status("online", true), "no_data: no new values from the publisher yet"],
    ["its retained values", () => update(true), "no_communication: no new values from the publisher yet"],
    ["values as sent", () => update(false), "live"],
    ["the broker goes", () => client.emit("close"), "no_communication: the broker is away"],
    ["and comes back", () => client.emit("connect"), "no_communication: no new values from the publisher yet"],
    ["the retained values again", () => update(true, seq), "no_communication: no new values from the publisher yet"],
    ["values as sent", () => update(false), "live"],
    ["the publisher ends", () => status("offline"), "no_communication: the publisher is offline: done"],
    ["its last values, retained", () => update(true, seq), "no_communication: the publisher is offline: done"],
    ["a new run of it", () => status("online"), "no_communication: the publisher is online again; no values from it yet"],
    ["its first values", () => update(false, 1), "live"],
    ["its next status", () => status("online"), "live"],
  ];
  for (const [what, step, state] of steps) {
    step();
    assert.strictEqual(shown.at(-1), state, what);
  }
  // Live only at the three updates as sent, never for a moment in between.
  assert.strictEqual(shown.filter((s) => s === "live").length, 3, shown);
  update(false, 5);  // 2, 3 and 4 never came, across the status
  assert.strictEqual(robot.missedCount, 3);
  assert.ok(lines.includes("r1: 3 update(s) never arrived (3 in all)"), lines);
});
