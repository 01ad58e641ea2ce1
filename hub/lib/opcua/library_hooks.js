// Where the hub reaches past node-opcua's public options, each for a reason the
// library gives no option for. Nothing else of the hub touches the library's
// internals; a new release of it is checked here first (the hub's tests cover
// each hook), and install() refuses to start on one that lacks a name a hook
// needs: a library upgrade must never silence a hook.
"use strict";

const {EXIT, HubExit} = require("../exits");

// Every name of the library the hooks below patch or call.
const NEEDED = [
  "Subscription.minimumPublishingInterval", "Subscription.prototype.adjustSamplingInterval",
  "MonitoredItem.prototype.modify", "MonitoredItem.prototype._on_value_changed", "MonitoredItem.prototype.recordValue",
  "sameDataValue", "DataChangeFilter", "DeadbandType.None", "DataChangeTrigger.Status",
];

// The names of NEEDED (or of names, from root) that root lacks.
const lacking = (root, names = NEEDED) =>
  names.filter((name) => name.split(".").reduce((at, key) => (at == null ? undefined : at[key]), root) === undefined);

function refuse(names) {
  throw new HubExit(EXIT.server, "this node-opcua lacks what the hub's hooks into it need (" + names.join(", ") +
                    "): use the release pinned in hub/package-lock.json");
}

// Publishing intervals down to 10 ms: at 100 updates a second a client then
// gets each value about one cycle after it changed (the library's floor is 50).
const MIN_PUBLISHING_INTERVAL_MS = 10;
// A sampling interval up to this many ms is served by reporting every change:
// sampled at 10 ms, updates at 100 a second would be lost whenever two fell into
// one interval.
const EVERY_CHANGE_MS = 10;

let sameDataValue = null;

function install(opcua) {
  if (lacking(opcua).length) refuse(lacking(opcua));
  sameDataValue = opcua.sameDataValue;
  opcua.Subscription.minimumPublishingInterval = MIN_PUBLISHING_INTERVAL_MS;

  // Items that ask for EVERY_CHANGE_MS or less on an axis (-1 asks for the
  // publishing interval) are revised to 0, which the library serves on change
  // (the server advertises a MinSupportedSampleRate of 0); at creation and when
  // a client modifies an item.
  const everyChange = (node, asked) => Boolean(node && node.everyChange) && asked >= 0 && asked <= EVERY_CHANGE_MS;
  const adjust = opcua.Subscription.prototype.adjustSamplingInterval;
  opcua.Subscription.prototype.adjustSamplingInterval = function (samplingInterval, node) {
    if (everyChange(node, samplingInterval < 0 ? this.publishingInterval : samplingInterval)) return 0;
    return adjust.call(this, samplingInterval, node);
  };
  const modify = opcua.MonitoredItem.prototype.modify;
  opcua.MonitoredItem.prototype.modify = function (timestampsToReturn, parameters) {
    if (parameters && everyChange(this.node, parameters.samplingInterval)) parameters.samplingInterval = 0;
    return modify.call(this, timestampsToReturn, parameters);
  };

  // 0.0 and -0.0 are different values of an axis (the gateway sends the sign it
  // read), but the library compares values with ===, to which they are equal, and
  // would never notify the change. Where no deadband asks otherwise, such a
  // change skips the monitored item's change test (setDataValue below sees that
  // the variable announces it).
  const changed = opcua.MonitoredItem.prototype._on_value_changed;
  opcua.MonitoredItem.prototype._on_value_changed = function (dataValue, indexRange) {
    const old = this.oldDataValue && this.oldDataValue.value;
    const now = dataValue.value;
    // Many clients send a filter that asks for what no filter gives: values and status, no deadband.
    const f = this.filter;
    const asValues = !f || (f instanceof opcua.DataChangeFilter && f.deadbandType === opcua.DeadbandType.None &&
                            f.trigger !== opcua.DataChangeTrigger.Status);
    if (asValues && zeroSignFlip(old, now) && dataValue.statusCode.value === this.oldDataValue.statusCode.value) {
      return this.recordValue(dataValue, true, indexRange === null ? undefined : indexRange);
    }
    return changed.call(this, dataValue, indexRange);
  };
}

const zeroSignFlip = (a, b) => Boolean(a && b) && a.dataType === b.dataType && typeof a.value === "number" &&
  a.value === 0 && b.value === 0 && !Object.is(a.value, b.value);

// Sets a variable's DataValue with the server's own time as ServerTimestamp
// (setValueFromSource, the public way, copies the source's time into it). The
// variable announces a change only where the library's comparison sees one, so
// a change of sign alone at the same source time is announced here.
function setDataValue(variable, dataValue) {
  const old = variable.readValue();
  variable._internal_set_dataValue(dataValue);
  if (zeroSignFlip(old.value, dataValue.value) && sameDataValue(old, dataValue))
    variable.emit("value_changed", dataValue.clone());
}

// Checks a variable of the address space for what setDataValue needs.
function checkVariable(variable) {
  if (typeof variable._internal_set_dataValue !== "function") refuse(["UAVariable._internal_set_dataValue"]);
}

// The most values one HistoryRead response carries per variable; a client that
// asks for more, or for all (numValuesPerNode 0), gets them in pages of this
// many with continuation points. An hour of one axis at 100 updates a second
// (360,000 values) in one response would pass any message size a client takes.
const HISTORY_PAGE = 10000;

// A historizing variable's ReadRaw, done by read(context, details,
// continuation, callback) instead of the library's, which reads a whole range
// into memory before it pages it.
function replaceHistoryRead(variable, read) {
  if (typeof variable._historyReadRaw !== "function") refuse(["UAVariable._historyReadRaw"]);
  variable._historyReadRaw = function (context, details, indexRange, dataEncoding, continuation, callback) {
    read(context, details, continuation, callback);
  };
}

// What the server says of its history (the library's server takes no option for
// it): raw values of variables can be read; nothing can be written, deleted or
// annotated, and no events are kept.
function setHistoryCapabilities(server) {
  const capabilities = server.engine.historyServerCapabilities;
  if (!capabilities) refuse(["ServerEngine.historyServerCapabilities"]);
  Object.assign(capabilities, {accessHistoryDataCapability: true, maxReturnDataValues: HISTORY_PAGE});
}

module.exports = {install, checkVariable, lacking, setDataValue, replaceHistoryRead, setHistoryCapabilities, HISTORY_PAGE};
