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
"use strict";

const fs = require("fs");
const path = require("path");
const {ConfigError, clientIdOf} = require("../config");
const {StartError, FOR_GOOD, brokerProblem, openAtStart, reasonText} = require("./connection");

const NAMESPACE = "spBv1.0";
const AXES = 6;
const REBIRTH = "Node Control/Rebirth";
const QUALITY = {live: 192, held: 500, cut: 0};
const START_TIMEOUT_MS = 10000;

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
    const client = await openAtStart(c, (protocolVersion) => {
      this.advance(true);
      // Two cells' hubs on one PC are two nodes: the group is part of the id.
      return {protocolVersion, clientId: clientIdOf([this.group, this.node, "sparkplug"]), will: {topic: this.topic("NDEATH"), payload: this.death(), qos: 1, retain: false}};
    }, this.say, this.mqtt);
    this.client = client;
    client.on("connect", () => this.subscribe());
    // The next connection is a new session: a new bdSeq, in its will and its birth.
    client.on("close", () => {
      this.alive = false;
      if (this.closing) return;
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
    client.on("error", (e) => this.say(brokerProblem(e) + "; trying again at " + c.broker));
    client.on("message", (topic, message) => this.command(message));
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
    this.send("NBIRTH", null, [{name: "bdSeq", type: "Int64", value: this.bdSeq},
                               {name: REBIRTH, type: "Boolean", value: false}]);
    this.alive = true;
    if (this.onBorn) this.onBorn(true);
    for (const d of this.devices.values()) {
      d.live = false;
      d.birth();
    }
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
      if (answer === "acknowledged") await new Promise((resolve) => this.client.end(false, {}, resolve));
      else if (answer !== null && Number.isInteger(answer.code)) this.refusal("the node's death", answer.code);
      else this.unacknowledged += 1;
    }
    this.client.end(true);
    const undelivered = this.undelivered();
    if (!undelivered) return {undelivered, line: null};
    const causes = [];
    if (this.refused) causes.push(this.refused + " refused by the broker");
    if (this.unacknowledged) causes.push("the node's death not acknowledged within " + drainMs / 1000 + " s");
    return {undelivered, line: undelivered + " of the node's messages were not delivered (" + causes.join(", ") + ")"};
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
  }

  metrics(withNames) {
    const l = this.latest;
    return l.values.map((value, k) => Object.assign(withNames ? {name: "axis" + (k + 1)} : {}, {
      alias: this.alias(k), type: "Double", value, timestamp: l.stamp,
      properties: Object.assign({Quality: {type: "Int32", value: l.quality}},
                                withNames && this.units[k] ? {engUnit: {type: "String", value: this.units[k].symbol}} : {}),
    }));
  }

  birth() {
    if (this.latest === null || !this.running || !this.node.alive) return;
    this.node.send("DBIRTH", this.name, this.metrics(true));
    this.live = true;
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
    if (!this.live) this.birth();
    else this.node.send("DDATA", this.name, this.metrics(false));
  }

  // A new verdict without new values (cut off by a silence, say): its quality.
  judged(verdict) {
    if (!this.live || !verdict.withValues || this.latest.quality === qualityOf(verdict)) return;
    this.latest = Object.assign({}, this.latest, {quality: qualityOf(verdict)});
    this.node.send("DDATA", this.name, this.metrics(false));
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
