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
  assert.ok(lines.includes("robot1: reading the gateway's pipe: \\\\.\\Pipe\\gw") &&
            lines.includes("robot1: its server is process 7: C:\\gateway.exe"), lines);

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

// A pipe that will not open, as Node says it: the code, then the close.
const failing = (code) => () => {
  const socket = Object.assign(new EventEmitter(), {destroy: () => {}, write: () => {}});
  setImmediate(() => {
    socket.emit("error", Object.assign(new Error("connect " + code + " \\\\.\\pipe\\gw"), {code}));
    socket.emit("close");
  });
  return socket;
};

test("a pipe that will not open is said as its cause and what to do, never as Node's code", async (t) => {
  const pipe = "\\\\.\\Pipe\\gw";
  for (const [code, says, cause] of [
    // No gateway yet: the cause the status has always said, the pipe alone at the line's end.
    ["ENOENT", /^the gateway is not running, or has not opened its pipe yet .*: start it, and the hub reads it as soon as it serves \\\\\.\\Pipe\\gw$/,
     "waiting for the gateway's pipe " + pipe],
    ["UNKNOWN", /^Windows would not open the gateway's pipe and did not say why .*: if this goes on, end the gateway and start it again; the hub keeps trying$/],
    ["EPIPE", /^the gateway closed its pipe as the hub opened it .*: if it has ended, start it again/],
    ["ECONNRESET", /^the gateway closed its pipe as the hub opened it/],
    ["EPERM", /^this user may not open the gateway's pipe: run the hub as the same user as the gateway/],
    ["EIO", /^the system would not open the gateway's pipe \(EIO\): if this goes on, end the gateway/],
    // The one client connected, or gone: both alike to a new client.
    ["EBUSY", /^the gateway has already served a client \(it serves one per run\): close the other program if it still runs, and restart gateway.exe; the hub keeps trying \\\\\.\\Pipe\\gw$/],
  ]) {
    await t.test(code, async () => {
      const lines = [], shown = [];
      const robot = new Robot({name: "r"}, {silence_s: 2, no_communication_bad_after_s: 60}, "the gateway",
                              {show: (v) => shown.push(v.cause), missed: () => {}}, () => {});
      const source = new PipeSource("gw", robot, {connect: failing(code), watchExit: null, say: (l) => lines.push(l)});
      source.start();
      await until(() => lines.length > 0, "a line");
      source.stop();
      assert.strictEqual(lines.length, 1, lines);
      const [name, said] = [lines[0].slice(0, 3), lines[0].slice(3)];
      assert.strictEqual(name, "r: ");
      assert.match(said, says);
      assert.ok(code === "EIO" || !said.includes(code), said);
      assert.strictEqual(shown.at(-1), cause || said.slice(0, said.indexOf(": ")), "the status's reason: the cause");
    });
  }
});

test("a pipe that stays busy is said once, however often it is tried", async (t) => {
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
  assert.strictEqual(lines.length, 1, lines);
  assert.match(lines[0], /^robot1: the gateway has already served a client/);
  source.stop();
});
