"use strict";
// A robot's MQTT publisher against a stand-in client: what reaches the broker,
// what is counted as not delivered, and the latest values sent again.
const assert = require("node:assert");
const EventEmitter = require("events");
const test = require("node:test");
const {Publisher} = require("../lib/mqtt/publisher");

function standIn() {
  const client = Object.assign(new EventEmitter(), {connected: true, options: {}, stream: {}, sent: [], end: () => {}});
  client.publish = (topic, text, options, callback) => client.sent.push({topic, text, callback});
  // The broker answers the message at index k: ok, a refusal's code, or an error of the library.
  client.answer = (k, error = null) => client.sent[k].callback(error);
  return client;
}

test("drops past the queue, losses and refusals are counted, and the latest values go out again", async () => {
  const client = standIn();
  const lines = [];
  const p = new Publisher({name: "r1", publish: "c/r1"}, {broker: "mqtt://b", qos: 1, retain: true, queue: 2},
                          (l) => lines.push(l), {connect: () => client});
  const starting = p.start();
  client.emit("connect");
  await new Promise(setImmediate);
  client.answer(0);  // the first status
  await starting;
  p.began();
  const values = (v) => [v, 0, 0, 0, 0, 0];
  for (const v of [1, 2, 3]) p.take(values(v), null, 1, {code: "Good"});
  const updates = () => client.sent.filter((m) => m.topic === "c/r1");
  assert.deepStrictEqual(updates().map((m) => JSON.parse(m.text).seq), [1, 2], "the third waits for room");
  const index = (seq) => client.sent.findIndex((m) => m.topic === "c/r1" && JSON.parse(m.text).seq === seq);
  client.answer(index(1), new Error("Connection closed"));  // lost by the library
  assert.deepStrictEqual(updates().map((m) => JSON.parse(m.text).seq), [1, 2, 3], "seq 3 once there is room");
  client.answer(index(2), Object.assign(new Error("Publish error: Quota exceeded"), {code: 0x97}));
  client.answer(index(3));
  client.sent.forEach((m, k) => m.topic !== "c/r1" && k > 0 && m.callback(null));
  const result = await p.finish("stopped", 200);
  assert.strictEqual(result.line, "2 of 3 updates were not delivered (1 refused by the broker, 1 lost as the " +
                     "connection to the broker closed)");
  assert.ok(lines.includes("r1: the broker refused an update on c/r1: quota exceeded"), lines);
});
