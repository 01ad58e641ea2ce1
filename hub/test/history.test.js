"use strict";
// The history: what the robots showed, kept bit for bit in one SQLite file, found
// again after a kill, trimmed by age and size, and never written over a file that
// is not its own.
const assert = require("node:assert");
const {spawn} = require("child_process");
const fs = require("fs");
const path = require("path");
const test = require("node:test");
const {DatabaseSync} = require("node:sqlite");
const {serve} = require("../hub");
const {parseConfig} = require("../lib/config");
const {EXIT} = require("../lib/exits");
const {Store, FILE_NAME} = require("../lib/history/store");
const {freePort, temporaryFolder, until} = require("./rig");

// Values a REAL column would not keep, or that are easily bent in a round trip.
const EDGES = [-0, 0, 5e-324, -5e-324, 1.7976931348623157e308, -1.7976931348623157e308, 0.1 + 0.2, -1234.6];
const sameBits = (a, b) => a.length === b.length && a.every((v, k) => Object.is(v, b[k]));

function writeRecording(folder, count) {
  const rows = Array.from({length: count}, (_, k) => [...EDGES.slice(k % 3, k % 3 + 5), k * 0.5]);
  // The monitor writes the shortest form that reads back the same (and -0 as "-0.0").
  const text = (v) => (Object.is(v, -0) ? "-0.0" : String(v));
  fs.writeFileSync(path.join(folder, "r1.csv"),
                   rows.map((v, k) => [(k / 100).toFixed(2), ...v.map(text)].join(",")).join("\n") + "\n");
  return rows;
}

async function hubConfig(folder, extra = {}) {
  return parseConfig(JSON.stringify(Object.assign({
    opcua: false, broker_port: await freePort(), page_port: await freePort(),
    robots: [{name: "r1", recording: "r1.csv", publish: "t/r1", pace: false}],
  }, extra)), path.join(folder, "hub.json"));
}

test("every update is kept bit for bit, with its run's seq, its status code and its source time, " +
     "between the verdicts shown without one", {timeout: 60000}, async (t) => {
  const folder = temporaryFolder();
  const rows = writeRecording(folder, 40);
  t.mock.method(console, "error", () => {});
  const hub = await serve(await hubConfig(folder));
  assert.strictEqual(await hub.ended, EXIT.stopped);
  const store = new Store(path.join(folder, "history"));
  const kept = store.read("r1", 0, Number.MAX_SAFE_INTEGER, 0, 1000);
  store.close();
  const updates = kept.filter((r) => r.seq !== null);
  assert.deepStrictEqual(updates.map((r) => r.seq), rows.map((_, k) => k + 1));
  rows.forEach((v, k) => assert.ok(sameBits(updates[k].values, v), "update " + (k + 1) + ": " + updates[k].values));
  assert.ok(updates.every((r) => r.code === "Good" && r.state === "live" && r.shown === 1 &&
                          r.source === Math.round(r.time * 1000)));
  // Before the first update nothing was shown; after the last, the values stood, cut off.
  assert.deepStrictEqual([kept[0].code, kept[0].values, kept[0].shown], ["BadWaitingForInitialData", null, 0]);
  const last = kept[kept.length - 1];
  assert.deepStrictEqual([last.state, last.cause, last.seq], ["no_communication", "the recording has ended", null]);
  assert.ok(sameBits(last.values, rows[rows.length - 1]));

  // A history that cannot be kept where the configuration says ends the start.
  const taken = path.join(folder, "a file");
  fs.writeFileSync(taken, "");
  await assert.rejects(serve(await hubConfig(folder, {history_folder: taken})),
                       (e) => e.code === EXIT.usage && e.message.startsWith("cannot keep the history in " + taken));
});

test("a hub killed is found again: everything up to its last batch, and the next start says how much",
     {timeout: 90000}, async (t) => {
  const folder = temporaryFolder();
  writeRecording(folder, 3000);
  const config = await hubConfig(folder);
  fs.writeFileSync(path.join(folder, "hub.json"), JSON.stringify({
    opcua: false, broker_port: config.broker_port, page_port: config.page_port,
    robots: [{name: "r1", recording: "r1.csv", publish: "t/r1"}],  // at its pace: 30 s
  }));
  const child = spawn(process.execPath, [path.join(__dirname, "..", "hub.js"), "--config", path.join(folder, "hub.json")],
                      {stdio: ["ignore", "ignore", "pipe"]});
  let told = "";
  child.stderr.on("data", (d) => (told += d));
  const file = path.join(folder, "history", FILE_NAME);
  const count = () => {
    if (!fs.existsSync(file)) return 0;
    const db = new DatabaseSync(file, {readOnly: true});
    try {
      return db.prepare("SELECT count(*) AS n FROM updates WHERE seq IS NOT NULL").get().n;
    } catch (e) {
      return 0;  // not yet made
    } finally {
      db.close();
    }
  };
  let seen = 0;
  await until(() => (seen = count()) >= 100, () => "100 updates in the history; the hub said: " + told);
  child.kill("SIGKILL");
  await new Promise((resolve) => child.once("exit", resolve));

  const lines = [];
  t.mock.method(console, "error", (line) => lines.push(line));
  writeRecording(folder, 1);
  const hub = await serve(config);
  assert.strictEqual(await hub.ended, EXIT.stopped);
  const said = lines.map((l) => l.match(/last run .* did not stop cleanly: (\d+) update\(s\) of it recovered, up to its last batch \(/))
    .find((m) => m);
  assert.ok(said, lines.join("\n"));
  assert.ok(Number(said[1]) >= seen, said[1] + " recovered, " + seen + " seen before the kill");
  const store = new Store(path.join(folder, "history"));
  const seqs = store.read("r1", 0, Number.MAX_SAFE_INTEGER, 0, 100000).map((r) => r.seq).filter((s) => s !== null);
  store.close();
  const killedRun = seqs.slice(0, seqs.indexOf(1, 1));
  assert.ok(killedRun.length >= seen && killedRun.every((s, k) => s === k + 1), "the killed run's updates, in order");
});

test("a file that is not the hub's history is set aside untouched, and a new history begins", () => {
  const made = {
    "another program's database": (file) => {
      const db = new DatabaseSync(file);
      db.exec("CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('mine')");
      db.close();
    },
    "no SQLite database": (file) => fs.writeFileSync(file, "time,v0,v1,v2,v3,v4,v5\n"),
    "damaged": (file) => {
      const store = new Store(path.dirname(file));
      store.append(Array.from({length: 2000}, (_, k) => ({robot: "r1", server: k, source: k, code: "Good",
        state: "live", cause: null, seq: k + 1, values: EDGES.slice(0, 6), shown: true, time: k, report: null})));
      store.close();
      const bytes = fs.readFileSync(file);
      bytes.fill(0xA5, 3 * 4096, 3 * 4096 + 900);  // a page of rows, its header included
      fs.writeFileSync(file, bytes);
    },
  };
  for (const [what, make] of Object.entries(made)) {
    const folder = temporaryFolder();
    const file = path.join(folder, FILE_NAME);
    make(file);
    for (const suffix of ["-wal", "-shm"]) fs.rmSync(file + suffix, {force: true});
    const before = fs.readFileSync(file);
    const store = new Store(folder);
    store.append([{robot: "r1", server: 1, source: 1, code: "Good", state: "live", cause: null, seq: 1,
                   values: EDGES.slice(0, 6), shown: true, time: 0.001, report: null}]);
    const note = store.notes.find((n) => n.startsWith("the history file was not the hub's history"));
    assert.ok(note && note.includes(what === "damaged" ? "damaged" : what), what + ": " + store.notes);
    const aside = note.match(/kept, untouched, as (\S+)$/)[1];
    assert.ok(before.equals(fs.readFileSync(aside)), what + ": the file set aside is as it was");
    assert.ok(sameBits(store.read("r1", 0, 10)[0].values, EDGES.slice(0, 6)), what + ": the new history works");
    store.close();
  }
});

test("the retention deletes what is older than its age, then the oldest while the file is larger than its size",
     () => {
  const store = new Store(temporaryFolder());
  const day = 86400 * 1000, now = 30 * day;
  const row = (server) => ({robot: "r1", server, source: server, code: "Good", state: "live", cause: null, seq: 1,
                            values: EDGES.slice(0, 6), shown: true, time: server / 1000, report: null});
  store.append([row(now - 9 * day), row(now - 8 * day), row(now - 6 * day), row(now)]);
  while (store.trim(now, 7 * day, Infinity) > 0);
  assert.deepStrictEqual(store.read("r1", 0, now).map((r) => r.server), [now - 6 * day, now]);

  store.append(Array.from({length: 20000}, (_, k) => row(now + 1 + k)));
  const limit = store.usedBytes() / 2;
  while (store.trim(now, 7 * day, limit) > 0);
  assert.ok(store.usedBytes() <= limit, store.usedBytes() + " bytes, at most " + limit);
  const left = store.read("r1", 0, Infinity, 0, 100000).map((r) => r.server);
  assert.strictEqual(left[left.length - 1], now + 20000, "the newest stay");
  assert.ok(left.every((s, k) => k === 0 || s > left[k - 1]), "only the oldest went");
  store.close();
});

test("HistoryRead gives back each axis's DataValues as its subscription saw them, through continuation points",
     {timeout: 120000}, async (t) => {
  const opcua = require("node-opcua");
  const folder = temporaryFolder();
  // Axis 1 changes at each row (signs of zero included), at the recording's pace of 10 ms.
  const flips = [0, -0, 5e-324, -0, 0, 1.7976931348623157e308, -1234.6];
  const rows = Array.from({length: 200}, (_, k) => [k % 14 < 7 ? flips[k % 7] : k, 1, 2, 3, 4, 5]);
  const text = (v) => (Object.is(v, -0) ? "-0.0" : String(v));
  fs.writeFileSync(path.join(folder, "r1.csv"),
                   rows.map((v, k) => [(k / 100).toFixed(2), ...v.map(text)].join(",")).join("\n") + "\n");
  const port = await freePort();
  const config = parseConfig(JSON.stringify({port, allow_anonymous: true, allow_security_none: true,
                                             robots: [{name: "r1", recording: "r1.csv"}]}), path.join(folder, "hub.json"));
  t.mock.method(console, "error", () => {});
  const hub = await serve(config);
  const client = opcua.OPCUAClient.create({endpointMustExist: false, connectionStrategy: {maxRetry: 0}});
  await client.connect("opc.tcp://127.0.0.1:" + port);
  const session = await client.createSession();
  try {
    const namespace = (await session.readNamespaceArray()).indexOf("urn:draxion:gateway:axes");
    const axis1 = "ns=" + namespace + ";s=r1.axis1";
    const subscription = await session.createSubscription2({requestedPublishingInterval: 10, requestedMaxKeepAliveCount: 20,
                                                            requestedLifetimeCount: 6000, publishingEnabled: true});
    const seen = [];
    // Every DataValue the variable takes, a new source time alone included (as the history keeps it).
    const filter = new opcua.DataChangeFilter({trigger: opcua.DataChangeTrigger.StatusValueTimestamp,
                                               deadbandType: opcua.DeadbandType.None});
    const item = await subscription.monitor({nodeId: axis1, attributeId: opcua.AttributeIds.Value},
                                            {samplingInterval: 0, queueSize: 10000, discardOldest: false, filter},
                                            opcua.TimestampsToReturn.Both);
    item.on("changed", (dv) => seen.push(dv));
    await until(() => seen.length > 0 && seen[seen.length - 1].statusCode.name.includes("NoCommunication"),
                "the recording's end seen by the subscription");
    const describe = (dv) => [dv.value.value === null ? null : Buffer.from(new Float64Array([dv.value.value]).buffer)
      .toString("hex"), dv.statusCode.name, dv.sourceTimestamp.getTime()];

    // Read in pages of 7, from the first value the subscription saw to now.
    const historyRead = require("util").promisify(session.historyRead.bind(session));
    const readAll = async (nodeId, startTime, endTime, numValuesPerNode) => {
      const got = [];
      let continuationPoint = null, pages = 0, statusCode;
      do {
        const response = await historyRead(new opcua.HistoryReadRequest({
          nodesToRead: [{nodeId, continuationPoint}], timestampsToReturn: opcua.TimestampsToReturn.Both,
          historyReadDetails: new opcua.ReadRawModifiedDetails({startTime, endTime, numValuesPerNode,
                                                                isReadModified: false, returnBounds: false}),
        }));
        const result = response.results[0];
        statusCode = result.statusCode;
        got.push(...(result.historyData && result.historyData.dataValues || []));
        continuationPoint = result.continuationPoint;
        pages += 1;
      } while (continuationPoint && continuationPoint.length);
      return {got, pages, statusCode};
    };
    const from = seen[0].sourceTimestamp, to = new Date();
    const {got, pages} = await readAll(axis1, from, to, 7);
    assert.deepStrictEqual(got.map(describe), seen.map(describe));
    assert.ok(pages >= Math.ceil(seen.length / 7), pages + " pages for " + seen.length + " values");
    assert.ok(seen.length > 100 && seen.some((dv) => Object.is(dv.value.value, -0)), "the window holds -0.0");
    // An end before the start reads newest first; an end and a count, the newest that many.
    const back = await readAll(axis1, to, from, 7);
    assert.deepStrictEqual(back.got.map(describe), [...seen].reverse().map(describe));
    const newest = await readAll(axis1, opcua.minDate, to, 5);
    assert.deepStrictEqual(newest.got.map(describe), [...seen].reverse().slice(0, 5).map(describe));

    // Before the hub's first value there is none; a read without a start and a count is refused.
    const empty = await readAll(axis1, new Date(from.getTime() - 86400000 * 400), new Date(from.getTime() - 86400000 * 399), 0);
    assert.deepStrictEqual([empty.got.length, empty.statusCode.name], [0, "GoodNoData"]);
    for (const [start, end] of [[opcua.minDate, opcua.minDate], [opcua.minDate, to]]) {
      const refused = await readAll(axis1, start, end, 0);
      assert.strictEqual(refused.statusCode.name, "BadHistoryOperationUnsupported", start + " to " + end);
    }
    // A point released, or never given, continues nothing.
    const ask = async (continuationPoint, releaseContinuationPoints) => (await historyRead(new opcua.HistoryReadRequest({
      nodesToRead: [{nodeId: axis1, continuationPoint}], releaseContinuationPoints,
      historyReadDetails: new opcua.ReadRawModifiedDetails({startTime: from, endTime: to, numValuesPerNode: 3}),
    }))).results[0];
    const point = (await ask(null, false)).continuationPoint;
    assert.deepStrictEqual([(await ask(point, true)).statusCode.name, (await ask(point, false)).statusCode.name,
                            (await ask(Buffer.from("not one"), false)).statusCode.name],
                           ["Good", "BadContinuationPointInvalid", "BadContinuationPointInvalid"]);
  } finally {
    await session.close();
    await client.disconnect();
    await hub.stop("test over");
    await hub.ended;
  }
});

test("an export is a recording that plays back every update of its range bit for bit, state columns too",
     {timeout: 60000}, async (t) => {
  const folder = temporaryFolder();
  // A recording with the gateway's state report: holds, a time not yet confirmed, signs of zero.
  const states = ["waiting", "live", "live", "covered", "waiting", "live"];
  const original = Array.from({length: 60}, (_, k) => {
    const v = [...EDGES.slice(k % 3, k % 3 + 5), k * 0.5];
    const report = [states[k % 6], k < 2 ? "0" : String(1765159512.25 + k / 100), String(1765159500 + k), String(3 * k),
                    String(1765159512.5 + k / 100)];
    return [(k / 100).toFixed(2), ...v.map((x) => (Object.is(x, -0) ? "-0.0" : String(x))), ...report].join(",");
  });
  fs.writeFileSync(path.join(folder, "r1.csv"), original.join("\n") + "\n");
  t.mock.method(console, "error", () => {});
  const before = new Date(Date.now() - 1000).toISOString();
  const hub = await serve(await hubConfig(folder));
  assert.strictEqual(await hub.ended, EXIT.stopped);
  const exported = path.join(folder, "exported.csv");
  const {exportRecording} = require("../lib/history/export");
  const config = await hubConfig(folder);
  assert.strictEqual(exportRecording(config, "r1", before, new Date(Date.now() + 1000).toISOString(), exported), 60);
  const {readRecording} = require("../lib/sources/recording");
  const [want, got] = [readRecording(path.join(folder, "r1.csv")), readRecording(exported)];
  const flat = (rows) => rows.map((r) => [...r.values, ...(r.report ? Object.values(r.report) : [])]);
  assert.ok(flat(got).every((row, k) => sameBits(row, flat(want)[k])), "every value and state column as recorded");
  assert.deepStrictEqual(got.map((r) => r.report && r.report.state), want.map((r) => r.report && r.report.state));

  // What a user gets wrong is said, not guessed.
  const refusals = [
    [["r2", before, before], /no robot "r2" in the configuration \(its robots: r1\)/],
    [["r1", "yesterday", before], /--from "yesterday" is not a time/],
    [["r1", before, "2000-01-01T00:00:00Z"], /--to is before --from/],
    [["r1", "2000-01-01T00:00:00Z", "2000-01-02T00:00:00Z"], /the history holds no update of r1 from 2000-01-01/],
    [["r1", before, new Date().toISOString(), path.join(folder, "none", "x.csv")], /cannot write .*x\.csv: ENOENT/],
  ];
  for (const [[robot, from, to, file = exported], message] of refusals)
    assert.throws(() => exportRecording(config, robot, from, to, file), (e) => e.code === EXIT.usage && message.test(e.message));
});
