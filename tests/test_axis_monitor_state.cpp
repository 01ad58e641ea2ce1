// What axis_monitor --state says of the state report: nothing until it knows
// whether the gateway sends one, then each change of the state once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/axis_monitor/state_lines.h"

namespace {

constexpr double since = 1796811330.25;  // 2026-12-09 10:15:30.250 UTC
const std::string no_report = "state unknown: this gateway sends no state report";

struct event {
    double elapsed;     // seconds since the report was asked for
    const char* state;  // a record's state id ("no report": a record without the report), or nullptr: no record
    std::string said;   // the line expected ("" for none)
};

TEST(AxisMonitorState, WhatIsSaidAfterEachEvent) {
    struct sequence {
        const char* name;
        std::vector<event> events;
    };
    const std::string live = "state live since 2026-12-09 10:15:30.250 UTC";
    const sequence sequences[] = {
        {"records sent before the request came carry no report: nothing said of it until the first report",
         {{0.01, "no report", ""}, {0.02, "no report", ""}, {0.3, "live", live}, {0.8, "live", ""}, {5, nullptr, ""}}},
        {"a gateway without the report: said once, when the time it is given has passed",
         {{0.01, "no report", ""},
          {1.0, nullptr, ""},
          {2.0, nullptr, no_report},
          {2.5, "no report", ""},
          {9, nullptr, ""}}},
        {"a record without the report after that time says it",
         {{0.01, "no report", ""}, {2.5, "no report", no_report}, {3, nullptr, ""}}},
        {"each change once",
         {{0.1, "waiting", "state waiting since 2026-12-09 10:15:30.250 UTC"},
          {0.6, "waiting", ""},
          {0.9, "covered", "state covered since 2026-12-09 10:15:30.250 UTC"},
          {1.0, "live", live}}},
    };
    for (const sequence& s : sequences) {
        axis_monitor::state_lines lines;
        for (const event& e : s.events) {
            const std::string said = e.state == nullptr
                                         ? lines.clock(e.elapsed)
                                         : lines.record(e.elapsed, std::string(e.state) != "no report", e.state, since);
            EXPECT_EQ(said, e.said) << s.name << ", at " << e.elapsed << " s";
        }
    }
}

TEST(AxisMonitorState, TheWaitForTheFirstReportEndsWhenItIsKnown) {
    axis_monitor::state_lines lines;
    EXPECT_DOUBLE_EQ(lines.due_in(0.5), axis_monitor::report_wait_seconds - 0.5);
    lines.record(0.6, true, "live", since);
    EXPECT_LT(lines.due_in(0.7), 0) << "nothing more to wait for";
}

}  // namespace
