"use strict";
// A kept robot against a stand-in keeper (its lines) and a stand-in gateway on a
// Unix socket: the keeper's word sets the robot's condition, a lost pipe stops
// the gateway and starts a new one, and the hub's stop stops it cleanly.
const assert = require("node:assert");
const {EventEmitter} = require("events");
const net = require("net");
const path = require("path");
const {PassThrough} = require("stream");
const test = require("node:test");
const {TAG} = require("../lib/contract");
const {encodeRecord} = require("../lib/framing");
const {Robot} = require("../lib/robot");
const {temporaryFolder, until} = require("./rig");
const {KeptGateway} = require("../lib/sources/kept_gateway");

function standInKeeper(args) {
  const child = Object.assign(new EventEmitter(), {args, stdout: new PassThrough(), stdin: new PassThrough(), asked: ""});
  child.stdin.on("data", (d) => { child.asked += d; });
  child.say = (line) => child.stdout.write(line + "\n");
  child.end = () => {
    child.stdout.end();
    setTimeout(() => child.emit("close", 0), 20);
  };
  child.kill = child.end;
  return child;
}

test("the keeper's word makes the condition; a lost pipe costs one restart; a stop is clean", async () => {
  const file = path.join(temporaryFolder(), "gw");
  const lines = [];
  const shown = [];
  const robot = new Robot({name: "robot3", number: 3, pipe: "gw"}, {silence_s: 2, no_communication_bad_after_s: 60},
                          "the gateway", {show: (v) => shown.push(v), missed: () => {}}, (l) => lines.push(l));
  const keepers = [];
  const kept = new KeptGateway(robot, {keeper: "keeper.exe", gateway: "C:\\gateway.exe", random: () => 0,
                                       spawn: (file, args) => keepers[keepers.push(standInKeeper(args)) - 1],
                                       pipe: {path: file}});
  const condition = () => [shown.at(-1).state, shown.at(-1).cause];
  kept.start();
  assert.deepStrictEqual(keepers[0].args, [String(process.pid), "C:\\gateway.exe", "3", "gw"]);
  assert.deepStrictEqual(condition(), ["starting", "launching gateway.exe"]);
  keepers[0].say("waiting host");
  await until(() => condition()[0] === "waiting_for_simulator", "waiting for the simulator");
  assert.strictEqual(condition()[1], "no Draxion3 main window yet");
  keepers[0].say("started 42");
  await until(() => condition()[0] === "starting", "started");

  const server = net.createServer((socket) => { server.client = socket.resume(); }).listen(file);
  await until(() => server.client, "the pipe read");
  const report = {state: "live", confirmed: 100.5, since: 100, readings: 3, made: 100.5};
  server.client.write(Buffer.concat([TAG, encodeRecord([1, 2, 3, 4, 5, 6], report)]));
  await until(() => condition()[0] === "live", "live");

  server.client.destroy();  // the pipe is lost while the gateway runs
  await until(() => condition()[1] === "the gateway's pipe has closed", "restarting");
  await until(() => keepers[0].asked === "stop\n", "the gateway asked to stop");
  keepers[0].say("exit 0");
  keepers[0].end();
  await until(() => /starting it again/.test(condition()[1]), "the restart's pause");
  assert.deepStrictEqual([robot.restarts, robot.lastExitCode, condition()[0]], [1, 0, "restarting"]);
  assert.match(condition()[1], /^the hub stopped the gateway, as its pipe had closed; .*exit code 0: .* in 1\.0 s$/);
  await until(() => keepers.length === 2, "a new gateway after the pause");

  const stopped = kept.stop();
  assert.strictEqual(keepers[1].asked, "stop\n");
  keepers[1].end();
  await stopped;
  assert.deepStrictEqual(condition(), ["stopped", "the hub was stopped"]);
  assert.ok(lines.includes("robot3: live") && lines.includes("robot3: stopped (the hub was stopped)"), lines);
  server.close();
});

test("a gateway whose end no restart can mend is given up on, with its cause", async () => {
  const shown = [];
  const robot = new Robot({name: "robot4", number: 4, pipe: "gw4"}, {silence_s: 2, no_communication_bad_after_s: 60},
                          "the gateway", {show: (v) => shown.push(v), missed: () => {}}, () => {});
  const keepers = [];
  const kept = new KeptGateway(robot, {keeper: "keeper.exe", gateway: "gateway.exe", random: () => 0,
                                       spawn: (file, args) => keepers[keepers.push(standInKeeper(args)) - 1],
                                       pipe: {path: path.join(temporaryFolder(), "no-such-pipe")}});
  kept.start();
  keepers[0].say("started 7");
  keepers[0].say("exit -4");
  keepers[0].end();
  await until(() => shown.at(-1).state === "failed", "the give-up");
  assert.match(shown.at(-1).cause, /^the hub gave up on the gateway: no restart can mend exit code -4: .*exit code -4/);
  assert.deepStrictEqual([kept.timer, robot.lastExitCode, robot.restarts], [null, -4, 0], "no restart planned");
  await kept.stop();
});

test("a keeper that cannot be started is said as its cause and what to do, never as Node's code", async () => {
  const unknown = () => Object.assign(new Error("spawn UNKNOWN"), {code: "UNKNOWN"});
  // Node says some refusals as the child's error, and throws others at once.
  for (const [how, spawn] of [["as the child's error", () => {
    const child = standInKeeper([]);
    setImmediate(() => child.emit("error", unknown()));
    return child;
  }], ["thrown by spawn", () => { throw unknown(); }]]) {
    const shown = [];
    const robot = new Robot({name: "robot5", number: 5, pipe: "gw5"}, {silence_s: 2, no_communication_bad_after_s: 60},
                            "the gateway", {show: (v) => shown.push(v), missed: () => {}}, () => {});
    const kept = new KeptGateway(robot, {keeper: "keeper.exe", gateway: "gateway.exe", random: () => 0, spawn,
                                         pipe: {path: path.join(temporaryFolder(), "no-such-pipe")}});
    kept.start();
    await until(() => shown.at(-1).state === "restarting", "the restart " + how);
    assert.match(shown.at(-1).cause, /^cannot start gateway_keeper\.exe: Windows did not say why \(.*\): allow it, or unpack the package again; starting it again in 1\.0 s$/, how);
    await kept.stop();
  }
});
