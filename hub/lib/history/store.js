// The hub's history: one SQLite file (node:sqlite) of every update and verdict
// each robot showed, values bit for bit (six doubles as one 48-byte BLOB: a REAL
// would lose the sign of a zero).
//
// Loaded as a worker thread by recorder.js, so that writing, trimming and reading
// never hold the thread that serves OPC UA and MQTT; loaded in the hub's own thread
// by the export and the tests. Only Node's own modules: the package carries this
// file as it is, beside the packed hub.
"use strict";

const fs = require("fs");
const path = require("path");
const {DatabaseSync} = require("node:sqlite");
const {isMainThread, parentPort, workerData} = require("worker_threads");

const FILE_NAME = "history.sqlite";
const APPLICATION_ID = 0x44524158;  // "DRAX": this file is the hub's history
const SCHEMA_VERSION = 1;
const AXES = 6;
const TRIM_ROWS = 20000;  // rows deleted per step of the retention, so that appends go on between steps

const SCHEMA = `
  CREATE TABLE robots (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
  -- Each run of the hub: ended stays null when it was killed; last is its last batch's server time.
  CREATE TABLE runs (id INTEGER PRIMARY KEY, started INTEGER NOT NULL, last INTEGER, ended INTEGER);
  -- server, source: ms since 1970 (the hub's clock; the OPC UA source timestamp); code: the OPC UA status
  -- code's name; seq: the run's update count, null for a verdict without an update; vals: the six values
  -- (null where none were shown or taken); shown: OPC UA shows them; axes: bit k set where axis k + 1 took this
  -- DataValue (a change of its value, status or source time: its history); time and the report's: the update's.
  CREATE TABLE updates (
    robot INTEGER NOT NULL, server INTEGER NOT NULL, source INTEGER NOT NULL, code TEXT NOT NULL,
    state TEXT NOT NULL, cause TEXT, seq INTEGER, vals BLOB, shown INTEGER NOT NULL, axes INTEGER NOT NULL,
    time REAL, report TEXT, confirmed REAL, since REAL, readings REAL, made REAL);
  CREATE INDEX updates_by_source ON updates (robot, source);
`;
// Store-and-forward: each robot's MQTT updates the broker has not acknowledged, in order.
const OUTBOX = "CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY, robot TEXT NOT NULL, text TEXT NOT NULL);" +
  "CREATE INDEX IF NOT EXISTS outbox_by_robot ON outbox (robot, id);";

const when = (ms) => new Date(ms).toISOString();

// Rows packed for the history's thread, so that recording costs the serving
// thread a few stores and no copy: per row NUMS numbers (server, source, seq,
// flags: 1 values, 2 shown, 4 report; axes, time, the report's confirmed, since,
// readings and made, the six values; NaN for none) and TEXTS texts (robot,
// code, state, cause, the report's state) as indexes into a table that grows
// with each batch (fresh: its new texts; -1 for none). The buffers are moved.
const NUMS = 16, TEXTS = 5;

class Batch {
  constructor(texts, rows = 256) {
    this.texts = texts;  // text -> index, kept from batch to batch
    this.fresh = [];
    this.count = 0;
    this.nums = new Float64Array(rows * NUMS);
    this.refs = new Int32Array(rows * TEXTS);
  }

  text(value) {
    if (value === null || value === undefined) return -1;
    let i = this.texts.get(value);
    if (i === undefined) {
      i = this.texts.size;
      this.texts.set(value, i);
      this.fresh.push(value);
    }
    return i;
  }

  add(robot, server, source, code, state, cause, seq, values, shown, axes, time, report) {
    if (this.count * NUMS === this.nums.length) {
      const [nums, refs] = [new Float64Array(this.nums.length * 2), new Int32Array(this.refs.length * 2)];
      nums.set(this.nums);
      refs.set(this.refs);
      [this.nums, this.refs] = [nums, refs];
    }
    const n = this.nums, o = this.count * NUMS, r = this.refs, t = this.count * TEXTS;
    const of = (v) => (v === null || v === undefined ? NaN : v);
    n[o] = server;
    n[o + 1] = source;
    n[o + 2] = of(seq);
    n[o + 3] = (values ? 1 : 0) | (shown ? 2 : 0) | (report ? 4 : 0);
    n[o + 4] = axes;
    n[o + 5] = of(time);
    n[o + 6] = report ? of(report.confirmed) : NaN;
    n[o + 7] = report ? of(report.since) : NaN;
    n[o + 8] = report ? of(report.readings) : NaN;
    n[o + 9] = report ? of(report.made) : NaN;
    if (values) for (let k = 0; k < AXES; ++k) n[o + 10 + k] = values[k];
    r[t] = this.text(robot);
    r[t + 1] = this.text(code);
    r[t + 2] = this.text(state);
    r[t + 3] = this.text(cause);
    r[t + 4] = this.text(report ? report.state : null);
    this.count += 1;
  }

  message() {
    return {count: this.count, nums: this.nums, refs: this.refs, fresh: this.fresh};
  }
}

// Why the file at path cannot be the hub's history, or null: checked before a
// byte of it is written.
function foreignProblem(db) {
  const id = db.prepare("PRAGMA application_id").get().application_id;
  const version = db.prepare("PRAGMA user_version").get().user_version;
  if (id !== APPLICATION_ID) return "it is another program's database";
  if (version !== SCHEMA_VERSION) return "it is of another version (" + version + ") of the hub's history";
  const check = db.prepare("PRAGMA quick_check").all().map((r) => r.quick_check);
  if (check.length !== 1 || check[0] !== "ok") return "it is damaged (" + check.slice(0, 3).join("; ") + ")";
  return null;
}

// A file that cannot be the history is moved aside, with its journal files, and never written.
function setAside(file, now) {
  const stamp = when(now).replace(/[-:]/g, "").replace(/\.\d+Z$/, "Z");
  const aside = file.replace(/\.sqlite$/, "") + "-refused-" + stamp + ".sqlite";
  for (const suffix of ["", "-wal", "-shm"])
    if (fs.existsSync(file + suffix)) fs.renameSync(file + suffix, aside + suffix);
  return aside;
}

class Store {
  // Opens (or makes) the history in folder; notes: lines for the console about
  // what was found (a file set aside, a run that did not stop, what is held).
  constructor(folder, now = Date.now()) {
    fs.mkdirSync(folder, {recursive: true});
    this.file = path.join(folder, FILE_NAME);
    this.notes = [];
    this.texts = [];  // the packed batches' texts, by index
    this.db = this.open(now);
    // A reader elsewhere (an SQLite tool, an export) may hold the file a moment: this thread waits, not the hub's.
    this.db.exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA busy_timeout = 10000;");
    this.db.exec(OUTBOX);
    this.robotIds = new Map(this.db.prepare("SELECT id, name FROM robots").all().map((r) => [r.name, r.id]));
    this.recovered();
    this.run = Number(this.db.prepare("INSERT INTO runs (started) VALUES (?)").run(now).lastInsertRowid);
    this.insert = this.db.prepare(`INSERT INTO updates (robot, server, source, code, state, cause, seq, vals, shown, axes,
      time, report, confirmed, since, readings, made) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)`);
    this.lastOfRun = this.db.prepare("UPDATE runs SET last = ? WHERE id = ?");
  }

  open(now) {
    const existed = fs.existsSync(this.file) && fs.statSync(this.file).size > 0;
    let db = null, problem = null;
    try {
      db = new DatabaseSync(this.file);
      if (existed) problem = foreignProblem(db);
    } catch (e) {
      problem = "it is no SQLite database, or a damaged one (" + e.message + ")";
    }
    if (problem === null && existed) return db;
    if (problem !== null) {
      if (db !== null) db.close();
      const aside = setAside(this.file, now);
      this.notes.push("the history file was not the hub's history (" + problem + "): a new one begins, and that file " +
                      "is kept, untouched, as " + aside);
      db = new DatabaseSync(this.file);
    }
    db.exec("BEGIN; " + SCHEMA + " PRAGMA application_id = " + APPLICATION_ID + "; PRAGMA user_version = " +
            SCHEMA_VERSION + "; COMMIT;");
    return db;
  }

  // What the last run left: a run that did not stop kept everything up to its last batch.
  recovered() {
    const last = this.db.prepare("SELECT id, started, last, ended FROM runs ORDER BY id DESC LIMIT 1").get();
    if (last && last.ended === null) {
      const n = this.db.prepare("SELECT count(*) AS n FROM updates WHERE server >= ?").get(last.started).n;
      this.db.prepare("UPDATE runs SET ended = ? WHERE id = ?").run(last.last === null ? last.started : last.last,
                                                                    last.id);
      this.notes.push("the hub's last run (from " + when(last.started) + ") did not stop cleanly: " + n +
                      " update(s) of it recovered, up to its last batch" +
                      (last.last === null ? "" : " (" + when(last.last) + ")"));
    }
    const held = this.db.prepare("SELECT count(*) AS n, min(server) AS first FROM updates").get();
    if (held.n > 0) this.notes.push("the history holds " + held.n + " update(s), from " + when(held.first));
  }

  robotId(name) {
    let id = this.robotIds.get(name);
    if (id === undefined) {
      id = Number(this.db.prepare("INSERT INTO robots (name) VALUES (?)").run(name).lastInsertRowid);
      this.robotIds.set(name, id);
    }
    return id;
  }

  // Rows ({robot, server, source, code, state, cause, seq, values, shown, axes, time, report}) in one
  // transaction (for tools and tests; the recorder sends batches packed).
  append(rows) {
    const batch = new Batch(new Map());
    for (const r of rows) batch.add(r.robot, r.server, r.source, r.code, r.state, r.cause, r.seq, r.values, r.shown,
                                    r.axes || 0, r.time, r.report);
    this.appendPacked(batch.message());
  }

  // A packed batch (Batch.message()) in one transaction.
  appendPacked({count, nums, refs, fresh}) {
    this.texts.push(...fresh);
    if (count === 0) return;
    const text = (i) => (i < 0 ? null : this.texts[i]);
    const orNull = (v) => (Number.isNaN(v) ? null : v);
    this.db.exec("BEGIN");
    try {
      let last = 0;
      for (let row = 0; row < count; ++row) {
        const o = row * NUMS, t = row * TEXTS, flags = nums[o + 3];
        const vals = flags & 1 ? new Uint8Array(nums.buffer, nums.byteOffset + (o + 10) * 8, 8 * AXES) : null;
        this.insert.run(this.robotId(text(refs[t])), nums[o], nums[o + 1], text(refs[t + 1]), text(refs[t + 2]),
                        text(refs[t + 3]), orNull(nums[o + 2]), vals, flags & 2 ? 1 : 0, nums[o + 4], orNull(nums[o + 5]),
                        text(refs[t + 4]), orNull(nums[o + 6]), orNull(nums[o + 7]), orNull(nums[o + 8]),
                        orNull(nums[o + 9]));
        last = Math.max(last, nums[o]);
      }
      this.lastOfRun.run(last, this.run);
      this.db.exec("COMMIT");
    } catch (e) {
      this.db.exec("ROLLBACK");
      throw e;
    }
  }

  // Store-and-forward's outbox: updates [robot, text] added in order, taken in
  // order past an id, and removed once the broker has them.
  outboxAdd(entries) {
    const add = this.db.prepare("INSERT INTO outbox (robot, text) VALUES (?, ?)");
    this.db.exec("BEGIN");
    for (const [robot, text] of entries) add.run(robot, text);
    this.db.exec("COMMIT");
  }

  outboxTake(robot, after, limit) {
    return this.db.prepare("SELECT id, text FROM outbox WHERE robot = ? AND id > ? ORDER BY id LIMIT ?").all(robot, after, limit);
  }

  outboxDone(robot, upTo) {
    this.db.prepare("DELETE FROM outbox WHERE robot = ? AND id <= ?").run(robot, upTo);
  }

  outboxCount(robot) {
    return this.db.prepare("SELECT count(*) AS n FROM outbox WHERE robot = ?").get(robot).n;
  }

  // Bytes the rows and their index take (free pages not counted: they are reused).
  usedBytes() {
    const q = (name) => Number(Object.values(this.db.prepare("PRAGMA " + name).get())[0]);
    return (q("page_count") - q("freelist_count")) * q("page_size");
  }

  // One step of the retention: the oldest rows past the age, or past the size, up
  // to TRIM_ROWS of them. Returns how many went; the caller steps again while some do.
  trim(now, maxAgeMs, maxBytes) {
    const old = this.db.prepare(`DELETE FROM updates WHERE rowid IN
      (SELECT rowid FROM updates WHERE server < ? ORDER BY rowid LIMIT ?)`).run(now - maxAgeMs, TRIM_ROWS).changes;
    if (old > 0 || this.usedBytes() <= maxBytes) return Number(old);
    const count = this.db.prepare("SELECT count(*) AS n FROM updates").get().n;
    // Past the size: the oldest hundredth (at least one row) at a time.
    return Number(this.db.prepare("DELETE FROM updates WHERE rowid IN (SELECT rowid FROM updates ORDER BY rowid LIMIT ?)")
      .run(Math.min(TRIM_ROWS, Math.max(1, Math.ceil(count / 100)))).changes);
  }

  // A robot's rows whose source time is in [from, to] (ms), in the order they
  // were shown, from the row after `after` (a rowid; 0 to begin), at most limit.
  read(robot, from, to, after = 0, limit = 1000) {
    const id = this.robotIds.get(robot);
    if (id === undefined) return [];
    return this.db.prepare(`SELECT rowid AS id, server, source, code, state, cause, seq, vals, shown, time, report,
        confirmed, since, readings, made FROM updates WHERE robot = ? AND source >= ? AND source <= ? AND rowid > ?
        ORDER BY rowid LIMIT ?`).all(id, from, to, after, limit).map((r) => Object.assign(r, {
      values: r.vals === null ? null : Array.from(new Float64Array(r.vals.buffer.slice(r.vals.byteOffset,
                                                                                        r.vals.byteOffset + 8 * AXES))),
      vals: undefined,
    }));
  }

  // One axis's DataValues with a source time in [from, to] (ms), in the order of
  // their source times (the newest first when descending), past `after` (the
  // last one read: [source, id]; null to begin), at most limit: columns {id,
  // server, source, code, shown, values}, values a Float64Array.
  axisRows(robot, axis, from, to, descending, after, limit) {
    const id = this.robotIds.get(robot);
    // Ties of source time in the order of the rows. The index on (robot, source) gives this order without a sort,
    // and seeks the cursor's source time, given as the range's bound (SQLite seeks no row value).
    const cursor = after !== null ? after : descending ? [to, Number.MAX_SAFE_INTEGER] : [from, 0];
    const [low, high] = descending ? [from, cursor[0]] : [cursor[0], to];
    const rows = id === undefined ? [] : this.db.prepare(`SELECT rowid AS id, server, source, code, shown, vals
        FROM updates WHERE robot = ? AND source >= ? AND source <= ? AND (source, rowid) ${descending ? "<" : ">"} (?, ?)
        AND (axes >> ?) & 1 ORDER BY source ${descending ? "DESC" : ""}, rowid ${descending ? "DESC" : ""} LIMIT ?`)
      .all(id, low, high, cursor[0], cursor[1], axis, limit);
    const values = new Float64Array(rows.length);
    rows.forEach((r, i) => {
      values[i] = r.vals === null ? NaN : new DataView(r.vals.buffer, r.vals.byteOffset, r.vals.byteLength)
        .getFloat64(8 * axis, true);
    });
    return {id: rows.map((r) => r.id), server: rows.map((r) => r.server), source: rows.map((r) => r.source),
            code: rows.map((r) => r.code), shown: rows.map((r) => r.shown), values};
  }

  close(now = Date.now()) {
    this.db.prepare("UPDATE runs SET ended = ? WHERE id = ?").run(now, this.run);
    this.db.close();
  }
}

// A robot's updates (rows with a seq) that the hub took from `from` to `to` (ms,
// its clock), in order, one at a time (a week of them would not fit in memory),
// from the history in folder, opened only to read: the file of a hub that runs is
// read as it stands.
function* eachUpdate(folder, robot, from, to) {
  const file = path.join(folder, FILE_NAME);
  if (!fs.existsSync(file)) throw new Error("there is no " + FILE_NAME + " there");
  const db = new DatabaseSync(file, {readOnly: true});
  try {
    if (db.prepare("PRAGMA application_id").get().application_id !== APPLICATION_ID)
      throw new Error(file + " is not the hub's history");
    const rows = db.prepare(`SELECT u.time, u.vals, u.report, u.confirmed, u.since, u.readings, u.made FROM updates u
        JOIN robots r ON r.id = u.robot WHERE r.name = ? AND u.seq IS NOT NULL AND u.server >= ? AND u.server <= ?
        ORDER BY u.rowid`).iterate(robot, from, to);
    for (const r of rows) {
      yield Object.assign(r, {
        values: Array.from(new Float64Array(r.vals.buffer.slice(r.vals.byteOffset, r.vals.byteOffset + 8 * AXES))),
      });
    }
  } finally {
    db.close();
  }
}

// As a worker: messages {append: a packed batch} and {trim: [now, maxAgeMs, maxBytes]},
// {axis: [robot, axis, from, to, descending, after, limit], id} answered {id, rows}; the outbox's {outbox: [[robot, text]...]}, {outboxDone: [robot, upTo]},
// {outboxTake: [robot, after, limit], id} and {outboxCount: robot, id}; and {close: true};
// first {ready: {file, notes}} or {failed: why}, later {failed: why} where one fails.
function serveAsWorker({folder}) {
  let store;
  try {
    store = new Store(folder);
  } catch (e) {
    parentPort.postMessage({failed: "cannot open the history in " + folder + ": " + e.message});
    return;
  }
  parentPort.postMessage({ready: {file: store.file, notes: store.notes}});
  parentPort.on("message", (m) => {
    if (m.close) {
      try {
        store.close();
      } finally {
        parentPort.close();
      }
      return;
    }
    try {
      if (m.append) store.appendPacked(m.append);
      if (m.outbox) store.outboxAdd(m.outbox);
      if (m.outboxDone) store.outboxDone(...m.outboxDone);
      if (m.outboxTake) parentPort.postMessage({id: m.id, rows: store.outboxTake(...m.outboxTake)});
      if (m.outboxCount) parentPort.postMessage({id: m.id, rows: store.outboxCount(m.outboxCount)});
      if (m.trim) {
        let gone = 0, step;
        do {
          step = store.trim(...m.trim);
          gone += step;
        } while (step > 0 && gone < 50 * TRIM_ROWS);
      }
      if (m.axis) parentPort.postMessage({id: m.id, rows: store.axisRows(...m.axis)});
    } catch (e) {
      // Every message with an id asks for an answer: a read.
      parentPort.postMessage({id: m.id, failed: "cannot " + (m.id !== undefined ? "read" : "write") + " " + store.file + ": " +
                              e.message});
    }
  });
}

if (!isMainThread && workerData && workerData.draxionHistory) serveAsWorker(workerData);

module.exports = {Store, Batch, eachUpdate, FILE_NAME, APPLICATION_ID};
