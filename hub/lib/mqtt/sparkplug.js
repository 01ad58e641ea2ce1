// The robots as Sparkplug B (spBv1.0): this PC is the edge node, each robot a
// device of it, on one MQTT connection whose last will is the node's death.
//
//   spBv1.0/<group>/NBIRTH|NDEATH|NCMD/<node>         the node: bdSeq, Node Control/Rebirth
//   spBv1.0/<group>/DBIRTH|DDATA|DDEATH/<node>/<robot> a robot: axis1 ... axis6 (Double)
//
// Each connection gets a new bdSeq (0 to 255, wrapping): its will is an NDEATH
// with it, and the NBIRTH that follows the connection says the same. Every
// message of the node carries seq, 0 at the NBIRTH, then one more per message
// up to 255 and 0 again. A robot is born (DBIRTH: names, aliases, units, its
// values) with its first values of a run of its gateway, then sends DDATA by
// alias, and dies (DDEATH) when the run ends. Each axis metric carries the time
// the gateway confirmed it on screen and its quality: 192 live, 500 held or
// waiting to confirm, 0 cut off. A Rebirth command (NCMD) has the node and its
// live robots born again. Births and data go with QoS 0 and no retain, the will
// with QoS 1: a subscriber learns the state from births after each connection.
"use strict";

const {StartError, openAtStart} = require("./connection");

const NAMESPACE = "spBv1.0";
const AXES = 6;
const REBIRTH = "Node Control/Rebirth";
const QUALITY = {live: 192, held: 500, cut: 0};
const START_TIMEOUT_MS = 10000;

class SparkplugNode {
  // config: the hub's (broker and its login, sparkplug_group, machine); robots:
  // the settings of the robots published as devices.
  constructor(config, robots, say, mqtt = require("mqtt"), payload = require("sparkplug-payload").get(NAMESPACE)) {
    this.config = config;
    this.group = config.sparkplug_group;
    this.node = config.machine;
    this.say = (text) => say("Sparkplug: " + text);
    this.mqtt = mqtt;
    this.payload = payload;
    this.id = this.group + "/" + this.node;
    this.name = "Sparkplug node " + this.id;
    this.bdSeq = 0;   // this connection's
    this.seq = 0;     // the next message's
    this.client = null;
    this.alive = false;  // born in this connection
    this.onBorn = null;  // the start, waiting for the first birth
    this.devices = new Map(robots.map((r, k) => [r.name, new Device(this, r, k)]));
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
    return this.encode([{name: "bdSeq", type: "UInt64", value: this.bdSeq}], false);
  }

  // Nothing of the node's goes out before its birth in this connection.
  send(type, device, metrics) {
    if (this.client && this.client.connected && (this.alive || type === "NBIRTH"))
      this.client.publish(this.topic(type, device), this.encode(metrics), {qos: 0});
  }

  // Connects, with the node's death as the will, and has it born.
  async start() {
    const c = this.config;
    const client = await openAtStart(c, (protocolVersion) => ({
      protocolVersion, will: {topic: this.topic("NDEATH"), payload: this.death(), qos: 1, retain: false},
      // Two cells' hubs on one PC are two nodes: the group is part of the id.
      clientId: "draxion-" + this.node + "-" + this.group.replace(/[^A-Za-z0-9_.-]/g, "_") + "-sparkplug",
    }), this.say, this.mqtt);
    this.client = client;
    // Commands (QoS 1) are heard before the node is born.
    const subscribe = () => client.subscribe(this.topic("NCMD"), {qos: 1}, () => this.born());
    client.on("connect", subscribe);
    // The next connection is a new session: a new bdSeq, in its will and its birth.
    client.on("close", () => {
      this.alive = false;
      if (this.closing) return;
      this.bdSeq = (this.bdSeq + 1) % 256;
      client.options.will.payload = this.death();
    });
    client.on("error", (e) => this.say("the broker at " + c.broker + ": " + e.message));
    client.on("message", (topic, message) => this.command(message));
    // Resolved once the node is born (births come before anything of it).
    await new Promise((resolve) => {
      this.onBorn = resolve;
      subscribe();
    });
  }

  // The node's birth (seq 0) and its live robots', after each connection and on a Rebirth command.
  born() {
    if (this.closing) return;
    this.seq = 0;
    this.send("NBIRTH", null, [{name: "bdSeq", type: "UInt64", value: this.bdSeq},
                               {name: REBIRTH, type: "Boolean", value: false}]);
    this.alive = true;
    if (this.onBorn) this.onBorn();
    this.onBorn = null;
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

  undelivered() {
    return 0;
  }

  // The end: each live robot's death, then the node's, then the connection.
  async finish(why, drainMs = START_TIMEOUT_MS) {
    this.closing = true;
    for (const d of this.devices.values()) d.ended();
    if (this.client.connected) {
      // A broker that does not acknowledge the death in time has the will.
      const death = new Promise((resolve) => this.client.publish(this.topic("NDEATH"), this.death(), {qos: 1}, resolve));
      const acknowledged = await Promise.race([death.then(() => true),
                                               new Promise((resolve) => setTimeout(() => resolve(false), drainMs))]);
      if (acknowledged) await new Promise((resolve) => this.client.end(false, {}, resolve));
    }
    this.client.end(true);
    return {undelivered: 0, line: null};
  }
}

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

  // report: the gateway's {state, confirmed}, or null from a source without it.
  take(values, report, time) {
    if (report !== null && report.confirmed === null) return;  // never confirmed on screen: nothing to say yet
    const quality = report === null || report.state === "live" ? QUALITY.live : QUALITY.held;
    const confirmed = report !== null && report.confirmed !== null ? report.confirmed : time;
    this.latest = {values, quality, stamp: Math.round(confirmed * 1000)};
    if (!this.live) this.birth();
    else this.node.send("DDATA", this.name, this.metrics(false));
  }

  // The verdict on the robot: cut off (no communication) turns its quality to 0.
  cut() {
    if (!this.live || this.latest.quality === QUALITY.cut) return;
    this.latest = Object.assign({}, this.latest, {quality: QUALITY.cut});
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

module.exports = {SparkplugNode, StartError, QUALITY};
