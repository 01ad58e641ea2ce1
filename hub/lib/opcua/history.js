// OPC UA history of the axes, from the hub's history (history/recorder.js): each
// axis variable, and its mirror in the robotics model, is Historizing, and
// HistoryRead ReadRaw gives back the DataValues the variable was given, as they
// were recorded: values bit for bit, status codes, source timestamps.
"use strict";

const {capHistoryPages} = require("./library_hooks");

// The hub keeps no other history than its own: the library's push is not needed.
function installHistory(opcua, variable, robot, axis, history) {
  const {DataType, DataValue, StatusCodes, Variant, isMinDate} = opcua;
  const nullVariant = new Variant({dataType: DataType.Null});
  const historian = {
    push() {},  // the robot records what it shows
    // details: startTime and endTime (a minimum date where not given); max: how
    // many at most (0: all); isReversed: the newest first (only an end was given).
    extractDataValues(details, max, isReversed, reverseDataValue, callback) {
      const from = isMinDate(details.startTime) ? 0 : details.startTime.getTime();
      const to = isMinDate(details.endTime) ? Number.MAX_SAFE_INTEGER : details.endTime.getTime();
      // max follows the page the hooks capped; the client's own count is draxionAsked.
      const limit = max === 0 ? 0 : details.draxionAsked !== undefined ? details.draxionAsked : max;
      history.axisHistory(robot, axis, from, to, isReversed, limit).then((rows) => {
        const values = [];
        for (let i = 0; i < rows.source.length; ++i) {
          values.push(new DataValue({
            value: rows.shown[i] ? new Variant({dataType: DataType.Double, value: rows.values[i]}) : nullVariant,
            statusCode: StatusCodes[rows.code[i]], sourceTimestamp: new Date(rows.source[i]),
            serverTimestamp: new Date(rows.server[i]),
          }));
        }
        callback(null, reverseDataValue ? values.reverse() : values);
      }, (e) => callback(e));
    },
  };
  variable.addressSpace.installHistoricalDataNode(variable, {historian});
  capHistoryPages(variable);
}

module.exports = {installHistory};
