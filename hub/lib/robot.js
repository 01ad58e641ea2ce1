// One robot: what its source has said, the verdict on it, the view that shows
// both (the OPC UA nodes), and the feed that passes every update on (its MQTT
// topics). Sources call take(), cut(), missed() and refused(), and began() and ended()
// around a run of the gateway or a recording; the clock calls refresh(), as
// silences and the turn to Bad need no message.
//
// A robot whose gateway the hub keeps running (it has a number) also has a
// condition (status_rules.js): its keeper sets the phase with keep(); the
// condition is the OPC UA state, goes into the MQTT status, and each change of
// it or its cause is one console line.
"use strict";

const {blankRecord, judge, keptVerdict} = require("./status_rules");

class Robot {
  // view: {show(verdict, values, stamp) -> the axes it set (bit k: axis k + 1), missed(count)}; say: a console line;
  // feed: {take(values, report, time, verdict), judged(verdict), began(),
  // ended(why, exitCode), waiting(why), setCondition(fields, publishNow)} or null.
  // The robot judges once per update or tick, and every output is handed that verdict.
  // history: the recorder (record(...)), or null.
  constructor(settings, limits, from, view, say, feed = null, history = null) {
    this.settings = settings;
    this.kept = settings.number !== undefined;
    this.phase = "starting";   // kept: the keeper's phase (status_rules.CONDITIONS, or running)
    this.phaseWhy = "launching gateway.exe";
    this.restarts = 0;         // kept: the gateway's restarts, and the exit code it last ended with
    this.lastExitCode = null;
    this.seenLive = false;     // kept: this run of the gateway has been live
    this.feed = feed;
    this.history = history;
    this.seq = 0;              // this run's updates, as its publisher counts them
    this.running = false;
    this.limits = limits;
    this.record = blankRecord(from);
    this.view = view;
    this.say = say;
    this.verdict = null;
    const name = settings.name;
    this.missedTally = new Tally(say, (n, all) => name + ": " + n + " update(s) never arrived (" + all + " in all)");
    this.refusedTally = new Tally(say, (n, all, why) => name + ": " + n + " record(s) from " + from +
                                  " refused, as they cannot be served (" + why + "; " + all + " in all)");
  }

  // An update: values and, with the state report, {state, confirmed}; time (s)
  // when the source read it; link, why it is cut off all the same (or null).
  take(values, report, time, now = Date.now(), link = null) {
    const r = this.record;
    r.values = values;
    r.report = report !== null;
    r.state = report !== null ? report.state : undefined;
    r.confirmed = report !== null ? report.confirmed : null;
    r.time = time;
    r.heard = now;
    r.link = link;
    this.seq += 1;
    this.refresh(now, true, {values, report, time});
  }

  // A run of the source begins (the gateway's pipe is open, a recording starts).
  began() {
    this.running = true;
    this.seq = 0;
    this.phase = "running";
    this.seenLive = false;
    if (this.feed) this.feed.began();
  }

  // A kept robot's phase (not "running": began() says that) and why; restarts and
  // lastExitCode where they change.
  keep(phase, why, counts = {}, now = Date.now()) {
    this.setPhase(phase, why, counts);
    this.running = false;
    this.cut(why, now);
  }

  // The phase, why and counts, with the condition the feed's next status says.
  setPhase(phase, why, counts) {
    Object.assign(this, {phase, phaseWhy: why}, counts);
    if (this.feed) this.feed.setCondition(this.conditionFields({state: phase}), false);
  }

  // The run has ended: why, and the gateway's exit code where known (or null);
  // for a kept robot, its phase from now (counts: its restarts and lastExitCode).
  ended(why, exitCode = null, counts = {}, now = Date.now(), phase = "restarting") {
    this.running = false;
    if (this.kept) this.setPhase(phase, why, counts);
    if (this.feed) this.feed.ended(why, exitCode);
    this.cut(why, now);
  }

  // The source delivers nothing (why), or again (null). Only values count as
  // heard: a silence goes on through a change of cause.
  cut(why, now = Date.now()) {
    this.record.link = why;
    if (this.feed && !this.running && why !== null) this.feed.waiting(why);
    this.refresh(now, false);
  }

  // Updates that never arrived: counted, shown, and said at most once a second.
  missed(count, now = Date.now()) {
    this.view.missed(this.missedTally.add(count, now));
  }

  // Records the source refused (why: the last one's problem): counted and said
  // at most once a second; the values stand as they were.
  refused(count, why, now = Date.now()) {
    this.refusedTally.add(count, now, why);
  }

  // Says the counts not yet said, whatever the time (the hub stops).
  sayCounts() {
    this.missedTally.due(Infinity);
    this.refusedTally.due(Infinity);
  }

  // The verdict on the record now; a kept robot's with its condition.
  verdictAt(now) {
    const v = judge(this.record, now, this.limits);
    if (!this.kept) return v;
    if (this.phase === "running" && v.state === "live") this.seenLive = true;
    return keptVerdict(v, this.phase, this.phaseWhy, this.seenLive);
  }

  // What a kept robot's MQTT status says of its condition (null for others).
  conditionFields(v) {
    return this.kept ? {condition: v.state, restarts: this.restarts, last_exit_code: this.lastExitCode} : null;
  }

  // Judges the record and hands the verdict on: to the view when it changed, or
  // always with force; to the feed with an update (new values: {values, report,
  // time}), or as a verdict of its own when it changed without one.
  refresh(now = Date.now(), force = false, update = null) {
    const r = this.record;
    const v = this.verdictAt(now);
    r.cutSince = v.cutSince;
    const old = this.verdict;
    this.missedTally.due(now);
    this.refusedTally.due(now);
    const changed = old === null || old.code !== v.code || old.state !== v.state || old.cause !== v.cause;
    if (!force && !changed) return;
    const condition = this.kept && (old === null || old.state !== v.state || old.cause !== v.cause);
    if (condition) this.say(this.settings.name + ": " + v.state.replace("_for_", " for the ").replace(/_/g, " ") +
                            (v.cause ? " (" + v.cause + ")" : ""));
    if (this.feed) {
      // The status that goes with new values says their condition too; else a change of it is said at once.
      if (update !== null || condition) this.feed.setCondition(this.conditionFields(v), update === null);
      if (update !== null) this.feed.take(update.values, update.report, update.time, v);
      else if (changed) this.feed.judged(v);
    }
    this.verdict = v;
    const stamp = !v.withValues ? now / 1000 : r.confirmed !== null ? r.confirmed : r.time;
    const axes = this.view.show(v, v.withValues ? r.values : null, stamp);
    // What OPC UA shows now (axes: those that took it), and the update's own fields for an export.
    if (this.history) {
      this.history.record(this.settings.name, now, Math.round(stamp * 1000), v.code, v.state, v.cause || null,
                          update ? this.seq : null, update || v.withValues ? r.values : null, v.withValues, axes || 0,
                          update ? update.time : null, update ? update.report : null);
    }
  }
}

// A count said on the console at most once a second: how many since it was
// last said, and in all. The clock says what a burst left unsaid.
class Tally {
  constructor(say, text) {
    Object.assign(this, {say, text, count: 0, said: 0, saidAt: -Infinity, why: ""});
  }

  add(n, now, why = "") {
    this.count += n;
    this.why = why;
    this.due(now);
    return this.count;
  }

  // now: Infinity says it whatever the time (the hub stops).
  due(now) {
    if (this.count === this.said || now - this.saidAt < 1000) return;
    this.say(this.text(this.count - this.said, this.count, this.why));
    [this.said, this.saidAt] = [this.count, now];
  }
}

module.exports = {Robot};
