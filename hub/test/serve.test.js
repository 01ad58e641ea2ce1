"use strict";
// The hub run in-process: started on a configuration, its recording played to
// its own broker, and ended with its exit code once it is played, every part
// stopped (a part left running would keep this file from ending).
const assert = require("node:assert");
const fs = require("fs");
const path = require("path");
const test = require("node:test");
const {serve} = require("../hub");
const {parseConfig} = require("../lib/config");
const {EXIT} = require("../lib/exits");
const {freePort, temporaryFolder} = require("./rig");

test("serve runs in-process, says where it serves, ends with its exit code when its recordings end, and stops " +
     "every part", {timeout: 60000}, async (t) => {
  const folder = temporaryFolder();
  const rows = Array.from({length: 50}, (_, k) => (k / 100).toFixed(2) + "," + [k, 0, 0, 0, 0, -k].join(","));
  for (const file of ["r1.csv", "r2.csv"]) fs.writeFileSync(path.join(folder, file), rows.join("\n") + "\n");
  const [brokerPort, pagePort] = [await freePort(), await freePort()];
  // A cell: its robots' topics derived from where they sit.
  const config = parseConfig(JSON.stringify({opcua: false, broker_port: brokerPort, page_port: pagePort,
                                             site: "plant1", area: "sim", line: "line1", cell: "cell1", machine: "PC-17",
                                             robots: [{name: "r1", recording: "r1.csv"}, {name: "r2", recording: "r2.csv"}]}),
                             path.join(folder, "hub.json"));
  const lines = [];
  t.mock.method(console, "error", (line) => lines.push(line));
  const hub = await serve(config);
  assert.strictEqual(await hub.ended, EXIT.stopped, "every update delivered");
  // Each address alone at the end of its line, each robot's live page among them.
  const page = "http://127.0.0.1:" + pagePort + "/index.html?topic=plant1/sim/line1/cell1/PC-17/";
  const addresses = lines.map((l) => l.match(/ ((?:mqtt|http):\/\/\S+)$/)).filter((m) => m).map((m) => m[1]);
  assert.deepStrictEqual(addresses, ["mqtt://127.0.0.1:" + brokerPort, page + "r1/axes", page + "r2/axes"], lines);
  assert.ok(lines.every((l) => !/:\/\/\S*[;,)]/.test(l)), lines);
});
