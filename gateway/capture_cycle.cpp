#include <string>

#include "gateway/gateway.h"
#include "host/window_search_capture.h"
#include "recognition/field_reader.h"
#include "recognition/probe_rows.h"

// The six fields fill the record's value slots, top field first.
static_assert(axis_field_count == axis_value_count);

namespace {

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

// The state report in the record's spare slots, its times on the UTC clock.
void write_report(axis_record& record, const hold_policy& h) {
    record.slots[axis_slot_report] = axis_report_version;
    record.slots[axis_slot_state] = h.state;
    record.slots[axis_slot_confirmed] = double(h.confirmed_utc) / 1e6;
    record.slots[axis_slot_state_since] = double(h.state_since_utc) / 1e6;
    record.slots[axis_slot_readings] = h.cycles;
    record.slots[axis_slot_made] = double(h.now_utc) / 1e6;
}

// With the report a record goes out on a change of the values (once trusted), on
// a change of the state and on the heartbeat; a held record carries the values
// last sent, never the reading that is not trusted.
void send_with_report(sender_state& state, cycle_state& c, bool trusted_change) {
    if (!trusted_change && !hold_report_due(c.hold)) return;
    axis_record out = state.last_sent;
    if (trusted_change)
        for (int k = 0; k < axis_value_count; ++k) out.slots[k] = c.record.slots[k];
    write_report(out, c.hold);
    if (!send_axis_record(out)) return;
    state.last_sent = out;
    if (trusted_change) state.force_send = false;
    hold_reported(c.hold);
}

struct owner_test {
    window_handle owner;
};

// Tested at the top of every cycle, so a cycle once begun always completes. The
// key is only looked at, never consumed.
bool owner_keeps_running(void* context) {
    const window_handle owner = static_cast<owner_test*>(context)->owner;
    return owner != nullptr ? is_window(owner) : !console_key_waiting();
}

}  // namespace

cycle_end run_cycle(const glyph_set& set, sender_state& state, cycle_state& c) {
    hold_policy& h = c.hold;
    if (hold_begin_cycle(h, steady_us(), utc_us()) && hold_jog_gone(h, jog_window_exists())) {
        console_post("Jog window closed\n");
        return cycle_end::jog_window_closed;
    }
    if (!h.reporting) h.reporting = axis_report_asked();
    copy_jog_window();
    const std::uint32_t blank = read_axes(jog_frame(), set, c.record.slots);
    const probe_rows_news rows = refresh_probe_rows(jog_frame(), h.rows, h.trusted_rows);
    bool plain = true;
    for (int k = 0; k < axis_field_count; ++k)
        if (blank >> k & 1) plain = plain && probe_rows_plain(count_probe_rows(jog_frame(), k));
    const reading_evidence reading = hold_weigh(h, rows, blank, plain, would_send(state, c.record));
    view_evidence view;
    const bool look = hold_needs_look(h, reading);
    if (look) {
        // The look follows the copy whose pixels it vouches for.
        view.problem = check_jog_view();
        const window_rect& client = jog_view_seen().client;
        view.moved = c.placed && !same_rect(client, c.placement);
        c.placement = client;
        c.placed = true;
    }
    const hold_verdict verdict = hold_decide(h, reading, look ? &view : nullptr);
    say(verdict);
    // Held: nothing is sent, and the sender keeps what it last sent, so the first
    // reading once trusted again goes out if it differs.
    if (h.reporting)
        send_with_report(state, c, verdict.send && reading.differs);
    else if (verdict.send)
        send_if_changed(state, c.record);
    return cycle_end::done;
}

cycle_end run_cycles(bool (*keep_going)(void* context), void* context, const glyph_set& set, sender_state& state) {
    cycle_state cycle;
    while (keep_going(context)) {
        if (run_cycle(set, state, cycle) == cycle_end::jog_window_closed) return cycle_end::jog_window_closed;
        sleep_ms(cycle_pause_ms);
    }
    return cycle_end::done;
}

cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state) {
    owner_test test{owner};
    return run_cycles(owner_keeps_running, &test, set, state);
}
