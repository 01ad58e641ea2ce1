"use strict";
// What the hub's suites share: waiting for evidence, a free port, a mosquitto of
// a test's own on 127.0.0.1, the certificates of a TLS one (openssl), and a line
// to the broker that a test cuts and mends.
const {execFileSync, spawn} = require("child_process");
const fs = require("fs");
const net = require("net");
const os = require("os");
const path = require("path");

const MOSQUITTO = ["/usr/sbin/mosquitto", "/usr/bin/mosquitto"].find((f) => fs.existsSync(f)) || "mosquitto";

const temporaryFolder = () => fs.mkdtempSync(path.join(os.tmpdir(), "draxion-hub-test-"));

// Polls check() until it holds; a failure saying what never came after 30 s.
async function until(check, what) {
  for (const end = Date.now() + 30000; !check();) {
    if (Date.now() > end) throw new Error("never: " + (typeof what === "function" ? what() : what));
    await new Promise((r) => setTimeout(r, 10));
  }
}

function listen(server) {
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server.address().port)));
}

// A port of 127.0.0.1 that was free a moment ago.
async function freePort() {
  const probe = net.createServer();
  const port = await listen(probe);
  await new Promise((r) => probe.close(r));
  return port;
}

// mosquitto on a free port of 127.0.0.1 (or the port given: a broker started again)
// with the lines given for its listener
// (and a password file of logins {name: password}); resolved once it runs.
async function startMosquitto(folder, lines = [], logins = {}, port = null) {
  port = port || await freePort();
  const passwords = path.join(folder, "passwords");
  for (const [k, [user, password]] of Object.entries(logins).entries())
    execFileSync("mosquitto_passwd", ["-b", ...(k === 0 ? ["-c"] : []), passwords, user, password]);
  const config = path.join(folder, "mosquitto.conf");
  fs.writeFileSync(config, ["log_dest stderr", "log_type error", "log_type warning", "log_type notice",
                            "log_type information", "user " + os.userInfo().username, "listener " + port + " 127.0.0.1",
                            ...lines, ...(Object.keys(logins).length ? ["password_file " + passwords] : [])].join("\n") + "\n");
  const child = spawn(MOSQUITTO, ["-c", config], {stdio: ["ignore", "ignore", "pipe"]});
  let log = "";
  await new Promise((resolve, reject) => {
    child.stderr.on("data", (d) => {
      log += d;
      if (/mosquitto version \S+ running/.test(log)) resolve();
    });
    child.on("exit", (code) => reject(new Error("mosquitto ended (" + code + "): " + log)));
  });
  return {
    port, url: "mqtt://127.0.0.1:" + port,
    stop: () => new Promise((r) => {
      child.once("exit", r);
      child.kill();
    }),
  };
}

// A certificate authority, a broker's certificate for 127.0.0.1 and a client's,
// both signed by it; their PEM texts.
function makeCertificates(folder) {
  const openssl = (...args) => execFileSync("openssl", args, {cwd: folder, stdio: "pipe"});
  const ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"];
  openssl("req", "-x509", ...ec, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=test authority");
  for (const [name, extension] of [["server", "subjectAltName=IP:127.0.0.1"], ["client", "extendedKeyUsage=clientAuth"]]) {
    openssl("req", ...ec, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name);
    fs.writeFileSync(path.join(folder, name + ".ext"), extension + "\n");
    openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", name + ".crt", "-days", "2", "-extfile", name + ".ext");
  }
  const text = (file) => fs.readFileSync(path.join(folder, file), "utf8");
  return {ca: text("ca.crt"), cert: text("client.crt"), key: text("client.key")};
}

// A line to the broker at port: cut() ends every connection through it and
// refuses new ones until mend().
async function brokerLine(port) {
  const sockets = new Set();
  let open = true;
  const server = net.createServer((near) => {
    if (!open) return near.destroy();
    const far = net.connect(port, "127.0.0.1");
    near.pipe(far).pipe(near);
    for (const s of [near, far]) {
      sockets.add(s);
      s.on("error", () => {});
      s.on("close", () => {
        sockets.delete(s);
        near.destroy();
        far.destroy();
      });
    }
  });
  const own = await listen(server);
  return {
    url: "mqtt://127.0.0.1:" + own,
    cut: () => {
      open = false;
      sockets.forEach((s) => s.destroy());
    },
    mend: () => {
      open = true;
    },
    close: () => {
      sockets.forEach((s) => s.destroy());
      server.close();
    },
  };
}

module.exports = {startMosquitto, makeCertificates, brokerLine, freePort, until, temporaryFolder};
