// A robot whose gateway the hub keeps running: it starts gateway.exe through
// gateway_keeper.exe (which waits for the simulator's windows, answers the
// gateway's boxes, holds it in a job object and tells its exit code), reads its
// pipe, and when the gateway ends, or its pipe is lost, starts it again after a
// pause (restart_rules.js). The gateway's pipe takes one client and is never
// re-armed, so a lost pipe costs one restart.
//
// The robot's phase follows the keeper: starting, waiting_for_simulator, running
// (the pipe is read), restarting, stopped; or failed, where restart_rules.js
// says to give up on the gateway.
"use strict";

const childProcess = require("child_process");
const readline = require("readline");
const {PIPE_PREFIX} = require("../contract");
const {RESTART_POLICY, afterEnd, restartDelayS, endText, waitText, PIPE_READ_LIMIT_S, HUNG_S} = require("../restart_rules");
const {RETRY_MS, feedRobot, openPipe, pipePath} = require("./pipe");

const STOP_WAIT_MS = 5000;  // the keeper's own grace is 3 s
const GONE_WAIT_MS = 1000;

// Why the keeper would not start, as a user reads it (Node says "spawn UNKNOWN").
const SPAWN_FAILURES = {
  ENOENT: "it is not beside hub.cmd, where the package has it: unpack the package again",
  EACCES: "this user may not run it (a security program, or the file's permissions): allow it",
  UNKNOWN: "Windows did not say why (a security program may block it): allow it, or unpack the package again",
};
SPAWN_FAILURES.EPERM = SPAWN_FAILURES.EACCES;

class KeptGateway {
  // options: {keeper, gateway (their paths), spawn, random, pipe: {path, connect} (tests)}
  constructor(robot, options) {
    this.robot = robot;
    this.settings = robot.settings;
    this.options = options;
    this.spawn = options.spawn || childProcess.spawn;
    this.random = options.random || Math.random;
    this.pipe = Object.assign({path: pipePath(this.settings.pipe), connect: undefined}, options.pipe);
    this.run = null;        // the keeper's run: {child, box, code, connected, stopping, ...}
    this.failures = 0;      // ends in a row without live values
    this.unstableEnds = [];  // when they were (ms)
    this.timer = null;
    this.stopped = false;
  }

  start() {
    this.launch();
  }

  launch() {
    this.timer = null;
    if (this.stopped) return;
    const s = this.settings;
    const run = {child: null, box: null, code: null, connected: false, stopping: false, ended: false, link: null,
                 pipeTimer: null, readTimer: null, goneTimer: null, killTimer: null, hungTimer: null};
    this.run = run;
    this.robot.keep("starting", "launching gateway.exe");
    const cannot = (e) => {
      run.failed = "cannot start gateway_keeper.exe: " + (SPAWN_FAILURES[e.code] || "the system says " + e.code);
      this.ended(run);
    };
    let child;
    try {
      child = this.spawn(this.options.keeper, [String(process.pid), this.options.gateway, String(s.number), s.pipe],
                         {stdio: ["pipe", "pipe", "ignore"], windowsHide: true});
    } catch (e) {
      // Node throws some of the system's refusals (UNKNOWN among them) at once,
      // instead of as the child's error: the same end, not the hub's.
      return cannot(e);
    }
    run.child = child;
    child.stdin.on("error", () => {});  // a keeper that has ended takes no stop
    child.on("error", cannot);
    readline.createInterface({input: child.stdout}).on("line", (line) => this.heard(run, line.trim()));
    child.on("close", () => this.ended(run));
  }

  heard(run, line) {
    const [word, ...rest] = line.split(" ");
    // What the robot waits for says nothing more once its pipe is read, or the run is being stopped.
    const phases = run === this.run && !this.stopped && !run.connected && !run.stopping;
    if (word === "waiting" && phases) {
      this.robot.keep("waiting_for_simulator", waitText(rest[0], this.settings.number));
    } else if (word === "started" && phases) {
      this.robot.keep("starting", "gateway.exe runs as process " + rest[0] + "; reading " + PIPE_PREFIX + this.settings.pipe);
      this.readPipe(run);
      // Someone else may have taken its one client's place: then only a new gateway helps.
      run.readTimer = setTimeout(() => {
        if (!run.connected) this.stopGateway(run, "its pipe could not be read within " + PIPE_READ_LIMIT_S + " s");
      }, PIPE_READ_LIMIT_S * 1000);
    } else if (word === "box" && rest[0] === "error") {
      run.box = rest.slice(1).join(" ");
    } else if (word === "exit") {
      run.code = /^-?\d+$/.test(rest[0]) ? Number(rest[0]) : null;
    } else if (word === "cannot") {
      run.failed = line;
    }
  }

  // Reads this run's pipe, trying until its gateway serves it. Only the gateway
  // of the current run is read: between runs the name may be served by a
  // gateway the hub did not start. A run's pipe is read once: it is never re-armed.
  readPipe(run) {
    run.pipeTimer = null;
    if (!this.current(run) || run.stopping || this.stopped) return;
    const link = openPipe(this.pipe.path, this.pipe.connect);
    run.link = link;
    link.on("connected", () => {
      run.connected = true;
      this.robot.began();
      // The gateway speaks at least twice a second: one silent for long is hung.
      const since = Date.now();
      run.hungTimer = setInterval(() => {
        if (Date.now() - Math.max(since, this.robot.record.heard) > HUNG_S * 1000)
          this.stopGateway(run, "nothing was heard from it for " + HUNG_S + " s");
      }, 1000);
    });
    feedRobot(link, this.robot, () => this.current(run));
    link.on("closed", (failure, connected) => {
      run.link = null;
      if (connected) this.gone(run);
      else run.pipeTimer = setTimeout(() => this.readPipe(run), RETRY_MS);
    });
  }

  // Whether what comes from the pipe of this run is still to be taken.
  current(run) {
    return run === this.run && !run.ended;
  }

  // The pipe of this run has been lost: the gateway writes to nobody from now on.
  gone(run) {
    if (run !== this.run || this.stopped) return;
    this.robot.keep("restarting", "the gateway's pipe has closed");
    // Mostly the gateway has ended: its keeper says so in a moment. Else it
    // serves nobody from now on.
    run.goneTimer = setTimeout(() => this.stopGateway(run, "its pipe had closed"), GONE_WAIT_MS);
  }

  // Asks the keeper to stop the gateway cleanly; a keeper that does not end
  // soon is ended, and its job ends the gateway.
  stopGateway(run, why) {
    if (run.stopping) return;
    run.stopping = why;
    run.child.stdin.write("stop\n");
    run.killTimer = setTimeout(() => run.child.kill(), STOP_WAIT_MS);
  }

  // The keeper has ended, and with it the gateway's run.
  ended(run) {
    if (run.ended) return;  // a keeper that cannot start says so twice
    run.ended = true;
    [run.pipeTimer, run.readTimer, run.goneTimer, run.killTimer].forEach(clearTimeout);
    if (run.link) run.link.close();
    clearInterval(run.hungTimer);
    if (this.run === run) this.run = null;
    if (this.stopped) return this.onStopped && this.onStopped();
    const wasLive = this.robot.seenLive && run.connected;
    this.failures = wasLive ? 1 : this.failures + 1;
    const now = Date.now();
    // The policy looks at the last few such ends alone.
    this.unstableEnds = wasLive ? [] : [...this.unstableEnds, now].slice(-RESTART_POLICY.unstableRuns);
    const end = run.failed ? run.failed : endText(run.code, run.box, PIPE_PREFIX + this.settings.pipe, run.stopping);
    const next = afterEnd(run.code, this.unstableEnds, now);
    if (next.giveUp) {
      return this.robot.ended("the hub gave up on the gateway: " + next.giveUp + " (last: " + end +
                              "); mend it, then start the hub again", run.code, {lastExitCode: run.code}, now, "failed");
    }
    const delay = restartDelayS(this.failures, this.random());
    this.robot.ended(end + "; starting it again in " + delay.toFixed(1) + " s", run.code,
                     {restarts: this.robot.restarts + 1, lastExitCode: run.code});
    this.timer = setTimeout(() => this.launch(), delay * 1000);
  }

  // Stops the gateway (its owner window goes: it ends normally) and resolves once
  // the keeper has ended.
  stop() {
    this.stopped = true;
    clearTimeout(this.timer);
    this.robot.keep("stopped", "the hub was stopped");
    const run = this.run;
    if (run === null) return Promise.resolve();
    return new Promise((resolve) => {
      const timer = setTimeout(resolve, STOP_WAIT_MS + 1000);  // not even a kill answered
      this.onStopped = () => {
        clearTimeout(timer);
        resolve();
      };
      this.stopGateway(run, "the hub was stopped");
    });
  }
}

module.exports = {KeptGateway};
