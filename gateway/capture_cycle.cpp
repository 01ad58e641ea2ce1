#include "gateway/gateway.h"
#include "host/host_windows.h"
#include "recognition/field_reader.h"

// The six fields fill the record's value slots, top field first.
static_assert(axis_field_count == axis_value_count);

namespace {

// Tested at the top of every cycle, so a cycle once begun always completes. The
// key is only looked at, never consumed.
bool keep_running(window_handle owner) { return owner != nullptr ? is_window(owner) : !console_key_waiting(); }

}  // namespace

void capture_cycle(window_handle owner, const glyph_set& set, sender_state& state) {
    axis_record record;  // filled in place; slots 6 to 47 stay zero for the whole run
    while (keep_running(owner)) {
        capture_jog_window();
        read_axes(jog_frame(), set, record.slots);
        send_if_changed(state, record);
        sleep_ms(cycle_pause_ms);
    }
}
