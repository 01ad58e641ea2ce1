// The robots as Sparkplug B (spBv1.0): this PC is the edge node, each robot a
// device of it, on one MQTT connection whose last will is the node's death.
//
//   spBv1.0/<group>/NBIRTH|NDEATH|NCMD/<node>         the node: bdSeq, Node Control/Rebirth
//   spBv1.0/<group>/DBIRTH|DDATA|DDEATH/<node>/<robot> a robot: axis1 ... axis6 (Double)
//
// Each connection gets a new bdSeq (0 to 255, wrapping), from one run of the
// hub to the next too (kept in the state folder): its will is an NDEATH with
// it, and the NBIRTH that follows the connection says the same. Every
// message of the node carries seq, 0 at the NBIRTH, then one more per message
// up to 255 and 0 again. A robot is born (DBIRTH: names, aliases, units, its
// values) with its first values of a run of its gateway, then sends DDATA by
// alias, and dies (DDEATH) when the run ends. Each axis metric carries the time
// the gateway confirmed it on screen and its quality: 192 live, 500 held or
// waiting to confirm, 0 cut off. A Rebirth command (NCMD) has the node and its
// live robots born again. Births and data go with QoS 0 and no retain, the will
// with QoS 1: a subscriber learns the state from births after each connection.
// What the broker refuses (the subscription to commands, the death, a
// connection it ends over a refused publish) is counted and said, and a
// refusal that will not pass ends the start, or the hub.
//
// With store-and-forward (store: the history's recorder) what a robot would
// send while the node is not born in a connection waits in the history's
// outbox, and a broker that cannot be reached at start is waited for. After
// the births (current values) the outbox goes out in order as DDATA whose
// metrics are historical (is_historical: a host keeps them, with the times
// they were taken, and does not take them as current), while live DDATA go
// on. The broker answers no QoS 0 publish, so the node subscribes to its
// commands again after each chunk, and every 200 ms while live data wait: the
// broker answers in order, so its answer says it has taken what went before.
// A chunk then leaves the outbox; live data the broker has not answered for
// when the connection is lost go to the outbox (at least once). A robot keeps
// its entries until its next birth. The node's metric "Store and
// Forward/Backlog" says how many wait: in NBIRTH, then in NDATA as it changes.
"use strict";

const fs = require("fs");
const path = require("path");
const {ConfigError, clientIdOf} = require("../config");
const {StartError, FOR_GOOD, brokerProblem, open, openAtStart, reasonText, storedLine} = require("./connection");

const NAMESPACE = "spBv1.0";
const AXES = 6;
const REBIRTH = "Node Control/Rebirth";
const QUALITY = {live: 192, held: 500, cut: 0};
const START_TIMEOUT_MS = 10000;
const BACKLOG = "Store and Forward/Backlog";
const CHUNK = 500;  // historical DDATA between two of the broker's answers
const CONFIRM_MS = 200;

// The node's bdSeq from connection to connection, and from run to run of the
// hub: a small file in the state folder holds the last one used, and each
// connection's is written there before the connection is made, so that no
// connection, whenever the hub dies, has the bdSeq of the one before.
class BirthDeathSequence {
  constructor(folder, group, node) {
    // One file per node: two cells' hubs may share the folder. Any character a
    // file name might not take is written as %XX.
    const name = (group + "-" + node).replace(/[^A-Za-z0-9_.-]/g, (ch) =>
      [...Buffer.from(ch)].map((b) => "%" + b.toString(16).toUpperCase().padStart(2, "0")).join(""));
    this.folder = folder;
    this.file = path.join(folder, "sparkplug-bdseq-" + name + ".txt");
    this.last = null;  // the last bdSeq used; null: none yet, the first is 0
  }

  // Reads the last bdSeq used; a line to say where the file cannot be read, else null.
  load() {
    let text;
    try {
      text = fs.readFileSync(this.file, "utf8");
    } catch (e) {
      return e.code === "ENOENT" ? null : "cannot read " + this.file + " (" + e.message + "): bdSeq starts at 0";
    }
    if (!/^\d{1,3}\s*$/.test(text) || Number(text) > 255) return this.file + " holds no bdSeq: bdSeq starts at 0";
    this.last = Number(text);
    return null;
  }

  // The next connection's bdSeq (0 to 255, then 0 again), written (a file
  // written aside, then put in place) before it is used. Throws if it cannot
  // be written; it is the next one all the same.
  next() {
    this.last = this.last === null ? 0 : (this.last + 1) % 256;
    fs.mkdirSync(this.folder, {recursive: true});
    const temporary = this.file + ".new";
    const fd = fs.openSync(temporary, "w");
    try {
      fs.writeSync(fd, this.last + "\n");
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temporary, this.file);
    return this.last;
  }
}

class SparkplugNode {
  // config: the hub's (broker and its login, sparkplug_group, machine,
  // state_folder); robots: the settings of the robots published as devices.
  constructor(config, robots, say, mqtt = require("mqtt"), payload = require("sparkplug-payload").get(NAMESPACE)) {
    this.config = config;
    this.group = config.sparkplug_group;
    this.node = config.machine;
    this.say = (text) => say("Sparkplug: " + text);
    this.mqtt = mqtt;
    this.payload = payload;
    this.id = this.group + "/" + this.node;
    this.name = "Sparkplug node " + this.id;
    this.sequence = new BirthDeathSequence(config.state_folder, this.group, this.node);
    this.bdSeq = null;   // this connection's
    this.seq = 0;     // the next message's
    this.client = null;
    this.alive = false;  // born in this connection
    this.onBorn = null;  // the start, waiting for the first birth (true) or a refusal (false)
    this.devices = new Map(robots.map((r, k) => [r.name, new Device(this, r, k)]));
    this.refused = 0;          // messages the broker refused
    this.unacknowledged = 0;   // the death at the end, unanswered
    this.denied = null;        // why the broker takes nothing more of this node
    this.closing = false;
    this.onDenied = () => {};
    this.store = null;          // store-and-forward: the recorder, set before start()
    this.backlogAlias = robots.length * AXES + 1;
    this.backlogSaid = null;
    this.unconfirmed = [];      // live data sent since the broker's last answer: [device, entry]
    this.liveSent = 0;          // live data put in unconfirmed, ever
    this.liveSettled = 0;       // of those, the ones answered for or stored
    this.timers = [];
  }

  // Store-and-forward is on, and its store can take updates.
  get forwards() {
    return this.store !== null && !this.store.broken;
  }

  // Updates in the outbox, of every robot.
  get backlog() {
    let n = 0;
    for (const d of this.devices.values()) n += d.backlog;
    return n;
  }

  // Born in a connection that is up: what is sent now goes out live.
  get sending() {
    return this.client !== null && this.client.connected && this.alive;
  }

  topic(type, device) {
    return [NAMESPACE, this.group, type, this.node].concat(device ? [device] : []).join("/");
  }

  encode(metrics, seq = true) {
    const m = {timestamp: Date.now(), metrics};
    if (seq) {
      m.seq = this.seq;
      this.seq = (this.seq + 1) % 256;
    }
    return this.payload.encodePayload(m);
  }

  death() {
    return this.encode([{name: "bdSeq", type: "Int64", value: this.bdSeq}], false);
  }

  // A new connection's bdSeq, kept before the connection is made. At the start
  // a bdSeq that cannot be kept ends the start; later it is said, and used.
  advance(atStart) {
    try {
      this.bdSeq = this.sequence.next();
    } catch (e) {
      this.bdSeq = this.sequence.last;
      const why = "cannot keep the Sparkplug node's bdSeq in " + this.sequence.file + ": " + e.message;
      if (atStart) throw new ConfigError(why + " (give state_folder a folder the hub may write)");
      this.say(why + "; a restart of the hub may use bdSeq " + this.bdSeq + " again");
    }
  }

  // Nothing of the node's goes out before its birth in this connection.
  send(type, device, metrics) {
    if (this.client && this.client.connected && (this.alive || type === "NBIRTH"))
      this.client.publish(this.topic(type, device), this.encode(metrics), {qos: 0});
  }

  // Connects, with the node's death as the will, and has it born once the
  // broker has answered its subscription to commands, within timeoutMs.
  async start(timeoutMs = START_TIMEOUT_MS) {
    const c = this.config;
    const unreadable = this.sequence.load();
    if (unreadable !== null) this.say(unreadable);
    const settingsOf = (protocolVersion) => {
      this.advance(true);
      // Two cells' hubs on one PC are two nodes: the group is part of the id.
      return {protocolVersion, clientId: clientIdOf([this.group, this.node, "sparkplug"]), will: {topic: this.topic("NDEATH"), payload: this.death(), qos: 1, retain: false}};
    };
    let reached = true;
    if (this.forwards) {
      for (const d of this.devices.values()) d.backlog = await this.store.outboxCount(d.key);
      this.timers = [setInterval(() => this.sayBacklog(), 1000),
                     setInterval(() => this.unconfirmed.length && this.sending && this.answered(), CONFIRM_MS)];
      this.timers.forEach((t) => t.unref());
    }
    let client;
    try {
      client = await openAtStart(c, settingsOf, this.say, this.mqtt);
    } catch (e) {
      if (!(e instanceof StartError && e.unreachable && this.forwards)) throw e;
      // Store-and-forward waits for the broker: the node is born once it connects.
      this.say(storedLine(e, "the robots' values are", c.broker));
      client = open(c, settingsOf(c.mqtt_version || 5), this.mqtt);
      reached = false;
    }
    this.client = client;
    let errorSaid = null, lostSaid = !reached;
    client.on("connect", () => {
      errorSaid = null;
      if (lostSaid) this.say("back at the broker; the broker: " + c.broker);
      lostSaid = false;
      this.subscribe();
    });
    // The next connection is a new session: a new bdSeq, in its will and its birth.
    client.on("close", () => {
      this.alive = false;
      if (this.closing) return;
      if (!lostSaid && this.forwards) this.say("lost the broker; the robots' values are stored meanwhile; reconnecting to " +
                                               c.broker);
      lostSaid = true;
      this.keepUnconfirmed();
      this.advance(false);
      client.options.will.payload = this.death();
    });
    // Under MQTT 5 a broker may end the connection over a publish it refuses (QoS 0 has no answer).
    client.on("disconnect", (packet) => {
      const code = packet.reasonCode;
      if (!code) return;
      if (FOR_GOOD.includes(code)) {
        this.refused += 1;
        this.deny("the node's messages", code);
      } else {
        this.say("the broker ended the connection (" + reasonText(code) + "); reconnecting to " + c.broker);
      }
    });
    client.on("error", (e) => {
      if (e.message !== errorSaid) this.say(brokerProblem(e) + "; trying again at " + c.broker);
      errorSaid = e.message;
    });
    client.on("message", (topic, message) => this.command(message));
    if (!reached) return;
    const born = await new Promise((resolve) => {
      const timer = setTimeout(() => resolve(false), timeoutMs);
      this.onBorn = (ok) => {
        clearTimeout(timer);
        resolve(ok);
      };
      this.subscribe();
    });
    this.onBorn = null;
    if (born) return;
    this.closing = true;
    client.end(true);
    throw new StartError(this.denied !== null ? this.denied : "the broker did not answer the node's subscription to " +
                         this.topic("NCMD") + " within " + timeoutMs / 1000 + " s: is it overloaded? the broker: " + c.broker);
  }

  // Commands (QoS 1) are heard before the node is born; a node that cannot hear them is denied.
  subscribe() {
    this.client.subscribe(this.topic("NCMD"), {qos: 1}, (e) => {
      // A refusal's code is in the broker's answer (SUBACK); without one the connection closed first,
      // and the next one subscribes again.
      const refusal = e && e.packet && Array.isArray(e.packet.granted) ? e.packet.granted.find((c) => c >= 0x80) : undefined;
      if (refusal !== undefined) this.deny("the node's subscription to " + this.topic("NCMD"), refusal);
      else if (!e) this.born();
    });
  }

  // The broker takes nothing more of this node (said once): the start fails, or the hub ends.
  deny(what, code) {
    if (this.denied !== null) return;
    const who = this.config.broker_username != null ? "the login '" + this.config.broker_username + "'"
      : "a client without a login";
    this.denied = "the broker refuses " + what + ": " + reasonText(code) + " (may " + who + " write " +
      [NAMESPACE, this.group, "+", this.node, "#"].join("/") + " and read " + this.topic("NCMD") +
      "? See the broker's ACL)";
    if (this.onBorn) this.onBorn(false);
    else if (!this.closing) this.onDenied(this.denied);
  }

  // The node's birth (seq 0) and its live robots', after each connection and on a Rebirth command.
  born() {
    if (this.closing) return;
    this.seq = 0;
    const metrics = [{name: "bdSeq", type: "Int64", value: this.bdSeq}, {name: REBIRTH, type: "Boolean", value: false}];
    if (this.store !== null) {
      this.backlogSaid = this.backlog;
      metrics.push({name: BACKLOG, alias: this.backlogAlias, type: "UInt64", value: this.backlogSaid,
                    timestamp: Date.now()});
    }
    this.send("NBIRTH", null, metrics);
    this.alive = true;
    if (this.onBorn) this.onBorn(true);
    for (const d of this.devices.values()) {
      d.live = false;
      d.birth();
    }
  }

  // Store-and-forward: the backlog in NDATA when it has changed (at most once a second).
  sayBacklog() {
    const backlog = this.backlog;
    if (backlog === this.backlogSaid || !this.sending || this.closing) return;
    this.backlogSaid = backlog;
    this.send("NDATA", null, [{alias: this.backlogAlias, type: "UInt64", value: backlog, timestamp: Date.now()}]);
  }

  // Resolves true once the broker has answered a subscription sent after what
  // was published before it (so it has taken that), false if the connection
  // is lost first. Under MQTT 5 the broker sends no retained command again.
  // Live data sent before it are then delivered.
  answered() {
    const client = this.client;
    const sent = this.liveSent;
    return new Promise((resolve) => {
      const lost = () => resolve(false);
      client.once("close", lost);
      const options = client.options.protocolVersion === 5 ? {qos: 1, rh: 2} : {qos: 1};
      client.subscribe(this.topic("NCMD"), options, (e, granted) => {
        client.removeListener("close", lost);
        const ok = !e && Array.isArray(granted) && granted.every((g) => g.qos < 0x80);
        if (ok) this.settle(sent);
        resolve(ok);
      });
    });
  }

  // The live data sent up to the count `sent` are settled (answered for, or stored).
  settle(sent) {
    if (sent <= this.liveSettled) return;
    this.unconfirmed.splice(0, sent - this.liveSettled);
    this.liveSettled = sent;
  }

  // Live data the broker may not have: into the outbox, in the order sent.
  keepUnconfirmed() {
    for (const [device, entry] of this.unconfirmed) device.keep(entry);
    this.settle(this.liveSent);
  }

  command(message) {
    let metrics;
    try {
      metrics = this.payload.decodePayload(message).metrics || [];
    } catch (e) {
      return this.say("an NCMD that is no Sparkplug B payload was ignored");
    }
    if (metrics.some((m) => m.name === REBIRTH && m.value === true)) this.born();
  }

  feedOf(settings) {
    return this.devices.get(settings.name);
  }

  // Births and data go with QoS 0, which a broker does not answer: what can be
  // counted is what it refused and the death it did not acknowledge.
  undelivered() {
    return this.refused + this.unacknowledged;
  }

  // The end: each live robot's death, then the node's (QoS 1), then the
  // connection. Returns the count of the node's messages not delivered and,
  // if any, a line saying why.
  async finish(why, drainMs = START_TIMEOUT_MS) {
    this.closing = true;
    this.timers.forEach(clearInterval);
    for (const d of this.devices.values()) d.ended();
    if (this.client.connected) {
      // A broker that does not acknowledge the death in time has the will.
      const answer = await new Promise((resolve) => {
        const timer = setTimeout(() => resolve(null), drainMs);
        this.client.publish(this.topic("NDEATH"), this.death(), {qos: 1}, (e) => {
          clearTimeout(timer);
          resolve(e || "acknowledged");
        });
      });
      if (answer === "acknowledged") {
        this.settle(this.liveSent);  // the broker has what went before the death
        await new Promise((resolve) => this.client.end(false, {}, resolve));
      } else if (answer !== null && Number.isInteger(answer.code)) this.refusal("the node's death", answer.code);
      else this.unacknowledged += 1;
    }
    this.client.end(true);
    if (this.forwards) this.keepUnconfirmed();
    const undelivered = this.undelivered();
    const backlog = this.forwards ? this.backlog : 0;
    const waiting = backlog + " update(s) wait in the history for the broker, to go out as historical data from " +
      "each robot's next birth on";
    if (!undelivered) return {undelivered, line: backlog ? waiting : null};
    const causes = [];
    if (this.refused) causes.push(this.refused + " refused by the broker");
    if (this.unacknowledged) causes.push("the node's death not acknowledged within " + drainMs / 1000 + " s");
    return {undelivered, line: undelivered + " of the node's messages were not delivered (" + causes.join(", ") + ")" +
            (backlog ? "; " + waiting : "")};
  }

  refusal(what, code) {
    this.refused += 1;
    this.say("the broker refused " + what + ": " + reasonText(code));
  }
}

// A metric's quality from the robot's verdict: good while live, bad while cut
// off, else uncertain (held, waiting to confirm again).
const qualityOf = (verdict) => verdict.code === "Good" ? QUALITY.live : verdict.cutOff ? QUALITY.cut : QUALITY.held;

// A robot as a device of the node: the feed its Robot hands every update.
class Device {
  constructor(node, settings, index) {
    this.node = node;
    this.name = settings.name;
    this.units = settings.device ? settings.device.units : [];
    this.alias = (k) => index * AXES + k + 1;  // unique within the node
    this.live = false;      // born, in this connection
    this.running = false;   // its gateway's run (or recording) is on
    this.latest = null;     // {values, quality, stamp}
    this.key = node.topic("DDATA", settings.name);  // its entries in the outbox
    this.backlog = 0;       // entries there
    this.draining = false;
    this.again = false;     // born again while draining: drain once more
  }

  metrics(withNames, l = this.latest, historical = false) {
    return l.values.map((value, k) => Object.assign(withNames ? {name: "axis" + (k + 1)} : {}, {
      alias: this.alias(k), type: "Double", value, timestamp: l.stamp}, historical ? {isHistorical: true} : {}, {
      properties: Object.assign({Quality: {type: "Int32", value: l.quality}},
                                withNames && this.units[k] ? {engUnit: {type: "String", value: this.units[k].symbol}} : {}),
    }));
  }

  birth() {
    if (this.latest === null || !this.running || !this.node.alive) return;
    this.node.send("DBIRTH", this.name, this.metrics(true));
    this.live = true;
    this.drain();
  }

  // The latest values as DDATA (or in a birth), or, while the node is not born, kept in the outbox.
  data() {
    const node = this.node;
    if (node.forwards && !node.sending) return this.keep(this.latest);
    if (!this.live) this.birth();
    else node.send("DDATA", this.name, this.metrics(false));
    if (node.forwards && this.live) {
      node.unconfirmed.push([this, this.latest]);
      node.liveSent += 1;
    }
  }

  // Store-and-forward: an entry {values, quality, stamp} into the outbox, the values bit for bit.
  keep(entry) {
    this.node.store.outboxAdd(this.key, JSON.stringify({bits: Buffer.from(new Float64Array(entry.values).buffer)
      .toString("hex"), quality: entry.quality, stamp: entry.stamp}));
    this.backlog += 1;
  }

  // The outbox's entries as historical DDATA, in order, a chunk at a time; each
  // chunk leaves the outbox once the broker has answered after it. Stops when
  // the robot or the node is no longer born; the next birth goes on from there.
  async drain() {
    const node = this.node;
    if (this.draining) {
      this.again = true;
      return;
    }
    if (!node.forwards || this.backlog === 0) return;
    this.draining = true;
    try {
      while (this.backlog > 0 && this.live && node.sending) {
        const rows = await node.store.outboxTake(this.key, 0, CHUNK);
        if (rows.length === 0) {
          this.backlog = 0;
          break;
        }
        if (!this.live || !node.sending) break;
        for (const row of rows) {
          const e = JSON.parse(row.text);
          const bits = Buffer.from(e.bits, "hex");
          const values = Array.from(new Float64Array(bits.buffer.slice(bits.byteOffset, bits.byteOffset + bits.length)));
          node.send("DDATA", this.name, this.metrics(false, {values, quality: e.quality, stamp: e.stamp}, true));
        }
        if (!(await node.answered())) break;
        node.store.outboxDone(this.key, rows[rows.length - 1].id);
        this.backlog = Math.max(0, this.backlog - rows.length);
      }
    } catch (e) {
      // The history has failed (the recorder says so): what it held cannot go out.
    } finally {
      this.draining = false;
    }
    if (this.again) {
      this.again = false;
      this.drain();
    }
  }

  began() {
    this.running = true;
  }

  // report: the gateway's {state, confirmed}, or null from a source without it;
  // verdict: the robot's on these values (status_rules.js), whose quality they carry.
  take(values, report, time, verdict) {
    if (!verdict.withValues) return;  // never confirmed on screen: nothing to say yet
    const quality = qualityOf(verdict);
    const confirmed = report !== null && report.confirmed !== null ? report.confirmed : time;
    this.latest = {values, quality, stamp: Math.round(confirmed * 1000)};
    this.data();
  }

  // A new verdict without new values (cut off by a silence, say): its quality.
  judged(verdict) {
    if (this.latest === null || !verdict.withValues || this.latest.quality === qualityOf(verdict)) return;
    this.latest = Object.assign({}, this.latest, {quality: qualityOf(verdict)});
    if (this.live || (this.node.forwards && !this.node.sending)) this.data();
  }

  ended() {
    this.running = false;
    if (this.live) this.node.send("DDEATH", this.name, []);
    this.live = false;
    this.latest = null;
  }

  // Not running (a kept robot between runs of its gateway): dead until it runs again.
  waiting() {
    this.ended();
  }

  setCondition() {}
}

module.exports = {SparkplugNode, QUALITY};
