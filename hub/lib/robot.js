// One robot: what its source has said, the verdict on it, the view that shows
// both (the OPC UA nodes), and the feed that passes every update on (its MQTT
// topics). Sources call take(), cut() and missed(), and began() and ended()
// around a run of the gateway or a recording; the clock calls refresh(), as
// silences and the turn to Bad need no message.
"use strict";

const {blankRecord, judge} = require("./status_rules");

class Robot {
  // view: {show(verdict, values, stamp), missed(count)}; say: a console line;
  // feed: {take(values, report, time), began(), ended(why, exitCode), waiting(why)} or null.
  constructor(settings, limits, from, view, say, feed = null) {
    this.settings = settings;
    this.feed = feed;
    this.running = false;
    this.limits = limits;
    this.record = blankRecord(from);
    this.view = view;
    this.say = say;
    this.verdict = null;
    this.missedCount = 0;
    this.missedSaid = 0;
    this.missedSaidAt = 0;
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
    if (this.feed) this.feed.take(values, report, time);
    this.refresh(now, true);
  }

  // A run of the source begins (the gateway's pipe is open, a recording starts).
  began() {
    this.running = true;
    if (this.feed) this.feed.began();
  }

  // The run has ended: why, and the gateway's exit code where known (or null).
  ended(why, exitCode = null, now = Date.now()) {
    this.running = false;
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
    this.missedCount += count;
    this.view.missed(this.missedCount);
    if (now - this.missedSaidAt >= 1000) this.sayMissed(now);
  }

  sayMissed(now) {
    if (this.missedCount === this.missedSaid) return;
    this.say(this.settings.name + ": " + (this.missedCount - this.missedSaid) + " update(s) never arrived (" +
             this.missedCount + " in all)");
    this.missedSaid = this.missedCount;
    this.missedSaidAt = now;
  }

  // Shows the verdict when it changed, or always with force (new values).
  refresh(now = Date.now(), force = false) {
    const r = this.record;
    const v = judge(r, now, this.limits);
    r.cutSince = v.cutSince;
    const old = this.verdict;
    if (now - this.missedSaidAt >= 1000) this.sayMissed(now);
    if (!force && old !== null && old.code === v.code && old.state === v.state && old.cause === v.cause) return;
    this.verdict = v;
    const stamp = !v.withValues ? now / 1000 : r.confirmed !== null ? r.confirmed : r.time;
    this.view.show(v, v.withValues ? r.values : null, stamp);
  }
}

module.exports = {Robot};
