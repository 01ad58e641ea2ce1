// The gateway's pipe: one connection to it (openPipe), and a plain reader of a
// gateway the hub does not start (PipeSource): it waits for the pipe to appear
// (trying again every 100 ms, for as long as the hub runs), asks for the state
// report, frames tag and record, and when the gateway has gone says why, with
// its exit code, then waits for the next gateway on the same name (the pipe
// takes one client and is never re-armed, so a new gateway is a new pipe).
//
// The exit code comes from pipe_server_exit.exe, which the hub hands its end of
// the pipe: Node itself cannot ask which process serves a pipe.
"use strict";

const childProcess = require("child_process");
const {EventEmitter} = require("events");
const fs = require("fs");
const net = require("net");
const path = require("path");
const readline = require("readline");
const {PIPE_PREFIX, REPORT_REQUEST, exitCodeMeaning} = require("../contract");
const {Framer} = require("../framing");

const RETRY_MS = 100;  // while there is no pipe yet
const BUSY_RETRY_MS = 1000;  // while someone else is its client
const EXIT_WAIT_MS = 2000;  // the pipe breaks as the gateway ends; its process may need a moment more

// Why the gateway's pipe would not open, and what to do, as a user reads it:
// Node names the system's error by a code ("connect UNKNOWN \\.\pipe\..."),
// which tells neither. {cause, next}; next ends in the pipe where it names it.
const OPEN_FAILURES = {
  ENOENT: (pipe) => ({cause: "the gateway is not running, or has not opened its pipe yet (it does once its " +
                             "information box is closed with OK)",
                      next: "start it, and the hub reads it as soon as it serves " + pipe}),
  UNKNOWN: () => ({cause: "Windows would not open the gateway's pipe and did not say why (the gateway may be " +
                          "starting or ending)",
                   next: "if this goes on, end the gateway and start it again; the hub keeps trying"}),
  EPIPE: () => ({cause: "the gateway closed its pipe as the hub opened it (it was ending, or serving another client)",
                 next: "if it has ended, start it again; the hub keeps trying"}),
  ECONNREFUSED: () => ({cause: "nothing serves the gateway's pipe any more (a gateway that has ended left its name " +
                               "behind)",
                        next: "start the gateway again; the hub keeps trying"}),
  EPERM: () => ({cause: "this user may not open the gateway's pipe",
                 next: "run the hub as the same user as the gateway (both as administrator, or neither); the hub " +
                       "keeps trying"}),
  EMFILE: () => ({cause: "the hub has too many files open to open the gateway's pipe", next: "start the hub again"}),
  // Busy looks the same whether its one client is still connected or has gone
  // (the pipe is never armed again), so both are said, with what helps.
  EBUSY: (pipe) => ({cause: "the gateway has already served a client (it serves one per run)",
                     next: "close the other program if it still runs, and restart gateway.exe; the hub keeps " +
                           "trying " + pipe}),
};
OPEN_FAILURES.ETIMEDOUT = OPEN_FAILURES.EACCES = OPEN_FAILURES.EBUSY;
OPEN_FAILURES.ECONNRESET = OPEN_FAILURES.EPIPE;
OPEN_FAILURES.ENFILE = OPEN_FAILURES.EMFILE;

function openFailure(code, pipe) {
  const known = OPEN_FAILURES[code];
  return known ? known(pipe) : {cause: "the system would not open the gateway's pipe (" + code + ")",
                                next: OPEN_FAILURES.UNKNOWN().next};
}

// Where a pipe of this name is: on Windows the named pipe; elsewhere (the
// hub's tests and development on Linux) a Unix socket in DRAXION_HUB_PIPE_DIR
// standing in for it.
function pipePath(name) {
  if (process.platform === "win32") return PIPE_PREFIX + name;
  return path.join(process.env.DRAXION_HUB_PIPE_DIR || "/tmp", name);
}

// Watches the gateway behind a connected socket with pipe_server_exit.exe:
// {server: Promise<"PID IMAGE" | null>, exit: Promise<code | null>, stop()}; null
// where the helper is not at hand (not Windows, or not beside the hub).
function windowsExitWatcher(helper) {
  if (process.platform !== "win32" || !fs.existsSync(helper)) return null;
  return (socket) => {
    const child = childProcess.spawn(helper, [String(process.pid)], {stdio: [socket, "pipe", "ignore"], windowsHide: true});
    // Node stops reading a stream it hands to a child; the helper never reads it.
    socket.resume();
    // Each promise takes the helper's line, or null once it has ended (or never started) without it.
    const tell = {};
    const server = new Promise((resolve) => { tell.server = resolve; });
    const exit = new Promise((resolve) => { tell.exit = resolve; });
    readline.createInterface({input: child.stdout}).on("line", (line) => {
      const [word, ...rest] = line.trim().split(" ");
      if (word === "server") tell.server(rest[0] === "unknown" ? null : rest.join(" "));
      if (word === "exit") tell.exit(/^-?\d+$/.test(rest[0]) ? Number(rest[0]) : null);
    });
    const end = () => {
      tell.server(null);
      tell.exit(null);
    };
    child.on("error", end);
    // "close", not "exit": the helper's last line may still be on its way.
    child.on("close", end);
    return {server, exit, stop: () => child.kill()};
  };
}

// One connection to a gateway's pipe. It asks for the state report, frames the
// bytes, and says what came: "connected" (the socket), "record" (an update),
// "refused" (how many records could not be served, and why the last) and
// "closed" (the failure or null, whether it had connected, the bytes skipped).
// What these mean is its reader's to decide.
function openPipe(file, connect = net.connect) {
  const link = new EventEmitter();
  const socket = connect(file);
  const framer = new Framer();
  let connected = false, failure = null;
  socket.on("connect", () => {
    connected = true;
    link.emit("connected", socket);
    socket.write(REPORT_REQUEST);
  });
  socket.on("data", (chunk) => {
    const refused = framer.refused;
    for (const update of framer.push(chunk)) link.emit("record", update);
    if (framer.refused > refused) link.emit("refused", framer.refused - refused, framer.refusedWhy);
  });
  socket.on("error", (e) => {
    failure = e;
  });
  socket.on("close", () => link.emit("closed", failure, connected, framer.skipped));
  link.close = () => socket.destroy();
  return link;
}

// A robot's updates and refusals from a link, as they come.
function feedRobot(link, robot, current = () => true) {
  link.on("record", (u) => {
    if (!current()) return;  // what a run that has ended still had on its way
    const now = Date.now();
    robot.take(u.values, u.report, now / 1000, now);
  });
  link.on("refused", (count, why) => robot.refused(count, why));
}

// A gateway the hub reads but does not start: whatever serves the name.
class PipeSource {
  // options: {path, watchExit (socket) => watcher | null, connect, say}
  constructor(name, robot, options = {}) {
    this.name = name;
    this.robot = robot;
    this.path = options.path || pipePath(name);
    this.watchExit = options.watchExit !== undefined ? options.watchExit
      : windowsExitWatcher(path.join(__dirname, "..", "..", "..", "pipe_server_exit.exe"));
    this.connect = options.connect || net.connect;
    this.say = options.say || (() => {});
    this.stopped = false;
    this.link = null;
    this.watcher = null;
    this.timer = null;
    this.waitingSaid = null;
  }

  start() {
    this.robot.cut("waiting for the gateway's pipe " + PIPE_PREFIX + this.name);
    this.open();
  }

  open() {
    this.timer = null;
    if (this.stopped) return;
    const link = openPipe(this.path, this.connect);
    this.link = link;
    link.on("connected", (socket) => this.connected(socket));
    feedRobot(link, this.robot);
    link.on("closed", (failure, connected, skipped) => {
      this.link = null;
      if (this.stopped) return;
      if (connected) return this.gone(skipped);
      // No gateway yet (ENOENT), or one that has served a client already (busy), or
      // another failure: said once while it lasts, and tried again.
      const code = failure ? failure.code : "ENOENT";
      const told = openFailure(code, PIPE_PREFIX + this.name);
      const why = code === "ENOENT" ? "waiting for the gateway's pipe " + PIPE_PREFIX + this.name : told.cause;
      if (why !== this.waitingSaid) {
        this.waitingSaid = why;
        this.say(this.robot.settings.name + ": " + told.cause + ": " + told.next);
        this.robot.cut(why);
      }
      this.timer = setTimeout(() => this.open(), code !== "ENOENT" ? BUSY_RETRY_MS : RETRY_MS);
    });
  }

  connected(socket) {
    this.waitingSaid = null;
    try {
      this.watcher = this.watchExit ? this.watchExit(socket) : null;
    } catch (e) {  // the exit code is a nicety: the values flow without it
      this.watcher = null;
      this.say(this.robot.settings.name + ": cannot learn the gateway's exit code: " + e.message);
      socket.resume();
    }
    const name = this.robot.settings.name;
    this.say(name + ": reading the gateway's pipe: " + PIPE_PREFIX + this.name);
    if (this.watcher) {
      this.watcher.server.then((server) => {
        if (server) this.say(name + ": " + server.replace(/^(\d+) (.*)$/, "its server is process $1: $2"));
      });
    }
    this.robot.began();
  }

  async gone(skipped) {
    const watcher = this.watcher;
    this.watcher = null;
    // Cut off at once; the exit code, which may take a moment, names the cause after.
    this.robot.ended("the gateway has gone");
    let code = null;
    if (watcher) {
      code = await Promise.race([watcher.exit, new Promise((r) => setTimeout(() => r(null), EXIT_WAIT_MS))]);
      watcher.stop();
    }
    if (this.stopped) return;
    const why = "the gateway has gone" + (code === null ? "" : " (exit code " + code + ": " + exitCodeMeaning(code) + ")");
    this.say(this.robot.settings.name + ": " + why + (skipped ? "; " + skipped + " bytes on its pipe were no update" : "") +
             "; waiting for its pipe again");
    if (code !== null) this.robot.ended(why, code);
    // The cause stays the gateway's end while its pipe is missing; anything else is said.
    this.waitingSaid = "waiting for the gateway's pipe " + PIPE_PREFIX + this.name;
    this.timer = setTimeout(() => this.open(), RETRY_MS);
  }

  stop() {
    this.stopped = true;
    if (this.timer !== null) clearTimeout(this.timer);
    if (this.link !== null) this.link.close();
    if (this.watcher) this.watcher.stop();
  }
}

module.exports = {PipeSource, RETRY_MS, feedRobot, openPipe, pipePath, windowsExitWatcher};
