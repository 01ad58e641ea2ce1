// The live page: subscribes to the bridge's values topic and its status topic
// over MQTT on WebSockets and shows the six values, a plot of each and whether
// they are live. Broker and topic come from the page's address:
//   index.html?broker=ws://host:9001&topic=cell4/robot1/axes[&window=30][&jump=10]
// Served by the broker itself, the broker defaults to the page's own host.
"use strict";

(function () {
  const AXES = 6;
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
    connection: "connecting", status: null, reason: "", received: 0, repeats: 0, unreadable: 0,
    seq: null, texts: null, values: null, lastChange: null, plotted: 0,
    // The gateway's state report, as the bridge carries it: the values' state
    // ("live", "waiting", a cause of a hold; null from a source without the
    // report), when they were last confirmed, since when a hold lasts; whether the
    // page shows them as live, and when it last heard anything.
    valuesState: null, confirmed: null, since: null, live: false, lastHeard: null, shown: "",
    // For tests and bug reports: each change of the values' state with the time
    // the page took it (Date.now()), and every set of values it has shown as live.
    changes: [], liveSeen: [],
    points: () => times.length,
  };
  const liveSeen = new Set();

  const tiles = [];
  for (let k = 0; k < AXES; ++k) {
    const tile = document.createElement("div");
    tile.className = "axis";
    tile.innerHTML = '<div class="name">axis ' + (k + 1) + '</div><div class="value">-</div>';
    $("values").appendChild(tile);
    tiles.push(tile);
  }

  // One plot per axis over the last windowSeconds, all sharing the time column.
  const times = [];
  const columns = Array.from({length: AXES}, () => []);
  const plots = columns.map((column, k) => {
    const box = document.createElement("div");
    $("plots").appendChild(box);
    return new uPlot({
      width: 440, height: 170,
      title: "axis " + (k + 1),
      scales: {x: {time: true}},
      legend: {show: false},
      axes: [{}, {size: 70}],
      series: [{}, {stroke: COLOURS[k], width: 1.5, points: {show: false}}],
    }, [times, column], box);
  });
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
    plots.forEach((p, k) => p.setData([times, columns[k]]));
  }
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

  // The values exactly as the bridge wrote them (its shortest form: -0.0 stays
  // -0.0), and as numbers for the plot.
  function valueTexts(text) {
    const m = /"values":\s*\[([^\]]*)\]/.exec(text);
    if (!m) return null;
    const texts = m[1].split(",").map((t) => t.trim());
    return texts.length === AXES ? texts : null;
  }

  function onValues(text) {
    let seq, time, m = {};
    try {
      // The bridge writes Python's JSON, where a value that is no number would
      // read NaN or Infinity; the values are taken from the text in any case.
      m = JSON.parse(text.replace(/-?\b(NaN|Infinity)\b/g, "null"));
      seq = m.seq;
      time = m.time;
    } catch (e) {
      seq = undefined;
    }
    const texts = valueTexts(text);
    if (!Number.isInteger(seq) || typeof time !== "number" || texts === null) {
      ++state.unreadable;
      return;
    }
    if (state.seq !== null && seq <= state.seq) {
      if (seq !== 1) {  // delivered again (at least once): already shown
        ++state.repeats;
        return;
      }
      state.received = 0;  // a new run of the bridge
    }
    const valuesState = typeof m.state === "string" ? m.state : null;
    if (valuesState !== state.valuesState) state.changes.push({state: valuesState, at: Date.now()});
    state.valuesState = valuesState;
    state.confirmed = typeof m.confirmed === "number" ? m.confirmed : null;
    const values = texts.map(Number);
    const previous = state.values;
    const changed = state.texts === null || texts.some((t, k) => t !== state.texts[k]);
    state.seq = seq;
    state.arrivedAt = Date.now();
    ++state.received;
    state.texts = texts;
    state.values = values;
    if (changed) state.lastChange = Date.now();
    for (let k = 0; k < AXES; ++k) {
      tiles[k].querySelector(".value").textContent = texts[k];
      if (previous && Math.abs(values[k] - previous[k]) > jump) {
        tiles[k].classList.add("jumped");
        clearTimeout(tiles[k].jumpTimer);
        tiles[k].jumpTimer = setTimeout(() => tiles[k].classList.remove("jumped"), 1500);
      }
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

  // Live only while the bridge is online, the gateway says live (or, from a
  // source without the report, as before: while the bridge is online) and
  // something has been heard in the last 2 s; otherwise the values are dimmed.
  function showState() {
    const now = Date.now();
    const silent = state.lastHeard !== null && now - state.lastHeard > 2000;
    const v = state.valuesState;
    state.live = state.status === "online" && !silent && state.texts !== null && (v === "live" || v === null);
    let badge, good, detail;
    if (v === null) {
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

  function onStatus(text) {
    let s;
    try {
      s = JSON.parse(text);
    } catch (e) {
      ++state.unreadable;
      return;
    }
    state.status = s.state;
    state.reason = s.reason || "";
    if (typeof s.since === "number") state.since = s.since;
    setBadge("status", s.state, s.state === "online");
    $("reason").textContent = state.reason + (typeof s.exit_code === "number" ? " [exit code " + s.exit_code + "]" : "");
    // Values shown while the bridge is not online are its last, not live ones.
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
  client.on("message", (t, payload) => {
    state.lastHeard = Date.now();
    const text = new TextDecoder().decode(payload);
    if (t === statusTopic) onStatus(text);
    else if (t === topic) onValues(text);
  });
})();
