// Where the hub changes mqtt.js's objects while they run, each for a reason the
// library gives no option for (as lib/opcua/library_hooks.js does for
// node-opcua). Nothing else of the hub does; check() refuses to start on a
// release that lacks a name they need: a library upgrade must never silence one.
"use strict";

const {EXIT, HubExit} = require("../exits");
const {lacking} = require("../opcua/library_hooks");

const NEEDED = ["MqttClient.prototype.reschedulePing"];
const RECONNECT_MS = [250, 4000];

function check(mqtt) {
  const missing = lacking(mqtt, NEEDED);
  if (missing.length)
    throw new HubExit(EXIT.server, "this mqtt.js lacks what the hub's hooks into it need (" + missing.join(", ") +
                      "): use the release pinned in hub/package-lock.json");
}

// The hooks on one connection, set up before it connects.
function hook(client) {
  // The library reconnects at one fixed period: quickly after a short loss, but
  // backing off while the broker stays away (first after a quarter of a second, to 4 s).
  client.options.reconnectPeriod = RECONNECT_MS[0];
  client.on("connect", () => {
    client.options.reconnectPeriod = RECONNECT_MS[0];
    // Each message goes out as it comes, not held back to travel with the next (Nagle's algorithm).
    if (client.stream && typeof client.stream.setNoDelay === "function") client.stream.setNoDelay(true);
  });
  client.on("close", () => {
    client.options.reconnectPeriod = Math.min(RECONNECT_MS[1], client.options.reconnectPeriod * 2);
  });
  // The library takes a connection for dead when the answer to its ping is
  // late, and counts only acknowledgements and that answer as signs of life. A
  // burst of QoS 1 messages (what a session queued while away) can keep the
  // answer waiting behind them long enough to end a sound connection. Each
  // such message is a sign of the broker's life, and is answered (PUBACK),
  // the client's sign to the broker: the next ping is due once the flow stops.
  client.on("packetreceive", (packet) => {
    if (packet.cmd === "publish" && packet.qos > 0) client.reschedulePing();
  });
}

module.exports = {check, hook, RECONNECT_MS};
