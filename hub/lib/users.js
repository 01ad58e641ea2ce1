// The OPC UA logins: a file of "name:salt:scrypt(password)" lines.
"use strict";

const crypto = require("crypto");
const fs = require("fs");

const hashOf = (password, salt) => crypto.scryptSync(password, Buffer.from(salt, "hex"), 32).toString("hex");

function readUsers(file) {
  const users = new Map();
  if (!fs.existsSync(file)) return users;
  for (const line of fs.readFileSync(file, "utf8").split(/\r?\n/)) {
    const [name, salt, hash] = line.split(":");
    if (name && salt && hash) users.set(name, {salt, hash});
  }
  return users;
}

// Adds or replaces a user; a message saying what is wrong, or null.
function addUser(file, name, password) {
  if (!/^[^:\s]{1,64}$/.test(name)) return "a user name has no spaces or colons";
  if (!password) return "no password";
  const users = readUsers(file);
  const salt = crypto.randomBytes(16).toString("hex");
  users.set(name, {salt, hash: hashOf(password, salt)});
  fs.writeFileSync(file, [...users].map(([n, u]) => n + ":" + u.salt + ":" + u.hash + "\n").join(""), {mode: 0o600});
  return null;
}

function checkUser(users, name, password) {
  const u = users.get(name);
  if (!u || typeof password !== "string") return false;
  return crypto.timingSafeEqual(Buffer.from(hashOf(password, u.salt), "hex"), Buffer.from(u.hash, "hex"));
}

module.exports = {readUsers, addUser, checkUser};
