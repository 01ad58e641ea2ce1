"use strict";
// The Sparkplug B node against a broker of its own (aedes, or mosquitto for
// MQTT 5's refusals), read by a subscriber that decodes every payload: births
// before data, aliases unique within the node, bdSeq an Int64, new at each
// connection and at each run of the hub, the same in the will and the birth,
// seq wrapping after 255, a rebirth on command, the values bit for bit, the
// quality following a hold and a cut, a robot's death at its gateway's end,
// the node's death (the will) when its connection is lost, a start that
// cannot hang, the broker's refusals counted, and, with store-and-forward, live
// data the broker had not answered for stored when the connection is lost.
const assert = require("node:assert");
const fs = require("fs");
const net = require("net");
const path = require("path");
const test = require("node:test");
const mqtt = require("mqtt");
const sparkplug = require("sparkplug-payload").get("spBv1.0");
const {StartError} = require("../lib/mqtt/connection");
const {SparkplugNode, QUALITY} = require("../lib/mqtt/sparkplug");
const {startMosquitto, temporaryFolder, until} = require("./rig");

const number = (v) => (typeof v === "object" && v !== null && "low" in v ? v.low + v.high * 2 ** 32 : v);

// aedes on a port of its own, and a subscriber that decodes all of spBv1.0/# but the test's commands.
async function aedesBroker() {
  const {Aedes} = require("aedes");
  const broker = await Aedes.createBroker();
  const server = net.createServer(broker.handle);
  await new Promise((r) => server.listen(0, "127.0.0.1", r));
  const url = "mqtt://127.0.0.1:" + server.address().port;
  const {reader, seen} = await subscriber(url);
  return {broker, url, reader, seen, close: async () => {
    reader.end(true);
    await new Promise((r) => broker.close(r));
    server.close();
  }};
}

async function subscriber(url, login = {}) {
  const seen = [];
  const reader = mqtt.connect(url, login);
  await new Promise((r) => reader.on("connect", r));
  await new Promise((r) => reader.subscribe("spBv1.0/#", r));
  reader.on("message", (topic, message) => {
    if (topic.split("/")[2] === "NCMD") return;  // the test's own command
    const m = sparkplug.decodePayload(message);
    seen.push({type: topic.split("/")[2], device: topic.split("/")[4], seq: m.seq === undefined ? null : number(m.seq),
               metrics: m.metrics});
  });
  return {reader, seen};
}

// What the node keeps in its state folder: the last bdSeq used.
const kept = (folder) => fs.readFileSync(path.join(folder, fs.readdirSync(folder).find((f) => f.includes("bdseq"))), "utf8");

test("the node and its robots, born, alive, dying and born again", async () => {
  const {url, reader, seen, close} = await aedesBroker();
  const robots = [{name: "r1", device: {units: Array(6).fill({symbol: "°"})}}, {name: "r2"}];
  const folder = temporaryFolder();
  const node = new SparkplugNode({broker: url, sparkplug_group: "plant:cell", machine: "pc1", state_folder: folder},
                                 robots, () => {});
  await node.start();
  const [r1, r2] = robots.map((r) => node.feedOf(r));
  const values = [-0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1234.6, 7];
  r1.began();
  // The robot's verdicts (status_rules.js) decide each metric's quality.
  const [good, held, cut] = [["Good", false], ["UncertainLastUsableValue", false],
                             ["UncertainNoCommunicationLastUsableValue", true]].map(([code, cutOff]) =>
    ({code, cutOff, withValues: true}));
  r1.take(values, {state: "live", confirmed: 100.25}, 100.3, good);
  r2.began();
  r2.take([1, 2, 3, 4, 5, 6], null, 100.4, good);
  r1.take(values, {state: "covered", confirmed: 100.25}, 100.5, held);
  r1.judged(held);  // no change: nothing sent
  r1.judged(cut);
  for (let k = 0; k < 300; ++k) r2.take([k, 0, 0, 0, 0, 0], null, 101 + k / 100, good);  // seq wraps
  await until(() => seen.filter((m) => m.type === "DDATA").length >= 302, "every DDATA");

  const types = seen.map((m) => m.type + (m.device ? ":" + m.device : ""));
  assert.deepStrictEqual(types.slice(0, 3), ["NBIRTH", "DBIRTH:r1", "DBIRTH:r2"], "births before data");
  // bdSeq 0 went with the MQTT 5 connection this 3.1.1 broker refused: each CONNECT has its own.
  const birth = seen[0].metrics;
  assert.deepStrictEqual(birth.map((m) => [m.name, m.type, number(m.value)]),
                         [["bdSeq", "Int64", 1], ["Node Control/Rebirth", "Boolean", false]]);
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
  assert.deepStrictEqual([death, reborn].map((m) => [m.metrics[0].type, number(m.metrics[0].value)]),
                         [["Int64", 1], ["Int64", 2]], "the will says the lost connection's bdSeq, the next birth a new one");
  assert.strictEqual(kept(folder), "2\n", "the state folder has the connection's bdSeq");
  assert.deepStrictEqual(seen.filter((m) => m.type === "DBIRTH").map((m) => m.device), ["r1"], "r2 stays dead");

  await node.finish();
  await close();
});

test("bdSeq goes on from run to run; the start cannot hang; a subscription refused ends it, or the hub", async () => {
  const {broker, url, seen, close} = await aedesBroker();
  let subscriptions = "answered";  // or "refused", or "unanswered"
  broker.authorizeSubscribe = (client, subscription, callback) => {
    if (subscriptions !== "unanswered") callback(null, subscriptions === "answered" ? subscription : null);
  };
  let deaths = "answered";  // or "unanswered"
  broker.authorizePublish = (client, packet, callback) => {
    if (deaths === "answered" || !packet.topic.includes("/NDEATH/")) callback(null);
  };
  const folder = temporaryFolder();
  const config = {broker: url, sparkplug_group: "g", machine: "pc1", state_folder: folder, mqtt_version: 4,
                  broker_username: "hub"};
  const run = async (lines) => {
    const node = new SparkplugNode(config, [], (l) => lines.push(l));
    seen.length = 0;
    await node.start();
    await until(() => seen.some((m) => m.type === "NBIRTH"), "the birth");
    await node.finish(null, 5000);
    return number(seen.find((m) => m.type === "NBIRTH").metrics[0].value);
  };
  const file = path.join(folder, "sparkplug-bdseq-g-pc1.txt");
  const runs = [["a first run", null, 0], ["the next run", null, 1], ["after 255", "255\n", 0],
                ["a file that holds no bdSeq", "x\n", 0]];
  for (const [what, given, bdSeq] of runs) {
    if (given !== null) fs.writeFileSync(file, given);
    const lines = [];
    assert.strictEqual(await run(lines), bdSeq, what);
    assert.strictEqual(fs.readFileSync(file, "utf8"), bdSeq + "\n", what);
    assert.strictEqual(lines.some((l) => l.includes("holds no bdSeq")), given === "x\n", what);
  }

  const starts = [["refused", /^the broker refuses the node's subscription to spBv1.0\/g\/NCMD\/pc1: unspecified error \(may the login 'hub' write spBv1.0\/g\/\+\/pc1\/# and read/],
                  ["unanswered", /^the broker did not answer the node's subscription to spBv1.0\/g\/NCMD\/pc1 within 0.5 s: is it overloaded\? the broker: mqtt:\S+$/]];
  for (const [answer, says] of starts) {
    subscriptions = answer;
    await assert.rejects(new SparkplugNode(config, [], () => {}).start(answer === "unanswered" ? 500 : undefined),
                         (e) => e instanceof StartError && says.test(e.message), answer);
  }

  // Refused at a later connection: the hub is told; a death left unanswered is counted.
  subscriptions = "answered";
  const node = new SparkplugNode(config, [], () => {});
  const denied = [];
  node.onDenied = (why) => denied.push(why);
  await node.start();
  subscriptions = "refused";
  node.client.stream.destroy();
  await until(() => denied.length > 0, "the refusal told");
  assert.match(denied[0], /refuses the node's subscription/);
  deaths = "unanswered";
  assert.deepStrictEqual(await node.finish(null, 200), {undelivered: 1, line: "1 of the node's messages were not " +
                         "delivered (the node's death not acknowledged within 0.2 s)"});
  await close();
});

test("under MQTT 5 a death the broker refuses is counted as not delivered", async () => {
  const folder = temporaryFolder();
  fs.writeFileSync(path.join(folder, "acl"), "user hub\ntopic read spBv1.0/#\ntopic write spBv1.0/g/NBIRTH/pc1\n");
  const broker = await startMosquitto(folder, ["allow_anonymous false", "acl_file " + path.join(folder, "acl")],
                                      {hub: "hub-secret"});
  const login = {username: "hub", password: "hub-secret"};
  const {reader, seen} = await subscriber(broker.url, login);
  const lines = [];
  const node = new SparkplugNode({broker: broker.url, sparkplug_group: "g", machine: "pc1", state_folder: folder,
                                  broker_username: "hub", broker_password: "hub-secret"}, [], (l) => lines.push(l));
  await node.start();
  await until(() => seen.some((m) => m.type === "NBIRTH"), "the birth");
  assert.strictEqual(number(seen[0].metrics[0].value), 0, "MQTT 5 at once: the first connection's bdSeq");
  assert.deepStrictEqual(await node.finish(null, 5000), {undelivered: 1, line: "1 of the node's messages were not " +
                         "delivered (1 refused by the broker)"});
  assert.ok(lines.includes("Sparkplug: the broker refused the node's death: not authorized"), lines);
  reader.end(true);
  await broker.stop();
});

test("store-and-forward: live data the broker has not answered for are stored when the connection is lost, each once",
     async () => {
  const {broker, url, close} = await aedesBroker();
  const held = [];  // the broker's answers to the node's subscriptions, given when the test says
  broker.authorizeSubscribe = (client, subscription, callback) => held.push(() => callback(null, subscription));
  const kept = [];
  const node = new SparkplugNode({broker: url, sparkplug_group: "g", machine: "pc1", state_folder: temporaryFolder()},
                                 [{name: "r1"}], () => {});
  node.store = {broken: false, outboxAdd: (key, text) => kept.push(JSON.parse(text)), outboxCount: async () => 0,
                outboxTake: async () => [], outboxDone: () => {}};
  const started = node.start();
  await until(() => held.length === 1, "the subscription to commands");
  held[0]();
  await started;
  const r1 = node.feedOf({name: "r1"});
  const good = {code: "Good", cutOff: false, withValues: true};
  const take = (v) => r1.take([v, 0, 0, 0, 0, 0], null, 100 + v, good);
  r1.began();
  // Two answers asked for while live data go on; the broker answers for 3, then for 5 of 7.
  [1, 2, 3].forEach(take);
  const first = node.answered();
  [4, 5].forEach(take);
  const second = node.answered();
  [6, 7].forEach(take);
  await until(() => held.length >= 3, "both asked");
  held[1]();
  assert.strictEqual(await first, true);
  held[2]();
  assert.strictEqual(await second, true);
  node.client.stream.destroy();
  await until(() => !node.alive, "the connection lost");
  const axis1 = (entry) => new Float64Array(new Uint8Array(Buffer.from(entry.bits, "hex")).buffer)[0];
  assert.deepStrictEqual(kept.map(axis1), [6, 7], "the two sent after the last answer, stored in order");
  await node.finish(null, 200);
  await close();
});
