// The live page: subscribes to the hub's values topic and its status topic
// over MQTT on WebSockets and shows the six values, a plot of each and whether
// they are live. Broker and topic come from the page's address:
//   index.html?broker=ws://host:9001&topic=cell4/robot1/axes[&window=30][&jump=10]
// Served by the broker itself, the broker defaults to the page's own host.
"use strict";

(function () {
  // The messages' shapes, states, time range and live rule, as the hub writes them.
  const M = window.draxionMessages;
  const AXES = M.AXES;
  const COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf"];
  const $ = (id) => document.getElementById(id);
  const query = new URLSearchParams(location.search);
  const ownHost = location.protocol === "https:" ? "wss://" + location.host
                : location.protocol === "http:" ? "ws://" + location.host : "";
  const broker = query.get("broker") || ownHost;
  const topic = query.get("topic");
  const windowSeconds = Math.max(1, Number(query.get("window")) || 30);
  const jump = Number(query.get("jump")) || 10;

  if (!broker || !topic) {  // nothing to show yet: ask
    const form = $("setup");
    form.style.display = "flex";
    form.broker.value = broker;
    form.window.value = windowSeconds;
    form.addEventListener("submit", (e) => {
      e.preventDefault();
      const next = new URLSearchParams({broker: form.broker.value, topic: form.topic.value, window: form.window.value});
      location.search = next.toString();
    });
    return;
  }
  $("topic").textContent = topic;
  $("jump").textContent = String(jump);

  // What the page has seen, also for tests that drive it.
  const state = window.draxionLive = {
    connection: "connecting", connectedAt: null, status: null, reason: "", received: 0, repeats: 0, unreadable: 0,
    seq: null, texts: null, values: null, lastChange: null, plotted: 0,
    // The gateway's state report, as the hub carries it: the values' state
    // ("live", "waiting", a cause of a hold; null from a source without the
    // report), when they were last confirmed, since when that state holds;
    // whether the values are current (the messages' rule for retained ones),
    // whether the page shows them as live, and when it last heard anything.
    valuesState: null, confirmed: null, since: null, fresh: false, live: false, lastHeard: null, shown: "",
    // For tests and bug reports: each change of the values' state with the time
    // the page took it (Date.now()), each change of since with the state it was
    // taken with, and every set of values it has shown as live.
    changes: [], sinceChanges: [], liveSeen: [],
    points: () => times.length, notes: () => notes.map((n) => n.textContent),
  };
  const liveSeen = new Set();
  const notes = [];

  const tiles = [], shownValues = [], shownLengths = [];
  for (let k = 0; k < AXES; ++k) {
    const tile = document.createElement("div");
    tile.className = "axis";
    tile.innerHTML = '<div class="name">axis ' + (k + 1) + '</div><div class="value">-</div>';
    $("values").appendChild(tile);
    tiles.push(tile);
    shownValues.push(tile.querySelector(".value"));
    shownLengths.push(1);
  }

  // One plot per axis over the last windowSeconds, all sharing the time column.
  // A column whose magnitude lies outside what the plot's ticks can show (any
  // double may arrive, up to 1.8e308 and down to 5e-324) is drawn divided by a
  // power of ten, and its labels say which.
  const times = [];
  const columns = Array.from({length: AXES}, () => []);
  const exponents = columns.map(() => 0);
  const plots = columns.map((column, k) => {
    const box = document.createElement("div");
    box.className = "plot";
    $("plots").appendChild(box);
    const plot = new uPlot({
      width: 440, height: 170,
      title: "axis " + (k + 1),
      scales: {x: {time: true}},
      legend: {show: false},
      axes: [
        // One line per label, and room for the longest (with milliseconds).
        {space: 100, values: [[1, "{HH}:{mm}:{ss}"], [1e-3, "{HH}:{mm}:{ss}.{fff}"]]},
        {size: 70, values: (u, splits) => splits.map((v) => exponents[k] === 0 || v === 0 ? uPlot.fmtNum(v)
          : +v.toPrecision(4) + "e" + exponents[k])},
      ],
      series: [{}, {stroke: COLOURS[k], width: 1.5, points: {show: false}}],
    }, [times, column], box);
    const note = document.createElement("div");
    note.className = "note";
    box.appendChild(note);
    notes.push(note);
    return plot;
  });
  // The column divided by 10^e, in two factors so that neither overflows nor underflows.
  const scaled = (column, e) => {
    const h = Math.trunc(e / 2), f1 = Math.pow(10, -h), f2 = Math.pow(10, h - e);
    return column.map((v) => v * f1 * f2);
  };
  // Unscaled, what fits the axis's 70 px in its own digits.
  function exponentFor(column) {
    let m = 0;
    for (const v of column) m = Math.max(m, Math.abs(v));
    return m === 0 || (m >= 1e-2 && m < 1e6) ? 0 : Math.floor(Math.log10(m));
  }
  let drawPending = false;
  function draw() {
    drawPending = false;
    if (times.length === 0) return;
    // Keep the window: drop what is older than windowSeconds before the newest.
    const oldest = times[times.length - 1] - windowSeconds;
    let cut = 0;
    while (cut < times.length && times[cut] < oldest) ++cut;
    if (cut > 0) {
      times.splice(0, cut);
      columns.forEach((c) => c.splice(0, cut));
    }
    plots.forEach((p, k) => {
      try {  // one plot that fails says why, and the others draw
        exponents[k] = exponentFor(columns[k]);
        p.setData([times, exponents[k] === 0 ? columns[k] : scaled(columns[k], exponents[k])]);
        notes[k].textContent = "";
      } catch (e) {
        notes[k].textContent = "not plotted: " + e.message;
      }
    });
  }
  // The plots too, for tests; not enumerable, so that a copy of the state leaves them out.
  Object.defineProperty(state, "plots", {value: plots});
  // Many updates a second, one drawing per 50 ms: every update is in the data.
  function drawSoon() {
    if (!drawPending) {
      drawPending = true;
      setTimeout(draw, 50);
    }
  }

  function setBadge(id, text, good) {
    const el = $(id);
    el.textContent = text;
    el.className = "badge" + (good === true ? " good" : good === false ? " bad" : "");
  }

  // Every message goes through the JSON parser. The numbers inside arrays keep
  // the text they were written in where the browser gives the parser's source
  // (the hub's shortest form: -0.0 stays -0.0); elsewhere they are shown in
  // the shortest form that reads back the same (-0 kept).
  function parse(text) {
    const sources = new WeakMap();
    const value = JSON.parse(text, function (key, v, context) {
      if (Array.isArray(this) && typeof v === "number" && context && typeof context.source === "string") {
        if (!sources.has(this)) sources.set(this, []);
        sources.get(this)[key] = context.source;
      }
      return v;
    });
    return {value, sources};
  }
  const shortest = (v) => Object.is(v, -0) ? "-0" : String(v);

  // An update as the messages' contract has it; anything else throws.
  function readUpdate(text) {
    const {value: m, sources} = parse(text);
    if (M.checkUpdate(m) === null) throw new Error("not an update");
    const written = sources.get(m.values);
    return {m, texts: m.values.map((v, k) => written && written[k] !== undefined ? written[k] : shortest(v))};
  }

  // since, taken only together with the state it belongs to.
  function setSince(since) {
    if (since === state.since) return;
    state.since = since;
    state.sinceChanges.push({state: state.valuesState, since});
  }

  function onValues(text, retained) {
    const {m, texts} = readUpdate(text);
    const seq = m.seq, time = m.time;
    state.lastHeard = Date.now();
    state.fresh = M.freshAfterUpdate(state.fresh, retained, state.status);
    if (state.seq !== null && seq <= state.seq) {
      if (seq !== 1) {  // delivered again (at least once): already shown
        ++state.repeats;
        return;
      }
      state.received = 0;  // a new run of the hub
    }
    const valuesState = m.state === undefined ? null : m.state;
    if (valuesState !== state.valuesState) state.changes.push({state: valuesState, at: Date.now()});
    state.valuesState = valuesState;
    state.confirmed = typeof m.confirmed === "number" ? m.confirmed : null;
    setSince(m.since !== undefined ? m.since : null);
    const values = m.values;
    const previous = state.values;
    const changed = state.texts === null || texts.some((t, k) => t !== state.texts[k]);
    state.seq = seq;
    state.arrivedAt = Date.now();
    ++state.received;
    state.texts = texts;
    state.values = values;
    if (changed) state.lastChange = Date.now();
    for (let k = 0; k < AXES; ++k) {
      const shown = shownValues[k];
      shown.textContent = texts[k];
      // On one line, whole: a long number gets a smaller font, in proportion.
      if (texts[k].length !== shownLengths[k]) {
        shownLengths[k] = texts[k].length;
        shown.style.fontSize = texts[k].length <= 10 ? "" : "min(1.7rem, " + (160 / texts[k].length).toFixed(2) + "cqi)";
      }
      if (previous && Math.abs(values[k] - previous[k]) > jump) {
        tiles[k].classList.add("jumped");
        clearTimeout(tiles[k].jumpTimer);
        tiles[k].jumpTimer = setTimeout(() => tiles[k].classList.remove("jumped"), 1500);
      }
    }
    // The plots need times in order: a clock that went back starts them anew.
    if (times.length > 0 && time < times[times.length - 1]) {
      times.length = 0;
      columns.forEach((c) => { c.length = 0; });
    }
    times.push(time);
    values.forEach((v, k) => columns[k].push(v));
    ++state.plotted;
    $("received").textContent = String(state.received);
    $("seq").textContent = String(seq);
    showState();
    drawSoon();
  }

  const utcText = (seconds) => new Date(seconds * 1000).toISOString().slice(11, 23) + " UTC";

  // Live by the messages' live rule (the hub online, the values current, the
  // gateway's state live or not reported, nothing silent for long); otherwise
  // the values are dimmed.
  function showState() {
    const now = Date.now();
    const silentMs = state.lastHeard === null ? 0 : now - state.lastHeard;
    const silent = state.texts !== null && silentMs > M.SILENCE_S * 1000;
    const v = state.valuesState;
    state.live = state.texts !== null && M.isLive(state.status, state.fresh, v, silentMs);
    let badge, good, detail;
    if (state.texts === null) {
      // No values yet: once connected for a while, say which topic is listened to, so that a wrong one shows.
      const waited = state.connection === "connected" && now - state.connectedAt > M.SILENCE_S * 1000;
      [badge, good, detail] = ["-", undefined, !waited ? "" : "listening to " + topic + ": " +
        (state.lastHeard === null ? "nothing received on this topic yet" : "no values received on this topic yet")];
    } else if (!state.fresh && state.status !== "offline") {
      // What the broker kept, or the hub's last run's: not the robot's now until the hub sends again.
      [badge, good, detail] = ["not current", undefined, "the last values kept; current with the hub's next update"];
    } else if (v === null) {
      [badge, good, detail] = ["no state report", undefined, "the source says nothing of holds"];
    } else if (v === "live") {
      [badge, good] = ["live", true];
      detail = state.confirmed === null ? "" : "age " + Math.max(0, now / 1000 - state.confirmed).toFixed(1) + " s";
    } else if (v === "waiting") {
      [badge, good, detail] = ["waiting", undefined, "not yet confirmed on screen"];
    } else {
      [badge, good] = ["held (" + v + ")", false];
      detail = "held since " + (state.since !== null ? utcText(state.since) : "-");
    }
    setBadge("valuesState", badge, good);
    state.shown = silent ? "nothing heard for " + ((now - state.lastHeard) / 1000).toFixed(1) + " s" : detail;
    $("valuesDetail").textContent = state.shown;
    $("valuesDetail").className = silent ? "badge bad" : "";
    $("values").classList.toggle("held", !state.live);
    if (state.live && !liveSeen.has(state.texts.join(","))) {
      liveSeen.add(state.texts.join(","));
      state.liveSeen.push(state.texts.join(","));
    }
  }

  // A status: a top-level object with a state; reason, since and exit_code used
  // where they are of their kind. Anything else throws.
  function onStatus(text) {
    const s = JSON.parse(text);
    if (M.checkStatus(s) === null) throw new Error("not a status");
    state.lastHeard = Date.now();
    state.status = s.state;
    state.fresh = M.freshAfterStatus(state.fresh, s.state);
    state.reason = typeof s.reason === "string" ? s.reason : "";
    // The status says a change of state before its values message comes: its
    // since is taken only where it names the state the page shows.
    const named = s.values_state === "held" ? s.cause : s.values_state;
    if (M.isTime(s.since) && named === state.valuesState) setSince(s.since);
    setBadge("status", s.state, s.state === "online");
    $("reason").textContent = state.reason + (Number.isInteger(s.exit_code) ? " [exit code " + s.exit_code + "]" : "");
    // Values shown while the hub is not online are its last, not live ones.
    showState();
  }

  setInterval(() => {
    $("since").textContent = state.lastChange === null ? "-"
      : ((Date.now() - state.lastChange) / 1000).toFixed(1) + " s ago";
    showState();
  }, 200);

  const client = mqtt.connect(broker, {
    clientId: "draxion-live-" + Math.random().toString(16).slice(2, 10),
    clean: true, reconnectPeriod: 1000, connectTimeout: 5000, keepalive: 10,
  });
  const statusTopic = topic + "/status";
  client.on("connect", () => {
    state.connection = "connected";
    state.connectedAt = Date.now();
    state.fresh = false;  // until the hub sends again, what comes is what the broker kept
    setBadge("connection", "connected to " + broker, true);
    client.subscribe([topic, statusTopic], {qos: 1});
  });
  client.on("reconnect", () => {
    state.connection = "reconnecting";
    setBadge("connection", "reconnecting to " + broker, false);
  });
  client.on("close", () => {
    if (state.connection === "connected") {
      state.connection = "lost";
      setBadge("connection", "lost " + broker + ", reconnecting", false);
    }
  });
  // A message that cannot be read is counted and changes nothing else; nothing
  // it does escapes into the MQTT library, which would stop handling messages.
  const utf8 = new TextDecoder("utf-8", {fatal: true});
  client.on("message", (t, payload, packet) => {
    try {
      const text = utf8.decode(payload);
      if (t === statusTopic) onStatus(text);
      else if (t === topic) onValues(text, packet.retain);
    } catch (e) {
      ++state.unreadable;
    }
  });
})();
