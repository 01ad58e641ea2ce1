"use strict";
// The hooks into node-opcua and mqtt.js: the pinned releases have every name
// they need, and a release without one stops the start (exit code 4) instead of
// silencing a hook.
const assert = require("node:assert");
const test = require("node:test");
const hooks = require("../lib/opcua/library_hooks");
const {EXIT, HubExit} = require("../lib/exits");

test("a release of node-opcua or mqtt.js that lacks a name a hook needs is refused, naming it", () => {
  const opcua = require("node-opcua");
  assert.deepStrictEqual(hooks.lacking(opcua), []);
  const without = Object.assign({}, opcua, {MonitoredItem: function MonitoredItem() {}});
  assert.throws(() => hooks.install(without), (e) => e instanceof HubExit && e.code === EXIT.server &&
                e.message.includes("MonitoredItem.prototype.modify, MonitoredItem.prototype._on_value_changed"));
  assert.throws(() => hooks.checkVariable({}), /UAVariable\._internal_set_dataValue/);
  const mqttHooks = require("../lib/mqtt/library_hooks");
  mqttHooks.check(require("mqtt"));
  assert.throws(() => mqttHooks.check({}), (e) => e.code === EXIT.server && /MqttClient\.prototype\.reschedulePing/.test(e.message));
});
