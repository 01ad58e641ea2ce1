// The MQTT messages of the axis values, in one place: the hub writes them with
// this module, and its broker source and the live page read them with it.
//
// On the values topic T, one message per update:
//   {"seq": 17, "time": 1765159512.25, "values": [six numbers], "state": "live",
//    "confirmed": 1765159512.241, "since": 1765159500.281}
// On T/status, retained: {"state": "online" | "offline", "time": ...} with the
// values' state (values_state, cause, since) while online, and why (reason,
// exit_code, updates) once offline; for a robot whose gateway the hub keeps
// running, also its condition, restarts and last_exit_code.
//
// A subscriber's rules: which values are current, retained messages being the
// broker's copy of an earlier moment (freshAfterUpdate, freshAfterStatus: the
// page and the hub's broker source alike), and which are live (isLive).
//
// Loaded by Node (require) and by the page (a plain script: window.draxionMessages).
(function (root, define) {
  if (typeof module === "object" && module.exports) module.exports = define();
  else root.draxionMessages = define();
})(this, function () {
  "use strict";

  // The values' states, in the order of their codes on the gateway's pipe: live,
  // waiting for evidence, and the causes of a hold.
  const STATES = ["live", "waiting", "hidden", "minimized", "docked", "off_screen", "covered"];
  const AXES = 6;
  // A time is seconds since 1970 (UTC) within the range of a date.
  const TIME_LIMIT = 8.64e12;
  // With the state report something comes at least every 0.5 s; a silence longer
  // than this means the gateway or the hub has stalled.
  const SILENCE_S = 2;

  // The fields and what they hold; docs/mqtt.md has the same tables (a test
  // compares them).
  const UPDATE_FIELDS = {
    seq: "integer", time: "time", values: "six numbers", state: "state", confirmed: "time or null", since: "time",
  };
  const STATUS_FIELDS = {
    state: "online or offline", time: "time", values_state: "values state", cause: "hold", since: "time",
    reason: "text", exit_code: "integer", updates: "integer",
    condition: "condition", restarts: "integer", last_exit_code: "integer or null", backlog: "integer",
  };
  const VALUES_STATES = ["live", "waiting", "held", "unknown"];
  const FLOATS = new Set(["time", "confirmed", "since", "values"]);

  const isObject = (v) => typeof v === "object" && v !== null && !Array.isArray(v);
  const isTime = (t) => Number.isFinite(t) && Math.abs(t) <= TIME_LIMIT;

  // A double in the shortest form that reads back as the same double, always with a
  // point or an exponent (a float to typed readers) and -0.0 kept.
  function numberText(v) {
    if (!Number.isFinite(v)) throw new RangeError("not a finite number: " + v);
    if (Object.is(v, -0)) return "-0.0";
    const s = String(v);
    return /[.e]/.test(s) ? s : s + ".0";
  }

  // A message's JSON, fields in the order given, undefined ones left out.
  function write(fields) {
    const parts = [];
    for (const key of Object.keys(fields)) {
      const v = fields[key];
      if (v === undefined) continue;
      const text = !FLOATS.has(key) || v === null ? JSON.stringify(v)
        : Array.isArray(v) ? "[" + v.map(numberText).join(", ") + "]" : numberText(v);
      parts.push(JSON.stringify(key) + ": " + text);
    }
    return "{" + parts.join(", ") + "}";
  }

  // report: the gateway's {state, confirmed (null before the first), since}, or null
  // from a source without it (no state, confirmed or since then).
  function updateText(seq, time, values, report) {
    const r = report || {};
    return write({seq, time, values, state: r.state, confirmed: report ? r.confirmed : undefined, since: r.since});
  }

  // What the status says of the values.
  function valuesStateOf(report) {
    if (report === null) return {values_state: "unknown"};
    if (report.state === "live" || report.state === "waiting") return {values_state: report.state, since: report.since};
    return {values_state: "held", cause: report.state, since: report.since};
  }

  // online: valuesState (valuesStateOf's) or null before the first update;
  // condition: a kept robot's {condition, restarts, last_exit_code}, or none.
  const onlineText = (time, valuesState, condition) =>
    write(Object.assign({state: "online", time}, valuesState || {}, condition || {}));
  // offline: why; the gateway's exit code where known; the run's last seq.
  const offlineText = (time, reason, exitCode, updates, condition) => write(Object.assign(
    {state: "offline", time, reason, exit_code: exitCode === null ? undefined : exitCode, updates}, condition || {}));

  // An update as parsed JSON, or null: an integer seq from 1, a time, exactly six
  // finite numbers, and state, confirmed and since, where given, of their kind.
  function checkUpdate(m) {
    const ok = isObject(m) && Number.isSafeInteger(m.seq) && m.seq >= 1 && isTime(m.time) &&
      Array.isArray(m.values) && m.values.length === AXES && m.values.every(Number.isFinite) &&
      (m.state === undefined || typeof m.state === "string") &&
      (m.confirmed === undefined || m.confirmed === null || isTime(m.confirmed)) &&
      (m.since === undefined || isTime(m.since));
    return ok ? m : null;
  }

  // A status as parsed JSON, or null: an object with a state; the other fields are
  // taken by readers only where they are of their kind.
  const checkStatus = (s) => isObject(s) && typeof s.state === "string" ? s : null;

  function parsed(text) {
    try {
      return JSON.parse(text);
    } catch (e) {
      return undefined;
    }
  }

  // Retained messages are what the broker kept of an earlier moment. Values are
  // current (fresh) only once an update has come as the publisher sent it, not
  // retained, since the subscriber connected and since the publisher was last
  // offline: a subscriber starts each connection not fresh, and carries fresh
  // through each message with these. status: the state of the last status
  // heard (null before the first).
  const freshAfterUpdate = (fresh, retained, status) =>
    fresh || (!retained && (status === null || status === "online"));
  const freshAfterStatus = (fresh, state) => fresh && state === "online";

  // Whether a subscriber may take the values as live: the publisher online, the
  // values fresh, the gateway's state live (or no state, from a source without
  // the report), and something heard within SILENCE_S (silentMs: since the
  // last message).
  const isLive = (status, fresh, state, silentMs) => status === "online" && fresh &&
    (state === "live" || state === null || state === undefined) && silentMs <= SILENCE_S * 1000;

  return {
    STATES, AXES, TIME_LIMIT, SILENCE_S, UPDATE_FIELDS, STATUS_FIELDS, VALUES_STATES,
    isTime, updateText, valuesStateOf, onlineText, offlineText, checkUpdate, checkStatus, freshAfterUpdate,
    freshAfterStatus, isLive,
    readUpdate: (text) => checkUpdate(parsed(text)),
    readStatus: (text) => checkStatus(parsed(text)),
  };
});
