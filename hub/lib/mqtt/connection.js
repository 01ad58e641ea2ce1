// Every MQTT connection the hub makes, in one shape: a robot's publisher, the
// Sparkplug node and the reader of other hubs' topics. Each logs in with
// broker_username and its password, trusts the broker's certificate from
// broker_ca alone and shows its client certificate (broker_cert, broker_key)
// where the broker asks for one; keeps alive every 5 s; and reconnects by
// itself, first after a quarter of a second, backing off to 4 s.
"use strict";

const {EXIT, HubExit} = require("../exits");
const hooks = require("./library_hooks");

const KEEPALIVE_S = 5;  // the broker publishes a will some 7.5 s after a silent loss
const CONNECT_TIMEOUT_MS = 10000;
// How long the broker keeps a reader's session (its subscriptions and what
// arrives for them) while the reader is away: a lost connection, or the hub
// stopped for a while. The broker's own limit on what it queues still holds
// (max_queued_messages in mosquitto-live.conf).
const SESSION_EXPIRY_S = 3600;
const UNSUPPORTED_PROTOCOL = [132, 1];  // CONNACK: MQTT 5's code, and a 3.1.1 broker's as MQTT 5 reads it
// Refusals that will not pass: the same login and topic are refused again.
const FOR_GOOD = [0x87, 0x90];
const REASONS = {0x80: "unspecified error", 0x83: "implementation specific error", 0x87: "not authorized",
                 0x8f: "topic filter invalid", 0x90: "topic name invalid", 0x91: "packet identifier in use",
                 0x97: "quota exceeded", 0x99: "payload format invalid"};

// A connection that cannot be made at start: the hub ends with EXIT.broker.
// unreachable: no broker answered (none listens, no route, no answer in time), as
// against one that refused.
class StartError extends HubExit {
  constructor(message, unreachable = false) {
    super(EXIT.broker, message);
    this.unreachable = unreachable;
  }
}

const reasonText = (code) => REASONS[code] || "reason code 0x" + code.toString(16);

// The options of a connection. settings: protocolVersion (5, or 4 for MQTT
// 3.1.1), clientId, will, and session: true to keep the session across
// connections (the subscriptions, and what the broker queues for them).
function options(config, settings) {
  const session = settings.session === true;
  const o = {
    protocolVersion: settings.protocolVersion, clientId: settings.clientId, clean: !session,
    keepalive: KEEPALIVE_S, reconnectPeriod: hooks.RECONNECT_MS[0], connectTimeout: CONNECT_TIMEOUT_MS,
    reconnectOnConnackError: true, queueQoSZero: false,
    // Each connection subscribes for itself, where its session has not kept the subscriptions.
    resubscribe: false,
    username: config.broker_username, password: config.broker_password,
    ca: config.broker_ca_text, cert: config.broker_cert_text, key: config.broker_key_text, rejectUnauthorized: true,
  };
  if (settings.will) o.will = settings.will;
  if (session && settings.protocolVersion === 5) o.properties = {sessionExpiryInterval: SESSION_EXPIRY_S};
  return o;
}

// A connection to config.broker, reconnecting by itself (library_hooks.js; the
// hub checks the library for them at its start).
function open(config, settings, mqtt = require("mqtt")) {
  const client = mqtt.connect(config.broker, options(config, settings));
  hooks.hook(client);
  return client;
}

// What a connection's error means, as a sentence with what to do; the line
// that says it ends with the broker's address, alone.
const UNREACHABLE = {
  ECONNREFUSED: "nothing listens at its address: start the broker, or mend \"broker\" in the configuration",
  ENOTFOUND: "its host name is not known: mend \"broker\" in the configuration",
  EAI_AGAIN: "its host name could not be looked up: check the network's name service",
  ETIMEDOUT: "its host does not answer: check the network, and a firewall between",
  EHOSTUNREACH: "its host cannot be reached: check the network",
  ENETUNREACH: "its network cannot be reached: check the network",
  ECONNRESET: "it closed the connection: it may want TLS (mqtts://), or not take this machine",
};
const LOGIN_REFUSED = [4, 5, 134, 135];  // bad login, not authorized (MQTT 3.1.1, then 5)
function brokerProblem(e) {
  if (Number.isInteger(e.code)) {
    return "the broker refused the connection (" + e.message.replace(/^Connection refused: /, "") + ")" +
      (LOGIN_REFUSED.includes(e.code) ? ": check broker_username and its password (DRAXION_MQTT_PASSWORD or " +
        "broker_password_file), and that the broker's password file and ACL hold that user" : "");
  }
  if (UNREACHABLE[e.code]) return "cannot reach the broker: " + UNREACHABLE[e.code];
  if (/CERT|SELF_SIGNED|UNABLE_TO_VERIFY|ALTNAME/.test(String(e.code)))
    return "the broker's certificate is not trusted (" + e.message + "): give the CA that signed it in broker_ca";
  return "cannot reach the broker (" + e.message + ")";
}

// null once the client is connected, or {code, message}: the broker's refusal,
// no answer in time, an error. A client that did not connect is ended.
function firstAnswer(client, broker) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => answer({code: null, message: "no answer from the broker within " +
      CONNECT_TIMEOUT_MS / 1000 + " s: is it an MQTT broker, and does a firewall let the connection through? " +
      broker}), CONNECT_TIMEOUT_MS);
    const answer = (a) => {
      clearTimeout(timer);
      client.removeListener("connect", onConnect);
      client.removeListener("error", onError);
      if (a !== null) client.end(true);
      resolve(a);
    };
    const onConnect = () => answer(null);
    const onError = (e) => answer({code: e.code, message: brokerProblem(e) + "; the broker: " + broker});
    client.on("connect", onConnect);
    client.on("error", onError);
  });
}

// The connection of a start: MQTT 5, or 3.1.1 for a broker that speaks nothing
// else (said). settingsOf(protocolVersion) gives each attempt's settings.
// Resolves with the connected client; a StartError says why there is none.
async function openAtStart(config, settingsOf, say, mqtt = require("mqtt")) {
  let version = config.mqtt_version || 5;
  for (;;) {
    const client = open(config, settingsOf(version), mqtt);
    const problem = await firstAnswer(client, config.broker);
    if (problem === null) return client;
    if (version !== 5 || !UNSUPPORTED_PROTOCOL.includes(problem.code))
      throw new StartError(problem.message, problem.code === null || UNREACHABLE[problem.code] !== undefined);
    say("the broker speaks MQTT 3.1.1 only, which does not say when it refuses a publish: updates it refuses " +
        "cannot be counted; the broker: " + config.broker);
    version = 4;
  }
}

// A start that goes on without the broker, whose updates are stored meanwhile: the line that says so.
const storedLine = (e, what, broker) =>
  e.message.replace(/(; the broker:)? \S+$/, "") + "; " + what + " stored until it can be reached at " + broker;

// Whether a connection's error is a broker refusing MQTT 5 for 3.1.1.
const refusesVersion5 = (e) => UNSUPPORTED_PROTOCOL.includes(e.code) && /^Connection refused/.test(e.message);

module.exports = {StartError, open, openAtStart, storedLine, refusesVersion5, reasonText, brokerProblem, FOR_GOOD};
