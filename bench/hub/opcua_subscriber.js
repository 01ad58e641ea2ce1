// A subscriber for the hub's benchmarks: monitors axis1 (to axisA) of robots 1..N
// (every change, publishing interval given) and, at the end, says how many
// changes each item got and the delay from the value's SourceTimestamp to its arrival.
//   node opcua_subscriber.js '{"endpoint": ..., "robots": 100, "publishing": 10, "seconds": 40,
//                              "prefix": "bench" (robot names: prefix + k), "queue": 1000, "axes": 1}'
// Prints {"ready": true} once watching, then {"counts": [...], "median_ms", "p99_ms", "max_ms", "overflows"}.
"use strict";
const opcua = require("node-opcua");

const how = JSON.parse(process.argv[2]);
const out = (m) => process.stdout.write(JSON.stringify(m) + "\n");
for (const name of ["log", "info", "warn", "debug"]) console[name] = () => {};

async function main() {
  const client = opcua.OPCUAClient.create({endpointMustExist: false, connectionStrategy: {maxRetry: 3, initialDelay: 500}});
  await client.connect(how.endpoint);
  const session = await client.createSession();
  const subscription = await session.createSubscription2({
    requestedPublishingInterval: how.publishing, requestedMaxKeepAliveCount: 100, requestedLifetimeCount: 6000,
    maxNotificationsPerPublish: 0, publishingEnabled: true,
  });
  const axes = how.axes || 1;
  const counts = new Array(how.robots * axes).fill(0);
  const delays = [];
  let overflows = 0;
  const items = [];
  for (let k = 1; k <= how.robots; ++k) {
    for (let a = 1; a <= axes; ++a)
      items.push({nodeId: "ns=2;s=" + how.prefix + k + ".axis" + a, attributeId: opcua.AttributeIds.Value});
  }
  const group = await subscription.monitorItems(items, {samplingInterval: 0, queueSize: how.queue || 1000, discardOldest: true},
                                                opcua.TimestampsToReturn.Both);
  group.on("changed", (item, dv, index) => {
    const now = Date.now();
    if (dv.statusCode.hasOverflowBit) ++overflows;
    if (!dv.statusCode.isGood() && !dv.statusCode.hasOverflowBit) return;
    counts[index] += 1;
    if (dv.sourceTimestamp) delays.push(now - dv.sourceTimestamp.getTime());
  });
  out({ready: true});
  await new Promise((r) => setTimeout(r, how.seconds * 1000));
  delays.sort((a, b) => a - b);
  const at = (q) => delays.length ? delays[Math.min(delays.length - 1, Math.floor(delays.length * q))] : null;
  out({counts, median_ms: at(0.5), p99_ms: at(0.99), max_ms: delays.length ? delays.at(-1) : null, overflows});
  await session.close();
  await client.disconnect();
}

main().catch((e) => {
  out({error: e.message});
  process.exit(1);
});
