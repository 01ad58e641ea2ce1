// One robot's values at an MQTT broker, on its own connection: the connection's
// last will is the robot's offline status, and a broker has one will per client.
//
// Every update goes to the topic T (messages.js writes it); T/status, retained
// and always QoS 1, says whether the values flow (online, with their state) or
// not (offline, with why). Under QoS 1 the updates the broker has not yet
// acknowledged are counted, at most `queue` of them: past that bound an update
// is dropped (and counted), the queue keeps the oldest, and the latest values go
// out again once there is room. Under QoS 0 an update while the broker is away
// is dropped, and the latest values go out on its return.
//
// Under MQTT 5 the broker says when it refuses a publish: a refused update is
// counted as not delivered, and a refusal that will not pass (not authorized,
// a bad topic) is `denied`, which ends the hub.
//
// With store-and-forward (store: the history's recorder) nothing is dropped:
// while the broker is away, the queue is full, or updates still wait, each
// update goes to the history's outbox. Once the broker is back the latest
// values go out first (retained: dashboards are current at once), then the
// outbox in order (not retained: the broker's copy stays the latest), each
// entry removed once the broker has acknowledged it; then updates go straight
// out again. The status says how many wait (backlog). A broker that cannot be
// reached at start is waited for.
"use strict";

const messages = require("../messages");
const {StartError, FOR_GOOD, brokerProblem, open, openAtStart, reasonText, storedLine} = require("./connection");

const START_TIMEOUT_MS = 10000;
const WILL_REASON = "the hub has lost its connection to the broker, or has ended without saying why";

class Publisher {
  // settings: the robot's (name, publish, client_id); config: the hub's (broker, qos,
  // retain, queue, broker_username, broker_password, TLS texts).
  constructor(settings, config, say, mqtt = require("mqtt")) {
    this.name = settings.name;
    this.topic = settings.publish;
    this.statusTopic = settings.publish + "/status";
    this.clientId = settings.client_id;
    // A kept robot's will says its condition: without the hub, its gateway is stopped too.
    this.willCondition = settings.number !== undefined ? {condition: "stopped"} : undefined;
    this.config = config;
    this.say = (text) => say(settings.name + ": " + text);
    this.mqtt = mqtt;
    this.client = null;
    this.lostSaid = false;
    this.status = null;        // the last status's text, published again at each connection
    this.statusOf = null;      // and how it is written (the time in), for a change of condition
    this.condition = undefined;  // a kept robot's condition fields, in every status
    this.conditionOwed = false;  // changed since the last status
    this.reason = null;        // while offline, the status's reason
    this.said = null;          // the values' state the status last said (JSON)
    this.seq = 0;              // this run's updates
    this.total = 0;            // every update handed over
    this.pending = 0;          // QoS 1: updates the broker has not acknowledged yet
    this.statusPending = 0;    // and statuses
    this.latest = null;        // the last update's text
    this.latestOwed = null;    // "dropped" or "lost" while the latest has not got through
    this.dropped = 0;          // updates that never went out
    this.lost = 0;             // QoS 1: updates the library gave up when the connection closed
    this.droppedAway = 0;      // QoS 0: of those, since the broker went away
    this.refused = 0;          // updates the broker refused
    this.refusals = new Set(); // refusals already said (they tend to repeat)
    this.denied = null;        // why the broker takes nothing more of this login
    this.closing = false;
    this.onDenied = () => {};
    this.store = null;         // store-and-forward: the recorder, set before start()
    this.backlog = 0;          // updates in the outbox the broker has not acknowledged
    this.drainAfter = 0;       // the last outbox entry handed to the connection
    this.outstanding = [];     // outbox entries handed over, in order: [id, acknowledged]
    this.settledUpTo = null;   // the last of them acknowledged with all before it
    this.draining = false;
    this.live = new Map();     // updates sent straight out and not yet acknowledged: kept at a stop
    this.moved = new Set();    // of those, the ones put in the outbox when the connection was lost
    this.liveCount = 0;
    this.backlogSaid = null;
  }

  // Store-and-forward is on, and its store can take updates.
  get forwards() {
    return this.store !== null && !this.store.broken;
  }

  // Connects (MQTT 5, or 3.1.1 for a broker that speaks nothing else) and has the
  // broker take a first status, which tells whether this login may write at all;
  // a StartError saying why not.
  async start() {
    const will = {topic: this.statusTopic, qos: 1, retain: true, payload: Buffer.from(messages.offlineText(
      Date.now() / 1000, WILL_REASON, null, undefined, this.willCondition))};
    const settingsOf = (protocolVersion) => ({protocolVersion, clientId: this.clientId, will});
    if (this.forwards) {
      this.backlog = await this.store.outboxCount(this.name);
      setInterval(() => this.sayBacklog(), 1000).unref();
    }
    try {
      this.client = await openAtStart(this.config, settingsOf, this.say, this.mqtt);
    } catch (e) {
      if (!(e instanceof StartError && e.unreachable && this.forwards)) throw e;
      // Store-and-forward waits for the broker: what comes meanwhile is stored.
      this.say(storedLine(e, "the updates are", this.config.broker));
      this.client = open(this.config, settingsOf(this.config.mqtt_version || 5), this.mqtt);
      this.lostSaid = true;
      this.watch(this.client);
      this.publishStatus((t, c) => messages.offlineText(t, "the hub is starting", null, undefined, c));
      return;
    }
    this.watch(this.client);
    const code = await this.publishStatus((t, c) => messages.offlineText(t, "the hub is starting", null, undefined, c));
    if (this.denied !== null) throw new StartError(this.denied);
    if (code === null) throw new StartError("the broker did not take the status within " + START_TIMEOUT_MS / 1000 +
                                            " s: is it overloaded? the broker: " + this.config.broker);
  }

  // The connection's life after the start: losses, returns, refusals, said once each.
  watch(client) {
    let errorSaid = null;
    client.on("connect", () => {
      errorSaid = null;
      const away = this.droppedAway;
      this.droppedAway = 0;
      if (this.lostSaid) this.say("back at the broker" +
                                  (away ? "; " + away + " updates were dropped while it was away (QoS 0)" : "") +
                                  "; the broker: " + this.config.broker);
      this.lostSaid = false;
      // The status again (with store-and-forward, written anew: what waits, before it goes out).
      if (this.status !== null) {
        if (this.store !== null && this.statusOf !== null) this.publishStatus(this.statusOf);
        else this.publishText(this.status);
      }
      // Under QoS 1 the queue has gone out before this; under QoS 0 the broker gets the current values.
      if (away && this.latest !== null) this.send(this.latest);
      // Store-and-forward: the latest values first, retained, then what waits, in order.
      if (this.forwards && this.backlog > 0) {
        if (this.latest !== null) this.client.publish(this.topic, this.latest, {qos: 1, retain: this.config.retain});
        this.drain();
      }
    });
    client.on("close", () => {
      if (this.closing) return;
      // Store-and-forward: what went straight out and is not acknowledged goes to the outbox first,
      // ahead of what comes while the broker is away (the library may send it again too: at least once).
      if (this.forwards && this.live.size) {
        for (const [key, text] of this.live) {
          this.store.outboxAdd(this.name, text);
          this.moved.add(key);
        }
        this.backlog += this.live.size;
        this.live.clear();
      }
      if (!this.lostSaid) this.say("lost the broker; reconnecting (values are queued meanwhile, or dropped under QoS 0) to " +
                                   this.config.broker);
      this.lostSaid = true;
    });
    client.on("error", (e) => {
      if (e.message !== errorSaid) this.say(brokerProblem(e) + "; trying again at " + this.config.broker);
      errorSaid = e.message;
    });
  }

  // Publishes a status that write(time, condition) writes; resolves with the
  // broker's answer (0, a refusal's code) or null if none came in time.
  publishStatus(write) {
    this.statusOf = write;
    this.conditionOwed = false;
    const extra = this.store === null ? this.condition : Object.assign({}, this.condition, {backlog: this.backlog});
    this.backlogSaid = this.backlog;
    return this.publishText(write(Date.now() / 1000, extra));
  }

  // Store-and-forward: the status again when the backlog has changed (at most once a second).
  sayBacklog() {
    if (this.backlog !== this.backlogSaid && this.statusOf !== null && this.client !== null && !this.closing)
      this.publishStatus(this.statusOf);
  }

  publishText(text) {
    this.status = text;
    this.statusPending += 1;
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(null), START_TIMEOUT_MS);
      this.client.publish(this.statusTopic, text, {qos: 1, retain: true}, (e) => {
        this.statusPending -= 1;
        clearTimeout(timer);
        const code = e ? (Number.isInteger(e.code) ? e.code : null) : 0;
        if (code) this.refusal(false, code);
        resolve(code);
      });
    });
  }

  // Not reading its source (waiting for it, or it has gone): offline, saying why.
  waiting(why) {
    if (why === this.reason && !this.conditionOwed) return;
    this.reason = why;
    this.publishStatus((t, c) => messages.offlineText(t, why, null, undefined, c));
  }

  // A kept robot's condition (messages.js's fields), said with the next status,
  // or at once (publishNow) in the status as it stands.
  setCondition(fields, publishNow) {
    if (fields === null || JSON.stringify(fields) === JSON.stringify(this.condition)) return;
    this.condition = fields;
    this.conditionOwed = true;
    if (publishNow && this.statusOf !== null) this.publishStatus(this.statusOf);
  }

  // A run of the source begins: a new seq from 1.
  began() {
    this.seq = 0;
    this.said = null;
    this.reason = null;
    this.publishStatus((t, c) => messages.onlineText(t, null, c));
  }

  // The run has ended: offline with why, the gateway's exit code (or null) and the run's last seq.
  ended(why, exitCode) {
    this.reason = why;
    const updates = this.seq;
    this.publishStatus((t, c) => messages.offlineText(t, why, exitCode, updates, c));
  }

  // An update: report as the pipe gives it ({state, confirmed, since}) or null. The
  // state goes with the values (under QoS 1 delivered alike), and to the status
  // whenever it changes: the messages say the gateway's report, and a subscriber
  // judges them by messages.js's live rule. (The robot's verdict, which says the
  // same of them, is for the outputs that carry a verdict of their own.)
  take(values, report, time) {
    const state = messages.valuesStateOf(report);
    const key = JSON.stringify(state);
    if (key !== this.said || this.conditionOwed) {
      this.said = key;
      this.publishStatus((t, c) => messages.onlineText(t, state, c));
    }
    this.seq += 1;
    this.total += 1;
    this.latest = messages.updateText(this.seq, time, values, report);
    this.latestOwed = null;
    if (this.forwards && (this.backlog > 0 || !this.client.connected || this.pending >= this.config.queue)) {
      this.keep(this.latest);
      return;
    }
    if (!this.send(this.latest)) {
      this.latestOwed = "dropped";
      this.dropped += 1;
      if (this.config.qos === 0) this.droppedAway += 1;
    }
  }

  // A verdict between updates: the status follows the source through waiting().
  judged() {}

  // The updates that have not reached the broker (so far); stored ones are not lost.
  undelivered() {
    return this.pending + this.dropped + this.lost + this.refused;
  }

  // Store-and-forward: an update into the outbox, behind what waits there.
  keep(text) {
    this.store.outboxAdd(this.name, text);
    this.backlog += 1;
    this.drain();
  }

  // Store-and-forward: hands the outbox's next entries to the connection, as the
  // queue has room; each acknowledged one leaves the outbox, in order.
  async drain() {
    const room = this.config.queue - this.pending;
    if (!this.forwards || this.draining || this.backlog === 0 || !this.client.connected || room <= 0 || this.closing)
      return;
    this.draining = true;
    let rows = [];
    try {
      rows = await this.store.outboxTake(this.name, this.drainAfter, Math.min(room, 1000));
    } catch (e) {
      // The history has failed (the recorder says so): what it held cannot go out.
    }
    this.draining = false;
    if (!this.client.connected || this.closing) return;
    for (const row of rows) {
      this.drainAfter = row.id;
      const entry = [row.id, false];
      this.outstanding.push(entry);
      this.pending += 1;
      this.client.publish(this.topic, row.text, {qos: 1, retain: false}, (e) => {
        if (e && this.closing) return;  // it stays in the outbox
        this.pending -= 1;
        if (e && Number.isInteger(e.code)) this.refusal(true, e.code);
        else if (e) this.lost += 1;
        entry[1] = true;
        this.settle();
        this.drain();
      });
    }
  }

  // The outbox entries acknowledged in order leave it.
  settle() {
    let upTo = null;
    while (this.outstanding.length && this.outstanding[0][1]) {
      upTo = this.outstanding.shift()[0];
      this.backlog -= 1;
    }
    if (upTo === null) return;
    this.settledUpTo = upTo;
    if (this.outstanding.length === 0 || upTo % 100 === 0) this.store.outboxDone(this.name, upTo);
  }

  // QoS 1: the latest values, which did not get through, once there is room for
  // them (no newer update has come since: they are the robot's last word).
  payLatest() {
    const owed = this.latestOwed;
    if (this.config.qos !== 1 || owed === null || this.pending >= this.config.queue) return;
    this.latestOwed = null;
    this[owed] -= 1;  // its values arrive after all
    if (!this.send(this.latest)) {
      this[owed] += 1;
      this.latestOwed = owed;
    }
  }

  // Hands an update to the connection; false when it cannot go out.
  send(text) {
    const qos = this.config.qos;
    if (qos === 0 ? !this.client.connected : this.pending >= this.config.queue) return false;
    this.pending += qos;
    const key = this.liveCount++;
    if (this.store !== null) this.live.set(key, text);
    this.client.publish(this.topic, text, {qos, retain: this.config.retain}, (e) => {
      if (e && this.closing && this.forwards) return;  // kept in the outbox at the stop
      this.pending -= qos;
      if (this.moved.delete(key)) return;  // in the outbox since the connection was lost
      this.live.delete(key);
      if (e && Number.isInteger(e.code)) {
        this.refusal(true, e.code);
      } else if (e && qos === 0) {
        this.dropped += 1;
      } else if (e) {  // the library dropped it as the connection closed (while it resent a backlog)
        this.lost += 1;
        if (text === this.latest && this.latestOwed === null) this.latestOwed = "lost";
      }
      this.payLatest();
    });
    return true;
  }

  refusal(update, code) {
    if (update) this.refused += 1;
    const reason = reasonText(code);
    const topic = update ? this.topic : this.statusTopic;
    if (!this.refusals.has(update + ":" + code)) {
      this.refusals.add(update + ":" + code);
      this.say("the broker refused " + (update ? "an update" : "the status") + " on " + topic + ": " + reason);
    }
    if (FOR_GOOD.includes(code) && this.denied === null) {
      const who = this.config.broker_username != null ? "the login '" + this.config.broker_username + "'"
        : "a client without a login";
      this.denied = "the broker refuses the hub's publishes on " + topic + ": " + reason + " (may " + who + " write " +
        this.topic + " and " + this.statusTopic + "? See the broker's ACL)";
      this.onDenied(this.denied);
    }
  }

  // A DISCONNECT tells the broker not to publish the will, where the last status has said it all.
  close(politely) {
    const client = this.client;
    this.closing = true;
    if (!politely || !client.connected) return Promise.resolve(client.end(true));
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(client.end(true)), 1000);
      client.end(false, {}, () => {
        clearTimeout(timer);
        resolve();
      });
    });
  }

  // The end: a last status (why, or none where the run's end has said it), then
  // waiting up to drainMs until the broker has every update. Returns the count
  // of updates not delivered and, if any, a line saying why.
  async finish(why, drainMs) {
    if (why !== null) this.ended(why, null);
    const deadline = Date.now() + drainMs;
    while (Date.now() < deadline) {
      this.payLatest();
      if (this.pending === 0 && this.statusPending === 0 && (!this.forwards || this.backlog === 0)) break;
      // What is stored waits for the next start: no need to wait for a broker that is away.
      if (this.forwards && !this.client.connected) break;
      await new Promise((r) => setTimeout(r, 20));
    }
    if (this.forwards) {
      // What the broker has acknowledged leaves the outbox, to the last; what it has
      // not, and updates sent straight out and not acknowledged, wait for the next start.
      if (this.settledUpTo !== null) this.store.outboxDone(this.name, this.settledUpTo);
      for (const text of this.live.values()) this.store.outboxAdd(this.name, text);
      this.backlog += this.live.size;
      this.pending -= this.outstanding.length + this.live.size + this.moved.size;
      this.live.clear();
    }
    const unacknowledged = this.pending;
    await this.close(unacknowledged === 0 && this.statusPending === 0);
    if (this.forwards && this.backlog > 0 && this.undelivered() === 0)
      return {undelivered: 0, line: this.backlog + " update(s) wait in the history for the broker, to go out in order " +
              "once it takes them, from the hub's next start on"};

    const undelivered = this.undelivered();
    if (!undelivered) return {undelivered, line: null};
    if (this.config.qos === 0)
      return {undelivered, line: undelivered + " of " + this.total + " updates were dropped while the broker was away (QoS 0)"};
    const causes = [];
    if (this.refused) causes.push(this.refused + " refused by the broker");
    if (this.dropped) causes.push(this.dropped + " dropped while the queue of " + this.config.queue + " was full");
    if (this.lost) causes.push(this.lost + " lost as the connection to the broker closed");
    if (unacknowledged) causes.push(unacknowledged + " not acknowledged within " + drainMs / 1000 + " s");
    return {undelivered, line: undelivered + " of " + this.total + " updates were not delivered (" + causes.join(", ") + ")"};
  }
}

module.exports = {Publisher};
