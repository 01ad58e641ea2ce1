// The MQTT bridge's topics at a broker, one robot per topic, for a hub that
// serves robots whose gateways run on other machines. The status comes first
// (retained messages arrive in the order subscribed, and values taken before an
// offline status would be live for a moment); a gap in an update's seq is counted
// as updates that never arrived.
"use strict";

const crypto = require("crypto");
const {readStatus, readUpdate} = require("../bridge_messages");

class BrokerSource {
  // robots: [Robot whose settings.topic is set]; config: the hub's.
  constructor(robots, config, say, mqtt = require("mqtt")) {
    this.robots = robots;
    this.config = config;
    this.say = say;
    this.mqtt = mqtt;
    this.client = null;
    this.byTopic = new Map();
    this.feeds = [];
    for (const robot of robots) {
      const feed = {robot, bridge: "unknown", offline: "", seq: null, unreadable: 0};
      this.feeds.push(feed);
      this.byTopic.set(robot.settings.topic, (text) => this.update(feed, text));
      this.byTopic.set(robot.settings.topic + "/status", (text) => this.status(feed, text));
    }
  }

  update(feed, text) {
    const m = readUpdate(text);
    if (m === null) return this.unreadable(feed, feed.robot.settings.topic);
    const now = Date.now();
    // A seq at or below the last is a new run of the bridge, which counts from 1.
    if (feed.seq !== null && m.seq > feed.seq + 1) feed.robot.missed(m.seq - feed.seq - 1, now);
    feed.seq = m.seq;
    const report = m.state === undefined ? null : {state: m.state, confirmed: m.confirmed === undefined ? null : m.confirmed};
    // The last values of a bridge that has gone (retained) are cut off all the same.
    if (feed.bridge !== "offline") feed.bridge = "online";
    feed.robot.take(m.values, report, m.time, now, feed.bridge === "offline" ? feed.offline : null);
  }

  status(feed, text) {
    const s = readStatus(text);
    if (s === null) return this.unreadable(feed, feed.robot.settings.topic + "/status");
    if (s.state !== "online") {
      feed.bridge = "offline";
      feed.offline = "the bridge is offline" + (typeof s.reason === "string" && s.reason ? ": " + s.reason : "");
      feed.robot.cut(feed.offline);
    } else if (feed.bridge === "offline" || feed.bridge === "again") {
      // Back after being offline: the values are the last run's until the new run sends its own.
      feed.bridge = "again";
      feed.seq = null;
      feed.robot.cut("the bridge is online again; no values from it yet");
    } else if (feed.bridge === "unknown") {
      feed.bridge = "online";
      feed.robot.cut(null);
    }
  }

  unreadable(feed, topic) {
    if (++feed.unreadable === 1 || feed.unreadable % 1000 === 0)
      this.say(feed.robot.settings.name + ": " + feed.unreadable + " message(s) on " + topic +
               " that are not the bridge's, ignored");
  }

  start() {
    const c = this.config;
    const client = this.mqtt.connect(c.broker, {
      clientId: "draxion-hub-" + crypto.randomBytes(4).toString("hex"), clean: true, reconnectPeriod: 1000,
      connectTimeout: 5000, keepalive: 5, username: c.broker_username, password: c.broker_password, ca: c.broker_ca_text,
    });
    this.client = client;
    let everConnected = false, lostSaid = false;
    client.on("connect", () => {
      this.say((everConnected ? "back at the broker at " : "connected to the broker at ") + c.broker);
      everConnected = true;
      lostSaid = false;
      // Until the retained status says otherwise, the bridge is as it was.
      for (const feed of this.feeds)
        feed.robot.cut(feed.bridge === "offline" ? feed.offline : feed.bridge === "again"
          ? "the bridge is online again; no values from it yet" : null);
      client.subscribe(this.robots.flatMap((r) => [r.settings.topic + "/status", r.settings.topic]), {qos: 1});
    });
    client.on("close", () => {
      if (!lostSaid) {
        lostSaid = true;
        this.say((everConnected ? "lost the broker at " : "cannot reach the broker at ") + c.broker +
                 "; trying again (the values are UncertainNoCommunicationLastUsableValue meanwhile, BadNoCommunication after " +
                 c.no_communication_bad_after_s + " s)");
      }
      for (const robot of this.robots) robot.cut("the broker is away");
    });
    client.on("error", (e) => this.say("the broker at " + c.broker + ": " + e.message));
    client.on("message", (topic, payload) => {
      const take = this.byTopic.get(topic);
      if (take) take(payload.toString("utf8"));
    });
  }

  stop() {
    if (this.client) this.client.end(true);
  }
}

module.exports = {BrokerSource};
