// The gateway's entry point and its main loop.
#ifndef GATEWAY_GATEWAY_H
#define GATEWAY_GATEWAY_H

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/hold_policy.h"
#include "gateway/timing.h"
#include "platform/platform.h"
#include "recognition/glyph_set.h"
#include "stream/axis_stream.h"

// The exit codes are the contract's (stream/axis_contract.h).

// Runs the gateway from its command line (words[0] is the program's name) to its
// exit code.
int gateway_main(const std::vector<std::wstring>& words);

// How a cycle ended: done (the next may follow), or the jog window has gone.
enum class cycle_end { done, jog_window_closed };

// What the cycle carries from one cycle to the next.
struct cycle_state {
    axis_record record;  // filled in place: the reading, in slots 0 to 5; the rest stay zero
    hold_policy hold;
    window_rect placement;  // the jog window's client area at the last look
    bool placed = false;
};

// One cycle after the stop test and before the pause: copy, read, decide, send.
// jog_window_closed once the jog window has gone (and "Jog window closed" is
// posted to the console).
cycle_end run_cycle(const glyph_set& set, sender_state& state, cycle_state& cycle);

// The gateway's loop: the stop test, a cycle and the pause, until the test says
// stop or the jog window has gone. The test is the owner's in the gateway and the
// benchmark's own in cycle_bench.
cycle_end run_cycles(bool (*keep_going)(void* context), void* context, const glyph_set& set, sender_state& state);

// Copies, reads and sends once per cycle, 10 ms apart, until the owner window is
// gone (owner given) or a key is waiting at the console (no owner), or the jog
// window has gone. Values are sent only from a copy of the fields in full view;
// while they are not, the cycle holds (sends nothing, or with the state report
// says why) and says so once on the console.
cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state);

#endif  // GATEWAY_GATEWAY_H
