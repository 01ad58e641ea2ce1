#include <string>

#include "gateway/gateway.h"
#include "host/host_windows.h"
#include "recognition/field_reader.h"

// The six fields fill the record's value slots, top field first.
static_assert(axis_field_count == axis_value_count);

namespace {

constexpr int jog_close_grace_cycles = 10;

// Cycles the view must stay whole after a hold before values are read again. What
// was covered or off screen shows the host's own pixels only once the host has
// repainted it, and until then a copy holds remnants of what lay there: read at
// once, they gave plausible wrong numbers.
constexpr int view_settle_cycles = 10;

// Tested at the top of every cycle, so a cycle once begun always completes. The
// key is only looked at, never consumed.
bool keep_running(window_handle owner) { return owner != nullptr ? is_window(owner) : !console_key_waiting(); }

// One line when holding begins or its cause changes, one when it ends.
void report_view_change(view_problem now) {
    if (now == view_problem::none) {
        console_write("Values live again\n");
        return;
    }
    const std::string line =
        std::string("Values held (") + view_problem_id(now) + "): " + view_problem_advice(now) + "\n";
    console_write(line.c_str());
}

}  // namespace

cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state) {
    axis_record record;  // filled in place; slots 6 to 47 stay zero for the whole run
    view_problem held = view_problem::none;
    int whole_cycles = 0;  // since the last hold
    int cycles_without_jog = 0;
    while (keep_running(owner)) {
        // A closed jog window will not come back as the same window: end the run,
        // so that the peer sees the pipe close instead of values frozen in time.
        // A host that closes its main window takes its jog window down first, so
        // the owner test gets a few cycles to see a normal stop before this counts.
        if (!jog_window_exists()) {
            if (++cycles_without_jog > jog_close_grace_cycles) {
                console_write("Jog window closed\n");
                return cycle_end::jog_window_closed;
            }
            sleep_ms(cycle_pause_ms);
            continue;
        }
        const view_problem view = capture_jog_window();
        if (view != view_problem::none) {
            if (view != held) report_view_change(view);
            held = view;
            whole_cycles = 0;
        } else if (held != view_problem::none && ++whole_cycles >= view_settle_cycles) {
            report_view_change(view_problem::none);
            held = view_problem::none;
        }
        // Held: nothing is read or sent, and the sender keeps what it last sent, so
        // the first reading once settled goes out if it differs.
        if (held == view_problem::none) {
            read_axes(jog_frame(), set, record.slots);
            send_if_changed(state, record);
        }
        sleep_ms(cycle_pause_ms);
    }
    return cycle_end::stopped;
}
