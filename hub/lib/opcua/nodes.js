// A robot's variables in the address space (ns "urn:draxion:gateway:axes"):
// robotN.axis1 ... axis6 (Double, read only), with EngineeringUnits where the
// configuration gives a unit; robotN.state and robotN.cause (String);
// robotN.missed (UInt32, stops at its top: updates that never reached the hub). Its show() sets
// them from a verdict, touching only what changed.
"use strict";

const {VALUE_COUNT: AXES} = require("../contract");
const {setDataValue} = require("./library_hooks");
const {installHistory} = require("./history");

// mirrors: per axis, a variable that carries the same DataValue (the robotics
// model's ActualPosition); history: the recorder, whose history both then serve
// (HistoryRead), or null.
function makeRobotNodes(opcua, namespace, folder, settings, mirrors = [], history = null) {
  const {DataType, DataValue, StatusCodes, Variant} = opcua;
  const object = namespace.addObject({organizedBy: folder, browseName: settings.name, nodeId: "s=" + settings.name});
  const readOnly = {accessLevel: "CurrentRead", userAccessLevel: "CurrentRead", minimumSamplingInterval: 0};
  const id = (suffix) => "s=" + settings.name + "." + suffix;
  const axes = [];
  for (let k = 1; k <= AXES; ++k) {
    const axis = namespace.addVariable(Object.assign({
      componentOf: object, browseName: "axis" + k, nodeId: id("axis" + k), dataType: "Double",
      description: "axis " + k + " as the jog window shows it",
    }, readOnly));
    axis.everyChange = true;
    const unit = settings.units["axis" + k];
    if (unit) {
      namespace.addVariable({
        propertyOf: axis, browseName: {name: "EngineeringUnits", namespaceIndex: 0}, typeDefinition: "PropertyType",
        nodeId: id("axis" + k + ".EngineeringUnits"), dataType: "EUInformation", accessLevel: "CurrentRead",
        value: {dataType: DataType.ExtensionObject, value: opcua.makeEUInformation(unit.code, unit.symbol, unit.name)},
      });
    }
    axes.push(axis);
    if (history) {
      for (const variable of [axis, mirrors[k - 1]].filter(Boolean)) installHistory(opcua, variable, settings.name, k - 1, history);
    }
  }
  const variable = (name, dataType, description) => namespace.addVariable(Object.assign({
    componentOf: object, browseName: name, nodeId: id(name), dataType, description,
  }, readOnly));
  const stateNode = variable("state", "String", "live, held, waiting, no_communication or no_data; " +
                             "a kept robot's condition: starting, waiting_for_simulator, live, held, restarting, stopped or failed");
  const causeNode = variable("cause", "String", "why the values are not live: the hold's cause or what cut them off");
  const missedNode = variable("missed", "UInt32", "updates that never reached the hub (gaps in the publisher's seq)");
  missedNode.setValueFromSource({dataType: DataType.UInt32, value: 0});

  // What each axis shows now, so that an update sets only what changed.
  const shown = axes.map(() => ({value: undefined, code: null, stamp: NaN}));
  let shownState = null, shownCause = null;
  const nullVariant = new Variant({dataType: DataType.Null});

  // Returns which axes took a new DataValue (bit k: axis k + 1): what their history holds.
  function show(verdict, values, stamp) {
    const code = StatusCodes[verdict.code];
    const source = new Date(Math.round(stamp * 1000));
    const sourceMs = source.getTime();
    const now = new Date();
    let set = 0;
    for (let k = 0; k < AXES; ++k) {
      const value = values === null ? null : values[k];
      const s = shown[k];
      if (Object.is(s.value, value) && s.code === code && s.stamp === sourceMs) continue;
      set |= 1 << k;
      s.value = value;
      s.code = code;
      s.stamp = sourceMs;
      for (const variable of [axes[k], mirrors[k]].filter(Boolean)) {
        setDataValue(variable, new DataValue({
          value: value === null ? nullVariant : new Variant({dataType: DataType.Double, value}),
          statusCode: code, sourceTimestamp: source, serverTimestamp: now,
        }));
      }
    }
    if (verdict.state !== shownState) {
      shownState = verdict.state;
      stateNode.setValueFromSource({dataType: DataType.String, value: verdict.state});
    }
    if (verdict.cause !== shownCause) {
      shownCause = verdict.cause;
      causeNode.setValueFromSource({dataType: DataType.String, value: verdict.cause});
    }
    return set;
  }

  function missed(count) {
    missedNode.setValueFromSource({dataType: DataType.UInt32, value: Math.min(count, 0xffffffff)});
  }

  return {show, missed};
}

module.exports = {makeRobotNodes};
