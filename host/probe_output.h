// What gateway_probe writes: a text report for people, one JSON object for
// scripts and bug reports, and a picture of what the gateway sees.
#ifndef TOOLS_GATEWAY_PROBE_PROBE_OUTPUT_H
#define TOOLS_GATEWAY_PROBE_PROBE_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/probe_analysis.h"

// A window as the report names it; the title already in UTF-8.
struct window_seen {
    std::uint64_t handle = 0;
    std::string title;
    window_rect rect;
};

struct probe_result {
    std::string robot;  // "robot1"
    bool host_found = false;
    bool jog_found = false;
    window_seen main;
    window_seen jog;
    std::vector<std::string> near_misses;
    desktop_facts desktop;
    jog_view view;
    std::vector<field_report> fields;
    std::vector<probe_problem> problems;
    int exit_code = 0;
};

std::string report_text(const probe_result& r);

// One JSON object; never invalid UTF-8 (bytes that are not UTF-8 are replaced).
std::string report_json(const probe_result& r);

// The frame enlarged scale times (nearest neighbour), as 8-bit RGB rows, with each
// field's search window outlined (red where the field read nothing), every glyph
// found boxed and the probe rows marked.
struct picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};
picture draw_picture(const capture_frame& frame, const std::vector<field_report>& fields, int scale = 4);

// Writes the picture as a PNG file; false when it cannot be written.
bool write_png(const picture& p, const std::string& path);

// One line that sums up what the watch mode compares from probe to probe: the
// problems and which fields read something.
std::string watch_line(const probe_result& r);

#endif  // TOOLS_GATEWAY_PROBE_PROBE_OUTPUT_H
