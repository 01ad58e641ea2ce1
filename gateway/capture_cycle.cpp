#include <string>

#include "gateway/gateway.h"
#include "host/host_windows.h"
#include "recognition/field_reader.h"

// The six fields fill the record's value slots, top field first.
static_assert(axis_field_count == axis_value_count);

namespace {

// The jog window's existence is looked at every this many cycles (under some
// systems the look costs as much as the copy, and a copy of a closed window only
// fails), and a closed one ends the run once two looks in a row have missed it: a
// host that closes its main window takes its jog window down first, and the
// owner test gets these cycles to see a normal stop.
constexpr int jog_check_interval = 10;

// Tested at the top of every cycle, so a cycle once begun always completes. The
// key is only looked at, never consumed.
bool keep_running(window_handle owner) { return owner != nullptr ? is_window(owner) : !console_key_waiting(); }

// Posted, never written: the cycle waits only in its pause and its pipe writes,
// not for a console that takes nothing.
void say(const hold_verdict& verdict) {
    if (verdict.line == hold_line::live) console_post("Values live again\n");
    if (verdict.line != hold_line::held) return;
    const std::string line = std::string("Values held (") + view_problem_id(verdict.cause) +
                             "): " + view_problem_advice(verdict.cause) + "\n";
    console_post(line.c_str());
}

bool same_rect(const window_rect& a, const window_rect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

cycle_end run_cycle(const glyph_set& set, sender_state& state, cycle_state& c) {
    // A closed jog window will not come back as the same window: end the run, so
    // that the peer sees the pipe close instead of values frozen in time.
    if (++c.cycles % jog_check_interval == 0) {
        c.looks_without_jog = jog_window_exists() ? 0 : c.looks_without_jog + 1;
        if (c.looks_without_jog == 2) {
            console_post("Jog window closed\n");
            return cycle_end::jog_window_closed;
        }
    }
    copy_jog_window();
    c.previous_blank = c.blank;
    c.blank = read_axes(jog_frame(), set, c.record.slots);
    const probe_rows_news rows = refresh_probe_rows(jog_frame(), c.rows, c.trusted_rows);
    bool plain = true;
    for (int k = 0; k < axis_field_count; ++k)
        if (c.blank >> k & 1) plain = plain && probe_rows_plain(count_probe_rows(jog_frame(), k));
    const bool familiar = rows.as_trusted && (c.blank & ~c.trusted_blank) == 0;
    const reading_evidence reading{
        would_send(state, c.record),
        familiar,
        !rows.changed && c.blank == c.previous_blank,
        plain,
        rows.foreign,
    };
    view_evidence view;
    const bool look = hold_needs_look(c.hold, reading);
    if (look) {
        // The look follows the copy whose pixels it vouches for.
        view.problem = check_jog_view();
        const window_rect& client = jog_view_seen().client;
        view.moved = c.placed && !same_rect(client, c.placement);
        c.placement = client;
        c.placed = true;
    }
    const hold_verdict verdict = hold_decide(c.hold, reading, look ? &view : nullptr);
    say(verdict);
    // Held: nothing is sent, and the sender keeps what it last sent, so the first
    // reading once trusted again goes out if it differs. What may go out is the
    // trusted reading from now on.
    if (verdict.send) {
        if (!rows.as_trusted) c.trusted_rows = c.rows;
        c.trusted_blank = c.blank;
        send_if_changed(state, c.record);
    }
    return cycle_end::stopped;
}

cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state) {
    cycle_state cycle;
    while (keep_running(owner)) {
        if (run_cycle(set, state, cycle) == cycle_end::jog_window_closed) return cycle_end::jog_window_closed;
        sleep_ms(cycle_pause_ms);
    }
    return cycle_end::stopped;
}
