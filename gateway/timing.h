// Every timing constant of the capture cycle, the hold and the state report, in
// one place. Counts of cycles are of the gateway's own cycle: its work and the
// pause, about 10.6 ms.
#ifndef GATEWAY_TIMING_H
#define GATEWAY_TIMING_H

#include <cstdint>

#include "stream/axis_contract.h"

// The pause at the end of every cycle.
inline constexpr std::uint32_t cycle_pause_ms = 10;

// Cycles the view must stay whole after a hold, or after the jog window has
// moved, before values go out again: what was covered or off screen shows the
// host's pixels only once the host has repainted it.
inline constexpr int view_settle_cycles = 10;

// Cycles an unfamiliar reading must stay steady, with the view whole, before it
// goes out: longer than the settle, because nothing but time tells unpainted
// pixels from a background the host has really changed.
inline constexpr int reading_confirm_cycles = 25;

// ... and where the probe rows have changed to something that is no field's
// background (not white, grey or the dark line under a field): an unpainted
// window's black, another window's remnants. Those last only until the host
// repaints, which a busy host may put off for a while; a host that has really
// changed its colours is believed after this long (about 3 s).
inline constexpr int foreign_confirm_cycles = 300;

// Cycles a cause must last before the hold is announced on the console. The hold
// itself begins at once; the line waits, so that a window passing over the
// fields, or a host taking its windows down as it closes (they are hidden
// first), says nothing.
inline constexpr int hold_announce_cycles = 10;

// The jog window's existence is looked at every this many cycles (under some
// systems the look costs as much as the copy, and a copy of a closed window only
// fails), and a closed one ends the run once this many looks in a row have missed
// it: a host that closes its main window takes its jog window down first, and
// the owner test gets these cycles to see a normal stop.
inline constexpr int jog_check_interval = 10;
inline constexpr int jog_missed_looks = 2;

// With the state report, the view is looked at every this many cycles even while
// nothing changes (about 0.1 s), and at once when the fields' background differs
// from the trusted one, so that a hold is noticed and reported within a fraction
// of a second; without it, only when a record would go out. A look walks the
// windows above the jog window and costs tens of microseconds (hundreds on a busy
// machine): every cycle would cost a few tenths of a core.
inline constexpr int report_look_interval = 10;

// With the state report, a record goes out at least this often while nothing
// changes, so that a gateway that has stopped can be told from a still robot.
inline constexpr std::int64_t report_heartbeat_us = std::int64_t(axis_report_heartbeat_ms) * 1000;

// At the end of a run, how long the lines still waiting for the console get to
// be written: a console that takes nothing must not keep the gateway alive.
inline constexpr std::uint32_t final_console_wait_ms = 500;

#endif  // GATEWAY_TIMING_H
