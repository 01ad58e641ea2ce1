// For hub_bench.py history:
//   history_read.js fill FOLDER ROBOT ROWS   writes ROWS updates of ROBOT (100 a second,
//                                            every axis changing) into the history in FOLDER
//   history_read.js read JSON                reads {"endpoint", "nodeId", "from", "to"} (ms) by
//                                            HistoryRead in pages of the server's size
// and prints one JSON line: what it wrote, or {"values", "pages", "seconds", "bytes", "first", "last"}.
"use strict";
const path = require("path");

async function read(how) {
  const opcua = require("node-opcua");
  const client = opcua.OPCUAClient.create({endpointMustExist: false, connectionStrategy: {maxRetry: 0}});
  await client.connect(how.endpoint);
  const session = await client.createSession();
  const historyRead = require("util").promisify(session.historyRead.bind(session));
  const details = new opcua.ReadRawModifiedDetails({startTime: new Date(how.from), endTime: new Date(how.to),
                                                    numValuesPerNode: 0, isReadModified: false, returnBounds: false});
  const bytes = client.bytesRead, start = process.hrtime.bigint();
  let values = 0, pages = 0, continuationPoint = null, first = null, last = null;
  do {
    const response = await historyRead(new opcua.HistoryReadRequest({
      nodesToRead: [{nodeId: how.nodeId, continuationPoint}], historyReadDetails: details,
      timestampsToReturn: opcua.TimestampsToReturn.Both,
    }));
    const result = response.results[0];
    const got = (result.historyData && result.historyData.dataValues) || [];
    if (got.length) {
      first = first === null ? got[0].sourceTimestamp.getTime() : first;
      last = got[got.length - 1].sourceTimestamp.getTime();
    }
    values += got.length;
    pages += 1;
    continuationPoint = result.continuationPoint;
  } while (continuationPoint && continuationPoint.length);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  console.log(JSON.stringify({values, pages, seconds, bytes: client.bytesRead - bytes, first, last}));
  await session.close();
  await client.disconnect();
}

function fill(folder, robot, rows) {
  const {Store} = require(path.join(__dirname, "..", "..", "hub", "lib", "history", "store.js"));
  const store = new Store(folder);
  const start = Date.now() - rows * 10 - 60000;
  for (let n = 0; n < rows;) {
    const batch = [];
    for (let k = 0; k < 200 && n < rows; ++k, ++n) {
      const t = start + n * 10;
      batch.push({robot, server: t, source: t - 8, code: "Good", state: "live", cause: null, seq: n + 1,
                  values: [Math.sin(n / 1000) * 180, -0.5 + n / 1e5, 300 + n / 1e4, -1234.6 + n, n % 2 ? -0 : 0, 7.7],
                  shown: true, axes: 63, time: t / 1000,
                  report: {state: "live", confirmed: (t - 8) / 1000, since: start / 1000, readings: n, made: t / 1000}});
    }
    store.append(batch);
  }
  store.close();
  console.log(JSON.stringify({filled: rows, from: start - 8, to: start + (rows - 1) * 10 - 8}));
}

if (process.argv[2] === "fill") fill(process.argv[3], process.argv[4], Number(process.argv[5]));
else read(JSON.parse(process.argv[3])).catch((e) => {
  console.log(JSON.stringify({error: e.message}));
  process.exit(1);
});
