// The topics another hub publishes at a broker, one robot per topic, for a hub that
// serves robots whose gateways run on other machines. The status comes first
// (retained messages arrive in the order subscribed, and values taken before an
// offline status would be live for a moment). Values are live only once they
// are current by the messages' rule: a retained update is the last of an
// earlier moment. A gap in an update's seq is counted as updates that never
// arrived.
"use strict";

const crypto = require("crypto");
const {freshAfterStatus, freshAfterUpdate, readStatus, readUpdate} = require("../messages");

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
      // publisher: unknown, online, offline (why in offline), or again (back after offline,
      // until its first current values); status: the last status's state (null before one);
      // fresh: current values have come (messages.js).
      const feed = {robot, publisher: "unknown", status: null, offline: "", fresh: false, seq: null, unreadable: 0};
      this.feeds.push(feed);
      this.byTopic.set(robot.settings.topic, (text, retained) => this.update(feed, text, retained));
      this.byTopic.set(robot.settings.topic + "/status", (text) => this.status(feed, text));
    }
    this.connected = false;
  }

  // Why a robot's values are cut off now, or null.
  linkOf(feed) {
    if (!this.connected) return "the broker is away";
    if (feed.publisher === "offline") return feed.offline;
    if (feed.fresh) return null;
    return feed.publisher === "again" ? "the publisher is online again; no values from it yet"
      : "no new values from the publisher yet";
  }

  update(feed, text, retained) {
    const m = readUpdate(text);
    if (m === null) return this.unreadable(feed, feed.robot.settings.topic);
    const now = Date.now();
    // A seq at or below the last is a new run of the publisher, which counts from 1.
    if (feed.seq !== null && m.seq > feed.seq + 1) feed.robot.missed(m.seq - feed.seq - 1, now);
    feed.seq = m.seq;
    const report = m.state === undefined ? null : {state: m.state, confirmed: m.confirmed === undefined ? null : m.confirmed};
    feed.fresh = freshAfterUpdate(feed.fresh, retained, feed.status);
    if (feed.publisher === "unknown" || (feed.publisher === "again" && feed.fresh)) feed.publisher = "online";
    feed.robot.take(m.values, report, m.time, now, this.linkOf(feed));
  }

  status(feed, text) {
    const s = readStatus(text);
    if (s === null) return this.unreadable(feed, feed.robot.settings.topic + "/status");
    feed.status = s.state;
    feed.fresh = freshAfterStatus(feed.fresh, s.state);
    if (s.state !== "online") {
      feed.publisher = "offline";
      feed.offline = "the publisher is offline" + (typeof s.reason === "string" && s.reason ? ": " + s.reason : "");
    } else if (feed.publisher === "offline") {
      // Back: the values are the last run's until the new run sends its own, from seq 1.
      feed.publisher = "again";
      feed.seq = null;
    } else if (feed.publisher === "unknown") {
      feed.publisher = "online";
    }
    feed.robot.cut(this.linkOf(feed));
  }

  unreadable(feed, topic) {
    if (++feed.unreadable === 1 || feed.unreadable % 1000 === 0)
      this.say(feed.robot.settings.name + ": " + feed.unreadable + " message(s) on " + topic +
               " that are not the publisher's, ignored");
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
      this.connected = true;
      // Until the publisher sends again, its values are those of before.
      for (const feed of this.feeds) {
        feed.fresh = false;
        feed.robot.cut(this.linkOf(feed));
      }
      client.subscribe(this.robots.flatMap((r) => [r.settings.topic + "/status", r.settings.topic]), {qos: 1});
    });
    client.on("close", () => {
      this.connected = false;
      if (!lostSaid) {
        lostSaid = true;
        this.say((everConnected ? "lost the broker at " : "cannot reach the broker at ") + c.broker +
                 "; trying again (the values are UncertainNoCommunicationLastUsableValue meanwhile, BadNoCommunication after " +
                 c.no_communication_bad_after_s + " s)");
      }
      for (const feed of this.feeds) feed.robot.cut(this.linkOf(feed));
    });
    client.on("error", (e) => this.say("the broker at " + c.broker + ": " + e.message));
    client.on("message", (topic, payload, packet) => {
      const take = this.byTopic.get(topic);
      if (take) take(payload.toString("utf8"), packet.retain);
    });
  }

  stop() {
    if (this.client) this.client.end(true);
  }
}

module.exports = {BrokerSource};
