// An OPC UA client for the hub's tests and benchmarks, driven by JSON lines: the first
// argument says how to connect ({"endpoint", "policy", "mode", "user": [name,
// password] or null, "pki"}); it answers {"connected": true} or {"error": ...},
// then takes commands on standard input, one a line:
//   {"read": [nodeId, ...]}             -> {"read": [{bits, status, source, server, value}, ...]}
//   {"watch": [nodeId, ...], "sampling": ms, "queue": n, "publishing": ms (default 20),
//    "trigger": a DataChangeFilter's trigger without deadband ("StatusValue"...; default: no filter)}
//                                       -> {"watching": revised sampling intervals, "publishing": revised
//                                          publishing interval}, then
//                                          {"change": nodeId, bits, value, status, source, at} for each
//                                          (at: Date.now() when the client got it)
//   {"modify": ms}                      -> {"modified": revised sampling intervals} of the last watch's items
//   {"browse": nodeId}                  -> {"browse": [browse names]}
//   {"translate": [[namespace URI, name], ...]} -> {"translate": nodeId or null}: the path from Objects
//                                          (TranslateBrowsePathsToNodeIds, hierarchical references)
// Values go as the hex of their eight bytes, so that a test compares them bit for bit.
"use strict";
// Standard output is for the answers: the library's own messages go to standard error.
const out = process.stdout.write.bind(process.stdout);
for (const name of ["log", "info", "warn", "debug"]) console[name] = console.error;
const opcua = require("node-opcua");
const readline = require("readline");

const print = (m) => out(JSON.stringify(m) + "\n");
const bits = (v) => {
  if (typeof v !== "number") return null;
  const b = Buffer.alloc(8);
  b.writeDoubleLE(v);
  return b.toString("hex");
};
const describe = (dv) => ({
  bits: bits(dv.value.value), value: dv.value.dataType === opcua.DataType.Double ? null : dv.value.value,
  type: opcua.DataType[dv.value.dataType],
  status: dv.statusCode.name, source: dv.sourceTimestamp ? dv.sourceTimestamp.getTime() : null,
  server: dv.serverTimestamp ? dv.serverTimestamp.getTime() : null,
});

async function main() {
  const how = JSON.parse(process.argv[2]);
  const client = opcua.OPCUAClient.create({
    applicationName: "draxion-test-client", applicationUri: "urn:draxion:test-client",
    securityPolicy: opcua.SecurityPolicy[how.policy], securityMode: opcua.MessageSecurityMode[how.mode],
    endpointMustExist: false, connectionStrategy: {maxRetry: 0, initialDelay: 100},
    clientCertificateManager: new opcua.OPCUACertificateManager({rootFolder: how.pki, automaticallyAcceptUnknownCertificate: true}),
  });
  let session;
  try {
    await client.connect(how.endpoint);
    session = await client.createSession(how.user ? {type: opcua.UserTokenType.UserName, userName: how.user[0],
                                                      password: how.user[1]} : {type: opcua.UserTokenType.Anonymous});
  } catch (e) {
    print({error: e.message.split("\n")[0]});
    await client.disconnect().catch(() => {});
    process.exit(1);
  }
  print({connected: true});
  const lines = readline.createInterface({input: process.stdin});
  const items = [];
  for await (const line of lines) {
    const c = JSON.parse(line);
    if (c.read) {
      const got = await session.read(c.read.map((nodeId) => ({nodeId, attributeId: opcua.AttributeIds.Value})));
      print({read: got.map(describe)});
    } else if (c.translate) {
      const uris = await session.readNamespaceArray();
      const {BrowsePath, RelativePathElement, QualifiedName, resolveNodeId} = opcua;
      const elements = c.translate.map(([uri, name]) => new RelativePathElement({
        referenceTypeId: resolveNodeId("HierarchicalReferences"), isInverse: false, includeSubtypes: true,
        targetName: new QualifiedName({namespaceIndex: uris.indexOf(uri), name})}));
      const got = await session.translateBrowsePath(new BrowsePath({
        startingNode: resolveNodeId("ObjectsFolder"), relativePath: {elements}}));
      print({translate: got.statusCode.isGood() ? got.targets[0].targetId.toString() : null});
    } else if (c.browse) {
      const got = await session.browse(c.browse);
      print({browse: got.references.map((r) => r.browseName.name)});
    } else if (c.modify !== undefined) {
      const revised = [];
      for (const item of items) {
        await item.modify({samplingInterval: c.modify, queueSize: item.monitoringParameters.queueSize});
        revised.push(item.monitoringParameters.samplingInterval);
      }
      print({modified: revised});
    } else if (c.watch) {
      items.length = 0;
      const subscription = await session.createSubscription2({
        requestedPublishingInterval: c.publishing || 20, requestedMaxKeepAliveCount: 20, requestedLifetimeCount: 6000,
        maxNotificationsPerPublish: 0, publishingEnabled: true,
      });
      const revised = [];
      for (const nodeId of c.watch) {
        const filter = c.trigger ? new opcua.DataChangeFilter({trigger: opcua.DataChangeTrigger[c.trigger],
                                                                deadbandType: opcua.DeadbandType.None}) : null;
        const item = await subscription.monitor({nodeId, attributeId: opcua.AttributeIds.Value},
                                                {samplingInterval: c.sampling, queueSize: c.queue, discardOldest: true, filter},
                                                opcua.TimestampsToReturn.Both);
        revised.push(item.monitoringParameters.samplingInterval);
        items.push(item);
        item.on("changed", (dv) => print(Object.assign({change: nodeId, at: Date.now()}, describe(dv))));
      }
      print({watching: revised, publishing: subscription.publishingInterval});
    }
  }
  await session.close();
  await client.disconnect();
}

main().catch((e) => {
  print({error: e.message});
  process.exit(1);
});
