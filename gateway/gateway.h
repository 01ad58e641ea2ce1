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

// Exit codes, as the process's 32-bit exit status.
inline constexpr int exit_stopped = 0;            // owner window gone, or a key pressed
inline constexpr int exit_framework_failed = 1;
inline constexpr int exit_no_host_or_pipe = -2;   // 0xFFFFFFFE
inline constexpr int exit_no_jog_window = -3;     // 0xFFFFFFFD
inline constexpr int exit_glyphs_unreadable = -4; // 0xFFFFFFFC: the glyph bitmaps cannot be loaded (damaged, or
                                                  // a display that is not 32 bits per pixel)
inline constexpr int exit_jog_window_closed = -5; // 0xFFFFFFFB: the jog window went while cycling
inline constexpr int exit_bad_pipe_name = -6;     // 0xFFFFFFFA: the third word names no pipe

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
