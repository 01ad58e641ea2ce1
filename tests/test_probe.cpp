// The probe's analysis on frames built in memory: which fields read, what their
// probe rows show, and which problems follow from the frame and the desktop.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/frame_painter.h"
#include "host/probe_output.h"

namespace {

const std::vector<std::string> shown = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"};

capture_frame jog_frame_showing(pixel field_background = colour_white) {
    capture_frame f = blank_frame(300, 400, 0xF0F0F0);
    for (int k = 0; k < axis_field_count; ++k) {
        const std::int32_t y = first_field_row + field_pitch * k;
        draw_field(f, real_glyphs(), y, 106, shown[std::size_t(k)], k % 2 ? rendering::alternate : rendering::primary);
        if (field_background != colour_white) fill_rect(f, 101, y, 199, 18, field_background);
    }
    return f;
}

// The jog window's client area at (500, 100), in full view on one monitor.
jog_view whole_view() {
    jog_view v;
    v.visible = v.top_level = true;
    v.client = {500, 100, 800, 500};
    v.fields = fields_area(v.client);
    v.monitors = {{0, 0, 1920, 1080}};
    return v;
}

std::vector<std::string> ids(const std::vector<probe_problem>& problems) {
    std::vector<std::string> out;
    for (const probe_problem& p : problems) out.push_back(p.id + (p.field >= 0 ? "@" + std::to_string(p.field) : ""));
    return out;
}

TEST(Probe, ProblemsFollowFromTheFrameAndTheDesktop) {
    capture_frame scaled = blank_frame(300, 400, 0xF0F0F0);  // fields in their boxes, digits of another size
    for (int k = 0; k < axis_field_count; ++k) {
        const std::int32_t y = first_field_row + field_pitch * k;
        fill_rect(scaled, 106, y, 194, 18, colour_white);
        fill_rect(scaled, 110, y + 3, 3, 10, colour_dark);
    }
    struct probe_case {
        const char* name;
        capture_frame frame;
        std::function<void(jog_view&, desktop_facts&)> desktop;
        std::vector<std::string> expected;
    };
    const auto as_is = [](jog_view&, desktop_facts&) {};
    const probe_case cases[] = {
        {"in full view", jog_frame_showing(), as_is, {}},
        {"digits drawn at another scale",
         scaled,
         as_is,
         {"unreadable_field@0", "unreadable_field@1", "unreadable_field@2", "unreadable_field@3", "unreadable_field@4",
          "unreadable_field@5"}},
        {"fields on a selection colour",
         jog_frame_showing(0x3399FF),
         as_is,
         {"unknown_background@0", "unknown_background@1", "unknown_background@2", "unknown_background@3",
          "unknown_background@4", "unknown_background@5"}},
        {"a window over the third field only",
         jog_frame_showing(),
         [](jog_view& v, desktop_facts&) {
             v.above = {{700, 100 + 260, 900, 100 + 270}};
         },
         {"covered@2"}},
        {"left part off the monitor",
         jog_frame_showing(),
         [](jog_view& v, desktop_facts&) {
             v.monitors = {{610, 0, 1920, 1080}};
         },
         {"off_screen@0", "off_screen@1", "off_screen@2", "off_screen@3", "off_screen@4", "off_screen@5"}},
        {"minimised, its client area gone",
         jog_frame_showing(),
         [](jog_view& v, desktop_facts&) {
             v.minimized = true;
             v.client = {};
         },
         {"minimized"}},
        {"125 % and 16 bits",
         jog_frame_showing(),
         [](jog_view&, desktop_facts& d) {
             d = {16, 120, dpi_awareness::system_aware};
         },
         {"display_scale", "colour_depth"}},
        // An unaware host is drawn at 96 DPI on any monitor; one whose awareness
        // cannot be told may not be.
        {"125 %, host DPI-unaware",
         jog_frame_showing(),
         [](jog_view&, desktop_facts& d) {
             d = {32, 120, dpi_awareness::unaware};
         },
         {}},
        {"125 %, host awareness unknown",
         jog_frame_showing(),
         [](jog_view&, desktop_facts& d) {
             d = {32, 120, dpi_awareness::unknown};
         },
         {"display_scale"}},
        // What an unaware reader sees of an aware host at 150 %: the window two
        // thirds of its size, its digits resampled. The scale is the one cause.
        {"150 %, host aware, seen shrunk and resampled",
         jog_frame_showing(0xE0E0E0),
         [](jog_view& v, desktop_facts& d) {
             v.client.bottom = v.client.top + 267;
             d = {32, 144, dpi_awareness::per_monitor_aware};
         },
         {"display_scale"}},
        {"client too short for the last field",
         jog_frame_showing(),
         [](jog_view& v, desktop_facts&) { v.client.bottom = v.client.top + 340; },
         {"frame_too_small"}},
    };
    for (const probe_case& c : cases) {
        jog_view view = whole_view();
        desktop_facts desktop;
        c.desktop(view, desktop);
        const std::vector<field_report> fields = analyse_fields(c.frame, real_glyphs(), view);
        EXPECT_EQ(ids(find_problems(view, desktop, fields)), c.expected) << c.name;
    }
}

TEST(Probe, FieldReportTellsTextGlyphsAndProbeRows) {
    const std::vector<field_report> fields = analyse_fields(jog_frame_showing(), real_glyphs(), whole_view());
    ASSERT_EQ(fields.size(), 6u);
    const field_report& f = fields[3];  // "-1234,6", light on grey
    EXPECT_EQ(f.reference_row, first_field_row + 3 * field_pitch);
    EXPECT_EQ(f.trace.text, "-12346");
    EXPECT_EQ(f.value, -1234.6);
    ASSERT_EQ(f.trace.hits.size(), 6u);
    EXPECT_EQ(f.trace.hits[0].character, '-');
    EXPECT_EQ(f.trace.hits[0].x, 106);
    EXPECT_EQ(f.trace.hits[0].top, f.reference_row + 2);
    EXPECT_EQ(f.trace.hits[1].x, 111);
    // The band from column 106 is grey; columns 101 to 105 show the dialog face.
    EXPECT_EQ(f.probe.grey, 2 * 55);
    EXPECT_EQ(f.probe.other, 2 * 5);
    EXPECT_EQ(f.probe.white + f.probe.dark, 0);
}

TEST(Probe, JsonAndPictureHoldWhatWasSeen) {
    probe_result r;
    r.robot = "robot1";
    r.host_found = r.jog_found = true;
    r.main = {0x10020, "Draxion3 \xE9t\xFF", {0, 0, 400, 200}};  // not UTF-8: must not leak into the JSON
    r.jog = {0x10030, "jog - robot1 (cell)", {490, 70, 810, 510}};
    r.view = whole_view();
    const capture_frame frame = jog_frame_showing();
    r.fields = analyse_fields(frame, real_glyphs(), r.view);
    r.problems = {{"covered", 2, "move it"}};
    r.exit_code = probe_exit_problems;

    const nlohmann::json j = nlohmann::json::parse(report_json(r));
    EXPECT_EQ(j["windows"]["jog"]["handle"], "0x10030");
    EXPECT_EQ(j["windows"]["jog"]["client"], nlohmann::json({500, 100, 800, 500}));
    EXPECT_EQ(j["fields"][3]["text"], "-12346");
    EXPECT_EQ(j["fields"][3]["value"], -1234.6);
    EXPECT_EQ(j["fields"][3]["glyphs"][0], nlohmann::json({{"character", "-"}, {"column", 106}, {"row", 288}}));
    EXPECT_EQ(j["problems"][0], nlohmann::json({{"id", "covered"}, {"field", 2}, {"advice", "move it"}}));
    EXPECT_EQ(j["exit_code"], 3);
    const std::string title = j["windows"]["main"]["title"];
    EXPECT_EQ(title.rfind("Draxion3 ", 0), 0u);

    const picture p = draw_picture(frame, r.fields);
    ASSERT_EQ(p.width, 4 * frame.width);
    ASSERT_EQ(p.height, 4 * frame.height);
    auto at = [&](int x, int y) {
        const std::uint8_t* px = &p.rgb[(std::size_t(y) * std::size_t(p.width) + std::size_t(x)) * 3];
        return std::uint32_t(px[0]) << 16 | std::uint32_t(px[1]) << 8 | px[2];
    };
    EXPECT_EQ(at(4 * 106, 4 * (first_field_row + 2)), 0x00C040u) << "the first glyph is boxed";
    EXPECT_EQ(at(4 * 10 + 1, 4 * 10 + 1), 0xF0F0F0u) << "the frame itself, enlarged";
}

}  // namespace
