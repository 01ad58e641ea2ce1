"use strict";
// The broker source against a stand-in MQTT client: what the publisher's messages,
// retained or as sent, and the broker's comings and goings make of a robot; and
// against mosquitto, through a line the test cuts: its session kept.
const assert = require("node:assert");
const EventEmitter = require("events");
const test = require("node:test");
const mqtt = require("mqtt");
const messages = require("../lib/messages");
const {Robot} = require("../lib/robot");
const {BrokerSource} = require("../lib/sources/broker");
const {brokerLine, startMosquitto, temporaryFolder, until} = require("./rig");

test("values are live only as the publisher sends them, while publisher and broker are there", () => {
  // The topics subscribed to: a real broker answers a subscription with their retained messages.
  const asked = [];
  const client = Object.assign(new EventEmitter(), {subscribe: (topics) => asked.push(...topics), end: () => {}, options: {}});
  const shown = [];
  const view = {show: (v) => shown.push(v.state + (v.cause ? ": " + v.cause : "")), missed: () => {}};
  const lines = [];
  const robot = new Robot({name: "r1", topic: "c/r1"}, {silence_s: 2, no_communication_bad_after_s: 60}, "the publisher",
                          view, (l) => lines.push(l));
  const source = new BrokerSource([robot], {broker: "mqtt://b", machine: "pc1", no_communication_bad_after_s: 60},
                                  (l) => lines.push(l),
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
    // A broker restarted from its store keeps the session and resends the will it had in flight; the
    // publisher's "online" since then is not queued: only subscribing again brings it, retained.
    ["a restart with the session kept", () => {
      client.emit("close");
      asked.length = 0;
      client.emit("connect", {sessionPresent: true});
      status("offline");
      if (asked.includes("c/r1/status")) status("online", true);
    }, "no_communication: the publisher is online again; no values from it yet"],
    ["values as sent", () => update(false, 1), "live"],
  ];
  for (const [what, step, state] of steps) {
    step();
    assert.strictEqual(shown.at(-1), state, what);
  }
  // Live only at the four updates as sent, never for a moment in between.
  assert.strictEqual(shown.filter((s) => s === "live").length, 4, shown);
  update(false, 5);  // 2, 3 and 4 never came, across the status
  assert.strictEqual(robot.missedTally.count, 3);
  assert.ok(lines.includes("r1: 3 update(s) never arrived (3 in all)"), lines);

  // Store-and-forward: while updates wait (backlog), the latest comes first and its gap is not counted;
  // the forwarded ones that fill it, older, are history, not the values now.
  client.emit("message", "c/r1/status", Buffer.from(JSON.stringify({state: "online", backlog: 3})), {retain: false});
  const at = (s, time) => client.emit("message", "c/r1", Buffer.from(JSON.stringify(
    {seq: s, time, values: [s, 2, 3, 4, 5, 6], state: "live", confirmed: time})), {retain: false});
  at(9, 3);
  for (const s of [6, 7, 8]) at(s, 2);
  assert.strictEqual(robot.missedTally.count, 3, "no gap counted while updates wait");
  assert.strictEqual(robot.record.values[0], 9, "the forwarded updates are not the values now");
});

test("a reader keeps its session: what is published while it is away arrives when it is back, or starts again",
     async () => {
       const broker = await startMosquitto(temporaryFolder(), ["allow_anonymous true"]);
       const line = await brokerLine(broker.port);
       const config = {broker: line.url, machine: "pc1", port: 4840, no_communication_bad_after_s: 60};
       const lines = [];
       const reader = (taken) => {
         const feed = {take: (values) => taken.push(values[0]), judged: () => {}, setCondition: () => {}, waiting: () => {}};
         const robot = new Robot({name: "r1", topic: "c/r1"}, {silence_s: 2, no_communication_bad_after_s: 60},
                                 "the publisher", {show: () => {}, missed: () => {}}, (l) => lines.push(l), feed);
         const source = new BrokerSource([robot], config, (l) => lines.push(l));
         source.start();
         return {robot, source};
       };
       const writer = mqtt.connect(broker.url);
       const send = (topic, text, retain = false) => writer.publishAsync(topic, text, {qos: 1, retain});
       const updates = async (from, to) => {
         for (let seq = from; seq <= to; ++seq) await send("c/r1", messages.updateText(seq, seq, [seq, 0, 0, 0, 0, 0], null));
       };
       const upTo = (n) => Array.from({length: n}, (_, k) => k + 1);
       await send("c/r1/status", messages.offlineText(0, "starting", null), true);

       const taken = [];
       const first = reader(taken);
       await until(() => first.robot.record.link === "the publisher is offline: starting", "the reader's subscription");
       await send("c/r1/status", messages.onlineText(1, null), true);
       await updates(1, 5);
       await until(() => taken.includes(5), "the first updates");
       line.cut();
       await until(() => lines.some((l) => l.startsWith("lost the broker")), "the reader's loss");
       await updates(6, 10);  // taken by the broker meanwhile
       line.mend();
       await until(() => taken.includes(10), () => "the updates of the outage: " + taken);
       assert.ok(lines.some((l) => l.startsWith("back at the broker")), lines);
       assert.deepStrictEqual([...new Set(taken)], upTo(10), "in order, the outage's too");
       assert.strictEqual(first.robot.missedTally.count, 0);

       // The hub ends without a word; the same configuration, started again, is the same session.
       first.source.stop();
       await updates(11, 12);
       const again = [];
       const second = reader(again);
       assert.strictEqual(second.source.clientId, first.source.clientId);
       await until(() => again.includes(12), () => "what was queued for the ended hub: " + again);
       assert.deepStrictEqual([...new Set(again)], [11, 12], "the queue, then the retained copy of the last");
       const others = new BrokerSource([new Robot({name: "r2", topic: "c/r2"}, {}, "", {}, () => {})], config, () => {});
       assert.notStrictEqual(others.clientId, first.source.clientId, "another hub's reading is its own session");

       second.source.stop();
       writer.end(true);
       line.close();
       await broker.stop();
     });
