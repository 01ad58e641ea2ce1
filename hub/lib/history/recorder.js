// The recorder: every update and verdict the robots show, handed in batches to
// the history's own thread (store.js), which writes each batch in one transaction.
// A record() costs the serving thread a few stores; a slow disk delays the batches,
// never a notification. A hub killed loses the batch in hand (at most BATCH_MS).
"use strict";

const fs = require("fs");
const path = require("path");
const {Worker} = require("worker_threads");
const {EXIT, HubExit} = require("../exits");
const {Batch, FILE_NAME} = require("./store");

const BATCH_MS = 200;
const TRIM_EVERY_MS = 60 * 1000;  // the retention's step, and at start

class Recorder {
  // settings: {history_folder, history_days, history_mb}; say: a console line.
  constructor(settings, say) {
    this.folder = settings.history_folder;
    this.keep = [settings.history_days * 86400 * 1000, settings.history_mb * 1024 * 1024];
    this.say = say;
    this.texts = new Map();  // the batches' texts, as the history's thread has them
    this.batch = new Batch(this.texts);
    this.outbox = [];
    this.worker = null;
    this.file = null;
    this.broken = false;  // writing failed: said once, nothing recorded since
    this.asked = new Map();  // read requests waiting for their answer, by id
    this.nextId = 1;
  }

  // Starts the history's thread, without waiting for it: checking a large file
  // takes seconds, and what it finds (a run that did not stop, a file set aside)
  // is said once it is done. Rows taken meanwhile wait in the thread's queue. A
  // folder the hub cannot write is a HubExit (EXIT.usage) at once.
  start() {
    try {
      fs.mkdirSync(this.folder, {recursive: true});
      fs.accessSync(this.folder, fs.constants.W_OK);
    } catch (e) {
      throw new HubExit(EXIT.usage, "cannot keep the history in " + this.folder + " (" + e.code + "): give history_folder " +
                        "a folder the hub may write, or set history to false");
    }
    this.file = path.join(this.folder, FILE_NAME);
    this.worker = new Worker(path.join(__dirname, "store.js"),
                             {workerData: {draxionHistory: true, folder: this.folder}});
    this.worker.unref();  // a hub that ends is not kept by its history
    this.exited = new Promise((resolve) => this.worker.once("exit", resolve));
    this.worker.on("message", (m) => {
      if (m.ready) m.ready.notes.forEach((note) => this.say(note));
      else this.answer(m);
    });
    this.worker.on("error", (e) => this.fail("the history's thread failed: " + e.message));
    this.timers = [setInterval(() => this.flush(), BATCH_MS), setInterval(() => this.trim(), TRIM_EVERY_MS)];
    this.timers.forEach((t) => t.unref());
    this.trim();
  }

  answer(m) {
    const asked = this.asked.get(m.id);
    if (asked !== undefined) {
      this.asked.delete(m.id);
      if (m.failed) asked.reject(new Error(m.failed));
      else asked.resolve(m.rows);
    } else if (m.failed) {
      this.fail(m.failed);
    }
  }

  // Writing has failed: said once; the hub serves on without a history.
  fail(why) {
    if (this.broken) return;
    this.broken = true;
    this.batch = new Batch(this.texts);
    this.outbox = [];
    for (const asked of this.asked.values()) asked.reject(new Error(why));
    this.asked.clear();
    this.say(why + "; from now on nothing is recorded");
  }

  // A row: the robot, the hub's time and the source time (ms), the status code,
  // state and cause, the update's seq (null without one), the values (or null),
  // whether OPC UA shows them, the axes that took them, the update's time (s) and
  // report (null without them).
  record(robot, server, source, code, state, cause, seq, values, shown, axes, time, report) {
    if (!this.broken) this.batch.add(robot, server, source, code, state, cause, seq, values, shown, axes, time, report);
  }

  flush() {
    if ((this.batch.count === 0 && this.batch.fresh.length === 0 && this.outbox.length === 0) || this.broken) return;
    const m = this.batch.message();
    this.worker.postMessage({append: m, outbox: this.outbox}, [m.nums.buffer, m.refs.buffer]);
    this.batch = new Batch(this.texts);
    this.outbox = [];
  }

  // Store-and-forward: an update for the broker, kept until outboxDone(); the
  // outbox's entries of a robot past an id ([{id, text}]), and how many it holds.
  outboxAdd(robot, text) {
    if (!this.broken) this.outbox.push([robot, text]);
  }

  outboxTake(robot, after, limit) {
    this.flush();
    return this.ask({outboxTake: [robot, after, limit]});
  }

  outboxDone(robot, upTo) {
    this.flush();
    if (!this.broken) this.worker.postMessage({outboxDone: [robot, upTo]});
  }

  outboxCount(robot) {
    return this.ask({outboxCount: robot});
  }

  trim() {
    if (!this.broken) this.worker.postMessage({trim: [Date.now(), ...this.keep]});
  }

  // A page of one axis's DataValues with a source time in [from, to] (ms), as
  // store.js's axisRows gives them: past `after`, at most limit.
  axisPage(robot, axis, from, to, descending, after, limit) {
    this.flush();  // what was shown a moment ago is history too
    return this.ask({axis: [robot, axis, from, to, descending, after, limit]});
  }

  ask(message) {
    if (this.broken) return Promise.reject(new Error("the history cannot be read: writing it failed"));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.asked.set(id, {resolve, reject});
      this.worker.postMessage(Object.assign({id}, message));
    });
  }

  // Writes what is in hand and closes the file (its run marked as stopped).
  async stop() {
    if (this.worker === null) return;
    this.flush();
    (this.timers || []).forEach(clearInterval);
    // Held now: a hub whose other parts have all ended would otherwise end before its last batch is written.
    this.worker.ref();
    this.worker.postMessage({close: true});
    await this.exited;
    this.worker = null;
  }
}

module.exports = {Recorder, BATCH_MS};
