// A broker's outage with store-and-forward, as long as asked:
//   NODE_PATH=build/hub-deps/node_modules scripts/node bench/hub/outage.js [MINUTES] [--restart] [--sparkplug]
// A robot at 100 updates a second (a recording, at its pace) publishes through the
// hub to mosquitto; 5 s in, the broker stops for MINUTES (default 10); with
// --restart the hub ends halfway through the outage (its recording ends) and
// another starts (a new run). A subscriber with a kept session reads everything.
// With --sparkplug the hub is a Sparkplug B node whose line to the broker is cut
// instead (QoS 0 is not kept for a subscriber while a broker is down), and the
// subscriber, connected throughout, takes births, live and historical data. Prints, per run of
// the hub: updates sent, received (each once), in order, duplicates, the hub's
// exit code; and how long the backlog took to go out once the broker was back.
"use strict";
const fs = require("fs");
const path = require("path");
const mqtt = require("mqtt");
const {serve} = require("../../hub/hub");
const {parseConfig} = require("../../hub/lib/config");
const {brokerLine, startMosquitto, temporaryFolder} = require("../../hub/test/rig");

const RATE = 100;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function recording(file, seconds, base) {
  const rows = Math.round(seconds * RATE);
  fs.writeFileSync(file, Array.from({length: rows}, (_, k) =>
    [(k / RATE).toFixed(2), k % 2 ? "-0.0" : "0.0", 1, 2, 3, 4, base + k].join(",")).join("\n") + "\n");
  return rows;
}

async function main() {
  const minutes = Number(process.argv.find((a) => /^\d+(\.\d+)?$/.test(a)) || 10);
  const restart = process.argv.includes("--restart");
  const sparkplug = process.argv.includes("--sparkplug");
  const outageMs = minutes * 60000;
  const folder = temporaryFolder();
  const lines = ["allow_anonymous true", "persistence true", "persistence_location " + folder + "/", "max_queued_messages 0"];
  let broker = await startMosquitto(folder, lines);
  const line = sparkplug ? await brokerLine(broker.port) : null;
  // Each update received: {seq, values}; under Sparkplug seq is axis 6 (the line), as the run tells no seq.
  const got = [];
  const decode = sparkplug ? require("sparkplug-payload").get("spBv1.0").decodePayload : null;
  const subscriber = mqtt.connect(broker.url, {clientId: "outage-bench", clean: false, reconnectPeriod: 200});
  subscriber.on("message", (topic, payload) => {
    if (!sparkplug) return topic === "t/r1" && got.push(JSON.parse(payload));
    if (!/\/D(BIRTH|DATA)\//.test(topic)) return;
    const metrics = decode(payload).metrics;
    const values = metrics.map((m) => m.value);
    got.push({values, seq: values[5] % 1000000 + 1, historical: metrics[0].isHistorical === true, at: Date.now()});
  });
  await new Promise((r) => subscriber.once("connect", r));
  await subscriber.subscribeAsync(sparkplug ? "spBv1.0/#" : "t/r1", {qos: 1});
  const said = [];
  console.error = (text) => said.push(new Date().toISOString() + " " + text);
  const hubOn = (file) => serve(parseConfig(JSON.stringify(Object.assign({
    opcua: false, broker: sparkplug ? line.url : broker.url, store_and_forward: true, drain_timeout_s: 120,
    robots: [{name: "r1", recording: file, publish: "t/r1"}]}, sparkplug ? {format: "sparkplug", machine: "pc1"} : {})),
  path.join(folder, "hub.json")));
  const outage = {
    begin: () => (sparkplug ? line.cut() : broker.stop()),
    end: async () => {
      if (sparkplug) line.mend();
      else broker = await startMosquitto(folder, lines, {}, broker.port);
    },
  };

  const tail = 30;  // s of updates after the broker is back (the hub reconnects within some seconds)
  const runs = [];
  // With --restart the first run's recording ends halfway through the outage, and its hub with it.
  const first = restart ? 5 + outageMs / 2000 - 2 : 5 + outageMs / 1000 + tail;
  runs.push({base: 1000000, sent: recording(path.join(folder, "a.csv"), first, 1000000)});
  let hub = await hubOn("a.csv");
  const ended = [hub.ended];
  await sleep(5000);
  await outage.begin();
  if (restart) {
    await ended[0];
    runs.push({base: 2000000, sent: recording(path.join(folder, "b.csv"), outageMs / 2000 + tail, 2000000)});
    hub = await hubOn("b.csv");
    ended.push(hub.ended);
    await sleep(outageMs / 2 - 1000);
  } else {
    await sleep(outageMs);
  }
  await outage.end();
  const back = Date.now();
  const codes = await Promise.all(ended);
  const drained = said.filter((l) => / wait in the history/.test(l));
  const total = runs.reduce((n, r) => n + r.sent, 0);
  for (let waited = 0; new Set(got.map((m) => m.values[5])).size < total && waited < 120000; waited += 200) await sleep(200);
  const allIn = Date.now() - back;
  for (const [k, run] of runs.entries()) {
    const ofRun = got.filter((m) => m.values[5] >= run.base && m.values[5] < run.base + 1000000);
    const mine = ofRun.map((m) => m.seq);
    const unique = (list) => list.filter((s, i) => list.indexOf(s) === i);
    const once = unique(mine);
    const ordered = (list) => list.every((s, i) => i === 0 || s > list[i - 1]);
    // The first after the broker's return may be the latest, sent ahead of the rest. Under Sparkplug live
    // data go on while historical data go out: each in order.
    const descents = once.map((s, i) => (i > 0 && s < once[i - 1] ? i : -1)).filter((i) => i >= 0);
    const inOrder = sparkplug ? [true, false].every((h) => ordered(unique(ofRun.filter((m) => m.historical === h)
      .map((m) => m.seq)))) : descents.length === 0 ||
      (descents.length === 1 && ordered(once.filter((_, i) => i !== descents[0] - 1)));
    console.log(JSON.stringify({run: k + 1, sent: run.sent, received: once.length, every: once.length === run.sent,
                                in_order: inOrder, duplicates: mine.length - once.length, exit_code: codes[k]}));
  }
  const historical = got.filter((m) => m.historical);
  console.log(JSON.stringify({outage_minutes: minutes, restart, all_in_ms_after_return: allIn,
                              historical_in_ms_after_return: historical.length ? historical.at(-1).at - back : null,
                              hub_said: said.filter((l) => /broker|wait|stopping/.test(l)).slice(-8), drained}));
  subscriber.end(true);
  if (line) line.close();
  await broker.stop();
  process.exit(0);
}

main().catch((e) => {
  process.stdout.write(JSON.stringify({error: e.stack}) + "\n");
  process.exit(1);
});
