// Whether the jog window's fields are in full view follows from a plain description
// of the desktop; the first problem found is the one a user should mend first.
#include <gtest/gtest.h>

#include "host/jog_view.h"
#include "recognition/field_reader.h"

namespace {

TEST(JogView, FieldsAreaIsWhatTheReaderLooksAt) {
    const window_rect f = fields_area({1000, 500, 1300, 900});
    EXPECT_EQ(f.left, 1000 + first_search_column);
    EXPECT_EQ(f.top, 500 + first_row_read);
    EXPECT_EQ(f.right, 1300);
    EXPECT_EQ(f.bottom, 500 + rows_read_end);
    // The last probe row of the bottom field is read; the row below it is not.
    EXPECT_EQ(rows_read_end - 1, fields_end_row - field_pitch + candidate_row_offset + 1 + probe_offset);
    EXPECT_EQ(fields_area({0, 0, 300, 200}).bottom, 200) << "cut at the client's bottom";
}

TEST(JogView, FirstProblemIsReported) {
    const window_rect fields{100, 100, 300, 250};
    const std::vector<window_rect> one_monitor{{0, 0, 1920, 1080}};
    struct view_case {
        const char* name;
        jog_view view;
        view_problem expected;
    };
    const view_case cases[] = {
        {"in full view", {true, false, true, {}, fields, one_monitor, {{400, 0, 800, 600}}}, view_problem::none},
        {"window above touching the edge only",
         {true, false, true, {}, fields, one_monitor, {{300, 100, 400, 250}}},
         view_problem::none},
        {"window above over one pixel",
         {true, false, true, {}, fields, one_monitor, {{299, 249, 400, 300}}},
         view_problem::covered},
        {"hidden", {false, false, true, {}, fields, one_monitor, {}}, view_problem::hidden},
        {"minimised (still marked visible)", {true, true, true, {}, fields, one_monitor, {}}, view_problem::minimized},
        {"docked", {true, false, false, {}, fields, one_monitor, {}}, view_problem::docked},
        {"left of the screen", {true, false, true, {}, {-1, 100, 300, 250}, one_monitor, {}}, view_problem::off_screen},
        {"no monitor at all", {true, false, true, {}, fields, {}, {}}, view_problem::off_screen},
        {"across two monitors side by side",
         {true, false, true, {}, fields, {{0, 0, 200, 1080}, {200, 0, 400, 1080}}, {}},
         view_problem::none},
        {"across two monitors of different heights",
         {true, false, true, {}, fields, {{0, 0, 200, 1080}, {200, 200, 400, 1080}}, {}},
         view_problem::off_screen},
        {"off screen and covered: off screen first",
         {true, false, true, {}, {-1, 100, 300, 250}, one_monitor, {{0, 0, 50, 50}, {150, 150, 160, 160}}},
         view_problem::off_screen},
        {"empty fields area (client too small)",
         {true, false, true, {}, {100, 100, 100, 250}, {}, {fields}},
         view_problem::none},
    };
    for (const view_case& c : cases) EXPECT_EQ(judge_view(c.view), c.expected) << c.name;
}

TEST(JogView, EveryProblemHasAnIdentifierAndAdvice) {
    const std::pair<view_problem, const char*> ids[] = {
        {view_problem::hidden, "hidden"},   {view_problem::minimized, "minimized"},
        {view_problem::docked, "docked"},   {view_problem::off_screen, "off_screen"},
        {view_problem::covered, "covered"},
    };
    for (auto [problem, id] : ids) {
        EXPECT_STREQ(view_problem_id(problem), id);
        EXPECT_GT(std::string(view_problem_advice(problem)).size(), 20u) << id;
    }
}

}  // namespace
