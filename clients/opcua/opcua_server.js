#!/usr/bin/env node
// The axes as an OPC UA server. It subscribes to the topics the MQTT bridge
// publishes (one per robot, as the configuration names them) and serves each
// robot's six values as read-only Double variables whose status code says
// whether they are live, held, or cut off, with the time the gateway confirmed
// them on screen as their source timestamp.
//
//   node opcua_server.js --config opcua_server.json
//   node opcua_server.js --users FILE --add-user NAME   (password from stdin, or
//                                                       DRAXION_OPCUA_PASSWORD)
// Exit codes: 0 stopped (Ctrl+C); 2 bad arguments or configuration; 4 the OPC UA
// server cannot start (its port taken, its certificate folder unwritable).
"use strict";

const crypto = require("crypto");
const fs = require("fs");
const path = require("path");

const NAMESPACE = "urn:draxion:gateway:axes";
const AXES = 6;
const EXIT_USAGE = 2, EXIT_SERVER = 4;
const PASSWORD_VARIABLE = "DRAXION_OPCUA_PASSWORD", BROKER_PASSWORD_VARIABLE = "DRAXION_MQTT_PASSWORD";
// Units by their UNECE common code; any other code needs its symbol and name.
const KNOWN_UNITS = {
  DD: ["°", "degree"], C81: ["rad", "radian"], MMT: ["mm", "millimetre"], CMT: ["cm", "centimetre"],
  MTR: ["m", "metre"], INH: ["in", "inch"],
};
const DEFAULTS = {
  broker: "ws://127.0.0.1:9001", port: 4840, no_communication_bad_after_s: 60, silence_s: 2,
  allow_security_none: false, allow_anonymous: false, trust_unknown_clients: true, pki_folder: "pki",
};
// A sampling interval up to this many ms is served by reporting every change:
// sampled at 10 ms, updates at 100 a second would be missed whenever two fall
// into one interval.
const EVERY_CHANGE_MS = 10;

const say = (text) => console.error("opcua_server: " + text);

class UsageError extends Error {}

// --- configuration -------------------------------------------------------

function readText(file) {
  try {
    return fs.readFileSync(file, "utf8");
  } catch (e) {
    throw new UsageError("cannot read " + file + ": " + e.message);
  }
}

function readJson(file) {
  const text = readText(file);
  try {
    return JSON.parse(text);
  } catch (e) {
    throw new UsageError(file + " is not JSON: " + e.message);
  }
}

function unitOf(robot, axis, given) {
  const [code, symbol, name] = typeof given === "string" ? [given, ...(KNOWN_UNITS[given] || [])]
    : given && typeof given === "object" ? [given.code, given.symbol, given.name] : [];
  if (typeof code !== "string" || !/^[A-Z0-9]{2,3}$/.test(code))
    throw new UsageError(robot + "." + axis + ": a unit is a UNECE common code such as \"DD\" or \"MMT\"");
  if (typeof symbol !== "string" || typeof name !== "string")
    throw new UsageError(robot + "." + axis + ": unit " + code + " is not one of " + Object.keys(KNOWN_UNITS).join(", ") +
                         "; give it as {\"code\": ..., \"symbol\": ..., \"name\": ...}");
  return {code, symbol, name};
}

// The configuration with its defaults, its paths made absolute (relative to the
// file), or a UsageError saying what is wrong.
function readConfig(file) {
  const c = Object.assign({}, DEFAULTS, readJson(file));
  const base = path.dirname(path.resolve(file));
  const number = (key, min) => {
    if (typeof c[key] !== "number" || !(c[key] >= min)) throw new UsageError(key + " must be a number of at least " + min);
  };
  number("port", 1);
  number("no_communication_bad_after_s", 0);
  number("silence_s", 0.1);
  if (!/^(mqtts?|wss?):\/\/./.test(c.broker))
    throw new UsageError("broker must be a URL such as ws://127.0.0.1:9001 or mqtt://host:1883, not " + JSON.stringify(c.broker));
  if (!Array.isArray(c.robots) || c.robots.length === 0) throw new UsageError("robots must name at least one robot");
  const names = new Set(), topics = new Set();
  c.robots = c.robots.map((r) => {
    if (!r || typeof r.name !== "string" || !/^[A-Za-z0-9_-]{1,64}$/.test(r.name))
      throw new UsageError("each robot needs a name of letters, digits, _ and - (it makes the NodeIds)");
    if (typeof r.topic !== "string" || r.topic === "" || /[+#\0]/.test(r.topic))
      throw new UsageError(r.name + ": topic must be a plain topic name, without the wildcards + and #");
    if (names.has(r.name) || topics.has(r.topic)) throw new UsageError(r.name + ": a robot's name and topic must be its own");
    names.add(r.name);
    topics.add(r.topic);
    const units = r.units || {};
    for (const key of Object.keys(units))
      if (!/^axis[1-6]$/.test(key)) throw new UsageError(r.name + ": units are given per axis1 to axis6, not " + key);
    return {name: r.name, topic: r.topic, units: Object.fromEntries(Object.entries(units).map(([k, u]) => [k, unitOf(r.name, k, u)]))};
  });
  for (const key of ["users_file", "pki_folder", "broker_ca", "broker_password_file"])
    if (c[key] != null) c[key] = path.resolve(base, c[key]);
  if (!c.allow_anonymous && !c.users_file)
    throw new UsageError("give users_file (make it with --add-user), or set allow_anonymous to true");
  c.broker_password = c.broker_password_file ? readText(c.broker_password_file).split(/\r?\n/)[0]
    : process.env[BROKER_PASSWORD_VARIABLE];
  if (c.broker_ca) c.broker_ca_text = readText(c.broker_ca);
  return c;
}

// --- users: name:salt:scrypt(password), one a line --------------------------

const hashOf = (password, salt) => crypto.scryptSync(password, Buffer.from(salt, "hex"), 32).toString("hex");

function readUsers(file) {
  const users = new Map();
  if (!fs.existsSync(file)) return users;
  for (const line of fs.readFileSync(file, "utf8").split(/\r?\n/)) {
    const [name, salt, hash] = line.split(":");
    if (name && salt && hash) users.set(name, {salt, hash});
  }
  return users;
}

function addUser(file, name, password) {
  if (!/^[^:\s]{1,64}$/.test(name)) throw new UsageError("a user name has no spaces or colons");
  if (!password) throw new UsageError("no password: give it on standard input or in " + PASSWORD_VARIABLE);
  const users = readUsers(file);
  const salt = crypto.randomBytes(16).toString("hex");
  users.set(name, {salt, hash: hashOf(password, salt)});
  fs.writeFileSync(file, [...users].map(([n, u]) => n + ":" + u.salt + ":" + u.hash + "\n").join(""), {mode: 0o600});
}

function checkUser(users, name, password) {
  const u = users.get(name);
  if (!u || typeof password !== "string") return false;
  return crypto.timingSafeEqual(Buffer.from(hashOf(password, u.salt), "hex"), Buffer.from(u.hash, "hex"));
}

// --- what the bridge says, and what it means for a robot's variables ---------

const isObject = (v) => typeof v === "object" && v !== null && !Array.isArray(v);
const finite = Number.isFinite;

function parsed(text) {
  try {
    return JSON.parse(text);
  } catch (e) {
    return undefined;
  }
}

// A time within the range of a date (seconds since 1970).
const aTime = (t) => finite(t) && Math.abs(t) <= 8.64e12;

// An update as the bridge writes it, or null.
function readUpdate(text) {
  const m = parsed(text);
  const ok = isObject(m) && Number.isSafeInteger(m.seq) && m.seq >= 1 && aTime(m.time) &&
    Array.isArray(m.values) && m.values.length === AXES && m.values.every(finite) &&
    (m.state === undefined || typeof m.state === "string") &&
    (m.confirmed === undefined || m.confirmed === null || aTime(m.confirmed));
  return ok ? m : null;
}

function readStatus(text) {
  const s = parsed(text);
  return isObject(s) && typeof s.state === "string" ? s : null;
}

// The status code of a robot's values, with its state and why, at time now (ms).
function judge(r, now, brokerUp, config) {
  const report = r.state !== undefined;  // the gateway's state report comes with the values
  if (r.values === null || (report && r.confirmed === null))
    return ["BadWaitingForInitialData", "no_data", r.values === null ? "no values yet" : "not yet confirmed on screen"];
  const cut = !brokerUp ? "the broker is away"
    : r.bridge === "offline" ? "the bridge is offline" + (r.bridgeReason ? ": " + r.bridgeReason : "")
    : r.bridge === "again" ? "the bridge is online again; no values from it yet"
    : report && now - r.heard > config.silence_s * 1000 ? "nothing heard from the bridge for more than " + config.silence_s + " s"
    : null;
  if (cut !== null) {
    if (r.cutSince === null) r.cutSince = now;
    const bad = now - r.cutSince >= config.no_communication_bad_after_s * 1000;
    return [bad ? "BadNoCommunication" : "UncertainNoCommunicationLastUsableValue", "no_communication", cut];
  }
  r.cutSince = null;
  if (!report || r.state === "live") return ["Good", "live", ""];
  if (r.state === "waiting") return ["UncertainLastUsableValue", "waiting", "not yet confirmed on screen again"];
  return ["UncertainLastUsableValue", "held", r.state];
}

// --- the server --------------------------------------------------------------

function makeRobot(opcua, namespace, folder, settings) {
  const object = namespace.addObject({organizedBy: folder, browseName: settings.name, nodeId: "s=" + settings.name});
  const readOnly = {accessLevel: "CurrentRead", userAccessLevel: "CurrentRead", minimumSamplingInterval: 0};
  const axes = [];
  for (let k = 1; k <= AXES; ++k) {
    const axis = namespace.addVariable(Object.assign({
      componentOf: object, browseName: "axis" + k, nodeId: "s=" + settings.name + ".axis" + k, dataType: "Double",
      description: "axis " + k + " as the jog window shows it",
    }, readOnly));
    axis.everyChange = true;
    const unit = settings.units["axis" + k];
    if (unit) {
      namespace.addVariable({
        propertyOf: axis, browseName: {name: "EngineeringUnits", namespaceIndex: 0}, typeDefinition: "PropertyType",
        nodeId: "s=" + settings.name + ".axis" + k + ".EngineeringUnits", dataType: "EUInformation", accessLevel: "CurrentRead",
        value: {dataType: opcua.DataType.ExtensionObject, value: opcua.makeEUInformation(unit.code, unit.symbol, unit.name)},
      });
    }
    axes.push(axis);
  }
  const text = (name, description) => namespace.addVariable(Object.assign({
    componentOf: object, browseName: name, nodeId: "s=" + settings.name + "." + name, dataType: "String", description,
  }, readOnly));
  return {
    settings, axes,
    stateNode: text("state", "live, held, waiting, no_communication or no_data"),
    causeNode: text("cause", "why the values are not live: the hold's cause or what cut them off"),
    values: null, time: null, confirmed: null, state: undefined, heard: 0,
    bridge: "unknown", bridgeReason: "", cutSince: null, shown: null, unreadable: 0,
  };
}

function publish(opcua, r, verdict) {
  const [code, state, cause] = verdict;
  const now = new Date();
  const stamp = r.values === null ? now : new Date(1000 * (r.confirmed !== null ? r.confirmed : r.time));
  r.axes.forEach((axis, k) => {
    // The server's own time as ServerTimestamp; setValueFromSource would copy the source's.
    axis._internal_set_dataValue(new opcua.DataValue({
      value: r.values === null ? {dataType: opcua.DataType.Null} : {dataType: opcua.DataType.Double, value: r.values[k]},
      statusCode: opcua.StatusCodes[code], sourceTimestamp: stamp, serverTimestamp: now,
    }));
  });
  for (const [node, text] of [[r.stateNode, state], [r.causeNode, cause]])
    if (node.readValue().value.value !== text) node.setValueFromSource({dataType: opcua.DataType.String, value: text});
}

// Every change reported to an item that asks for EVERY_CHANGE_MS or less on an
// axis, rather than a value sampled now and then: such a request is revised to
// 0, which the library serves on change (the server advertises a
// MinSupportedSampleRate of 0).
function reportEveryChange(opcua) {
  const adjust = opcua.Subscription.prototype.adjustSamplingInterval;
  opcua.Subscription.prototype.adjustSamplingInterval = function (samplingInterval, node) {
    if (node && node.everyChange && samplingInterval >= 0 && samplingInterval <= EVERY_CHANGE_MS) return 0;
    return adjust.call(this, samplingInterval, node);
  };
}

async function serve(config) {
  const opcua = require("node-opcua");
  const mqtt = require("mqtt");
  reportEveryChange(opcua);
  const users = config.users_file ? readUsers(config.users_file) : new Map();
  if (config.users_file && users.size === 0) say("no users in " + config.users_file + " yet: add one with --add-user");
  const policies = [opcua.SecurityPolicy.Basic256Sha256];
  const modes = [opcua.MessageSecurityMode.Sign, opcua.MessageSecurityMode.SignAndEncrypt];
  if (config.allow_security_none) {
    policies.push(opcua.SecurityPolicy.None);
    modes.push(opcua.MessageSecurityMode.None);
  }
  fs.mkdirSync(config.pki_folder, {recursive: true});
  const certificates = new opcua.OPCUACertificateManager({
    rootFolder: path.join(config.pki_folder, "server"), automaticallyAcceptUnknownCertificate: config.trust_unknown_clients,
  });
  const server = new opcua.OPCUAServer({
    port: config.port,
    securityPolicies: policies, securityModes: modes,
    allowAnonymous: config.allow_anonymous,
    userManager: {isValidUser: (name, password) => checkUser(users, name, password)},
    serverCertificateManager: certificates,
    userCertificateManager: new opcua.OPCUACertificateManager({rootFolder: path.join(config.pki_folder, "users")}),
    serverInfo: {applicationUri: "urn:draxion:gateway:opcua-server", productUri: "urn:draxion:gateway",
                 applicationName: {text: "Draxion axes"}},
    buildInfo: {productName: "Draxion axes OPC UA server", manufacturerName: "Draxion gateway"},
    serverCapabilities: {minSupportedSampleRate: 0},
  });
  await server.initialize();
  const addressSpace = server.engine.addressSpace;
  const namespace = addressSpace.registerNamespace(NAMESPACE);
  const folder = namespace.addFolder(addressSpace.rootFolder.objects, {browseName: "Robots", nodeId: "s=Robots"});
  const robots = config.robots.map((settings) => makeRobot(opcua, namespace, folder, settings));
  await server.start();

  let brokerUp = false;
  const refresh = (r, force) => {
    const verdict = judge(r, Date.now(), brokerUp, config);
    const key = verdict.join("\n");
    if (force || key !== r.shown) {
      r.shown = key;
      publish(opcua, r, verdict);
    }
  };
  robots.forEach((r) => refresh(r, true));

  const byTopic = new Map();
  robots.forEach((r) => {
    byTopic.set(r.settings.topic, (text) => {
      const m = readUpdate(text);
      if (m === null) return unreadable(r, r.settings.topic);
      Object.assign(r, {values: m.values, time: m.time, confirmed: m.confirmed === undefined ? null : m.confirmed,
                        state: m.state, heard: Date.now()});
      if (r.bridge !== "offline") r.bridge = "online";
      refresh(r, true);
    });
    byTopic.set(r.settings.topic + "/status", (text) => {
      const s = readStatus(text);
      if (s === null) return unreadable(r, r.settings.topic + "/status");
      // Back after being offline, the values are the last run's until the new run sends its own.
      const online = s.state === "online";
      r.bridge = !online ? "offline" : r.bridge === "offline" || r.bridge === "again" ? "again" : "online";
      r.bridgeReason = typeof s.reason === "string" ? s.reason : "";
      r.heard = Date.now();
      refresh(r, false);
    });
  });
  function unreadable(r, topic) {
    if (++r.unreadable === 1 || r.unreadable % 1000 === 0)
      say(r.settings.name + ": " + r.unreadable + " message(s) on " + topic + " that are not the bridge's, ignored");
  }

  const broker = mqtt.connect(config.broker, {
    clientId: "draxion-opcua-" + crypto.randomBytes(4).toString("hex"), clean: true, reconnectPeriod: 1000,
    connectTimeout: 5000, keepalive: 5, username: config.broker_username, password: config.broker_password,
    ca: config.broker_ca_text,
  });
  let everConnected = false, lostSaid = false;
  broker.on("connect", () => {
    say((everConnected ? "back at the broker at " : "connected to the broker at ") + config.broker);
    everConnected = true;
    lostSaid = false;
    brokerUp = true;
    // The status first: the broker sends the retained messages in this order, and
    // values taken before an offline status would be Good for a moment.
    broker.subscribe(robots.flatMap((r) => [r.settings.topic + "/status", r.settings.topic]), {qos: 1});
    robots.forEach((r) => refresh(r, false));
  });
  broker.on("close", () => {
    brokerUp = false;
    if (!lostSaid) {
      lostSaid = true;
      say((everConnected ? "lost the broker at " : "cannot reach the broker at ") + config.broker +
          "; trying again (the values are UncertainNoCommunicationLastUsableValue meanwhile, BadNoCommunication after " +
          config.no_communication_bad_after_s + " s)");
    }
    robots.forEach((r) => refresh(r, false));
  });
  broker.on("error", (e) => say("the broker at " + config.broker + ": " + e.message));
  broker.on("message", (topic, payload) => {
    const take = byTopic.get(topic);
    if (take) take(payload.toString("utf8"));
  });
  // Silences and the timeout to Bad are noticed by the clock, not by a message.
  const ticker = setInterval(() => robots.forEach((r) => refresh(r, false)), 100);

  const endpoint = server.getEndpointUrl();
  say("serving " + robots.map((r) => r.settings.name + " (" + r.settings.topic + ")").join(", ") + " at " + endpoint +
      "; security " + (config.allow_security_none ? "None, " : "") + "Basic256Sha256 Sign and SignAndEncrypt" +
      (config.allow_anonymous ? "; anonymous clients allowed" : "; users from " + config.users_file));
  say("its certificate: " + server.certificateFile);
  say("NodeIds: ns=" + namespace.index + " (" + NAMESPACE + "), e.g. ns=" + namespace.index + ";s=" + robots[0].settings.name +
      ".axis1; Ctrl+C stops");

  let stopping = false;
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    say("stopping");
    clearInterval(ticker);
    broker.end(true);
    await server.shutdown(0);
    process.exit(0);
  };
  process.on("SIGINT", stop);
  process.on("SIGTERM", stop);
}

function readStdinLine() {
  try {
    return fs.readFileSync(0, "utf8").split(/\r?\n/)[0];
  } catch (e) {
    return "";
  }
}

async function main(argv) {
  const args = {};
  for (let i = 0; i < argv.length; ++i) {
    const key = argv[i];
    if (!["--config", "--users", "--add-user"].includes(key) || i + 1 >= argv.length)
      throw new UsageError("usage: node opcua_server.js --config FILE | --users FILE --add-user NAME");
    args[key] = argv[++i];
  }
  if (args["--add-user"] !== undefined) {
    if (!args["--users"]) throw new UsageError("--add-user needs --users FILE");
    addUser(args["--users"], args["--add-user"], process.env[PASSWORD_VARIABLE] || readStdinLine());
    say("user " + args["--add-user"] + " is in " + args["--users"]);
    return;
  }
  if (!args["--config"]) throw new UsageError("usage: node opcua_server.js --config FILE | --users FILE --add-user NAME");
  const config = readConfig(args["--config"]);
  try {
    await serve(config);
  } catch (e) {
    say("cannot start the OPC UA server: " + e.message);
    process.exit(EXIT_SERVER);
  }
}

main(process.argv.slice(2)).catch((e) => {
  say(e.message);
  process.exit(e instanceof UsageError ? EXIT_USAGE : 1);
});
