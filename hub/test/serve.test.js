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

test("serve runs in-process, ends with its exit code when its recording ends, and stops every part", {timeout: 60000},
     async () => {
  const folder = temporaryFolder();
  const rows = Array.from({length: 50}, (_, k) => (k / 100).toFixed(2) + "," + [k, 0, 0, 0, 0, -k].join(","));
  fs.writeFileSync(path.join(folder, "r.csv"), rows.join("\n") + "\n");
  const [brokerPort, pagePort] = [await freePort(), await freePort()];
  const config = parseConfig(JSON.stringify({opcua: false, broker_port: brokerPort, page_port: pagePort,
                                             robots: [{name: "r1", recording: "r.csv", publish: "t/r1"}]}),
                             path.join(folder, "hub.json"));
  const hub = await serve(config);
  assert.strictEqual(await hub.ended, EXIT.stopped, "every update delivered");
});
