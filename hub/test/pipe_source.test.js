"use strict";
// The pipe source against a stand-in gateway on a Unix socket (the pipe's place
// on Linux): it waits for the pipe, asks for the report, takes every update, and
// says the gateway's end with its exit code before waiting for the next one.
const assert = require("node:assert");
const {EventEmitter} = require("events");
const net = require("net");
const path = require("path");
const test = require("node:test");
const {REPORT_REQUEST, TAG} = require("../lib/contract");
const {encodeRecord} = require("../lib/framing");
const {Robot} = require("../lib/robot");
const {temporaryFolder, until} = require("./rig");
const {PipeSource} = require("../lib/sources/pipe");

function gateway(file, onRequest) {
  const server = net.createServer((socket) => {
    server.client = socket;
    socket.on("data", (d) => onRequest(d));
  });
  server.listen(file);
  return server;
}

test("waits for the gateway, reads it, and tells its end and exit code", async () => {
  const file = path.join(temporaryFolder(), "gw");
  const shown = [];
  const lines = [];
  const view = {show: (v, values) => shown.push([v.state, v.cause, values]), missed: () => {}};
  const robot = new Robot({name: "robot1"}, {silence_s: 2, no_communication_bad_after_s: 60}, "the gateway", view,
                          (l) => lines.push(l));
  let exitCode = null;
  const watchExit = () => ({server: Promise.resolve("7 C:\\gateway.exe"), exit: new Promise((r) => { exitCode = r; }),
                            stop: () => {}});
  const source = new PipeSource("gw", robot, {path: file, watchExit, say: (l) => lines.push(l)});
  source.start();
  await new Promise((r) => setTimeout(r, 250));  // no pipe yet: it keeps trying
  assert.deepStrictEqual(shown.at(-1), ["no_data", "waiting for the gateway's pipe \\\\.\\Pipe\\gw", null]);

  const requests = [];
  let server = gateway(file, (d) => requests.push(d));
  await until(() => requests.length > 0, "the report request");
  assert.deepStrictEqual(requests[0], REPORT_REQUEST);
  const report = {state: "live", confirmed: 100.5, since: 100, readings: 3, made: 100.5};
  const record = Buffer.concat([TAG, encodeRecord([-0, 1, 2, 3, 4, 5], report)]);
  server.client.write(record.subarray(0, 100));
  server.client.write(record.subarray(100));
  await until(() => shown.at(-1)[0] === "live", "live values");
  assert.ok(Object.is(shown.at(-1)[2][0], -0));
  assert.ok(lines.includes("robot1: reading \\\\.\\Pipe\\gw, served by C:\\gateway.exe (process 7)"), lines);

  server.client.destroy();
  server.close();
  exitCode(-5);
  const gone = "the gateway has gone (exit code -5: the jog window was closed while the gateway ran)";
  await until(() => shown.at(-1)[1] === gone, "the end");
  assert.strictEqual(shown.at(-1)[0], "no_communication");
  await new Promise((r) => setTimeout(r, 250));  // while no new gateway comes, the end stays the cause
  assert.strictEqual(shown.at(-1)[1], gone);

  server = gateway(file, () => {});  // a new gateway on the same name
  await until(() => server.client, "a connection to the new gateway");
  server.client.write(Buffer.concat([TAG, encodeRecord([9, 9, 9, 9, 9, 9], report)]));
  await until(() => shown.at(-1)[0] === "live" && shown.at(-1)[2][0] === 9, "the new gateway's values");
  source.stop();
  server.close();
});

test("a busy pipe is said once, with what to do, however often it is tried", async (t) => {
  t.mock.timers.enable({apis: ["setTimeout"]});
  const shown = [];
  const lines = [];
  const view = {show: (v) => shown.push(v.cause), missed: () => {}};
  const robot = new Robot({name: "robot1"}, {silence_s: 2, no_communication_bad_after_s: 60}, "the gateway", view,
                          (l) => lines.push(l));
  // The system's answer to a pipe whose one client is connected, or has gone.
  let refused = 0;  // tries whose end the source has taken (and set its retry for)
  const connect = () => {
    const socket = new EventEmitter();
    socket.destroy = () => {};
    process.nextTick(() => {
      socket.emit("error", Object.assign(new Error("busy"), {code: "EBUSY"}));
      socket.emit("close");
      refused++;
    });
    return socket;
  };
  const source = new PipeSource("gw", robot, {path: "gw", watchExit: null, connect, say: (l) => lines.push(l)});
  source.start();
  // The retries' timers are mocked: each try's end is waited for on the event loop itself.
  for (let n = 1; n <= 3; n++) {
    for (const end = Date.now() + 30000; refused < n;) {
      assert.ok(Date.now() < end, "try " + n + " never ended");
      await new Promise(setImmediate);
    }
    t.mock.timers.tick(1000);
  }
  const said = "robot1: \\\\.\\Pipe\\gw: the gateway has already served a client (it serves one per run): close the " +
    "other program if it still runs, and restart gateway.exe; trying again";
  assert.deepStrictEqual(lines, [said]);
  assert.strictEqual(shown.at(-1), said.slice("robot1: ".length, -"; trying again".length));
  source.stop();
});
