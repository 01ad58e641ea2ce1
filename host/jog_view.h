// Whether the jog window's fields can be seen whole on the screen, and if not, why.
// A copy of a window that is hidden, minimised, docked, partly off every monitor
// or partly under another window holds plausible but wrong numbers (a minus sign
// cut off, the last digits covered), so the gateway holds its values while the
// view is not whole, and the probe reports the same causes in the same words.
#ifndef HOST_JOG_VIEW_H
#define HOST_JOG_VIEW_H

#include <vector>

#include "host/view_problem.h"
#include "platform/platform.h"
#include "recognition/field_reader.h"

// What the analysis knows of the desktop around the jog window.
struct jog_view {
    bool visible = false;
    bool minimized = false;
    bool top_level = false;
    window_rect client;                 // the client area on the screen
    window_rect fields;                 // the fields' area on the screen
    std::vector<window_rect> monitors;  // every display monitor
    std::vector<window_rect> above;     // visible windows above the jog window that draw something
};

// A part of a frame (as field_reader.h gives it, relative to the client area) on
// the screen, cut at the client's bottom and never overflowing.
window_rect on_screen(const window_rect& client, const frame_area& area);

// The part of a client area (in screen coordinates) that the reader looks at: the
// columns from the first search column to the client's right edge, the rows from
// the highest glyph top to the lowest probe.
window_rect fields_area(const window_rect& client);

// Describes the jog window as the desktop shows it now. Keeps the vectors' storage
// from call to call.
void look_at_jog_window(window_handle jog, jog_view& view);

// The first problem, in the order a user would mend them; none when the fields'
// area is on screen and nothing lies over it.
view_problem judge_view(const jog_view& view);

// The same for one part of the screen (a single field's area) instead of all the
// fields' area.
view_problem judge_area(const jog_view& view, const window_rect& area);

// True when every pixel of r lies in at least one of the rectangles (an empty r
// always does).
bool rect_within(const window_rect& r, const std::vector<window_rect>& rects);

bool rects_overlap(const window_rect& a, const window_rect& b);

#endif  // HOST_JOG_VIEW_H
