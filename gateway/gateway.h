// The gateway's entry point and its main loop.
#ifndef GATEWAY_GATEWAY_H
#define GATEWAY_GATEWAY_H

#include <cstdint>
#include <string>
#include <vector>

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

// Copies, reads and sends once per cycle, 10 ms apart, until the owner window is
// gone (owner given) or a key is waiting at the console (no owner), or the jog
// window has gone. Values are sent only from a copy of the fields in full view;
// while they are not, the cycle holds (sends nothing) and says so once.
cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state);

#endif  // GATEWAY_GATEWAY_H
