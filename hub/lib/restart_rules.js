// When the hub starts a kept gateway again, and what its end means. Pure: the
// keeper (sources/kept_gateway.js) feeds it.
"use strict";

const {exitCodeMeaning} = require("./contract");

// The pause before a restart: 1 s after a run that was live, doubling with each
// end in a row that was not, up to 30 s; each stretched by up to half at random,
// so that the robots of a cell do not start again in step.
const FIRST_S = 1;
const LONGEST_S = 30;
const JITTER = 0.5;
// A gateway whose pipe the hub cannot read this long after its start serves
// someone else (its one client): only a new one helps.
const PIPE_READ_LIMIT_S = 20;
// The gateway speaks at least every 0.5 s (its state report): one silent this
// long on a pipe the hub reads is hung.
const HUNG_S = 10;

// When the hub gives up on a gateway, as data. Some exits no restart can mend:
// it gives up on them at once. Other ends restart, unless the gateway keeps
// ending without ever being live: after UNSTABLE_RUNS such ends within
// UNSTABLE_PERIOD_S it gives up too (at the longest pause, ten ends take some
// four minutes: a gateway that cannot work is not started all night).
const RESTART_POLICY = {
  never: new Map([
    [-4, "the glyphs cannot be used on this display (set it to 32 bits per pixel) or are damaged"],
    [-6, "the pipe name is refused by the gateway"],
  ]),
  unstableRuns: 10,
  unstablePeriodS: 600,
};

// What to do after a run's end: {restart: true} or {giveUp: why}. code: its exit
// code (null: unknown); unstableEnds: the times (ms) of the ends without live
// values so far, this one included where it was one.
function afterEnd(code, unstableEnds, now, policy = RESTART_POLICY) {
  if (policy.never.has(code)) return {giveUp: "no restart can mend exit code " + code + ": " + policy.never.get(code)};
  const recent = unstableEnds.filter((t) => now - t < policy.unstablePeriodS * 1000).length;
  if (recent >= policy.unstableRuns)
    return {giveUp: recent + " runs in a row ended within " + policy.unstablePeriodS / 60 + " minutes without live values"};
  return {restart: true};
}

// failures: the ends in a row without live values, this one included (1 or more);
// random: in [0, 1).
const restartDelayS = (failures, random) =>
  Math.min(LONGEST_S, FIRST_S * 2 ** Math.min(failures - 1, 16)) * (1 + JITTER * random);

// Why a run ended: its exit code (null: unknown), the text of the error box it
// showed (or null), its pipe, and why the hub stopped it (or false).
function endText(code, box, pipe, stoppedBecause) {
  const stopped = stoppedBecause ? "the hub stopped the gateway, as " + stoppedBecause + "; " : "";
  if (code === null) return stopped + "the gateway has ended (its exit code is unknown)";
  // -2 is the host's absence (with its box) or a pipe that is not free (without).
  const meaning = code === -2 && box === null ? pipe + " is taken (by another gateway?)"
    : code === -2 ? "no Draxion3 main window" : exitCodeMeaning(code);
  return stopped + "the gateway ended with exit code " + code + ": " + meaning;
}

// What the keeper waits for before it starts the gateway: "host" or "jog".
const waitText = (what, number) => what === "host" ? "no Draxion3 main window yet"
  : "no jog window of robot" + number + " yet: open it, not docked";

module.exports = {RESTART_POLICY, afterEnd, restartDelayS, endText, waitText, PIPE_READ_LIMIT_S, HUNG_S};
