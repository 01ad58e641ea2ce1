"use strict";
// The messages' contract: what the hub writes reads back bit for bit, and the
// tables of docs/mqtt.md say what messages.js defines.
const assert = require("node:assert");
const fs = require("fs");
const path = require("path");
const test = require("node:test");
const m = require("../lib/messages");
const {CONDITIONS} = require("../lib/status_rules");

test("an update reads back as written, every double exact, and a bad one is refused", () => {
  const values = [-0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, 1e21, 300];
  const text = m.updateText(3, 1765159512.25, values, {state: "covered", confirmed: null, since: 1765159500.5});
  const back = m.readUpdate(text);
  assert.ok(back.values.every((v, k) => Object.is(v, values[k])), text);
  assert.match(text, /"values": \[-0\.0, 5e-324, 1\.7976931348623157e\+308, 0\.30000000000000004, 1e\+21, 300\.0\]/);
  assert.deepStrictEqual([back.seq, back.state, back.confirmed, back.since], [3, "covered", null, 1765159500.5]);
  assert.deepStrictEqual(Object.keys(m.readUpdate(m.updateText(1, 1, values, null))), ["seq", "time", "values"]);
  assert.throws(() => m.updateText(1, 1, [NaN, 0, 0, 0, 0, 0], null), RangeError);
  const bad = [{}, {seq: 0, time: 1, values}, {seq: 1, time: 8.7e12, values}, {seq: 1, time: 1, values: values.slice(1)},
               {seq: 1, time: 1, values, state: 5}, {seq: 1, time: 1, values, confirmed: "now"},
               {seq: 1, time: 1, values, since: null}];
  for (const u of bad) assert.strictEqual(m.checkUpdate(u), null, JSON.stringify(u));
  assert.deepStrictEqual(JSON.parse(m.offlineText(2, "gone", -5, 7)),
                         {state: "offline", time: 2, reason: "gone", exit_code: -5, updates: 7});
});

test("the live rule, and retained values current only once an update comes as sent", () => {
  const silence = m.SILENCE_S * 1000;
  const cases = [["online", true, "live", 0, true], ["online", true, null, silence, true],
                 ["online", true, "live", silence + 1, false], ["online", true, "waiting", 0, false],
                 ["online", true, "covered", 0, false], ["offline", true, "live", 0, false], ["online", false, "live", 0, false]];
  for (const [status, fresh, state, silent, live] of cases)
    assert.strictEqual(m.isLive(status, fresh, state, silent), live, status + fresh + state);
  // What a subscriber hears after it connects, in order, and whether its values are current after each.
  const heard = [["the retained status", "status", "online", false], ["the retained values", "update", true, false],
                 ["values as sent", "update", false, true], ["a later status", "status", "online", true],
                 ["the retained values again", "update", true, true], ["the publisher offline", "status", "offline", false],
                 ["values while it says offline", "update", false, false], ["back online", "status", "online", false],
                 ["its values", "update", false, true]];
  let fresh = false, status = null;
  for (const [what, kind, given, current] of heard) {
    if (kind === "status") [fresh, status] = [m.freshAfterStatus(fresh, given), given];
    else fresh = m.freshAfterUpdate(fresh, given, status);
    assert.strictEqual(fresh, current, what);
  }
  assert.strictEqual(m.freshAfterUpdate(false, false, null), true, "values as sent before any status");
});

test("docs/mqtt.md has the contract's fields, states, time range and silence", () => {
  const doc = fs.readFileSync(path.join(__dirname, "..", "..", "docs", "mqtt.md"), "utf8");
  // The rows "| `name` | holds | ..." of the table under a heading.
  const table = (heading) => {
    const section = doc.split("### " + heading + "\n")[1].split("\n#")[0];
    return Object.fromEntries([...section.matchAll(/^\| `(\w+)` \| ([^|]*?) \|/gm)].map((r) => [r[1], r[2]]));
  };
  assert.deepStrictEqual(table("The values message"), m.UPDATE_FIELDS);
  assert.deepStrictEqual(table("The status"), m.STATUS_FIELDS);
  assert.deepStrictEqual(Object.keys(table("The states")), m.STATES);
  assert.deepStrictEqual([...doc.matchAll(/within ([\d.e]+) of it/g)].map((r) => Number(r[1])), [m.TIME_LIMIT]);
  assert.deepStrictEqual([...doc.matchAll(/no message for more than ([\d.]+) s/g)].map((r) => Number(r[1])), [m.SILENCE_S]);
  assert.ok([...m.VALUES_STATES, ...CONDITIONS].every((v) => doc.includes("`" + v + "`")));
});

test("the hub's exit codes: one table, and the docs' table is it", () => {
  const {EXITS} = require("../lib/exits");
  const docs = path.join(__dirname, "..", "..", "docs");
  const rows = (file) => {
    const text = fs.readFileSync(path.join(docs, file), "utf8");
    const section = (text.split("### The hub's exit codes\n")[1] || "").split("\n#")[0];
    return [...section.matchAll(/^\| (\d+) \| (.*?) \|$/gm)].map((r) => [Number(r[1]), r[2]]);
  };
  const tables = fs.readdirSync(docs).filter((f) => f.endsWith(".md") && rows(f).length);
  assert.deepStrictEqual(tables, ["opcua.md"]);
  assert.deepStrictEqual(rows("opcua.md"), EXITS.map(([code, , meaning]) => [code, meaning]));
});
