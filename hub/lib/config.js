// The hub's configuration, validated in one place: its defaults, its paths made
// absolute (relative to the file), or a ConfigError saying what is wrong.
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const {PIPE_NAME, pipeNameProblem} = require("./contract");
const {SILENCE_S} = require("./messages");
const {DEVICE_DEFAULTS} = require("./opcua/robotics");

const {EXIT, HubExit} = require("./exits");

class ConfigError extends HubExit {
  constructor(message) {
    super(EXIT.usage, message);
  }
}

// Units by their UNECE common code; any other code needs its symbol and name.
const KNOWN_UNITS = {
  DD: ["°", "degree"], C81: ["rad", "radian"], MMT: ["mm", "millimetre"], CMT: ["cm", "centimetre"],
  MTR: ["m", "metre"], INH: ["in", "inch"],
};
// Below the 65,535 message ids a connection can have outstanding.
const MAX_QUEUE = 60000;

// Every key of the configuration: its kind (checked before anything else; the
// rules between keys follow below), its default (undefined: none, or derived
// from other keys), and one line of what it is. The docs' key tables name these
// keys and no others (a test compares them).
const KEYS = {
  robots: {kind: "list", doc: "the robots, each with a name and one source"},
  opcua: {kind: "boolean", default: true, doc: "serve OPC UA"},
  port: {kind: "port", default: 4840, doc: "the OPC UA port"},
  users_file: {kind: "path", doc: "the OPC UA users, made with --add-user"},
  allow_anonymous: {kind: "boolean", default: false, doc: "let OPC UA clients in without a login"},
  allow_security_none: {kind: "boolean", default: false, doc: "also offer OPC UA without signing or encryption"},
  trust_unknown_clients: {kind: "boolean", default: true, doc: "accept a client certificate seen for the first time"},
  pki_folder: {kind: "path", default: "pki", doc: "the OPC UA certificates"},
  silence_s: {kind: "number", min: 1, default: SILENCE_S, doc: "a silence this long cuts the values off"},
  no_communication_bad_after_s: {kind: "number", min: 0, default: 60, doc: "how long cut-off values stay Uncertain"},
  broker: {kind: "text", doc: "the MQTT broker's URL (none: the hub's own, where robots publish)"},
  broker_username: {kind: "text", doc: "the login at the broker"},
  broker_password_file: {kind: "path", doc: "a file holding the login's password"},
  broker_ca: {kind: "path", doc: "TLS: the certificate authority of the broker's certificate"},
  broker_cert: {kind: "path", doc: "TLS: the hub's client certificate"},
  broker_key: {kind: "path", doc: "TLS: the client certificate's key"},
  qos: {kind: "choice", of: [0, 1], default: 1, doc: "1: every update reaches the broker; 0: at most once"},
  retain: {kind: "boolean", default: true, doc: "the broker keeps the last update"},
  queue: {kind: "integer", min: 1, max: MAX_QUEUE, default: MAX_QUEUE, doc: "QoS 1: updates that may wait"},
  drain_timeout_s: {kind: "number", min: 0, default: 30, doc: "how long a stop waits for the broker"},
  format: {kind: "choice", of: ["json", "sparkplug"], default: "json", doc: "the MQTT messages' format"},
  sparkplug_group: {kind: "text", doc: "the Sparkplug group id (default the cell, or draxion)"},
  state_folder: {kind: "path", default: "state", doc: "what the hub keeps between its runs (Sparkplug's bdSeq)"},
  history: {kind: "boolean", default: true, doc: "record every update the robots show, for OPC UA history"},
  history_folder: {kind: "path", default: "history", doc: "where the history file is kept"},
  history_days: {kind: "number", min: 0.001, default: 7, doc: "updates older than this are deleted"},
  history_mb: {kind: "number", min: 1, default: 1024, doc: "the oldest updates go while the history is larger"},
  store_and_forward: {kind: "boolean", default: false, doc: "updates the broker has not taken wait in the history (QoS 1, or Sparkplug B)"},
  broker_port: {kind: "port", default: 1883, doc: "the hub's own broker: its MQTT port"},
  page_port: {kind: "port", default: 9001, doc: "the hub's own broker: the page's port"},
  // The hub's own broker serves the page from the package's web folder.
  page_folder: {kind: "path", default: path.join(__dirname, "..", "..", "web"), doc: "the page's files"},
  gateway: {kind: "path", default: path.join(__dirname, "..", "..", "gateway.exe"), doc: "the gateway the hub starts"},
  site: {kind: "text", doc: "where the robots sit: the site"},
  area: {kind: "text", doc: "where the robots sit: the area"},
  line: {kind: "text", doc: "where the robots sit: the line"},
  cell: {kind: "text", doc: "where the robots sit: the cell"},
  machine: {kind: "text", doc: "this PC's name in topics and client ids (default the computer's name)"},
};
const ROBOT_KEYS = {
  name: {kind: "text", doc: "the robot's name in NodeIds and topics (default robot<number>)"},
  number: {kind: "integer", min: 0, max: 2147483647, doc: "the robot whose gateway the hub starts and keeps"},
  pipe: {kind: "text", doc: "source: the gateway's pipe name"},
  recording: {kind: "path", doc: "source: an axis monitor CSV"},
  topic: {kind: "text", doc: "source: another hub's topic at the broker"},
  pace: {kind: "boolean", default: true, doc: "a recording plays at its own pace, or at once"},
  publish: {kind: "text", doc: "the topic it is published on"},
  client_id: {kind: "text", doc: "the MQTT client id of its connection"},
  units: {kind: "object", doc: "per axis, the unit"},
  profiles: {kind: "object", doc: "per axis, the motion profile"},
  limits: {kind: "object", doc: "per axis, [low, high]"},
  category: {kind: "text", default: "articulated_robot", doc: "the motion device's category"},
  manufacturer: {kind: "text", doc: "the motion device's manufacturer"},
  model: {kind: "text", doc: "the motion device's model"},
  product_code: {kind: "text", doc: "the motion device's product code"},
  serial_number: {kind: "text", doc: "the motion device's serial number"},
};
const FILES = Object.keys(KEYS).filter((key) => KEYS[key].kind === "path");

// Where a cell's robots sit (ISA-95): the levels of their topics, all or none.
const LEVELS = ["site", "area", "line", "cell"];
// A level (and the machine's name) is one topic level any broker takes: no / + #,
// no control character, no leading $ (the brokers' own topics), no blank at either end.
const LEVEL_RULE = /^(?![$\s])[^/+#\p{Cc}]{1,64}(?<!\s)$/u;
// The machine's name also makes client ids, which some brokers take in letters and digits only.
const MACHINE_RULE = /^[A-Za-z0-9][A-Za-z0-9_.-]{0,62}$/;
// The robotics model's motion device categories and axis motion profiles, as the configuration names them.
const CATEGORIES = ["other", "articulated_robot", "scara_robot", "cartesian_robot", "spherical_robot", "parallel_robot",
                    "cylindrical_robot"];
const PROFILES = ["other", "rotary", "rotary_endless", "linear", "linear_endless"];
const READ_BROKER = "ws://127.0.0.1:9001";  // where a robot's topic is read from unless broker says
const SOURCES = ["pipe", "recording", "topic"];
const BROKER_PASSWORD_VARIABLE = "DRAXION_MQTT_PASSWORD";

// The edits (insert, delete, change, swap two neighbours) from a to b.
function distance(a, b) {
  const d = Array.from({length: a.length + 1}, (_, i) => [i, ...Array(b.length).fill(0)]);
  for (let j = 1; j <= b.length; ++j) d[0][j] = j;
  for (let i = 1; i <= a.length; ++i) {
    for (let j = 1; j <= b.length; ++j) {
      d[i][j] = Math.min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
      if (i > 1 && j > 1 && a[i - 1] === b[j - 2] && a[i - 2] === b[j - 1]) d[i][j] = Math.min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.length][b.length];
}

// The given keys against the table: an unknown one is refused, with the key it
// was probably meant to be; a known one of the wrong kind too. where: "" or "r1: ".
function checkKeys(given, table, where) {
  for (const key of Object.keys(given)) {
    const rule = table[key];
    if (rule === undefined) {
      const near = Object.keys(table).map((k) => [distance(key.toLowerCase(), k), k]).sort((x, y) => x[0] - y[0])[0];
      throw new ConfigError(where + "unknown key " + JSON.stringify(key) +
                            (near[0] <= Math.max(1, Math.floor(key.length / 3)) ? " (did you mean \"" + near[1] + "\"?)" : ""));
    }
    const v = given[key];
    if (v === undefined) continue;
    const ok = {
      list: () => Array.isArray(v), object: () => typeof v === "object" && v !== null && !Array.isArray(v),
      boolean: () => typeof v === "boolean", text: () => typeof v === "string" && v !== "",
      path: () => typeof v === "string" && v !== "",
      port: () => Number.isInteger(v) && v >= 1 && v <= 65535,
      number: () => typeof v === "number" && v >= rule.min,
      integer: () => Number.isInteger(v) && v >= rule.min && v <= rule.max,
      choice: () => rule.of.includes(v),
    }[rule.kind]();
    if (!ok) {
      const wanted = {
        list: () => "a list", object: () => "an object", boolean: () => "true or false", text: () => "a text",
        path: () => "a text", port: () => "a whole number from 1 to 65535", number: () => "a number of at least " + rule.min,
        integer: () => "a whole number from " + rule.min + " to " + rule.max + ", not " + JSON.stringify(v),
        choice: () => rule.of.join(" or "),
      }[rule.kind]();
      throw new ConfigError(where + key + " must be " + wanted);
    }
  }
}

// The table's defaults under what is given.
const withDefaults = (table, given) => Object.assign(
  Object.fromEntries(Object.entries(table).filter(([, rule]) => rule.default !== undefined).map(([k, rule]) => [k, rule.default])),
  given);

// A client id from names (a cell's levels, the machine, the robot): each name's
// characters other than letters, digits and "." are written as _<hex>_, and the
// names are joined with "-", which no written name holds. So different names
// never make one id ("PC-left" and "arm" against "PC" and "left-arm").
const clientIdOf = (names) => ["draxion", ...names.map((n) =>
  [...n].map((ch) => /[A-Za-z0-9.]/.test(ch) ? ch : "_" + ch.codePointAt(0).toString(16) + "_").join(""))].join("-");

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
  if (r === null || typeof r !== "object" || Array.isArray(r)) throw new ConfigError("each robot is an object");
  checkKeys(r, ROBOT_KEYS, (typeof r.name === "string" ? r.name : Number.isInteger(r.number) ? "robot" + r.number : "a robot") + ": ");
  if (r.number !== undefined) {
    // The hub starts this robot's gateway, on a pipe of its own.
    r = Object.assign({name: "robot" + r.number}, r);
    if (r.recording !== undefined || r.topic !== undefined)
      throw new ConfigError(r.name + ": a robot with a number is read from the gateway the hub starts for it");
    if (r.pipe === undefined) r.pipe = PIPE_NAME + "-" + r.name;
    // The gateway takes it as a word of its command line, which a quote would split.
    if (typeof r.pipe === "string" && r.pipe.includes('"'))
      throw new ConfigError(r.name + ": the pipe name of a robot with a number cannot hold a double quote");
  }
  if (typeof r.name !== "string" || !/^[A-Za-z0-9_-]{1,64}$/.test(r.name))
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
    r = Object.assign({publish: cell.levels.join("/") + "/" + cell.machine + "/" + r.name + "/axes",
                       client_id: clientIdOf([...cell.levels, cell.machine, r.name])}, r);
  }
  if (r.client_id !== undefined && r.publish === undefined)
    throw new ConfigError(r.name + ": client_id is for a robot that is published");
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

// The configuration in text (from file, for its paths and messages), checked
// and completed; its files are not yet read.
function checkedConfig(text, file) {
  let given;
  try {
    given = JSON.parse(text);
  } catch (e) {
    throw new ConfigError(file + " is not JSON: " + e.message);
  }
  if (given === null || typeof given !== "object" || Array.isArray(given))
    throw new ConfigError(file + " must hold one JSON object");
  checkKeys(given, KEYS, "");
  const c = withDefaults(KEYS, given);
  const base = path.dirname(path.resolve(file));
  if (!Array.isArray(c.robots) || c.robots.length === 0) throw new ConfigError("robots must name at least one robot");
  const placed = LEVELS.filter((key) => c[key] !== undefined);
  if (placed.length !== 0 && placed.length !== LEVELS.length)
    throw new ConfigError("give all of " + LEVELS.join(", ") + " (where the robots sit), or none");
  for (const key of placed)
    if (typeof c[key] !== "string" || !LEVEL_RULE.test(c[key]))
      throw new ConfigError(key + " must be a text of 1 to 64 characters without / + # or control characters, " +
                            "not starting with $ nor starting or ending with a blank");
  if (c.machine === undefined) c.machine = os.hostname();
  // It names topics and client ids in a cell, and the Sparkplug edge node.
  if ((placed.length || c.format === "sparkplug") && (typeof c.machine !== "string" || !MACHINE_RULE.test(c.machine)))
    throw new ConfigError("the machine's name " + JSON.stringify(c.machine) + " cannot name topics and client ids: " +
                          "give \"machine\" (letters, digits, _ . and -, up to 63)");
  const levels = placed.length ? LEVELS.map((key) => c[key]) : null;
  const cell = {levels, machine: c.machine};
  c.robots = c.robots.map((r) => robotOf(r, base, cell));
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
  if (!/^[^/+#\p{Cc}]{1,64}$/u.test(c.sparkplug_group))
    throw new ConfigError("sparkplug_group must be a text of 1 to 64 characters without / + # or control characters");
  if (c.format === "sparkplug" && (!publishes || c.broker === undefined))
    throw new ConfigError("format sparkplug needs robots to publish and a broker given in broker (where a SCADA host " +
                          "may ask for a rebirth: the hub's own takes writes from the hub alone)");
  // Published without a broker: to the hub's own, on this PC.
  c.embedded = publishes && c.broker === undefined;
  if (c.embedded) {
    for (const key of ["broker_username", "broker_password_file", "broker_ca", "broker_cert", "broker_key"])
      if (c[key] !== undefined) throw new ConfigError(key + " is for a broker given in broker; the hub's own needs none");
    if (c.page_port === c.broker_port) throw new ConfigError("page_port and broker_port must differ");
    c.broker = "mqtt://127.0.0.1:" + c.broker_port;
  }
  if (reads && c.broker === undefined) c.broker = READ_BROKER;
  if ((reads || publishes) && !brokerUrl(c.broker))
    throw new ConfigError("broker must be a URL such as ws://127.0.0.1:9001 or mqtt://host:1883, not " + JSON.stringify(c.broker));
  if (c.broker_ca && !/^(mqtts|wss):/.test(c.broker))
    throw new ConfigError("broker_ca is for TLS: give the broker as mqtts://HOST:PORT or wss://HOST:PORT");
  if ((c.broker_cert === undefined) !== (c.broker_key === undefined) || (c.broker_cert && !c.broker_ca))
    throw new ConfigError("broker_cert and broker_key go together, and with broker_ca");
  for (const key of FILES)
    if (c[key] !== undefined) c[key] = path.resolve(base, c[key]);
  if (c.broker_password_file && !c.broker_username) throw new ConfigError("broker_password_file needs broker_username");
  if (c.opcua && !c.allow_anonymous && !c.users_file)
    throw new ConfigError("give users_file (make it with --add-user), or set allow_anonymous to true");
  if (!c.opcua && !publishes) throw new ConfigError("with opcua false, give at least one robot a topic to publish on");
  if (c.store_and_forward && !(c.history && (c.qos === 1 || c.format === "sparkplug")))
    throw new ConfigError("store_and_forward keeps updates in the history until the broker has them: it needs " +
                          "history true, and qos 1 with format \"json\"");
  c.limits = {silence_s: c.silence_s, no_communication_bad_after_s: c.no_communication_bad_after_s};
  return c;
}

// What the configuration's files hold: the broker's password, its certificates.
function withFiles(c) {
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
  return c;
}

// Frozen all the way down: what runs cannot change what was checked.
function frozen(v) {
  if (v !== null && typeof v === "object" && !Object.isFrozen(v)) Object.values(Object.freeze(v)).forEach(frozen);
  return v;
}

const parseConfig = (text, file) => frozen(withFiles(checkedConfig(text, file)));
const readConfig = (file) => parseConfig(readText(file), file);

module.exports = {ConfigError, KEYS, ROBOT_KEYS, clientIdOf, readConfig, parseConfig};
