// The topics another hub publishes at a broker, one robot per topic, for a hub that
// serves robots whose gateways run on other machines. The status comes first
// (retained messages arrive in the order subscribed, and values taken before an
// offline status would be live for a moment). Values are live only once they
// are current by the messages' rule: a retained update is the last of an
// earlier moment. A gap in an update's seq is counted as updates that never
// arrived, unless the publisher says updates wait to be forwarded (store-and-
// forward): those come later, older than the values now, and are not taken.
//
// The reader keeps its session at the broker (a client id of its own that
// stays the same from start to start, MQTT 5's session expiry): what the
// broker queues for it while it is away, QoS 1, arrives when it is back, and
// counts as no gap. It subscribes again at each connection all the same, for
// the retained status as it stands: a broker that restarts from its store
// resends the publisher's will it had in flight to the reader, while what the
// publisher said after the restart and before the reader was back is not
// queued for it (mosquitto 2.0.11), so the session alone would keep a publisher
// that is back online offline.
"use strict";

const crypto = require("crypto");
const {freshAfterStatus, freshAfterUpdate, readStatus, readUpdate} = require("../messages");
const {clientIdOf} = require("../config");
const {brokerProblem, open, refusesVersion5} = require("../mqtt/connection");

// The reader's client id: the same for the same configuration, so that the
// broker keeps its session across the hub's restarts, and its own, so that
// two hubs do not take each other's session: from the machine's name, the
// topics it reads, and the OPC UA port it serves them on (two hubs of one PC
// serve on two ports).
function readerClientId(config, topics) {
  const served = [[...topics].sort(), config.opcua === false ? null : config.port];
  const digest = crypto.createHash("sha256").update(JSON.stringify(served)).digest("hex").slice(0, 12);
  return clientIdOf([config.machine, "read", digest]);
}

class BrokerSource {
  // robots: [Robot whose settings.topic is set]; config: the hub's.
  constructor(robots, config, say, mqtt = require("mqtt")) {
    this.robots = robots;
    this.config = config;
    this.say = say;
    this.mqtt = mqtt;
    this.client = null;
    this.clientId = readerClientId(config, robots.map((r) => r.settings.topic));
    this.byTopic = new Map();
    this.feeds = [];
    for (const robot of robots) {
      // publisher: unknown, online, offline (why in offline), or again (back after offline,
      // until its first current values); status: the last status's state (null before one);
      // fresh: current values have come (messages.js).
      const feed = {robot, publisher: "unknown", status: null, offline: "", fresh: false, seq: null, unreadable: 0,
                    newest: null, backlog: 0};
      this.feeds.push(feed);
      this.byTopic.set(robot.settings.topic, (text, retained) => this.update(feed, text, retained));
      this.byTopic.set(robot.settings.topic + "/status", (text) => this.status(feed, text));
    }
    this.connected = false;
    this.everConnected = false;
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
    // An update older than one already taken was forwarded (store-and-forward): it is history, not
    // the values now. While the publisher says updates wait (backlog), a gap is theirs to fill.
    if (feed.newest !== null && m.time < feed.newest) return;
    feed.newest = m.time;
    // A seq at or below the last is a new run of the publisher, which counts from 1.
    if (feed.seq !== null && m.seq > feed.seq + 1 && !(feed.backlog > 0)) feed.robot.missed(m.seq - feed.seq - 1, now);
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
    feed.backlog = Number.isSafeInteger(s.backlog) ? s.backlog : 0;
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
    this.open(this.config.mqtt_version || 5);
  }

  open(protocolVersion) {
    const c = this.config;
    const client = open(c, {protocolVersion, clientId: this.clientId, session: true}, this.mqtt);
    this.client = client;
    let lostSaid = false, errorSaid = null;
    client.on("connect", () => {
      this.say((this.everConnected ? "back at the broker " : "connected to the broker ") + c.broker);
      this.everConnected = true;
      lostSaid = false;
      errorSaid = null;
      this.connected = true;
      // Each connection starts without current values: the session's queue, or the publisher, brings them.
      for (const feed of this.feeds) {
        feed.fresh = false;
        feed.robot.cut(this.linkOf(feed));
      }
      client.subscribe(this.robots.flatMap((r) => [r.settings.topic + "/status", r.settings.topic]), {qos: 1});
    });
    client.on("close", () => {
      if (client !== this.client) return;
      this.connected = false;
      if (!lostSaid) {
        lostSaid = true;
        this.say((this.everConnected ? "lost the broker" : "cannot reach the broker") +
                 "; trying again (the values are UncertainNoCommunicationLastUsableValue meanwhile, BadNoCommunication after " +
                 c.no_communication_bad_after_s + " s): " + c.broker);
      }
      for (const feed of this.feeds) feed.robot.cut(this.linkOf(feed));
    });
    client.on("error", (e) => {
      if (protocolVersion === 5 && !this.everConnected && refusesVersion5(e)) {
        this.say("the broker speaks MQTT 3.1.1 only: it keeps the reader's session as long as its own settings say; " +
                 "the broker: " + c.broker);
        this.client = null;
        client.end(true);
        return this.open(4);
      }
      // Said once while it lasts: the reader tries again every few seconds.
      if (e.message !== errorSaid) this.say(brokerProblem(e) + "; trying again at " + c.broker);
      errorSaid = e.message;
    });
    client.on("message", (topic, payload, packet) => {
      const take = this.byTopic.get(topic);
      if (take) take(payload.toString("utf8"), packet.retain);
    });
  }

  stop() {
    if (this.client) this.client.end(true);
  }
}

module.exports = {BrokerSource, readerClientId};
