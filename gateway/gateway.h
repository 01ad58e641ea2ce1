// The gateway's entry point and its main loop.
#ifndef GATEWAY_GATEWAY_H
#define GATEWAY_GATEWAY_H

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/hold_policy.h"
#include "platform/platform.h"
#include "recognition/glyph_set.h"
#include "stream/axis_stream.h"

inline constexpr std::uint32_t cycle_pause_ms = 10;

// At the end of a run, how long the lines still waiting for the console get to
// be written: a console that takes nothing must not keep the gateway alive.
inline constexpr std::uint32_t final_console_wait_ms = 500;

// The exit codes are the contract's (stream/axis_contract.h).

// Runs the gateway from its command line (words[0] is the program's name) to its
// exit code.
int gateway_main(const std::vector<std::wstring>& words);

enum class cycle_end { stopped, jog_window_closed };

// What the cycle carries from one cycle to the next.
struct cycle_state {
    axis_record record;  // filled in place; slots 6 to 47 stay zero for the whole run
    hold_policy hold;
    // This cycle's probe rows and blank fields, the previous cycle's blank fields,
    // and those of the last trusted reading (see hold_policy.h).
    std::vector<pixel> rows, trusted_rows;
    std::uint32_t blank = 0, previous_blank = 0, trusted_blank = 0;
    window_rect placement;  // the jog window's client area at the last look
    bool placed = false;
    int cycles = 0, looks_without_jog = 0;
};

// One cycle after the stop test and before the pause: copy, read, decide, send.
// jog_window_closed once the jog window has gone (and "Jog window closed" is
// printed), else stopped, which here means only that the cycle is done.
cycle_end run_cycle(const glyph_set& set, sender_state& state, cycle_state& cycle);

// Copies, reads and sends once per cycle, 10 ms apart, until the owner window is
// gone (owner given) or a key is waiting at the console (no owner), or the jog
// window has gone. Values are sent only from a copy of the fields in full view;
// while they are not, the cycle holds (sends nothing) and says so once.
cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state);

#endif  // GATEWAY_GATEWAY_H
