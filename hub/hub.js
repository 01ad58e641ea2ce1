#!/usr/bin/env node
// The hub: the gateway's downstream program. It reads each robot's values from
// its source (the gateway's pipe, a recording, or another hub's topic at a
// broker), serves them over OPC UA, each value's status code saying whether it
// is live, held or cut off, and publishes them to an MQTT broker.
//
//   hub --config FILE                      (default: hub.json beside this file)
//   hub --add-user NAME [--config FILE]    (the password from standard input, or
//                                           DRAXION_OPCUA_PASSWORD)
//   hub --export ROBOT --from TIME --to TIME FILE [--config FILE]
//                                          (a robot's updates from the history, as a recording)
// Its exit codes are lib/exits.js's.
"use strict";

const fs = require("fs");
const path = require("path");
const {ConfigError, readConfig} = require("./lib/config");
const {EXIT, HubExit} = require("./lib/exits");
const {Robot} = require("./lib/robot");
const {addUser} = require("./lib/users");
const {BrokerSource} = require("./lib/sources/broker");
const {KeptGateway} = require("./lib/sources/kept_gateway");
const {PipeSource} = require("./lib/sources/pipe");
const {StartError} = require("./lib/mqtt/connection");
const {Publisher} = require("./lib/mqtt/publisher");
const {RecordingSource, readRecording} = require("./lib/sources/recording");
const {Recorder} = require("./lib/history/recorder");

const NO_VIEW = {show: () => {}, missed: () => {}};  // a robot's view without OPC UA
const PASSWORD_VARIABLE = "DRAXION_OPCUA_PASSWORD";
const USAGE = "usage: hub [--config FILE] | hub --add-user NAME [--config FILE] |\n" +
  "       hub --export ROBOT --from TIME --to TIME FILE [--config FILE]";
const TICK_MS = 100;  // silences and the turn to Bad are noticed by the clock

const say = (text) => console.error("hub: " + text);

// The password for --add-user: typed at the console without echo (Enter ends
// it), or the first line of what standard input brings (read whole: under Wine
// a stream on a Unix pipe fails).
function readPassword() {
  if (!require("tty").isatty(0)) {
    try {
      return Promise.resolve(fs.readFileSync(0, "utf8").split(/\r?\n/)[0]);
    } catch (e) {
      return Promise.resolve("");
    }
  }
  const input = process.stdin;
  input.setEncoding("utf8");
  input.setRawMode(true);
  process.stderr.write("password: ");
  return new Promise((resolve) => {
    let text = "";
    input.on("data", (chunk) => {
      for (const c of chunk) {
        if (c === "\u0003") process.exit(EXIT.interrupted);  // Ctrl+C
        if (c === "\r" || c === "\n") {
          input.setRawMode(false);
          input.pause();
          process.stderr.write("\n");
          return resolve(text);
        }
        text = c === "\b" || c === "\u007f" ? text.slice(0, -1) : text + c;
      }
    });
  });
}

function parseArguments(argv) {
  const args = {"--config": path.join(__dirname, "hub.json")};
  for (let i = 0; i < argv.length; ++i) {
    if (!argv[i].startsWith("--") && args["--export"] !== undefined && args.file === undefined) {
      args.file = argv[i];
      continue;
    }
    if (!["--config", "--add-user", "--export", "--from", "--to"].includes(argv[i]) || i + 1 >= argv.length)
      throw new ConfigError(USAGE);
    args[argv[i]] = argv[++i];
  }
  const exporting = ["--export", "--from", "--to", "file"].filter((key) => args[key] !== undefined).length;
  if (exporting !== 0 && (exporting !== 4 || args["--add-user"] !== undefined)) throw new ConfigError(USAGE);
  return args;
}

// The programs that keep the robots' gateways running, where some robot has a
// number: beside the hub folder, as the package has them.
function keptPrograms(config) {
  if (!config.robots.some((r) => r.number !== undefined)) return null;
  const programs = {keeper: path.join(__dirname, "..", "gateway_keeper.exe"), gateway: config.gateway};
  if (process.platform !== "win32") throw new ConfigError("robots with a number need Windows: the hub starts gateway.exe for them");
  for (const file of Object.values(programs))
    if (!fs.existsSync(file)) throw new ConfigError("cannot find " + file + " (robots with a number need it)");
  return programs;
}

// Every recording's rows, read before the server starts: a bad one is a bad configuration.
function readRecordings(config) {
  const rows = new Map();
  for (const s of config.robots) {
    if (s.source !== "recording") continue;
    try {
      rows.set(s.name, readRecording(s.recording));
    } catch (e) {
      throw new ConfigError(s.name + ": " + e.message);
    }
  }
  return rows;
}

// Each published robot's MQTT connection, started: a robot whose broker cannot be
// reached, or refuses the login or its status, ends the start (EXIT.broker).
async function startPublishers(config, history) {
  if (config.format === "sparkplug") {
    // One connection for them all: this PC is the edge node, each robot a device.
    const {SparkplugNode} = require("./lib/mqtt/sparkplug");
    const node = new SparkplugNode(config, config.robots.filter((s) => s.publish !== undefined), say);
    if (config.store_and_forward) node.store = history;
    await node.start();  // a StartError ends the start (EXIT.broker)
    return new Map([[node.name, node]]);
  }
  const publishers = new Map();
  for (const s of config.robots) {
    if (s.publish === undefined) continue;
    const p = new Publisher(s, config, say);
    if (config.store_and_forward) p.store = history;
    publishers.set(s.name, p);
  }
  const failures = await Promise.all([...publishers.values()].map((p) => p.start().then(() => null, (e) => {
    if (!(e instanceof StartError)) throw e;
    return p.name + ": " + e.message;
  })));
  if (failures.some((f) => f !== null)) {
    publishers.forEach((p) => p.client && p.client.end(true));
    throw new HubExit(EXIT.broker, failures.filter((f) => f !== null).join("\nhub: "));
  }
  return publishers;
}

// The hub's own broker, where the configuration names none; its connection
// takes the place of the broker's settings in the configuration the hub runs on.
async function startOwnBroker(config) {
  const {startEmbeddedBroker} = require("./lib/mqtt/embedded_broker");
  try {
    const own = await startEmbeddedBroker(config);
    return {own, config: Object.freeze(Object.assign({}, config, {broker: own.url, broker_username: own.username,
                                                                 broker_password: own.password, mqtt_version: 4}))};
  } catch (e) {
    throw new HubExit(EXIT.broker, "cannot start the hub's own MQTT broker: " + e.message);
  }
}

// The live page of a topic, as the hub's own broker serves it.
const livePage = (port, topic) => "http://127.0.0.1:" + port + "/index.html?topic=" +
  encodeURIComponent(topic).replace(/%2F/g, "/");

// Runs the hub on a configuration until stop() (or, without OPC UA, until its
// recordings end): {stop(why), interrupt(), ended: a Promise of the exit code}.
// A start that fails throws a HubExit, with what had started stopped again.
async function serve(given) {
  let config = given;
  const rows = readRecordings(config);
  const programs = keptPrograms(config);
  const started = [];  // what to undo when the start fails
  let ownBroker = null, publishers = new Map(), opcua = null, history = null;
  if (config.robots.some((r) => r.publish !== undefined || r.source === "topic"))
    require("./lib/mqtt/library_hooks").check(require("mqtt"));
  try {
    if (config.history) {
      history = new Recorder(config, say);
      history.start();
      started.push(() => history.stop());
    }
    if (config.embedded) {
      ({own: ownBroker, config} = await startOwnBroker(config));
      started.push(() => ownBroker.close());
    }
    // OPC UA first: loading and starting it holds the thread for seconds, in
    // which an open MQTT connection would miss its keep-alive and have the
    // broker publish its will for a hub that is only starting.
    if (config.opcua) {
      const {startServer} = require("./lib/opcua/server");
      try {
        opcua = await startServer(config, say, history);
      } catch (e) {
        throw e instanceof HubExit ? e : new HubExit(EXIT.server, "cannot start the OPC UA server: " + e.message);
      }
      started.push(() => opcua.server.shutdown(0).catch(() => {}));
    }
    publishers = await startPublishers(config, history);
    started.push(() => publishers.forEach((p) => p.client && p.client.end(true)));
  } catch (e) {
    started.reverse().forEach((undo) => undo());
    throw e;
  }
  // A robot's feed: its own publisher, or its device of the Sparkplug node.
  const sparkplug = config.format === "sparkplug" ? [...publishers.values()][0] : null;
  const feedOf = (settings) => (sparkplug ? sparkplug.feedOf(settings) : publishers.get(settings.name)) || null;
  const robots = config.robots.map((settings) => new Robot(settings, config.limits,
    settings.source === "topic" ? "the publisher" : settings.source === "pipe" ? "the gateway" : "the recording",
    opcua ? opcua.viewOf(settings) : NO_VIEW, say, feedOf(settings), history));

  let stopping = null;  // the exit code the stop under way will end with
  let end = null;
  const ended = new Promise((resolve) => { end = resolve; });
  const failedDelivery = () => config.qos === 1 && [...publishers.values()].some((p) => p.undelivered() > 0);
  // Stops the sources, has every broker take what it can within drain_timeout_s
  // (all robots at once), and ends: why (the last status, or null where the
  // sources' ends said it). A stop while one is under way only makes its code
  // worse (a refusal while the last updates drain is still a failure).
  const stop = async (why, code = EXIT.stopped) => {
    if (stopping !== null) {
      if (stopping === EXIT.stopped) stopping = code;
      return;
    }
    stopping = code;
    say("stopping");
    // The gateways end first (cleanly: their owner window goes), so that their last status goes out.
    await Promise.all(sources.map((s) => s.stop()));
    clearInterval(ticker);
    robots.forEach((r) => r.sayCounts());
    const results = await Promise.all([...publishers.values()].map((p) => p.finish(why, config.drain_timeout_s * 1000)));
    [...publishers.values()].forEach((p, k) => {
      if (results[k].line) say(p.name + ": " + results[k].line);
      if (results[k].undelivered && config.qos === 1 && stopping === EXIT.stopped) stopping = EXIT.undelivered;
    });
    if (opcua) await opcua.server.shutdown(0).catch((e) => say("the OPC UA server did not stop cleanly: " + e.message));
    if (history) await history.stop();
    if (ownBroker) ownBroker.close();
    end(stopping);
  };
  // A second Ctrl+C: no more waiting, but no success that was none.
  const interrupt = () => {
    if (stopping === null) return stop("the hub was stopped");
    end(stopping !== EXIT.stopped ? stopping : failedDelivery() ? EXIT.undelivered : EXIT.stopped);
  };
  for (const p of publishers.values()) p.onDenied = (why) => {
    say(p.name + ": " + why);
    stop(why, EXIT.undelivered);
  };
  // Without OPC UA to serve, a hub of recordings ends with them.
  let playing = config.robots.filter((r) => r.source === "recording").length;
  const played = () => {
    if (--playing === 0 && !config.opcua && robots.every((r) => r.settings.source === "recording")) stop(null);
  };

  const sources = [];
  for (const robot of robots) {
    const s = robot.settings;
    if (s.source === "pipe" && s.number !== undefined) sources.push(new KeptGateway(robot, programs));
    else if (s.source === "pipe") sources.push(new PipeSource(s.pipe, robot, {say}));
    if (s.source === "recording") sources.push(new RecordingSource(rows.get(s.name), robot, s.pace, played));
  }
  const fromBroker = robots.filter((r) => r.settings.source === "topic");
  if (fromBroker.length) sources.push(new BrokerSource(fromBroker, config, say));
  robots.forEach((r) => r.refresh(Date.now(), true));
  const ticker = setInterval(() => {
    const now = Date.now();
    robots.forEach((r) => r.refresh(now, false));
  }, TICK_MS);

  const where = (s) => (s.number !== undefined ? "its gateway on pipe " + s.pipe : s.source === "pipe" ? "pipe " + s.pipe : s.source === "topic" ? s.topic : s.recording) +
    (s.publish === undefined ? "" : " -> " + (sparkplug
      ? ["spBv1.0", config.sparkplug_group, "DDATA", config.machine, s.name].join("/") : s.publish));
  // Each address (a broker's, a page's, the endpoint, a file) ends a line of its
  // own, so that a double-click or a copy takes it whole and nothing after it.
  const lines = ["serving " + robots.map((r) => r.settings.name + " (" + where(r.settings) + ")").join(", ")];
  const own = ownBroker ? "the hub's own broker, for this PC only (only the hub writes; anyone here reads), at "
    : "the broker at ";
  if (sparkplug) lines.push("publishing Sparkplug B as " + sparkplug.id + " to " + own + config.broker);
  else if (publishers.size) lines.push("publishing over MQTT with QoS " + config.qos + " to " + own + config.broker);
  // The page reads the JSON topics only, one robot's a page.
  if (ownBroker && !sparkplug) {
    for (const r of config.robots.filter((s) => s.publish !== undefined))
      lines.push(r.name + "'s live page: " + livePage(config.page_port, r.publish));
  }
  if (opcua) {
    lines.push("OPC UA with security " + (config.allow_security_none ? "None, " : "") +
               "Basic256Sha256 Sign and SignAndEncrypt at " + opcua.server.getEndpointUrl(),
               config.allow_anonymous ? "its clients: anonymous ones allowed"
                 : "its users (hub.cmd --add-user NAME adds one): " + config.users_file,
               "its certificate: " + opcua.server.certificateFile,
               "NodeIds: ns=" + opcua.namespace.index + " (" + opcua.namespace.namespaceUri + "), e.g. ns=" +
               opcua.namespace.index + ";s=" + robots[0].settings.name + ".axis1");
  }
  if (history) {
    lines.push("recording every update for " + config.history_days + " days, in at most " +
               config.history_mb + " MB, in " + history.file);
  }
  lines.push("Ctrl+C stops the hub");
  lines.forEach(say);
  sources.forEach((s) => s.start());
  return {stop, interrupt, ended};
}

async function main(argv) {
  const args = parseArguments(argv);
  if (args["--add-user"] !== undefined) {
    const config = readConfig(args["--config"]);
    if (!config.users_file) throw new ConfigError("the configuration names no users_file");
    const problem = addUser(config.users_file, args["--add-user"], process.env[PASSWORD_VARIABLE] || await readPassword());
    if (problem) throw new ConfigError(problem === "no password" ? "no password: give it on standard input or in " +
                                       PASSWORD_VARIABLE : problem);
    say("user " + args["--add-user"] + " is in " + config.users_file);
    return;
  }
  if (args["--export"] !== undefined) {
    const {exportRecording} = require("./lib/history/export");
    const count = exportRecording(readConfig(args["--config"]), args["--export"], args["--from"], args["--to"], args.file);
    say(count + " update(s) of " + args["--export"] + " written, as a recording, to " + path.resolve(args.file));
    return;
  }
  const hub = await serve(readConfig(args["--config"]));
  process.on("SIGINT", hub.interrupt);
  process.on("SIGTERM", hub.interrupt);
  return hub.ended;
}

// The one place the hub ends.
if (require.main === module) {
  main(process.argv.slice(2)).then((code) => process.exit(code || EXIT.stopped), (e) => {
    say(e instanceof HubExit ? e.message : e.stack || String(e));
    process.exit(e instanceof HubExit ? e.code : EXIT.fault);
  });
}

module.exports = {serve};
