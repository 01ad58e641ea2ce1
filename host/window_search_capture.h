// Finding the simulator's windows by their titles, and copying the jog window's
// pixels into the frame once per cycle. The windows, drawing contexts, capture
// bitmap and frame found or made here are process-wide and live for the run.
#ifndef HOST_WINDOW_SEARCH_CAPTURE_H
#define HOST_WINDOW_SEARCH_CAPTURE_H

#include <cstdint>
#include <string>

#include "host/jog_view.h"
#include "platform/platform.h"
#include "recognition/field_reader.h"
#include "recognition/glyph_set.h"

inline constexpr const char* main_window_title = "Draxion3";
inline constexpr int title_buffer_size = 1024;
inline constexpr int title_read_limit = 1023;  // a title keeps at most 1022 characters

// The robot's name, "robot%u" (the number formatted unsigned: -1 is
// robot4294967295), and the pattern its jog window's title holds, "jog - %s (".
// Every robot's jog window title starts its pattern with jog_title_prefix.
inline constexpr const char* jog_title_prefix = "jog - ";
std::string robot_name(std::int32_t robot);
std::string jog_title_pattern(const std::string& robot_name);

// The first top-level window, in the platform's order, whose title contains
// "Draxion3"; null if there is none.
window_handle find_main_window();

// Where the jog search starts: the main window's first enabled popup, or the main
// window itself when it owns none.
window_handle first_jog_candidate(window_handle main);

// Walks the Z-order from first, printing every title it reads ("%s\n"), until a
// title contains the pattern; null if none does, or after window_walk_limit windows.
// With a visitor, each title goes to it instead of the console.
using title_visitor = void (*)(window_handle window, const char* title, void* context);
window_handle find_jog_window(window_handle first, const char* pattern, title_visitor visit = nullptr,
                              void* context = nullptr);

// Capture set-up, in two halves: the jog window's drawing context and a memory
// context; then the frame, sized from the jog window's outer rectangle, and the
// capture bitmap behind it. A window without a client area to copy (minimised)
// gives no size yet: the frame stays empty, and each copy tries again until the
// window has one; from then on the frame keeps its size. A frame too large to
// hold, or larger than one bitmap read can deliver, stays empty: every field then
// reads nothing.
void setup_capture_contexts(window_handle jog);
void setup_capture_frame(window_handle jog);

// The same, but each cycle copies only that area of the client area (the part the
// reader can look at) into its place in the frame; the frame keeps its size and
// coordinates, and its other pixels stay 0.
void setup_capture_frame(window_handle jog, frame_area area);

// Whether the jog window found at start-up still exists.
bool jog_window_exists();

// Refills the frame with what the screen shows at the jog window's client area,
// then tells whether the fields were in full view (view_problem::none); when they
// were not, the frame holds no values to trust. A failed copy leaves the previous
// pixels. The window is kept from drawing during the copy unless lock is false:
// only one window on the desktop can be locked at a time, so a second reader (the
// probe) must not take the lock from the gateway.
view_problem capture_jog_window(bool lock = true);

// The two halves of capture_jog_window, for a cycle that looks at the view only
// when it matters: the copy, and the look at the jog window and what lies around
// it. The look must follow the copy whose pixels it vouches for.
void copy_jog_window(bool lock = true);
view_problem check_jog_view();

// What the last capture saw of the jog window and the windows around it.
const jog_view& jog_view_seen();

// The frame that capture_jog_window fills.
const capture_frame& jog_frame();

// Gives back the drawing contexts and the capture bitmap; skips what was never
// acquired, so it may run when nothing was set up.
void release_capture();

#endif  // HOST_WINDOW_SEARCH_CAPTURE_H
