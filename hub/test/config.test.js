"use strict";
const assert = require("node:assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const test = require("node:test");
const {ConfigError, parseConfig} = require("../lib/config");
const {recordingLine} = require("../lib/sources/recording");

test("a bad configuration is refused with what is wrong", () => {
  const robots = (r) => JSON.stringify({users_file: "u", robots: [r]});
  const notPem = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "hub-config-")), "ca.pem");
  fs.writeFileSync(notPem, "no certificate\n");
  // A robot published to a broker, with these settings and robot keys.
  const published = (settings, robot = {}) => JSON.stringify(Object.assign({users_file: "u", broker: "mqtt://h:1883",
    robots: [Object.assign({name: "r1", pipe: "p", publish: "cell/r1"}, robot)]}, settings));
  const cases = [
    ["{", "is not JSON"],
    ["[]", "must hold one JSON object"],
    ['{"users_file": "u"}', "robots must name at least one robot"],
    [robots({name: "r 1", pipe: "p"}), "each robot needs a name"],
    [robots({name: "r1"}), "give one source"],
    [robots({name: "r1", pipe: "p", topic: "t"}), "give one source"],
    [robots({name: "r1", pipe: "a\\b"}), "bad pipe name: the name holds a backslash"],
    [robots({name: "r1", topic: "cell/+/axes"}), "without the wildcards"],
    [robots({name: "r1", pipe: "p", units: {axis1: "XYZ"}}), "unit XYZ is not one of DD, C81"],
    [robots({name: "r1", pipe: "p", units: {axis7: "DD"}}), "not axis7"],
    [JSON.stringify({users_file: "u", robots: [{name: "a", pipe: "P"}, {name: "b", pipe: "p"}]}), "must be its own"],
    ['{"robots": [{"name": "r1", "pipe": "p"}]}', "give users_file"],
    ['{"users_file": "u", "broker": "127.0.0.1:1883", "robots": [{"name": "r1", "topic": "t"}]}', "must be a URL"],
    ['{"users_file": "u", "port": 4840.5, "robots": [{"name": "r1", "pipe": "p"}]}', "port must be a whole number"],
    ['{"users_file": "u", "allow_anonymous": "false", "robots": [{"name": "r1", "pipe": "p"}]}',
     "allow_anonymous must be true or false"],
    ['{"users_file": 7, "robots": [{"name": "r1", "pipe": "p"}]}', "users_file must be a text"],
    ['{"users_file": "u", "silence_s": 0.4, "robots": [{"name": "r1", "pipe": "p"}]}', "silence_s must be"],
    [robots({name: "Robots", pipe: "p"}), "the robots' folder"],
    [JSON.stringify({users_file: "u", robots: [{name: "a", topic: "c/r"}, {name: "b", topic: "c/r/status"}]}),
     "c/r/status is the status of the robot on c/r"],
    ['{"users_file": "u", "broker": "mqtt://", "robots": [{"name": "r1", "topic": "t"}]}', "must be a URL"],
    [published({}, {publish: "cell/#"}), "publish must be a plain topic name, without the wildcards"],
    [published({}, {publish: "t", topic: "u", pipe: undefined}), "published there already"],
    [published({}, {client_id: 7}), "client_id must be a text"],
    // A misspelt key is named, with the key it was probably meant to be.
    [published({alow_anonymous: true}), 'unknown key "alow_anonymous" (did you mean "allow_anonymous"?)'],
    [published({brokr: "mqtt://h"}), 'unknown key "brokr" (did you mean "broker"?)'],
    [published({}, {publsh: "x"}), 'r1: unknown key "publsh" (did you mean "publish"?)'],
    [published({mqtt_version: 4}), 'unknown key "mqtt_version"'],
    [published({}, {colour: "red"}), 'r1: unknown key "colour"'],
    [published({broker: undefined, broker_username: "u"}), "broker_username is for a broker given in broker"],
    [published({broker: undefined, page_port: 0}), "page_port must be a whole number from 1 to 65535"],
    [published({broker: undefined, page_port: 1883}), "page_port and broker_port must differ"],
    [published({broker: "mqtts://h:8883", broker_ca: notPem}), "broker_ca, broker_cert or broker_key cannot be used"],
    [published({broker: "127.0.0.1:1883"}), "must be a URL"],
    [published({qos: 2}), "qos must be 0 or 1"],
    [published({queue: 60001}), "queue must be a whole number from 1 to 60000"],
    [published({drain_timeout_s: -1}), "drain_timeout_s must be a number of at least 0"],
    [published({broker_ca: "ca.pem"}), "broker_ca is for TLS"],
    [published({broker: "mqtts://h:8883", broker_ca: "ca.pem", broker_cert: "c.pem"}), "go together"],
    [published({broker_password_file: "p"}), "broker_password_file needs broker_username"],
    [published({opcua: false}, {publish: undefined}), "with opcua false, give at least one robot a topic"],
    [JSON.stringify({users_file: "u", broker: "mqtt://h", robots: [{name: "a", pipe: "a", publish: "c/r"},
                                                                 {name: "b", pipe: "b", publish: "c/r"}]}), "given twice"],
  ];
  // A cell: where its robots sit, and robots by number.
  const cell = (settings, robot = {number: 1}) => JSON.stringify(Object.assign(
    {opcua: false, site: "s", area: "a", line: "l", cell: "c", machine: "pc1", robots: [robot]}, settings));
  cases.push(
    [cell({cell: undefined}), "give all of site, area, line, cell"],
    ...["$SYS", "a/b", "a+", " a", "a\u0007", "", 7].map((level) => [cell({area: level}), "area must be a text"]),
    [cell({machine: "PC 1"}), "the machine's name \"PC 1\" cannot name topics"],
    [cell({}, {number: 1.5}), "a robot: number must be a whole number from 0"],
    [cell({}, {number: -1}), "number must be a whole number from 0"],
    [cell({}, {number: 1, topic: "t"}), "read from the gateway the hub starts"],
    [cell({}, {number: 1, pipe: "a\\b"}), "bad pipe name"],
    [cell({robots: [{number: 1}, {number: 1, name: "other"}]}), "two robots have the same number"],
    [cell({}, {number: 1, pipe: 'a"b'}), "cannot hold a double quote"],
    [cell({robots: [{number: 1}, {number: 2, client_id: "draxion-s-a-l-c-pc1-robot1"}]}), "the same client_id"],
    [robots({name: "r1", pipe: "p", category: "delta"}), "category is one of other, articulated_robot"],
    [robots({name: "r1", pipe: "p", profiles: {axis2: "round"}}), "r1.axis2: a profile is one of"],
    [robots({name: "r1", pipe: "p", limits: {axis3: [5, 5]}}), "r1.axis3: limits are [low, high]"],
    [robots({name: "r1", pipe: "p", limits: {axis7: [0, 1]}}), "limits are given per axis1 to axis6"],
    [robots({name: "r1", pipe: "p", serial_number: ""}), "serial_number must be a text"],
    [published({format: "protobuf"}), "format must be json or sparkplug"],
    [published({format: "sparkplug", sparkplug_group: "a/b"}), "sparkplug_group must be a text"],
    [published({format: "sparkplug", broker: undefined}), "format sparkplug needs robots to publish and a broker"],
    [cell({robots: [{number: 1}, {name: "robot1", pipe: "p"}]}), "must be its own"]);
  for (const [text, says] of cases)
    assert.throws(() => parseConfig(text, "c.json"), (e) => e instanceof ConfigError && e.message.includes(says), says);
  const good = parseConfig(robots({name: "r1", pipe: "p", units: {axis1: "DD"}, profiles: {axis2: "linear"},
                                  limits: {axis3: [-1, 1]}}), "/x/c.json");
  assert.deepStrictEqual([good.users_file, good.robots[0].units.axis1.symbol, good.embedded], ["/x/u", "°", false]);
  assert.ok(Object.isFrozen(good) && Object.isFrozen(good.robots[0].device.units[0]), "what runs cannot change it");
  // The robotics model's device: its profiles, units (configured, else by profile) and limits per axis.
  const d = good.robots[0].device;
  assert.deepStrictEqual([d.category, d.profiles[1], d.units.map((u) => u.code), d.limits[2], d.limits[0],
                          d.serial_number], ["ARTICULATED_ROBOT", "LINEAR", ["DD", "MMT", "DD", "DD", "DD", "DD"],
                                             [-1, 1], null, good.machine + "/r1"]);
  const own = parseConfig(published({broker: undefined, page_folder: "web"}), "/x/c.json");
  assert.deepStrictEqual([own.embedded, own.broker, own.page_folder], [true, "mqtt://127.0.0.1:1883", "/x/web"]);
});

test("a cell's topics, client ids and pipes follow from where it sits and the machine's name", () => {
  const config = (machine, where = {}, name = "welder") => parseConfig(JSON.stringify(Object.assign({
    opcua: false, site: "Plant 1", area: "Body", line: "L2", cell: "C7", machine,
    robots: [{number: 1}, {number: 2, name, pipe: "own"}, {name: "r3", pipe: "p3", publish: "x/r3"}]}, where)), "/x/c.json");
  const names = (c) => c.robots.map((r) => [r.name, r.pipe, r.publish, r.client_id]);
  assert.deepStrictEqual(names(config("pc-a")), [
    ["robot1", "zelmorvelgateway-robot1", "Plant 1/Body/L2/C7/pc-a/robot1/axes", "draxion-Plant_20_1-Body-L2-C7-pc_2d_a-robot1"],
    ["welder", "own", "Plant 1/Body/L2/C7/pc-a/welder/axes", "draxion-Plant_20_1-Body-L2-C7-pc_2d_a-welder"],
    ["r3", "p3", "x/r3", "draxion-Plant_20_1-Body-L2-C7-pc_2d_a-r3"],
  ]);
  // Files that differ in any one name (a "-" moved between the machine's and the
  // robot's among them): none of the topics and client ids they derive are another's.
  const derived = (c) => c.robots.slice(1, 2).flatMap((r) => [r.publish, r.client_id]);
  const variants = [config("pc-a"), config("pc-b"), config("PC", {}, "left-arm"), config("PC-left", {}, "arm"),
                    ...["site", "area", "line", "cell"].map((level) => config("pc-a", {[level]: "other"})),
                    config("pc-a", {line: "L2-C7", cell: "x"}), config("pc-a", {line: "L2", cell: "C7-x"})];
  const all = variants.flatMap(derived);
  assert.strictEqual(new Set(all).size, all.length, all.join("\n"));
  assert.strictEqual(config("pc-a").sparkplug_group, "Plant 1:Body:L2:C7", "a cell's Sparkplug group is where it sits");
  const shipped = path.join(__dirname, "..", "cell.json");
  const example = parseConfig(fs.readFileSync(shipped, "utf8"), shipped);
  assert.deepStrictEqual([example.machine, example.embedded, example.robots.map((r) => r.pipe)],
                         [os.hostname(), true, ["zelmorvelgateway-robot1", "zelmorvelgateway-robot2"]]);
});

test("a recording's lines are read exactly, or refused", () => {
  const line = recordingLine("0.010,-0.0,5e-324,1,2,3,4,covered,1.5,2.5,7,3.5");
  assert.ok(Object.is(line.values[0], -0) && line.values[1] === 5e-324);
  assert.deepStrictEqual(line.report, {state: "covered", confirmed: 1.5, since: 2.5, readings: 7, made: 3.5});
  assert.strictEqual(recordingLine("0,1,2,3,4,5,6,no report,0,0,0,0").report, null);
  assert.strictEqual(recordingLine("0,1,2,3,4,5,6,waiting,0,1,1,1").report.confirmed, null);
  for (const bad of ["0,1,2,3,4,5", "0,1,2,3,4,5,", "0,1,2,3,4,5,0x10", "0,1,2,3,4,5, 6", "0,1,2,3,4,5,6,asleep,0,0,0,0",
                     "0,1,2,3,4,5,6,live,1,1e13,1,1", "0,1,2,3,4,5,1e309"])
    assert.throws(() => recordingLine(bad), Error, bad);
});

test("the docs' key tables name the configuration's keys, each with its default", () => {
  const {KEYS, ROBOT_KEYS} = require("../lib/config");
  const docs = path.join(__dirname, "..", "..", "docs");
  const found = {top: new Set(), robot: new Set()};
  for (const file of fs.readdirSync(docs).filter((f) => f.endsWith(".md"))) {
    const text = fs.readFileSync(path.join(docs, file), "utf8");
    // Each table "| key | default | meaning |" (or "| robot key | ..."), its rows up to the first line that is none.
    for (const table of text.matchAll(/^\| (robot )?key \| default \| meaning \|\n\|---.*\n((?:\|.*\n)*)/gm)) {
      for (const row of table[2].matchAll(/^\| ([^|]*) \| ([^|]*) \|/gm)) {
        const robot = table[1] !== undefined || /^robot('s)? /.test(row[1]);
        for (const [, key] of row[1].matchAll(/`(\w+)`/g)) {
          const rule = (robot ? ROBOT_KEYS : KEYS)[key];
          assert.ok(rule, file + ": " + (robot ? "robot key " : "key ") + key + " is no key of the configuration");
          if (["number", "boolean"].includes(typeof rule.default))
            assert.strictEqual(row[2], String(rule.default), file + ": the default of " + key);
          found[robot ? "robot" : "top"].add(key);
        }
      }
    }
  }
  assert.deepStrictEqual([...found.top].sort(), Object.keys(KEYS).sort(), "every key in a doc's table");
  assert.deepStrictEqual([...found.robot].sort(), Object.keys(ROBOT_KEYS).sort(), "every robot key in a doc's table");
});
