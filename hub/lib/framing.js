// The gateway's updates in the bytes of its pipe. Node reads the message-mode
// pipe as a byte stream, so updates are framed by length, not by message: the
// 4-byte tag, then the 384-byte record. The gateway writes nothing else; bytes
// that do not start with the tag are skipped up to the next tag, and counted;
// records that cannot be served (contract.js's updateProblem) are refused, and
// counted.
"use strict";

const {RECORD_BYTES, REPORT_VERSION, SLOT, STATES, TAG, VALUE_COUNT, updateProblem} = require("./contract");

const UPDATE_BYTES = TAG.length + RECORD_BYTES;

// One record's values and, when it carries it, its state report ({state,
// confirmed (null before the first confirmation), since, readings, made}).
function decodeRecord(buffer, offset = 0) {
  const slot = (k) => buffer.readDoubleLE(offset + 8 * k);
  const values = [];
  for (let k = 0; k < VALUE_COUNT; ++k) values.push(slot(k));
  if (slot(SLOT.report) !== REPORT_VERSION) return {values, report: null};
  const code = slot(SLOT.state), confirmed = slot(SLOT.confirmed), readings = slot(SLOT.readings);
  return {
    values,
    report: {
      state: Number.isInteger(code) && code >= 0 && code < STATES.length ? STATES[code] : "unknown",
      confirmed: confirmed > 0 ? confirmed : null, since: slot(SLOT.state_since),
      readings: Number.isFinite(readings) ? readings : 0, made: slot(SLOT.made),
    },
  };
}

// A record as the gateway writes it (for stand-ins and tests).
function encodeRecord(values, report = null) {
  const b = Buffer.alloc(RECORD_BYTES);
  values.forEach((v, k) => b.writeDoubleLE(v, 8 * k));
  if (report !== null) {
    const put = (k, v) => b.writeDoubleLE(v, 8 * k);
    put(SLOT.report, REPORT_VERSION);
    put(SLOT.state, STATES.indexOf(report.state));
    put(SLOT.confirmed, report.confirmed || 0);
    put(SLOT.state_since, report.since);
    put(SLOT.readings, report.readings);
    put(SLOT.made, report.made);
  }
  return b;
}

class Framer {
  constructor() {
    this.pending = Buffer.alloc(0);
    this.skipped = 0;  // bytes that were no update
    this.refused = 0;  // records that could not be served
    this.refusedWhy = null;  // the last one's problem
  }

  // The updates completed by this chunk, in order.
  push(chunk) {
    let data = this.pending.length ? Buffer.concat([this.pending, chunk]) : chunk;
    const out = [];
    let at = 0;
    while (data.length - at >= TAG.length) {
      if (data.compare(TAG, 0, TAG.length, at, at + TAG.length) !== 0) {
        const next = data.indexOf(TAG, at + 1);
        const to = next < 0 ? data.length - (TAG.length - 1) : next;
        this.skipped += to - at;
        at = to;
        continue;
      }
      if (data.length - at < UPDATE_BYTES) break;
      const update = decodeRecord(data, at + TAG.length);
      const problem = updateProblem(update);
      if (problem === null) out.push(update);
      else [this.refused, this.refusedWhy] = [this.refused + 1, problem];
      at += UPDATE_BYTES;
    }
    this.pending = Buffer.from(data.subarray(at));
    return out;
  }
}

module.exports = {Framer, encodeRecord};
