// When values may go out to the peer, and what the console is told about it: the
// capture cycle's one decision, fed by what each cycle saw and kept free of the
// console and the platform, so that it can be tested as sequences of cycles.
//
// A record goes out only on evidence that it shows what the host drew. The view's
// geometry (on screen, nothing above) is needed but not enough: a window that has
// just come back, or whose cover has just gone, shows unpainted pixels or the
// cover's remnants until the host repaints, and under some systems a copy of a
// part that is off screen or covered keeps showing old pixels, so that its
// disturbance is never seen. So the reading itself is evidence too:
//  - familiar: the fields' probe rows (their background, which never holds
//    digits) are exactly those of the last trusted reading, and no field that
//    showed digits then shows none now. An ordinary change of values is
//    familiar and goes out at once; after a hold, or once the window has moved,
//    a familiar reading goes out when the view has been whole for the settle.
//  - anything else (the first reading, a field gone blank, a background that
//    differs) goes out only once the view has been whole and the reading steady
//    (the same background and the same blank fields, cycle after cycle) for a
//    number of cycles, and then becomes the trusted one. A field the host leaves
//    empty for good is then sent as 0.0; one that is blank for a cycle, while
//    the host repaints it, never is; and one without digits whose probe rows are
//    no field's background (an unpainted window is black) never is, however long
//    it lasts.
//  What the probe rows cannot show: something that lies over the digits of a
//  field but not below them, and reads as other digits. While it lies there the
//  view's geometry holds the values; only what it leaves behind after it has
//  gone, until the host repaints, would pass.
#ifndef GATEWAY_HOLD_POLICY_H
#define GATEWAY_HOLD_POLICY_H

#include "host/view_problem.h"

// Cycles (of about 10.6 ms) the view must stay whole after a hold, or after the
// jog window has moved, before values go out again: what was covered or off
// screen shows the host's pixels only once the host has repainted it.
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

// Cycles a cause must last before the hold is announced. The hold itself begins at
// once; the line waits, so that a window passing over the fields, or a host
// taking its windows down as it closes (they are hidden first), says nothing.
inline constexpr int hold_announce_cycles = 10;

// What this cycle's reading tells, next to the last trusted one and the previous
// cycle's.
struct reading_evidence {
    bool differs = false;   // from the record last sent, or a send is forced
    bool familiar = false;  // probe rows as in the last trusted reading, and no field newly blank
    bool steady = false;    // probe rows and blank fields as in the previous cycle's reading
    bool plain = true;      // every field without digits lies on a field's plain background
    bool foreign = false;   // a probe pixel that differs from the trusted reading's is no field's background
};

// What a look at the jog window found.
struct view_evidence {
    view_problem problem = view_problem::none;
    bool moved = false;  // its client area lies elsewhere than at the previous look
};

enum class hold_line { none, held, live };

struct hold_verdict {
    // Let the record go out (the sender still sends only a change); its probe rows
    // and blank fields are then the trusted ones.
    bool send = false;
    hold_line line = hold_line::none;
    view_problem cause = view_problem::none;  // for hold_line::held
};

struct hold_policy {
    bool trusted = false;  // false at the start: the first reading is confirmed too
    int calm = 0;          // cycles in a row the view was whole and the reading steady
    int whole = 0;         // cycles in a row the view was whole and the window in place
    view_problem last = view_problem::none;  // at the previous look
    int same = 0;                            // looks in a row that found it
    view_problem said = view_problem::none;  // the cause last announced
};

// Whether the view must be looked at this cycle: whenever a record could go out,
// and every cycle while values wait for evidence. A trusted, unchanged reading
// needs no look, which keeps the cycle at the cost of its copy.
bool hold_needs_look(const hold_policy& policy, const reading_evidence& reading);

// This cycle's decision. view is null when hold_needs_look said no look was needed.
hold_verdict hold_decide(hold_policy& policy, const reading_evidence& reading, const view_evidence* view);

#endif  // GATEWAY_HOLD_POLICY_H
