// When values may go out to the peer, what the console is told about it, when the
// jog window counts as closed and what the state report says: the capture cycle's
// whole time policy, fed by what each cycle saw and kept free of the console and
// the platform, so that it can be tested as sequences of cycles. Its constants are
// in gateway/timing.h.
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

#include <cstdint>
#include <vector>

#include "gateway/timing.h"
#include "host/view_problem.h"
#include "recognition/field_reader.h"
#include "recognition/probe_rows.h"
#include "stream/axis_contract.h"

// What this cycle's reading tells, next to the last trusted one and the previous
// cycle's.
struct reading_evidence {
    bool differs = false;          // from the record last sent, or a send is forced
    bool familiar = false;         // probe rows as in the last trusted reading, and no field newly blank
    bool steady = false;           // probe rows and blank fields as in the previous cycle's reading
    bool plain = true;             // every field without digits lies on a field's plain background
    bool foreign = false;          // a probe pixel that differs from the trusted reading's is no field's background
    bool rows_as_trusted = false;  // the probe rows are the trusted ones already (nothing to copy)
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
    // The evidence: this cycle's probe rows and blank fields, the previous
    // cycle's blank fields, and those of the last trusted reading.
    std::vector<pixel> rows, trusted_rows;
    std::uint32_t blank = 0, previous_blank = 0, trusted_blank = 0;

    // The hold.
    bool trusted = false;                    // false at the start: the first reading is confirmed too
    int calm = 0;                            // cycles in a row the view was whole and the reading steady
    int whole = 0;                           // cycles in a row the view was whole and the window in place
    view_problem last = view_problem::none;  // at the previous look
    int same = 0;                            // looks in a row that found it
    view_problem said = view_problem::none;  // the cause last announced

    // The jog window.
    int cycles = 0;  // readings made
    int looks_without_jog = 0;

    // The state report, once a client has asked for it. Times in microseconds:
    // the heartbeat on the steady clock, what the report says on the UTC clock as
    // it read when it happened (so that every record gives the same moment the
    // same time).
    bool reporting = false;
    std::int64_t now = 0, now_utc = 0;  // this cycle's
    std::int64_t confirmed_utc = 0;     // the values' last confirmation on screen; 0 never
    axis_state state = axis_state_waiting;
    std::int64_t state_since_utc = 0;
    int reported_state = -1;  // in the last report sent; -1 none yet
    std::int64_t reported_at = 0;
};

// Begins a cycle at this time on both clocks. True when this cycle must look
// whether the jog window still exists, and tell hold_jog_gone.
bool hold_begin_cycle(hold_policy& policy, std::int64_t steady_us, std::int64_t utc_us);

// What that look found. True once the jog window has gone for good: the run ends.
bool hold_jog_gone(hold_policy& policy, bool jog_exists);

// This cycle's reading: its probe rows (already refreshed into policy.rows
// against policy.trusted_rows), the fields without digits, whether those lie on
// a field's plain background, and whether the record differs from the last sent.
reading_evidence hold_weigh(hold_policy& policy, const probe_rows_news& rows, std::uint32_t blank, bool plain,
                            bool differs);

// Whether the view must be looked at this cycle: whenever a record could go out,
// every cycle while values wait for evidence, and with the report every
// report_look_interval cycles and whenever the reading is not familiar. A trusted, unchanged reading needs no look
// otherwise, which keeps the cycle at the cost of its copy.
bool hold_needs_look(const hold_policy& policy, const reading_evidence& reading);

// This cycle's decision. view is null when hold_needs_look said no look was needed.
// A reading let out becomes the trusted one and confirms the values now.
hold_verdict hold_decide(hold_policy& policy, const reading_evidence& reading, const view_evidence* view);

// With the report: whether a record is due this cycle whatever the values do (the
// state differs from the last report's, or the heartbeat), and that one went out.
bool hold_report_due(const hold_policy& policy);
void hold_reported(hold_policy& policy);

#endif  // GATEWAY_HOLD_POLICY_H
