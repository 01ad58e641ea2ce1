// A broker of the hub's own, for a PC where no broker is given: MQTT for the
// programs of this PC, and the live page over HTTP with MQTT on WebSocket, both
// on loopback only. The rules of the shipped broker configuration: only the
// hub's own connections write, with a login made anew at every start that
// never leaves the process; anyone else reads, without a login.
"use strict";

const crypto = require("crypto");
const fs = require("fs");
const http = require("http");
const net = require("net");
const path = require("path");

const OWN_LOGIN = "hub";
const LOOPBACK = "127.0.0.1";
const TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8", ".css": "text/css",
               ".md": "text/plain; charset=utf-8", ".png": "image/png"};

// The page's files, and nothing outside its folder.
function servePage(folder) {
  const root = path.resolve(folder);
  return (request, response) => {
    let wanted = null;
    try {
      wanted = decodeURIComponent(new URL(request.url, "http://here").pathname);
    } catch (e) {  // not a path at all
    }
    const file = wanted === null || wanted.includes("\0") ? ""
      : path.resolve(root, "." + (wanted === "/" ? "/index.html" : wanted));
    const type = TYPES[path.extname(file)];
    if (request.method !== "GET" || !file.startsWith(root + path.sep) || !type) {
      response.writeHead(404).end();
      return;
    }
    fs.readFile(file, (e, data) => {
      if (e) response.writeHead(404).end();
      else response.writeHead(200, {"Content-Type": type}).end(data);
    });
  };
}

const listen = (server, port) => new Promise((resolve, reject) => {
  server.once("error", reject);
  server.listen(port, LOOPBACK, () => {
    server.removeListener("error", reject);
    resolve();
  });
});

// {url, username, password, close()}: the broker listening on config.broker_port
// (MQTT) and config.page_port (the page, and MQTT over WebSocket); an Error naming
// the port that cannot be had.
async function startEmbeddedBroker(config) {
  const {Aedes} = require("aedes");  // an ES module, which require() loads on Node 22
  const {WebSocketServer, createWebSocketStream} = require("ws");
  const secret = Buffer.from(crypto.randomBytes(32).toString("hex"));
  const broker = await Aedes.createBroker();
  const ownIds = new Set();  // the hub's client ids: a reader taking one would push the hub off
  const refuse = (callback, returnCode, why) => callback(Object.assign(new Error(why), {returnCode}), false);
  broker.authenticate = (client, username, password, callback) => {
    const own = username === OWN_LOGIN && Buffer.isBuffer(password) && password.length === secret.length &&
      crypto.timingSafeEqual(password, secret);
    // A login, but not the hub's: refused, not taken as anonymous.
    if (username !== undefined && !own) return refuse(callback, 4, "bad user name or password");
    if (!own && ownIds.has(client.id)) return refuse(callback, 2, "that client id is the hub's");
    if (own) ownIds.add(client.id);
    client.own = own;
    callback(null, true);
  };
  // A refused publish closes the writer's connection (MQTT 3.1.1 has no other answer).
  broker.authorizePublish = (client, packet, callback) =>
    callback(client && client.own ? null : new Error("only the hub writes on this broker"));
  const mqttServer = net.createServer(broker.handle);
  const pageServer = http.createServer(servePage(config.page_folder));
  // The upgrade by hand: a WebSocketServer bound to the HTTP server would take its errors (a port in use) for its own.
  const sockets = new WebSocketServer({noServer: true});
  pageServer.on("upgrade", (request, socket, head) => sockets.handleUpgrade(request, socket, head, (ws) =>
    broker.handle(createWebSocketStream(ws), request)));
  const close = () => {
    mqttServer.close();
    pageServer.close();
    broker.close();
  };
  for (const [server, port, what] of [[mqttServer, config.broker_port, "MQTT"], [pageServer, config.page_port, "the page"]]) {
    try {
      await listen(server, port);
    } catch (e) {
      close();
      throw new Error("cannot listen on " + LOOPBACK + ":" + port + " for " + what + ": " + e.message, {cause: e});
    }
  }
  return {url: "mqtt://" + LOOPBACK + ":" + config.broker_port, username: OWN_LOGIN, password: secret.toString(), close};
}

module.exports = {startEmbeddedBroker};
