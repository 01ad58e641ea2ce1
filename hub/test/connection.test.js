"use strict";
// The hub's MQTT connections, built in one place: the same login and TLS for
// the publisher, the Sparkplug node and the topic reader, against a broker
// that asks for client certificates; and a keep-alive that a flow of QoS 1
// messages does not let lapse. (The reader's session: broker_source.test.js.)
const assert = require("node:assert");
const EventEmitter = require("events");
const path = require("path");
const test = require("node:test");
const {Robot} = require("../lib/robot");
const {StartError, brokerProblem, open, openAtStart} = require("../lib/mqtt/connection");
const {Publisher} = require("../lib/mqtt/publisher");
const {SparkplugNode} = require("../lib/mqtt/sparkplug");
const {BrokerSource} = require("../lib/sources/broker");
const {makeCertificates, startMosquitto, temporaryFolder, until} = require("./rig");

test("a QoS 1 message from the broker counts as a sign of life, as its answer does for the broker", () => {
  const client = Object.assign(new EventEmitter(), {options: {}, pings: 0});
  client.reschedulePing = () => ++client.pings;
  open({broker: "mqtt://b"}, {protocolVersion: 5}, {connect: () => client});
  const packets = [[{cmd: "publish", qos: 1}, 1], [{cmd: "publish", qos: 0}, 0], [{cmd: "pingresp"}, 0]];
  for (const [packet, more] of packets) {
    const before = client.pings;
    client.emit("packetreceive", packet);
    assert.strictEqual(client.pings - before, more, JSON.stringify(packet));
  }
});

test("a connection's error is said as its cause and what to do, never as the library's code alone", () => {
  const cases = [
    [{code: "ECONNREFUSED", message: "connect ECONNREFUSED 127.0.0.1:1883"}, /nothing listens at its address: start the broker/],
    [{code: "ENOTFOUND", message: "getaddrinfo ENOTFOUND brokr"}, /host name is not known: mend "broker"/],
    [{code: 135, message: "Connection refused: Not authorized"}, /refused the connection \(Not authorized\): check broker_username/],
    [{code: 2, message: "Connection refused: Identifier rejected"}, /^the broker refused the connection \(Identifier rejected\)$/],
    [{code: "SELF_SIGNED_CERT_IN_CHAIN", message: "self-signed certificate in certificate chain"},
     /not trusted \(self-signed certificate in certificate chain\): give the CA that signed it in broker_ca/],
    [{code: "EWHATEVER", message: "something new"}, /^cannot reach the broker \(something new\)$/],
  ];
  for (const [error, says] of cases) assert.match(brokerProblem(error), says);
});

test("the publisher, the Sparkplug node and the reader log in with a client certificate where one is asked for",
     async () => {
       const folder = temporaryFolder();
       const pem = makeCertificates(folder);
       const broker = await startMosquitto(folder, ["cafile " + path.join(folder, "ca.crt"),
                                                    "certfile " + path.join(folder, "server.crt"),
                                                    "keyfile " + path.join(folder, "server.key"),
                                                    "require_certificate true", "allow_anonymous false"],
                                           {hub: "hub-secret"});
       const config = {broker: "mqtts://127.0.0.1:" + broker.port, broker_username: "hub", broker_password: "hub-secret",
                       broker_ca_text: pem.ca, broker_cert_text: pem.cert, broker_key_text: pem.key, machine: "pc1",
                       port: 4840, qos: 1, retain: true, queue: 100, sparkplug_group: "g", state_folder: folder,
                       no_communication_bad_after_s: 60};
       const lines = [];
       const say = (l) => lines.push(l);
       // Without its certificate a client is refused: this broker does ask for one.
       const bare = Object.assign({}, config, {broker_cert_text: undefined, broker_key_text: undefined});
       await assert.rejects(openAtStart(bare, (protocolVersion) => ({protocolVersion}), say), StartError);

       const publisher = new Publisher({name: "r1", publish: "c/r1"}, config, say);
       await publisher.start();
       const node = new SparkplugNode(config, [{name: "r1"}], say);
       await node.start();
       const shown = [];
       const robot = new Robot({name: "r1", topic: "c/r1"}, {silence_s: 2, no_communication_bad_after_s: 60},
                               "the publisher", {show: (v) => shown.push(v.state + (v.cause ? ": " + v.cause : "")),
                                                 missed: () => {}}, say);
       const reader = new BrokerSource([robot], config, say);
       reader.start();
       // Subscribed once the publisher's first status has come.
       await until(() => shown.at(-1) === "no_data: the publisher is offline: the hub is starting",
                   () => "the reader's subscription: " + JSON.stringify([shown, lines]));
       publisher.began();
       const t = Date.now() / 1000;
       publisher.take([1, 2, 3, 4, 5, 6], {state: "live", confirmed: t, since: t}, t, {code: "Good"});
       await until(() => shown.at(-1) === "live", () => "values read through the certificate broker: " +
                   JSON.stringify([shown, lines]));
       assert.deepStrictEqual(robot.record.values, [1, 2, 3, 4, 5, 6]);

       reader.stop();
       await node.finish(null, 5000);
       await publisher.finish("stopped", 5000);
       await broker.stop();
     });
