#include "host/probe_analysis.h"
#include "recognition/probe_rows.h"

#include <algorithm>

namespace {

std::string percent(int dpi) { return std::to_string((dpi * 100 + 48) / 96) + " %"; }

}  // namespace

std::vector<field_report> analyse_fields(const capture_frame& frame, const glyph_set& set, const jog_view& view) {
    std::vector<field_report> fields(axis_field_count);
    for (int k = 0; k < axis_field_count; ++k) {
        field_report& f = fields[std::size_t(k)];
        f.index = k;
        f.reference_row = first_field_row + field_pitch * k;
        f.value = trace_field(frame, set, f.reference_row, f.trace);
        f.probe = count_probe_rows(frame, k);
        f.view = judge_area(view, on_screen(view.client, fields_rows(k, 1)));
    }
    return fields;
}

std::vector<probe_problem> find_problems(const jog_view& view, const desktop_facts& desktop,
                                         const std::vector<field_report>& fields) {
    std::vector<probe_problem> out;
    const view_problem whole = judge_view(view);
    if (whole == view_problem::covered || whole == view_problem::off_screen) {
        // Named per field, so the user knows which values to distrust.
        for (const field_report& f : fields)
            if (f.view != view_problem::none)
                out.push_back({view_problem_id(f.view), f.index, view_problem_advice(f.view)});
    } else if (whole != view_problem::none) {
        out.push_back({view_problem_id(whole), -1, view_problem_advice(whole)});
    }
    // A DPI-unaware host is drawn at 96 DPI whatever the monitor's scale, and the
    // gateway (unaware too) copies those pixels: only a host that draws at the
    // monitor's scale, or one whose awareness cannot be told, reads wrong.
    const bool scaled = desktop.dpi != 96 && desktop.host != dpi_awareness::unaware;
    if (scaled)
        out.push_back({"display_scale", -1,
                       "the jog window's monitor is at " + percent(desktop.dpi) + " (" + std::to_string(desktop.dpi) +
                           " DPI): set it to 100 % (96 DPI), or show the jog window on a monitor at 100 %"});
    if (desktop.bits_per_pixel != 32)
        out.push_back({"colour_depth", -1,
                       "the display uses " + std::to_string(desktop.bits_per_pixel) +
                           " bits per pixel: set it to 32 bits (true colour)"});
    // Hidden, minimised or docked, the window shows nothing to measure or read.
    if (whole != view_problem::none && whole != view_problem::covered && whole != view_problem::off_screen) return out;
    // Through a scale, an unaware reader sees the window smaller and its digits
    // resampled: its size and fields say nothing but the scale, already named.
    if (scaled) return out;
    const std::int32_t client_height = view.client.bottom - view.client.top;
    if (client_height < rows_read_end)
        out.push_back({"frame_too_small", -1,
                       "the jog window's client area is " + std::to_string(client_height) +
                           " rows high; the six fields need " + std::to_string(rows_read_end) +
                           ": make the window taller"});
    // A field out of view reads whatever lay over it: only fields in full view
    // say something about the glyphs and colours themselves.
    for (const field_report& f : fields) {
        if (f.view != view_problem::none || !f.trace.text.empty()) continue;
        if (probe_rows_plain(f.probe))
            out.push_back({"unreadable_field", f.index,
                           "no glyph matched although the field's probe rows are plain white or grey: the digits are "
                           "drawn differently (display scaling, another font or theme)"});
        else
            out.push_back({"unknown_background", f.index,
                           "the field's probe rows are neither plain white nor grey, so no rendering can match: give "
                           "the jog window the host's default colours"});
    }
    return out;
}

const char* dpi_awareness_id(dpi_awareness a) {
    switch (a) {
    case dpi_awareness::unaware: return "unaware";
    case dpi_awareness::system_aware: return "system_aware";
    case dpi_awareness::per_monitor_aware: return "per_monitor_aware";
    case dpi_awareness::unknown: break;
    }
    return "unknown";
}

probe_problem no_host_problem() {
    return {"no_host", -1, "no window title contains \"Draxion3\": start the host, then probe again"};
}

probe_problem no_jog_window_problem(const std::string& robot, const std::vector<std::string>& near_misses) {
    std::string advice = "no jog window for " + robot + ": open one for this robot and let it float";
    if (!near_misses.empty()) {
        advice += "; seen instead:";
        for (std::size_t i = 0; i < near_misses.size(); ++i) advice += (i ? "; " : " ") + near_misses[i];
    }
    return {"no_jog_window", -1, advice};
}
