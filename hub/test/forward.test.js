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
const {startMosquitto, temporaryFolder, until} = require("./rig");

// rows lines at 10 ms, axis 6 telling the run (base) and the line apart.
function recording(file, rows, base) {
  fs.writeFileSync(file, Array.from({length: rows}, (_, k) =>
    [(k / 100).toFixed(2), k % 2 ? "-0.0" : "0.0", 1, 2, 3, 4, base + k].join(",")).join("\n") + "\n");
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
  const stored = () => {
    const db = new DatabaseSync(path.join(folder, "history", "history.sqlite"), {readOnly: true});
    try {
      return db.prepare("SELECT count(*) AS n FROM outbox").get().n;
    } finally {
      db.close();
    }
  };
  const waiting = Number(said.map((l) => l.match(/(\d+) update\(s\) wait in the history/)).find((m) => m)[1]);
  await until(() => stored() > waiting, "the second hub's updates in the outbox");
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
