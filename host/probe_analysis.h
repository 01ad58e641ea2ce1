// Why a value reads wrong: the analysis behind gateway_probe. From a captured
// frame, the glyph set and what the desktop showed around the jog window, it
// works out how each field was read, what its probe rows show, and which problems
// follow, each with a stable identifier and one sentence of advice. Plain code
// over plain records, so it runs on frames built in memory too.
#ifndef TOOLS_GATEWAY_PROBE_PROBE_ANALYSIS_H
#define TOOLS_GATEWAY_PROBE_PROBE_ANALYSIS_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/jog_view.h"
#include "recognition/field_reader.h"
#include "recognition/probe_rows.h"

// Pixels of a field's two probe rows across its first search window.
struct field_report {
    int index = 0;
    std::int32_t reference_row = 0;
    field_trace trace;  // text read and the glyphs found
    double value = 0;
    probe_counts probe;
    view_problem view = view_problem::none;  // what kept this field from full view
};

struct probe_problem {
    std::string id;  // stable, for scripts: "covered", "unreadable_field", ...
    int field = -1;  // the field it concerns, or -1
    std::string advice;
};

// What else the probe learnt of the display and the windows.
struct desktop_facts {
    int bits_per_pixel = 32;
    int dpi = 96;                                 // of the jog window's monitor
    dpi_awareness host = dpi_awareness::unaware;  // the jog window's own
};

// "unaware", "system_aware", "per_monitor_aware" or "unknown".
const char* dpi_awareness_id(dpi_awareness a);

// The first search window of a field (columns and candidate rows, with the glyph
// height below), and the columns of its probe rows.
inline constexpr std::int32_t search_window_columns = search_span;

// Reads the six fields with the gateway's reader and looks at their probe rows and
// their part of the screen.
std::vector<field_report> analyse_fields(const capture_frame& frame, const glyph_set& set, const jog_view& view);

// Every problem the frame, the fields and the desktop show, the view's first.
std::vector<probe_problem> find_problems(const jog_view& view, const desktop_facts& desktop,
                                         const std::vector<field_report>& fields);

// A problem found before any capture.
probe_problem no_host_problem();
probe_problem no_jog_window_problem(const std::string& robot, const std::vector<std::string>& near_misses);

// The probe's exit code: 0 when every field read a glyph and nothing is wrong, 3
// when a problem was found.
inline constexpr int probe_exit_clean = 0;
inline constexpr int probe_exit_problems = 3;

#endif  // TOOLS_GATEWAY_PROBE_PROBE_ANALYSIS_H
