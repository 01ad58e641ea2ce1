"use strict";
const assert = require("node:assert");
const test = require("node:test");
const {Framer, encodeRecord} = require("../lib/framing");
const {TAG} = require("../lib/contract");

const report = {state: "covered", confirmed: 1796811330.197, since: 1796811330.25, readings: 5812, made: 1796811331.25};
const updates = [
  {values: [12.5, -0.5, 300, -1234.6, 0, 7.7], report: null},
  {values: [-0, 5e-324, 1.7976931348623157e308, 0.1 + 0.2, -1, 2], report},
  {values: [1, 2, 3, 4, 5, 6], report: Object.assign({}, report, {state: "waiting", confirmed: null})},
];
const stream = Buffer.concat(updates.flatMap((u) => [TAG, encodeRecord(u.values, u.report)]));
const bits = (values) => values.map((v) => {
  const b = Buffer.alloc(8);
  b.writeDoubleLE(v);
  return b.toString("hex");
});

test("updates come out whole and exact however the bytes are cut", () => {
  for (const size of [1, 3, 4, 387, 388, 389, 1000, stream.length]) {
    const framer = new Framer();
    const got = [];
    for (let at = 0; at < stream.length; at += size) got.push(...framer.push(stream.subarray(at, at + size)));
    assert.deepStrictEqual(got.map((u) => bits(u.values)), updates.map((u) => bits(u.values)), "chunks of " + size);
    assert.deepStrictEqual(got.map((u) => u.report), updates.map((u) => u.report), "chunks of " + size);
    assert.strictEqual(framer.skipped, 0);
  }
});

test("bytes that are no update are skipped, records that cannot be served refused; both counted", () => {
  const framer = new Framer();
  const junk = Buffer.from([0x02, 0x55, 0x00, 0x01, 9, 9]);
  const bad = [[NaN, 0, 0, 0, 0, 0], [0, Infinity, 0, 0, 0, 0], [0, 0, 0, 0, 0, -Infinity]].map((v) => encodeRecord(v))
    .concat([encodeRecord([1, 2, 3, 4, 5, 6], Object.assign({}, report, {since: 1e13})),
             encodeRecord([1, 2, 3, 4, 5, 6], Object.assign({}, report, {confirmed: Infinity})),
             encodeRecord([1, 2, 3, 4, 5, 6], Object.assign({}, report, {made: NaN}))]);
  const got = framer.push(Buffer.concat([junk, stream.subarray(0, 388), junk, ...bad.flatMap((b) => [TAG, b]),
                                         stream.subarray(388)]));
  assert.deepStrictEqual(got.map((u) => bits(u.values)), updates.map((u) => bits(u.values)));
  assert.deepStrictEqual([framer.skipped, framer.refused], [2 * junk.length, bad.length]);
});
