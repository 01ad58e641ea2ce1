// The hub's configuration, validated in one place: its defaults, its paths made
// absolute (relative to the file), or a ConfigError saying what is wrong.
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const {PIPE_NAME, pipeNameProblem} = require("./contract");
const {SILENCE_S} = require("./messages");
const {DEVICE_DEFAULTS} = require("./opcua/robotics");

class ConfigError extends Error {}

// Units by their UNECE common code; any other code needs its symbol and name.
const KNOWN_UNITS = {
  DD: ["°", "degree"], C81: ["rad", "radian"], MMT: ["mm", "millimetre"], CMT: ["cm", "centimetre"],
  MTR: ["m", "metre"], INH: ["in", "inch"],
};
const DEFAULTS = {
  opcua: true, port: 4840, no_communication_bad_after_s: 60, silence_s: SILENCE_S,
  allow_security_none: false, allow_anonymous: false, trust_unknown_clients: true, pki_folder: "pki",
  qos: 1, retain: true, queue: 60000, drain_timeout_s: 30, format: "json",
  // The hub's own broker: MQTT, and the page with MQTT on WebSocket, from the package's web folder.
  broker_port: 1883, page_port: 9001, page_folder: path.join(__dirname, "..", "..", "web"),
  gateway: path.join(__dirname, "..", "..", "gateway.exe"),
};
// Where a cell's robots sit (ISA-95): the levels of their topics, all or none.
const LEVELS = ["site", "area", "line", "cell"];
// A level (and the machine's name) is one topic level any broker takes: no / + #,
// no control character, no leading $ (the brokers' own topics), no blank at either end.
const LEVEL_RULE = /^(?![$\s])[^/+#\p{Cc}]{1,64}(?<!\s)$/u;
// The machine's name also makes client ids, which some brokers take in letters and digits only.
const MACHINE_RULE = /^[A-Za-z0-9][A-Za-z0-9_.-]{0,62}$/;
const ROBOT_NUMBER_MAX = 2147483647;
// The robotics model's motion device categories and axis motion profiles, as the configuration names them.
const CATEGORIES = ["other", "articulated_robot", "scara_robot", "cartesian_robot", "spherical_robot", "parallel_robot",
                    "cylindrical_robot"];
const PROFILES = ["other", "rotary", "rotary_endless", "linear", "linear_endless"];
const READ_BROKER = "ws://127.0.0.1:9001";  // where a robot's topic is read from unless broker says
// Below the 65,535 message ids a connection can have outstanding.
const MAX_QUEUE = 60000;
const SOURCES = ["pipe", "recording", "topic"];
const BROKER_PASSWORD_VARIABLE = "DRAXION_MQTT_PASSWORD";

function readText(file) {
  try {
    return fs.readFileSync(file, "utf8");
  } catch (e) {
    throw new ConfigError("cannot read " + file + ": " + e.message);
  }
}

function unitOf(robot, axis, given) {
  const [code, symbol, name] = typeof given === "string" ? [given, ...(KNOWN_UNITS[given] || [])]
    : given && typeof given === "object" ? [given.code, given.symbol, given.name] : [];
  if (typeof code !== "string" || !/^[A-Z0-9]{2,3}$/.test(code))
    throw new ConfigError(robot + "." + axis + ": a unit is a UNECE common code such as \"DD\" or \"MMT\"");
  if (typeof symbol !== "string" || typeof name !== "string")
    throw new ConfigError(robot + "." + axis + ": unit " + code + " is not one of " + Object.keys(KNOWN_UNITS).join(", ") +
                          "; give it as {\"code\": ..., \"symbol\": ..., \"name\": ...}");
  return {code, symbol, name};
}

function brokerUrl(text) {
  try {
    const url = new URL(text);
    return ["mqtt:", "mqtts:", "ws:", "wss:"].includes(url.protocol) && url.hostname !== "";
  } catch (e) {
    return false;
  }
}

// What a robot's MotionDevice in the robotics model says: its identification,
// category, and per axis its motion profile, unit (the configured one, else
// degrees for a rotary axis and millimetres for a linear one) and limits.
function deviceOf(r, machine) {
  const texts = {};
  for (const key of ["manufacturer", "model", "product_code", "serial_number"]) {
    if (r[key] !== undefined && (typeof r[key] !== "string" || r[key] === ""))
      throw new ConfigError(r.name + ": " + key + " must be a text");
    texts[key] = r[key] !== undefined ? r[key] : key === "serial_number" ? machine + "/" + r.name : DEVICE_DEFAULTS[key];
  }
  const category = r.category !== undefined ? r.category : "articulated_robot";
  if (!CATEGORIES.includes(category))
    throw new ConfigError(r.name + ": category is one of " + CATEGORIES.join(", "));
  const profiles = [], units = [], limits = [];
  for (let k = 1; k <= 6; ++k) {
    const axis = "axis" + k;
    const profile = (r.profiles || {})[axis] !== undefined ? r.profiles[axis] : "rotary";
    if (!PROFILES.includes(profile)) throw new ConfigError(r.name + "." + axis + ": a profile is one of " + PROFILES.join(", "));
    const range = (r.limits || {})[axis];
    if (range !== undefined && !(Array.isArray(range) && range.length === 2 && range.every(Number.isFinite) && range[0] < range[1]))
      throw new ConfigError(r.name + "." + axis + ": limits are [low, high], two numbers, low below high");
    profiles.push(profile.toUpperCase());
    units.push(unitOf(r.name, axis, (r.units || {})[axis] || (profile.startsWith("linear") ? "MMT" : "DD")));
    limits.push(range || null);
  }
  return Object.assign(texts, {category: category.toUpperCase(), profiles, units, limits});
}

// cell: {levels (topic prefix, or null), machine}
function robotOf(r, base, cell) {
  if (r && r.number !== undefined) {
    if (!Number.isInteger(r.number) || r.number < 0 || r.number > ROBOT_NUMBER_MAX)
      throw new ConfigError("a robot's number is a whole number from 0 to " + ROBOT_NUMBER_MAX + ", not " + JSON.stringify(r.number));
    // The hub starts this robot's gateway, on a pipe of its own.
    r = Object.assign({name: "robot" + r.number}, r);
    if (r.recording !== undefined || r.topic !== undefined)
      throw new ConfigError(r.name + ": a robot with a number is read from the gateway the hub starts for it");
    if (r.pipe === undefined) r.pipe = PIPE_NAME + "-" + r.name;
    // The gateway takes it as a word of its command line, which a quote would split.
    if (typeof r.pipe === "string" && r.pipe.includes('"'))
      throw new ConfigError(r.name + ": the pipe name of a robot with a number cannot hold a double quote");
  }
  if (!r || typeof r.name !== "string" || !/^[A-Za-z0-9_-]{1,64}$/.test(r.name))
    throw new ConfigError("each robot needs a name of letters, digits, _ and - (it makes the NodeIds)");
  if (r.name === "Robots") throw new ConfigError("Robots is the robots' folder: give the robot another name");
  const given = SOURCES.filter((key) => r[key] !== undefined);
  if (given.length !== 1)
    throw new ConfigError(r.name + ": give one source: \"pipe\" (the gateway's pipe name), \"recording\" (a CSV file) " +
                          "or \"topic\" (the publisher's topic at the broker)");
  const source = given[0];
  if (source === "pipe" && pipeNameProblem(r.pipe) !== null)
    throw new ConfigError(r.name + ": bad pipe name: " + pipeNameProblem(r.pipe));
  for (const key of ["topic", "publish"])
    if (r[key] !== undefined && (typeof r[key] !== "string" || r[key] === "" || /[+#\0]/.test(r[key])))
      throw new ConfigError(r.name + ": " + key + " must be a plain topic name, without the wildcards + and #");
  if (r.publish !== undefined && source === "topic")
    throw new ConfigError(r.name + ": a robot read from a topic is published there already");
  if (cell.levels !== null && source !== "topic") {
    // A cell's robots: topics from where they sit, client ids from the machine.
    r = Object.assign({publish: cell.levels + "/" + cell.machine + "/" + r.name + "/axes",
                       client_id: "draxion-" + cell.machine + "-" + r.name}, r);
  }
  if (r.client_id !== undefined && (r.publish === undefined || typeof r.client_id !== "string" || r.client_id === ""))
    throw new ConfigError(r.name + ": client_id is a text, for a robot that is published");
  if (source === "recording" && (typeof r.recording !== "string" || r.recording === ""))
    throw new ConfigError(r.name + ": recording must be a file's path");
  if (r.pace !== undefined && typeof r.pace !== "boolean") throw new ConfigError(r.name + ": pace is true or false");
  const units = r.units || {};
  for (const key of ["units", "profiles", "limits"])
    for (const axis of Object.keys(r[key] || {}))
      if (!/^axis[1-6]$/.test(axis)) throw new ConfigError(r.name + ": " + key + " are given per axis1 to axis6, not " + axis);
  return {
    name: r.name, number: r.number, source,
    [source]: source === "recording" ? path.resolve(base, r.recording) : r[source],
    pace: r.pace !== false, publish: r.publish, client_id: r.client_id,
    units: Object.fromEntries(Object.entries(units).map(([k, u]) => [k, unitOf(r.name, k, u)])),
    device: deviceOf(r, cell.machine),
  };
}

// The configuration in text (from file, for its paths and messages).
function parseConfig(text, file) {
  let given;
  try {
    given = JSON.parse(text);
  } catch (e) {
    throw new ConfigError(file + " is not JSON: " + e.message);
  }
  if (given === null || typeof given !== "object" || Array.isArray(given))
    throw new ConfigError(file + " must hold one JSON object");
  const c = Object.assign({}, DEFAULTS, given);
  const base = path.dirname(path.resolve(file));
  const number = (key, min) => {
    if (typeof c[key] !== "number" || !(c[key] >= min)) throw new ConfigError(key + " must be a number of at least " + min);
  };
  const port = (key) => {
    if (!Number.isInteger(c[key]) || c[key] < 1 || c[key] > 65535) throw new ConfigError(key + " must be a whole number from 1 to 65535");
  };
  port("port");
  number("no_communication_bad_after_s", 0);
  // The gateway reports at least every 0.5 s: a shorter silence is no silence.
  number("silence_s", 1);
  number("drain_timeout_s", 0);
  if (c.qos !== 0 && c.qos !== 1) throw new ConfigError("qos must be 0 or 1");
  if (!Number.isInteger(c.queue) || c.queue < 1 || c.queue > MAX_QUEUE)
    throw new ConfigError("queue must be a whole number from 1 to " + MAX_QUEUE);
  for (const key of ["opcua", "retain", "allow_anonymous", "allow_security_none", "trust_unknown_clients"])
    if (typeof c[key] !== "boolean") throw new ConfigError(key + " must be true or false");
  const FILES = ["users_file", "pki_folder", "broker_ca", "broker_cert", "broker_key", "broker_password_file"];
  for (const key of [...FILES, "broker_username"])
    if (c[key] != null && (typeof c[key] !== "string" || c[key] === "")) throw new ConfigError(key + " must be a text");
  if (!Array.isArray(c.robots) || c.robots.length === 0) throw new ConfigError("robots must name at least one robot");
  const placed = LEVELS.filter((key) => c[key] !== undefined);
  if (placed.length !== 0 && placed.length !== LEVELS.length)
    throw new ConfigError("give all of " + LEVELS.join(", ") + " (where the robots sit), or none");
  for (const key of placed)
    if (typeof c[key] !== "string" || !LEVEL_RULE.test(c[key]))
      throw new ConfigError(key + " must be a text of 1 to 64 characters without / + # or control characters, " +
                            "not starting with $ nor starting or ending with a blank");
  if (c.format !== "json" && c.format !== "sparkplug") throw new ConfigError("format is json or sparkplug");
  if (c.machine === undefined) c.machine = os.hostname();
  // It names topics and client ids in a cell, and the Sparkplug edge node.
  if ((placed.length || c.format === "sparkplug") && (typeof c.machine !== "string" || !MACHINE_RULE.test(c.machine)))
    throw new ConfigError("the machine's name " + JSON.stringify(c.machine) + " cannot name topics and client ids: " +
                          "give \"machine\" (letters, digits, _ . and -, up to 63)");
  const levels = placed.length ? LEVELS.map((key) => c[key]) : null;
  const cell = {levels: levels && levels.join("/"), machine: c.machine};
  c.robots = c.robots.map((r) => robotOf(r, base, cell));
  if (typeof c.gateway !== "string" || c.gateway === "") throw new ConfigError("gateway must be gateway.exe's path");
  c.gateway = path.resolve(base, c.gateway);
  const seen = new Set();
  for (const r of c.robots) {
    // Pipe names are case-insensitive; names and topics are not.
    const source = r.source + ":" + (r.source === "pipe" ? r.pipe.toLowerCase() : r[r.source]);
    for (const key of ["name:" + r.name, source]) {
      if (seen.has(key)) throw new ConfigError(r.name + ": a robot's name and its source must be its own");
      seen.add(key);
    }
  }
  const numbers = c.robots.filter((r) => r.number !== undefined).map((r) => r.number);
  if (new Set(numbers).size !== numbers.length) throw new ConfigError("two robots have the same number");
  // A broker drops a client when another connects with its id.
  const ids = c.robots.map((r) => r.client_id).filter((id) => id !== undefined);
  if (new Set(ids).size !== ids.length) throw new ConfigError("two robots have the same client_id");
  const topics = c.robots.flatMap((r) => [r.topic, r.publish]).filter((t) => t !== undefined);
  for (const t of topics) {
    if (topics.includes(t + "/status")) throw new ConfigError(t + "/status is the status of the robot on " + t + ": not a topic of its own");
    if (topics.indexOf(t) !== topics.lastIndexOf(t)) throw new ConfigError("topic " + t + " is given twice");
  }
  const reads = c.robots.some((r) => r.source === "topic"), publishes = c.robots.some((r) => r.publish !== undefined);
  if (c.sparkplug_group === undefined) c.sparkplug_group = levels ? levels.join(":") : "draxion";
  // Sparkplug's ids are topic levels: no / + #.
  if (typeof c.sparkplug_group !== "string" || !/^[^/+#\p{Cc}]{1,64}$/u.test(c.sparkplug_group))
    throw new ConfigError("sparkplug_group must be a text of 1 to 64 characters without / + # or control characters");
  if (c.format === "sparkplug" && (!publishes || c.broker === undefined))
    throw new ConfigError("format sparkplug needs robots to publish and a broker given in broker (where a SCADA host " +
                          "may ask for a rebirth: the hub's own takes writes from the hub alone)");
  // Published without a broker: to the hub's own, on this PC.
  c.embedded = publishes && c.broker === undefined;
  if (c.embedded) {
    for (const key of ["broker_username", "broker_password_file", "broker_ca", "broker_cert", "broker_key"])
      if (c[key] != null) throw new ConfigError(key + " is for a broker given in broker; the hub's own needs none");
    port("broker_port");
    port("page_port");
    if (typeof c.page_folder !== "string" || c.page_folder === "") throw new ConfigError("page_folder must be a folder's path");
    if (c.page_port === c.broker_port) throw new ConfigError("page_port and broker_port must differ");
    c.page_folder = path.resolve(base, c.page_folder);
    c.broker = "mqtt://127.0.0.1:" + c.broker_port;
  }
  if (reads && c.broker === undefined) c.broker = READ_BROKER;
  if ((reads || publishes) && !brokerUrl(c.broker))
    throw new ConfigError("broker must be a URL such as ws://127.0.0.1:9001 or mqtt://host:1883, not " + JSON.stringify(c.broker));
  if (c.broker_ca && !/^(mqtts|wss):/.test(c.broker))
    throw new ConfigError("broker_ca is for TLS: give the broker as mqtts://HOST:PORT or wss://HOST:PORT");
  if ((c.broker_cert == null) !== (c.broker_key == null) || (c.broker_cert && !c.broker_ca))
    throw new ConfigError("broker_cert and broker_key go together, and with broker_ca");
  for (const key of FILES)
    if (c[key] != null) c[key] = path.resolve(base, c[key]);
  if (c.broker_password_file && !c.broker_username) throw new ConfigError("broker_password_file needs broker_username");
  if (c.opcua && !c.allow_anonymous && !c.users_file)
    throw new ConfigError("give users_file (make it with --add-user), or set allow_anonymous to true");
  if (!c.opcua && !publishes) throw new ConfigError("with opcua false, give at least one robot a topic to publish on");
  c.broker_password = c.broker_password_file ? readText(c.broker_password_file).split(/\r?\n/)[0]
    : process.env[BROKER_PASSWORD_VARIABLE];
  for (const key of ["broker_ca", "broker_cert", "broker_key"])
    if (c[key]) c[key + "_text"] = readText(c[key]);
  if (c.broker_ca) {
    try {  // a file that is no certificate or key is a bad configuration, not a broker's refusal
      new (require("crypto").X509Certificate)(c.broker_ca_text);
      if (c.broker_cert) require("tls").createSecureContext({cert: c.broker_cert_text, key: c.broker_key_text});
    } catch (e) {
      throw new ConfigError("broker_ca, broker_cert or broker_key cannot be used: " + e.message);
    }
  }
  c.limits = {silence_s: c.silence_s, no_communication_bad_after_s: c.no_communication_bad_after_s};
  return c;
}

const readConfig = (file) => parseConfig(readText(file), file);

module.exports = {ConfigError, readConfig, parseConfig};
