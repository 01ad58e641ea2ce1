// Stands in for N bridges: publishes each robot's updates as the bridge would
// ({"seq", "time", "values"} on bench/robotK, QoS 1, status online first) at a
// rate per robot, for a time, then says how many it published.
//   node bridge_feed.js '{"broker": "mqtt://127.0.0.1:1883", "robots": 100, "rate": 100, "seconds": 30,
//                         "username": ..., "password": ..., "seq_from": 1}'
// seq_from: the first seq, so that a later run continues an earlier one's count.
// Prints {"published": n, "per_robot": n, "last_seq": n} on standard output at the end.
"use strict";
const mqtt = require("mqtt");

const how = JSON.parse(process.argv[2]);
const client = mqtt.connect(how.broker, {username: how.username, password: how.password, clean: true,
                                         protocolVersion: 5});
const topic = (k) => "bench/robot" + k;
client.on("connect", async () => {
  for (let k = 1; k <= how.robots; ++k)
    await client.publishAsync(topic(k) + "/status", JSON.stringify({state: "online", time: Date.now() / 1000}),
                              {qos: 1, retain: true});
  const start = Date.now();
  let tick = 0, seq = (how.seq_from || 1) - 1;
  const period = 1000 / how.rate;
  const step = () => {
    // Every robot once a period, spread over it like independent bridges.
    ++seq;
    for (let k = 1; k <= how.robots; ++k) {
      const v = seq / 10 + k;  // every axis changes with every update
      client.publish(topic(k), JSON.stringify({seq, time: Date.now() / 1000, values: [v, -v, v / 2, -v / 2, 2 * v, seq % 2 ? -0 : 0]}),
                     {qos: 1});
    }
    ++tick;
    if (Date.now() - start >= how.seconds * 1000) {
      client.end(false, () => {
        const each = seq - (how.seq_from || 1) + 1;
        process.stdout.write(JSON.stringify({published: each * how.robots, per_robot: each, last_seq: seq}) + "\n");
      });
      return;
    }
    setTimeout(step, Math.max(0, start + tick * period - Date.now()));
  };
  step();
});
client.on("error", (e) => {
  console.error("bridge_feed: " + e.message);
  process.exit(1);
});
