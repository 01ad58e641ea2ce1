// The OPC UA server: its endpoint and security, a folder Objects/Robots with
// each robot's nodes (nodes.js), and the same robots in the robotics companion
// model under Objects/DeviceSet (robotics.js).
"use strict";

const fs = require("fs");
const path = require("path");
const hooks = require("./library_hooks");
const {makeRobotNodes} = require("./nodes");
const {makeMotionDeviceSystem, nodesetsOf} = require("./robotics");
const {checkUser, readUsers} = require("../users");

const NAMESPACE = "urn:draxion:gateway:axes";

// {server, namespace, viewOf(settings)}: the server started; viewOf adds a robot's
// nodes. history: the recorder, whose history the axes serve, or null.
async function startServer(config, say, history = null) {
  const opcua = require("node-opcua");
  hooks.install(opcua);
  const users = config.users_file ? readUsers(config.users_file) : new Map();
  if (config.users_file && users.size === 0) say("no users in " + config.users_file + " yet: add one with --add-user");
  const policies = [opcua.SecurityPolicy.Basic256Sha256];
  const modes = [opcua.MessageSecurityMode.Sign, opcua.MessageSecurityMode.SignAndEncrypt];
  if (config.allow_security_none) {
    policies.push(opcua.SecurityPolicy.None);
    modes.push(opcua.MessageSecurityMode.None);
  }
  fs.mkdirSync(config.pki_folder, {recursive: true});
  const server = new opcua.OPCUAServer({
    port: config.port,
    nodeset_filename: nodesetsOf(opcua),
    securityPolicies: policies, securityModes: modes,
    allowAnonymous: config.allow_anonymous,
    userManager: {isValidUser: (name, password) => checkUser(users, name, password)},
    serverCertificateManager: new opcua.OPCUACertificateManager({
      rootFolder: path.join(config.pki_folder, "server"), automaticallyAcceptUnknownCertificate: config.trust_unknown_clients,
    }),
    userCertificateManager: new opcua.OPCUACertificateManager({rootFolder: path.join(config.pki_folder, "users")}),
    serverInfo: {applicationUri: "urn:draxion:gateway:opcua-server", productUri: "urn:draxion:gateway",
                 applicationName: {text: "Draxion axes"}},
    buildInfo: {productName: "Draxion hub", manufacturerName: "Draxion gateway"},
    serverCapabilities: {minSupportedSampleRate: 0},
  });
  await server.initialize();
  const addressSpace = server.engine.addressSpace;
  hooks.checkVariable(addressSpace.findNode("ns=0;i=2258"));  // the server's CurrentTime, a variable like ours
  if (history) hooks.setHistoryCapabilities(server);
  const namespace = addressSpace.getNamespace(NAMESPACE);
  const folder = namespace.addFolder(addressSpace.rootFolder.objects, {browseName: "Robots", nodeId: "s=Robots"});
  const system = makeMotionDeviceSystem(opcua, addressSpace, namespace, config.cell || "MotionDeviceSystem", config.machine);
  await server.start();
  return {server, namespace,
          viewOf: (settings) => makeRobotNodes(opcua, namespace, folder, settings, system.addDevice(settings), history)};
}

module.exports = {startServer, NAMESPACE};
