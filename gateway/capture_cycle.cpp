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

// Cycles the view must stay whole after a hold before values are read again. What
// was covered or off screen shows the host's own pixels only once the host has
// repainted it, and until then a copy holds remnants of what lay there: read at
// once, they gave plausible wrong numbers.
constexpr int view_settle_cycles = 10;

// Cycles a cause must last before the hold is announced. The hold itself begins at
// once; the line waits, so that a window passing over the fields, or a host
// taking its windows down as it closes (they are hidden first), says nothing.
constexpr int hold_announce_cycles = 10;

// Whether values are held, and what the console has been told.
struct hold_state {
    bool holding = false;
    view_problem last = view_problem::none;  // the previous cycle's view
    int same = 0;                            // cycles the view has been what it is now
    view_problem said = view_problem::none;  // the cause last announced

    // Takes this cycle's view; true while values must not be read.
    bool hold(view_problem view) {
        same = view == last ? same + 1 : 1;
        last = view;
        if (view != view_problem::none) {
            holding = true;
            if (same >= hold_announce_cycles && said != view) announce(view);
        } else if (holding && same >= view_settle_cycles) {
            holding = false;
            if (said != view_problem::none) announce(view_problem::none);
        }
        return holding;
    }

    void announce(view_problem view);
};

// Tested at the top of every cycle, so a cycle once begun always completes. The
// key is only looked at, never consumed.
bool keep_running(window_handle owner) { return owner != nullptr ? is_window(owner) : !console_key_waiting(); }

// One line when holding begins or its cause changes, one when it ends.
void hold_state::announce(view_problem view) {
    said = view;
    if (view == view_problem::none) {
        console_write("Values live again\n");
        return;
    }
    const std::string line =
        std::string("Values held (") + view_problem_id(view) + "): " + view_problem_advice(view) + "\n";
    console_write(line.c_str());
}

}  // namespace

cycle_end capture_cycle(window_handle owner, const glyph_set& set, sender_state& state) {
    axis_record record;  // filled in place; slots 6 to 47 stay zero for the whole run
    hold_state hold;
    int cycles = 0, looks_without_jog = 0;
    while (keep_running(owner)) {
        // A closed jog window will not come back as the same window: end the run,
        // so that the peer sees the pipe close instead of values frozen in time.
        if (++cycles % jog_check_interval == 0) {
            looks_without_jog = jog_window_exists() ? 0 : looks_without_jog + 1;
            if (looks_without_jog == 2) {
                console_write("Jog window closed\n");
                return cycle_end::jog_window_closed;
            }
        }
        copy_jog_window();
        read_axes(jog_frame(), set, record.slots);
        // The view is looked at only when it can matter: while holding, and when a
        // record would go out. An unchanged reading sends nothing, whatever the view,
        // and the look costs more than the copy under some systems.
        // Held: nothing is sent, and the sender keeps what it last sent, so the
        // first reading once settled goes out if it differs.
        if ((hold.holding || would_send(state, record)) && !hold.hold(check_jog_view())) send_if_changed(state, record);
        sleep_ms(cycle_pause_ms);
    }
    return cycle_end::stopped;
}
