// The hub's exit codes, in one place: hub.js ends with them, and the docs'
// tables of them are compared with this one by a test.
"use strict";

const EXITS = [
  [0, "stopped", "stopped (Ctrl+C), or its recordings ended, with every update delivered"],
  [1, "fault", "a fault of the hub itself; its message says where (please report it)"],
  [2, "usage", "bad arguments or configuration, with what is wrong"],
  [3, "broker", "the MQTT broker cannot be reached at start, or refuses the login, the certificate or the publishes"],
  [4, "server", "the OPC UA server cannot start (its port taken, its certificate folder unwritable), " +
   "or a library the hub relies on has changed"],
  [5, "undelivered", "updates were not delivered, or the broker refused them"],
  [130, "interrupted", "Ctrl+C while the password for --add-user was asked for"],
];
const EXIT = Object.fromEntries(EXITS.map(([code, name]) => [name, code]));

// A failure that ends the hub with its exit code; the message says why.
class HubExit extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

module.exports = {EXITS, EXIT, HubExit};
