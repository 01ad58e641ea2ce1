// A subscriber for the chain's benchmark: prints a line "arrival_ms message" for
// each message on the topic, arrival_ms on the wall clock with sub-millisecond
// precision, so that the benchmark's own interpreter is not in the measurement.
//   node mqtt_subscriber.js URL TOPIC [USERNAME]   (the password in DRAXION_MQTT_PASSWORD)
"use strict";
const mqtt = require("mqtt");

const [url, topic, username] = process.argv.slice(2);
const client = mqtt.connect(url, username ? {username, password: process.env.DRAXION_MQTT_PASSWORD} : {});
client.on("connect", () => client.subscribe(topic, {qos: 1}, () => process.stdout.write("ready\n")));
client.on("message", (t, payload) => {
  const at = performance.timeOrigin + performance.now();
  process.stdout.write(at.toFixed(3) + " " + payload.toString("utf8") + "\n");
});
