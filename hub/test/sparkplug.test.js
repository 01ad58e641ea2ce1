"use strict";
// The Sparkplug B node against a broker of its own (aedes), read by a subscriber
// that decodes every payload: births before data, aliases unique within the
// node, bdSeq new at each connection and the same in the will and the birth,
// seq wrapping after 255, a rebirth on command, the values bit for bit, the
// quality following a hold and a cut, a robot's death at its gateway's end, and
// the node's death (the will) when its connection is lost.
const assert = require("node:assert");
const net = require("net");
const test = require("node:test");
const mqtt = require("mqtt");
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const {SparkplugNode, QUALITY} = require("../lib/mqtt/sparkplug");

const until = async (check, what) => {
  for (const end = Date.now() + 5000; !check();) {
    if (Date.now() > end) throw new Error("never: " + what);
    await new Promise((r) => setTimeout(r, 10));
  }
};
const number = (v) => (typeof v === "object" && v !== null && "low" in v ? v.low + v.high * 2 ** 32 : v);

test("the node and its robots, born, alive, dying and born again", async () => {
  const {Aedes} = require("aedes");
  const broker = await Aedes.createBroker();
  const server = net.createServer(broker.handle);
  await new Promise((r) => server.listen(0, "127.0.0.1", r));
  const url = "mqtt://127.0.0.1:" + server.address().port;
  const seen = [];
  const reader = mqtt.connect(url);
  await new Promise((r) => reader.on("connect", r));
  await new Promise((r) => reader.subscribe("spBv1.0/#", r));
  reader.on("message", (topic, message) => {
    if (topic.split("/")[2] === "NCMD") return;  // the test's own command
    const m = sparkplug.decodePayload(message);
    seen.push({type: topic.split("/")[2], device: topic.split("/")[4], seq: m.seq === undefined ? null : number(m.seq),
               metrics: m.metrics});
  });

  const robots = [{name: "r1", device: {units: Array(6).fill({symbol: "°"})}}, {name: "r2"}];
  const node = new SparkplugNode({broker: url, sparkplug_group: "plant:cell", machine: "pc1"}, robots, () => {});
  await node.start();
  const [r1, r2] = robots.map((r) => node.feedOf(r));
  const values = [-0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7];
  r1.began();
  r1.take(values, {state: "live", confirmed: 100.25}, 100.3);
  r2.began();
  r2.take([1, 2, 3, 4, 5, 6], null, 100.4);
  r1.take(values, {state: "covered", confirmed: 100.25}, 100.5);
  r1.cut();
  for (let k = 0; k < 300; ++k) r2.take([k, 0, 0, 0, 0, 0], null, 101 + k / 100);  // seq wraps
  await until(() => seen.filter((m) => m.type === "DDATA").length >= 302, "every DDATA");

  const types = seen.map((m) => m.type + (m.device ? ":" + m.device : ""));
  assert.deepStrictEqual(types.slice(0, 3), ["NBIRTH", "DBIRTH:r1", "DBIRTH:r2"], "births before data");
  const birth = seen[0].metrics;
  assert.deepStrictEqual(birth.map((m) => [m.name, number(m.value)]), [["bdSeq", 0], ["Node Control/Rebirth", false]]);
  assert.deepStrictEqual(seen.map((m) => m.seq), seen.map((m, k) => k % 256), "seq from 0 at the birth, wrapping");
  const aliases = seen.filter((m) => m.type === "DBIRTH").flatMap((m) => m.metrics.map((x) => number(x.alias)));
  assert.strictEqual(new Set(aliases).size, 12, "aliases unique within the node");
  const r1Birth = seen[1].metrics;
  assert.ok(r1Birth.every((m, k) => Object.is(m.value, values[k]) && m.name === "axis" + (k + 1)), "bit for bit");
  assert.ok(r1Birth.every((m) => number(m.timestamp) === 100250 && m.properties.Quality.value === QUALITY.live &&
                          m.properties.engUnit.value === "°"));
  const r1Data = seen.filter((m) => m.type === "DDATA" && m.device === "r1");
  assert.deepStrictEqual(r1Data.map((m) => m.metrics[0].properties.Quality.value), [QUALITY.held, QUALITY.cut]);
  assert.ok(r1Data.every((m) => m.metrics.every((x) => x.name === undefined && number(x.alias) <= 6)), "data by alias");

  // A Rebirth command: the node and its live robots are born again, seq from 0.
  seen.length = 0;
  reader.publish("spBv1.0/plant:cell/NCMD/pc1", sparkplug.encodePayload({timestamp: Date.now(), metrics: [
    {name: "Node Control/Rebirth", type: "Boolean", value: true}]}));
  await until(() => seen.length >= 3, "the rebirth");
  assert.deepStrictEqual(seen.map((m) => [m.type, m.seq]), [["NBIRTH", 0], ["DBIRTH", 1], ["DBIRTH", 2]]);

  // The gateway's end: the robot's death. A lost connection: the node's will, then a new bdSeq born.
  seen.length = 0;
  r2.ended("the gateway has gone", -5);
  await until(() => seen.some((m) => m.type === "DDEATH"), "DDEATH");
  assert.strictEqual(seen.at(-1).device, "r2");
  node.client.stream.destroy();
  await until(() => seen.some((m) => m.type === "NDEATH") && seen.some((m) => m.type === "NBIRTH"), "death, birth");
  const [death, reborn] = ["NDEATH", "NBIRTH"].map((t) => seen.find((m) => m.type === t));
  assert.deepStrictEqual([number(death.metrics[0].value), number(reborn.metrics[0].value)], [0, 1],
                         "the will says the lost connection's bdSeq, the next birth a new one");
  assert.deepStrictEqual(seen.filter((m) => m.type === "DBIRTH").map((m) => m.device), ["r1"], "r2 stays dead");

  await node.finish();
  reader.end(true);
  await new Promise((r) => broker.close(r));
  server.close();
});
