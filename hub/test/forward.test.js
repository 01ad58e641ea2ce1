"use strict";
// Store-and-forward: updates the broker has not taken wait in the hub's history,
// through a broker's outage and a restart of the hub in the middle of it, and
// reach a subscriber in order once the broker is back, with no exit 5.
const assert = require("node:assert");
const fs = require("fs");
const path = require("path");
const test = require("node:test");
const mqtt = require("mqtt");
const {DatabaseSync} = require("node:sqlite");
const {serve} = require("../hub");
const {parseConfig} = require("../lib/config");
const {EXIT} = require("../lib/exits");
const {brokerLine, startMosquitto, temporaryFolder, until} = require("./rig");

// rows lines at 10 ms, axis 6 telling the run (base) and the line apart.
function recording(file, rows, base) {
  fs.writeFileSync(file, Array.from({length: rows}, (_, k) =>
    [(k / 100).toFixed(2), k % 2 ? "-0.0" : "0.0", 1, 2, 3, 4, base + k].join(",")).join("\n") + "\n");
}

// The entries in a hub's outbox.
function stored(folder) {
  const db = new DatabaseSync(path.join(folder, "history", "history.sqlite"), {readOnly: true});
  try {
    return db.prepare("SELECT count(*) AS n FROM outbox").get().n;
  } finally {
    db.close();
  }
}

test("a broker away, and the hub restarted meanwhile: every update reaches the subscriber in order, none lost",
     {timeout: 120000}, async (t) => {
  const folder = temporaryFolder();
  // The broker keeps the subscriber's session, and what is queued for it, across its own restart.
  const lines = ["allow_anonymous true", "persistence true", "persistence_location " + folder + "/",
                 "max_queued_messages 0"];
  let broker = await startMosquitto(folder, lines);
  const got = [], statuses = [];
  const subscriber = mqtt.connect(broker.url, {clientId: "forward-test", clean: false, reconnectPeriod: 100});
  subscriber.on("message", (topic, payload) => (topic.endsWith("/status") ? statuses : got).push(JSON.parse(payload)));
  await new Promise((resolve) => subscriber.once("connect", resolve));
  await subscriber.subscribeAsync(["t/r1", "t/r1/status"], {qos: 1});

  const said = [];
  t.mock.method(console, "error", (line) => said.push(line));
  t.after(() => {
    subscriber.end(true);
    return broker.stop();
  });
  const hubOn = async (file) => serve(parseConfig(JSON.stringify({
    opcua: false, broker: broker.url, store_and_forward: true, drain_timeout_s: 20,
    robots: [{name: "r1", recording: file, publish: "t/r1"}]}), path.join(folder, "hub.json")));
  recording(path.join(folder, "a.csv"), 300, 1000);
  recording(path.join(folder, "b.csv"), 500, 2000);

  const first = await hubOn("a.csv");
  await until(() => got.length >= 50, "the first updates live");
  await broker.stop();  // the outage: the first hub ends with it, its updates stored
  assert.strictEqual(await first.ended, EXIT.stopped, said.join("\n"));
  assert.ok(said.some((l) => /\d+ update\(s\) wait in the history for the broker/.test(l)), said.join("\n"));
  const second = await hubOn("b.csv");  // starts while the broker is away
  assert.ok(said.some((l) => /cannot reach the broker: .*; the updates are stored until it can be reached/.test(l)),
            said.join("\n"));
  // The second hub stores behind the first's updates while the broker is still away.
  const waiting = Number(said.map((l) => l.match(/(\d+) update\(s\) wait in the history/)).find((m) => m)[1]);
  await until(() => stored(folder) > waiting, "the second hub's updates in the outbox");
  broker = await startMosquitto(folder, lines, {}, broker.port);
  assert.strictEqual(await second.ended, EXIT.stopped, said.join("\n"));
  await until(() => got.filter((m) => m.values[5] >= 2000).length >= 500 &&
                    got.filter((m) => m.values[5] < 2000).length >= 300, () => got.length + " updates arrived");

  const seqsOf = (run) => got.filter((m) => (m.values[5] >= 2000) === (run === 2)).map((m) => m.seq);
  const once = (list) => list.filter((s, k) => list.indexOf(s) === k);
  const upTo = (n) => Array.from({length: n}, (_, k) => k + 1);
  assert.deepStrictEqual(once(seqsOf(1)), upTo(300), "the first hub's updates, each once, in order");
  const second_ = seqsOf(2);
  // The latest values came first on the broker's return; then everything in order.
  assert.deepStrictEqual(once(second_[0] === 1 ? second_ : second_.slice(1)), upTo(500));
  assert.ok(got.every((m) => Object.is(m.values[0], m.seq % 2 ? 0 : -0)), "zero's sign as recorded");
  if (process.env.DEBUG_F) console.log(seqsOf(1).length, seqsOf(2).length, second_.slice(0, 5), statuses.map((s) => s.backlog));
  assert.ok(statuses.some((s) => s.backlog > 0) && statuses[statuses.length - 1].backlog === 0,
            JSON.stringify(statuses.slice(-3)));
});

test("Sparkplug: what the node could not send through an outage and a restart of the hub comes as historical " +
     "data, in order, after births with the current values", {timeout: 120000}, async (t) => {
  const sparkplug = require("sparkplug-payload").get("spBv1.0");
  const folder = temporaryFolder();
  const broker = await startMosquitto(folder, ["allow_anonymous true"]);
  const line = await brokerLine(broker.port);  // the hub's way to the broker; the subscriber's is direct
  const seen = [];
  const subscriber = mqtt.connect(broker.url);
  subscriber.on("message", (topic, payload) => {
    const m = sparkplug.decodePayload(payload);
    seen.push({type: topic.split("/")[2], metrics: m.metrics.map((x) => ({
      value: x.value, historical: x.isHistorical === true, stamp: Number(x.timestamp), alias: Number(x.alias),
      name: x.name}))});
  });
  await new Promise((resolve) => subscriber.once("connect", resolve));
  await subscriber.subscribeAsync("spBv1.0/#");
  const said = [];
  t.mock.method(console, "error", (text) => said.push(text));
  t.after(() => {
    subscriber.end(true);
    line.close();
    return broker.stop();
  });
  const hubOn = (file) => serve(parseConfig(JSON.stringify({
    opcua: false, broker: line.url, format: "sparkplug", machine: "pc1", store_and_forward: true,
    state_folder: "state", robots: [{name: "r1", recording: file, publish: "t/r1"}]}), path.join(folder, "hub.json")));
  recording(path.join(folder, "a.csv"), 3000, 1000);
  recording(path.join(folder, "b.csv"), 3000, 5000);
  // Axis 6 (the run and the line) of each robot's birth and data, live, or of its historical data.
  const data = (historical) => seen.filter((m) => m.type === "DDATA" || m.type === "DBIRTH").map((m) => m.metrics)
    .filter((ms) => ms[0].historical === historical).map((ms) => ms[5].value);

  const first = await hubOn("a.csv");
  await until(() => data(false).length >= 50, "the first updates live");
  line.cut();
  const waiting = () => Number((said.map((l) => l.match(/(\d+) update\(s\) wait in the history/)).find((m) => m) || [])[1]);
  await until(() => said.some((l) => /lost the broker; the robots' values are stored/.test(l)), "the loss said");
  first.stop("the test stopped it");
  assert.strictEqual(await first.ended, EXIT.stopped, said.join("\n"));
  assert.ok(waiting() > 0, said.join("\n"));
  const second = await hubOn("b.csv");  // starts while the broker cannot be reached
  assert.ok(said.some((l) => /; the robots' values are stored until it can be reached/.test(l)), said.join("\n"));
  await until(() => stored(folder) > waiting(), "the second hub's updates in the outbox");
  line.mend();
  // The backlog said as 0 (after the births' count above it): everything stored has gone out.
  const backlogs = () => {
    const births = seen.filter((m) => m.type === "NBIRTH");
    const alias = births.length ? births[0].metrics.find((x) => x.name === "Store and Forward/Backlog").alias : null;
    return seen.filter((m) => m.type === "NBIRTH" || m.type === "NDATA")
      .map((m) => Number(m.metrics.find((x) => x.alias === alias).value));
  };
  await until(() => backlogs().length >= 3 && backlogs().at(-1) === 0, () => "backlog " + backlogs());
  second.stop("the test stopped it");
  assert.strictEqual(await second.ended, EXIT.stopped, said.join("\n"));
  await until(() => seen.at(-1).type === "NDEATH", "the node's death");

  const historical = data(true), live = data(false);
  const once = (list) => list.filter((v, k) => list.indexOf(v) === k);
  const run = (list, second_) => list.filter((v) => (v >= 5000) === second_);
  const from = (start, n) => Array.from({length: n}, (_, k) => start + k);
  // Each run whole, live or historical (at least once), in order: the first up to the cut, then as many stored as it
  // said were waiting; the second stored from its first line until it was born, then live.
  for (const [second_, start] of [[false, 1000], [true, 5000]]) {
    const all = once(run(live, second_).concat(run(historical, second_)).sort((x, y) => x - y));
    assert.deepStrictEqual(all, from(start, all.length), (second_ ? "second" : "first") + " run whole");
    assert.deepStrictEqual(once(run(historical, second_)), run(historical, second_).filter((v, k, l) => k === 0 || v > l[k - 1]),
                           "historical data in the order taken");
  }
  assert.strictEqual(once(run(historical, false)).length, waiting(), "as many as the first hub said were waiting");
  assert.ok(run(historical, true).length > 0, "the second run stored some");
  assert.ok(backlogs()[1] > waiting(), "the second birth says what waits: " + backlogs());
  // Historical data only after the births, which carry current values.
  const reborn = seen.findLastIndex((m) => m.type === "DBIRTH");
  assert.ok(seen.slice(0, reborn).every((m) => m.type !== "DDATA" || !m.metrics[0].historical));
  assert.ok(seen[reborn].metrics[5].value >= 5000 && !seen[reborn].metrics.some((x) => x.historical));
  const stamps = seen.filter((m) => m.type === "DDATA" && m.metrics[0].historical).map((m) => m.metrics[0].stamp);
  assert.ok(stamps.every((s, k) => k === 0 || s >= stamps[k - 1]), "with the times they were taken");
  assert.ok(seen.filter((m) => m.type.endsWith("DATA") || m.type === "DBIRTH").every((m) => m.type === "NDATA" ||
            Object.is(m.metrics[0].value, m.metrics[5].value % 2 ? -0 : 0)), "zero's sign as recorded");
});
