// When a robot's values may be served as live, and the OPC UA status code, state
// and cause that say what they are. Pure: a robot's record and the time in, a
// verdict out; the sources fill the record, the OPC UA side shows the verdict.
//
// The record: values (null before the first), report (the source carries the
// gateway's state report), state (the report's: live, waiting or a hold's
// cause), confirmed (s, null before the first confirmation), heard (ms, the last
// message), link (null while the source delivers, else why it does not), from
// (who is silent: "the gateway", "the publisher"), cutSince (ms, kept by the caller
// from the verdict).
"use strict";

// Why the values are cut off from the gateway, or null.
function cutCause(r, now, limits) {
  if (r.link !== null) return r.link;
  if (r.report && now - r.heard > limits.silence_s * 1000)
    return "nothing heard from " + r.from + " for more than " + limits.silence_s + " s";
  return null;
}

// {code, state, cause, cutSince, withValues, cutOff}: withValues false means the
// value is served as Null, as nothing trustworthy has come yet; cutOff, that the
// values served are the last of a source that delivers nothing now.
function judge(r, now, limits) {
  const cut = cutCause(r, now, limits);
  const cutSince = cut === null ? null : r.cutSince === null ? now : r.cutSince;
  const verdict = (code, state, cause, withValues = true) =>
    ({code, state, cause, cutSince, withValues, cutOff: state === "no_communication"});
  if (r.values === null || (r.report && r.confirmed === null))
    return verdict("BadWaitingForInitialData", "no_data",
                   cut !== null ? cut : r.values === null ? "no values yet" : "not yet confirmed on screen", false);
  if (cut !== null) {
    const bad = now - cutSince >= limits.no_communication_bad_after_s * 1000;
    return verdict(bad ? "BadNoCommunication" : "UncertainNoCommunicationLastUsableValue", "no_communication", cut);
  }
  if (!r.report || r.state === "live") return verdict("Good", "live", "");
  if (r.state === "waiting") return verdict("UncertainLastUsableValue", "waiting", "not yet confirmed on screen again");
  return verdict("UncertainLastUsableValue", "held", r.state);
}

// The conditions of a robot whose gateway the hub keeps running. Outside a run
// of the gateway they are the keeper's phase; within one (phase "running"),
// what its values are: starting until they are first confirmed on screen, then
// live, or held (for any reason they are not live: a hold, waiting to confirm
// them again, a silence of the gateway). failed: the hub has given up on it.
const CONDITIONS = ["starting", "waiting_for_simulator", "live", "held", "restarting", "stopped", "failed"];

// A kept robot's verdict: the plain verdict with the condition for its state and,
// outside a run, the phase's why for its cause. seenLive: the run has been live.
function keptVerdict(v, phase, phaseWhy, seenLive) {
  if (phase !== "running") return Object.assign({}, v, {state: phase, cause: phaseWhy});
  const condition = v.state === "live" ? "live" : seenLive ? "held" : "starting";
  return Object.assign({}, v, {state: condition});
}

// What a robot's record starts as.
const blankRecord = (from) => ({
  values: null, report: false, state: undefined, confirmed: null, time: null, heard: 0, link: null, from, cutSince: null,
});

module.exports = {judge, blankRecord, keptVerdict, CONDITIONS};
