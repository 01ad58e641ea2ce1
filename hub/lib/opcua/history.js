// OPC UA history of the axes, from the hub's history (history/recorder.js): each
// axis variable, and its mirror in the robotics model, is Historizing, and
// HistoryRead ReadRaw gives back the DataValues the variable was given, as they
// were recorded: values bit for bit, status codes, source timestamps.
//
// The read is the hub's own, a page at a time: each page is read from the file
// when it is asked for, and a continuation point holds only where the read
// stands. (The library reads a whole range into memory before it pages it: a
// day of one axis would be millions of DataValues, held until the client has
// taken them all or goes.)
"use strict";

const crypto = require("crypto");
const {replaceHistoryRead, HISTORY_PAGE} = require("./library_hooks");

const POINTS = 50;  // continuation points a session holds; a new one past that frees the oldest
const sessions = new WeakMap();  // session -> Map(point's hex -> read under way)

function installHistory(opcua, variable, robot, axis, history) {
  const {DataType, DataValue, HistoryData, HistoryReadResult, StatusCodes, Variant, isMinDate} = opcua;
  const nullVariant = new Variant({dataType: DataType.Null});
  const answer = (statusCode, dataValues = [], continuationPoint = undefined) =>
    new HistoryReadResult({statusCode, continuationPoint, historyData: new HistoryData({dataValues})});

  // The read's next page; the read stays under its point while more remain.
  async function page(points, key, read) {
    const want = Math.min(read.page, read.left);
    const rows = await history.axisPage(robot, axis, read.from, read.to, read.descending, read.after, want + 1);
    const n = Math.min(want, rows.source.length);
    const values = [];
    for (let i = 0; i < n; ++i) {
      values.push(new DataValue({
        value: rows.shown[i] ? new Variant({dataType: DataType.Double, value: rows.values[i]}) : nullVariant,
        statusCode: StatusCodes[rows.code[i]], sourceTimestamp: new Date(rows.source[i]),
        serverTimestamp: new Date(rows.server[i]),
      }));
    }
    if (n > 0) read.after = [rows.source[n - 1], rows.id[n - 1]];
    read.left -= n;
    if (rows.source.length > want && read.left > 0) {
      if (key === null) {
        key = crypto.randomBytes(16).toString("hex");
        if (points.size >= POINTS) points.delete(points.keys().next().value);
        points.set(key, read);
      }
      return answer(StatusCodes.Good, values, Buffer.from(key, "hex"));
    }
    if (key !== null) points.delete(key);
    // Nothing at all in the range (a first page, which has no point yet) is GoodNoData.
    return answer(n === 0 && key === null ? StatusCodes.GoodNoData : StatusCodes.Good, values);
  }

  // A ReadRaw: a start and an end (an end before the start: the newest first),
  // in pages of numValuesPerNode (at most HISTORY_PAGE; 0: HISTORY_PAGE); or one
  // of them and numValuesPerNode values from it (forward from a start, back
  // from an end), in pages of at most HISTORY_PAGE.
  async function readRaw(session, details, continuation) {
    if (!sessions.has(session)) sessions.set(session, new Map());
    const points = sessions.get(session);
    if (continuation.continuationPoint && continuation.continuationPoint.length) {
      const key = continuation.continuationPoint.toString("hex");
      const read = points.get(key);
      if (read === undefined) return answer(StatusCodes.BadContinuationPointInvalid);
      if (continuation.releaseContinuationPoints) {
        points.delete(key);
        return answer(StatusCodes.Good);
      }
      return page(points, key, read);
    }
    if (continuation.releaseContinuationPoints) return answer(StatusCodes.Good);
    const count = details.numValuesPerNode;
    const [noStart, noEnd] = [isMinDate(details.startTime), isMinDate(details.endTime)];
    if ((noStart && noEnd) || (noStart && count === 0)) return answer(StatusCodes.BadHistoryOperationUnsupported);
    const [start, end] = [noStart ? null : details.startTime.getTime(), noEnd ? null : details.endTime.getTime()];
    const read = {
      from: noStart ? 0 : noEnd ? start : Math.min(start, end),
      to: noEnd ? Number.MAX_SAFE_INTEGER : noStart ? end : Math.max(start, end),
      descending: noStart || (!noEnd && end < start),
      after: null,
      left: noStart || noEnd ? count || Infinity : Infinity,
      page: Math.min(count || HISTORY_PAGE, HISTORY_PAGE),
    };
    return page(points, null, read);
  }

  variable.addressSpace.installHistoricalDataNode(variable, {historian: {
    push() {},  // the robot records what it shows
    extractDataValues(details, max, isReversed, reverse, callback) {
      callback(new Error("the hub reads its history itself"));
    },
  }});
  replaceHistoryRead(variable, (context, details, continuation, callback) => {
    readRaw(context.session, details, continuation).then((result) => callback(null, result), (e) => callback(e));
  });
}

module.exports = {installHistory};
