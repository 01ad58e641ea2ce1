// The MQTT bridge's messages as the hub reads them from a broker: an update
// {"seq", "time", "values": [six numbers], "state"?, "confirmed"?} on the topic,
// a status {"state": "online" | "offline", "reason"?, ...} on topic/status.
// Anything else is not the bridge's and is ignored (and counted by the caller).
"use strict";

const {VALUE_COUNT} = require("./contract");

const isObject = (v) => typeof v === "object" && v !== null && !Array.isArray(v);

function parsed(text) {
  try {
    return JSON.parse(text);
  } catch (e) {
    return undefined;
  }
}

// A time within the range of a date (seconds since 1970).
const aTime = (t) => Number.isFinite(t) && Math.abs(t) <= 8.64e12;

function readUpdate(text) {
  const m = parsed(text);
  const ok = isObject(m) && Number.isSafeInteger(m.seq) && m.seq >= 1 && aTime(m.time) &&
    Array.isArray(m.values) && m.values.length === VALUE_COUNT && m.values.every(Number.isFinite) &&
    (m.state === undefined || typeof m.state === "string") &&
    (m.confirmed === undefined || m.confirmed === null || aTime(m.confirmed));
  return ok ? m : null;
}

function readStatus(text) {
  const s = parsed(text);
  return isObject(s) && typeof s.state === "string" ? s : null;
}

module.exports = {readUpdate, readStatus};
