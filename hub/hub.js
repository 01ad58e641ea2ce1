#!/usr/bin/env node
// The hub: the gateway's downstream program. It reads each robot's values from
// its source (the gateway's pipe, a recording, or the MQTT bridge's topic at a
// broker) and serves them over OPC UA, each value's status code saying whether
// it is live, held or cut off.
//
//   hub --config FILE                      (default: hub.json beside this file)
//   hub --add-user NAME [--config FILE]    (the password from standard input, or
//                                           DRAXION_OPCUA_PASSWORD)
// Exit codes: 0 stopped (Ctrl+C); 2 bad arguments or configuration; 4 the OPC UA
// server cannot start (its port taken, its certificate folder unwritable).
"use strict";

const fs = require("fs");
const path = require("path");
const {ConfigError, readConfig} = require("./lib/config");
const {Robot} = require("./lib/robot");
const {addUser} = require("./lib/users");
const {BrokerSource} = require("./lib/sources/broker");
const {PipeSource} = require("./lib/sources/pipe");
const {RecordingSource, readRecording} = require("./lib/sources/recording");

const EXIT_USAGE = 2, EXIT_SERVER = 4;
const PASSWORD_VARIABLE = "DRAXION_OPCUA_PASSWORD";
const USAGE = "usage: hub [--config FILE] | hub --add-user NAME [--config FILE]";
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
        if (c === "\u0003") process.exit(130);  // Ctrl+C
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
    if (!["--config", "--add-user"].includes(argv[i]) || i + 1 >= argv.length) throw new ConfigError(USAGE);
    args[argv[i]] = argv[++i];
  }
  return args;
}

function sourceOf(robot, rows) {
  const s = robot.settings;
  return s.source === "pipe" ? new PipeSource(s.pipe, robot, {say}) : new RecordingSource(rows.get(s.name), robot, s.pace);
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

async function serve(config) {
  const rows = readRecordings(config);
  const {startServer, NAMESPACE} = require("./lib/opcua/server");
  let opcua;
  try {
    opcua = await startServer(config, say);
  } catch (e) {
    say("cannot start the OPC UA server: " + e.message);
    process.exit(EXIT_SERVER);
  }
  const robots = config.robots.map((settings) => new Robot(settings, config.limits,
    settings.source === "topic" ? "the bridge" : settings.source === "pipe" ? "the gateway" : "the recording",
    opcua.viewOf(settings), say));
  const sources = [];
  for (const robot of robots)
    if (robot.settings.source !== "topic") sources.push(sourceOf(robot, rows));
  const fromBroker = robots.filter((r) => r.settings.source === "topic");
  if (fromBroker.length) sources.push(new BrokerSource(fromBroker, config, say));
  robots.forEach((r) => r.refresh(Date.now(), true));
  sources.forEach((s) => s.start());
  const ticker = setInterval(() => {
    const now = Date.now();
    robots.forEach((r) => r.refresh(now, false));
  }, TICK_MS);

  const where = (s) => s.source === "pipe" ? "pipe " + s.pipe : s.source === "topic" ? s.topic : s.recording;
  say("serving " + robots.map((r) => r.settings.name + " (" + where(r.settings) + ")").join(", ") + " at " +
      opcua.server.getEndpointUrl() + "; security " + (config.allow_security_none ? "None, " : "") +
      "Basic256Sha256 Sign and SignAndEncrypt" +
      (config.allow_anonymous ? "; anonymous clients allowed" : "; users from " + config.users_file));
  say("its certificate: " + opcua.server.certificateFile);
  say("NodeIds: ns=" + opcua.namespace.index + " (" + NAMESPACE + "), e.g. ns=" + opcua.namespace.index + ";s=" +
      robots[0].settings.name + ".axis1; Ctrl+C stops");

  let stopping = false;
  const stop = async () => {
    if (stopping) process.exit(0);  // a second Ctrl+C: no more waiting
    stopping = true;
    say("stopping");
    clearInterval(ticker);
    sources.forEach((s) => s.stop());
    await opcua.server.shutdown(0).catch((e) => say("the OPC UA server did not stop cleanly: " + e.message));
    process.exit(0);
  };
  process.on("SIGINT", stop);
  process.on("SIGTERM", stop);
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
  await serve(readConfig(args["--config"]));
}

main(process.argv.slice(2)).catch((e) => {
  say(e.message);
  process.exit(e instanceof ConfigError ? EXIT_USAGE : 1);
});
