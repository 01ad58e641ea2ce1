#include "host/probe_output.h"

#include <charconv>
#include <cstdio>

#include <nlohmann/json.hpp>

// The PNG writer's own code, compiled here once, with its warnings left to it.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBIW_WINDOWS_UTF8
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

using json = nlohmann::ordered_json;  // keys in the order written, for people reading it

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

json rect_json(const window_rect& r) { return {r.left, r.top, r.right, r.bottom}; }

json window_json(const window_seen& w) {
    return {{"handle", hex(w.handle)}, {"title", w.title}, {"rect", rect_json(w.rect)}};
}

// The shortest form that reads back as the same double.
std::string shortest(double v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

std::string report_text(const probe_result& r) {
    std::string out;
    auto line = [&](const std::string& s) { out += s + "\n"; };
    if (r.host_found) line("host main window " + hex(r.main.handle) + " \"" + r.main.title + "\"");
    if (r.jog_found) {
        const window_rect& c = r.view.client;
        line("jog window " + hex(r.jog.handle) + " \"" + r.jog.title + "\", client area " +
             std::to_string(c.right - c.left) + " x " + std::to_string(c.bottom - c.top) + " at " +
             std::to_string(c.left) + ", " + std::to_string(c.top));
        line("display: " + std::to_string(r.desktop.bits_per_pixel) + " bits per pixel, " +
             std::to_string(r.desktop.dpi) + " DPI; host window DPI awareness " + dpi_awareness_id(r.desktop.host));
    }
    for (const std::string& m : r.near_misses) line("near miss: " + m);
    for (const field_report& f : r.fields) {
        std::string s = "field " + std::to_string(f.index) + " (row " + std::to_string(f.reference_row) + "): \"" +
                        f.trace.text + "\" = " + shortest(f.value) + "; glyphs";
        if (f.trace.hits.empty()) s += " none";
        for (const field_trace::hit& h : f.trace.hits)
            s += " " + std::string(1, h.character) + "@" + std::to_string(h.x) + "," + std::to_string(h.top);
        s += "; probe rows " + std::to_string(f.probe.white) + " white, " + std::to_string(f.probe.grey) + " grey, " +
             std::to_string(f.probe.dark) + " dark, " + std::to_string(f.probe.other) + " other";
        line(s);
    }
    for (const probe_problem& p : r.problems)
        line("problem " + p.id + (p.field >= 0 ? " (field " + std::to_string(p.field) + ")" : "") + ": " + p.advice);
    if (r.problems.empty()) line("no problem found");
    return out;
}

std::string report_json(const probe_result& r) {
    json j;
    j["robot"] = r.robot;
    j["windows"] = json::object();
    if (r.host_found) j["windows"]["main"] = window_json(r.main);
    if (r.jog_found) {
        j["windows"]["jog"] = window_json(r.jog);
        j["windows"]["jog"]["client"] = rect_json(r.view.client);
        j["display"] = {{"bits_per_pixel", r.desktop.bits_per_pixel},
                        {"dpi", r.desktop.dpi},
                        {"host_dpi_awareness", dpi_awareness_id(r.desktop.host)}};
    }
    j["near_misses"] = r.near_misses;
    j["fields"] = json::array();
    for (const field_report& f : r.fields) {
        json glyphs = json::array();
        for (const field_trace::hit& h : f.trace.hits)
            glyphs.push_back({{"character", std::string(1, h.character)}, {"column", h.x}, {"row", h.top}});
        j["fields"].push_back(
            {{"index", f.index},
             {"reference_row", f.reference_row},
             {"text", f.trace.text},
             {"value", f.value},
             {"readable", !f.trace.text.empty()},
             {"glyphs", glyphs},
             {"probe",
              {{"white", f.probe.white}, {"grey", f.probe.grey}, {"dark", f.probe.dark}, {"other", f.probe.other}}},
             {"view", view_problem_id(f.view)}});
    }
    j["problems"] = json::array();
    for (const probe_problem& p : r.problems) {
        json pj = {{"id", p.id}, {"advice", p.advice}};
        pj["field"] = p.field >= 0 ? json(p.field) : json(nullptr);
        j["problems"].push_back(pj);
    }
    j["exit_code"] = r.exit_code;
    return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

picture draw_picture(const capture_frame& frame, const std::vector<field_report>& fields, int scale) {
    picture p;
    p.width = frame.width * scale;
    p.height = frame.height * scale;
    p.rgb.assign(std::size_t(p.width) * std::size_t(p.height) * 3, 0);
    auto put = [&](std::int64_t x, std::int64_t y, std::uint32_t colour) {
        if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
        std::uint8_t* px = &p.rgb[(std::size_t(y) * std::size_t(p.width) + std::size_t(x)) * 3];
        px[0] = std::uint8_t(colour >> 16);
        px[1] = std::uint8_t(colour >> 8);
        px[2] = std::uint8_t(colour);
    };
    for (std::int32_t y = 0; y < p.height; ++y)
        for (std::int32_t x = 0; x < p.width; ++x)
            put(x, y, frame.pixels[std::size_t(y / scale) * std::size_t(frame.width) + std::size_t(x / scale)]);
    // Outlines run just inside a rectangle of frame pixels, two picture pixels wide.
    auto box = [&](std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom, std::uint32_t colour) {
        const std::int64_t l = std::int64_t(left) * scale, t = std::int64_t(top) * scale;
        const std::int64_t r = std::int64_t(right) * scale - 1, b = std::int64_t(bottom) * scale - 1;
        for (std::int64_t x = l; x <= r; ++x)
            for (int w = 0; w < 2; ++w) put(x, t + w, colour), put(x, b - w, colour);
        for (std::int64_t y = t; y <= b; ++y)
            for (int w = 0; w < 2; ++w) put(l + w, y, colour), put(r - w, y, colour);
    };
    constexpr std::uint32_t window_colour = 0x2060FF, unreadable_colour = 0xFF2020, glyph_colour = 0x00C040,
                            probe_colour = 0xFF00FF;
    for (const field_report& f : fields) {
        // The search window: the first pass's columns, from the first candidate row
        // down to just above the probe rows.
        const std::int32_t top = f.reference_row + candidate_row_offset;
        box(first_search_column, top, first_search_column + search_window_columns, top + probe_offset,
            f.trace.text.empty() ? unreadable_colour : window_colour);
        for (const field_trace::hit& h : f.trace.hits) box(h.x, h.top, h.x + h.width, h.top + h.height, glyph_colour);
        // Probe rows: a dotted line along the top of each.
        for (std::int32_t r = 0; r < candidate_rows; ++r) {
            const std::int64_t y = std::int64_t(top + r + probe_offset) * scale;
            for (std::int64_t x = std::int64_t(first_search_column) * scale;
                 x < std::int64_t(first_search_column + search_window_columns) * scale; x += 2)
                put(x, y, probe_colour);
        }
    }
    return p;
}

bool write_png(const picture& p, const std::string& path) {
    if (p.width <= 0 || p.height <= 0) return false;
    return stbi_write_png(path.c_str(), p.width, p.height, 3, p.rgb.data(), p.width * 3) != 0;
}

std::string watch_line(const probe_result& r) {
    std::string s = "readable fields:";
    for (const field_report& f : r.fields) s += f.trace.text.empty() ? " -" : " " + std::to_string(f.index);
    s += "; problems:";
    if (r.problems.empty()) s += " none";
    for (const probe_problem& p : r.problems)
        s += " " + p.id + (p.field >= 0 ? "(" + std::to_string(p.field) + ")" : "");
    return s;
}
