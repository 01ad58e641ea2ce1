// The hold as sequences of cycles: what each cycle's reading and view tell, and
// what the policy does with them. One character per cycle:
//   -  no look (a trusted reading that would send nothing)
//   .  looked, nothing sent or said
//   s  the record may go out
//   h  "Values held" announced
//   L  "Values live again", and the record may go out
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gateway/hold_policy.h"

namespace {

// Readings as the cycle classifies them.
constexpr reading_evidence unchanged{false, true, true, true};
constexpr reading_evidence changed{true, true, true, true};           // an ordinary change of values
constexpr reading_evidence unfamiliar{true, false, true, true};       // another background, or a field gone blank
constexpr reading_evidence unfamiliar_new{true, false, false, true};  // ... in its first cycle
constexpr reading_evidence back{false, true, false, true};            // as last sent again, after a cycle that was not
constexpr reading_evidence unpainted{true, false, true, false};       // fields without digits on no field's background
constexpr reading_evidence foreign{true, false, true, true, true};    // the probe rows show something else in part

struct segment {
    int cycles;
    reading_evidence reading;
    view_problem problem = view_problem::none;
    bool moved = false;  // in the segment's first cycle
};

std::string run(hold_policy& policy, const std::vector<segment>& segments) {
    std::string trace;
    for (const segment& s : segments)
        for (int i = 0; i < s.cycles; ++i) {
            const view_evidence view{s.problem, s.moved && i == 0};
            const bool look = hold_needs_look(policy, s.reading);
            const hold_verdict v = hold_decide(policy, s.reading, look ? &view : nullptr);
            if (v.line == hold_line::live)
                trace += v.send && s.reading.differs ? 'L' : 'l';
            else if (v.line == hold_line::held) {
                trace += 'h';
                EXPECT_EQ(v.cause, s.problem);
            } else
                trace += !look ? '-' : v.send && s.reading.differs ? 's' : '.';
        }
    return trace;
}

std::string times(int n, char c) { return std::string(std::size_t(n), c); }

// A policy that has confirmed the first reading, as after a normal start.
hold_policy started() {
    hold_policy policy;
    run(policy, {{1, unfamiliar_new}, {reading_confirm_cycles, unfamiliar}});
    EXPECT_TRUE(policy.trusted);
    return policy;
}

TEST(HoldPolicy, StartConfirmsTheFirstReadingThenSendsChangesAtOnce) {
    hold_policy policy;
    EXPECT_EQ(run(policy, {{1, unfamiliar_new}, {reading_confirm_cycles, unfamiliar}, {3, unchanged}, {2, changed}}),
              times(reading_confirm_cycles, '.') + "s" + "---" + "ss");
}

TEST(HoldPolicy, Sequences) {
    const int settle = view_settle_cycles, announce = hold_announce_cycles, confirm = reading_confirm_cycles;
    struct sequence_case {
        const char* name;
        std::vector<segment> segments;
        std::string expected;
    };
    const sequence_case cases[] = {
        // The copy showed a change while part of the fields lay off screen; it is
        // held, said once the cause has lasted, and sent once the view has been
        // whole for the settle.
        {"a view that returns",
         {{15, changed, view_problem::off_screen}, {settle, changed}, {2, unchanged}},
         times(announce - 1, '.') + "h" + times(15 - announce, '.') + times(settle - 1, '.') + "L" + "--"},
        // Its remnants after it has gone are another background until the host
        // repaints: not sent, and not counted as confirmed.
        {"a window that passes over",
         {{4, changed, view_problem::covered}, {3, unfamiliar}, {settle - 3, changed}},
         times(4 + 3 + settle - 4, '.') + "s"},
        // The host hides its windows before it destroys them: held, not said.
        {"a host closing its windows", {{announce - 1, changed, view_problem::hidden}}, times(announce - 1, '.')},
        // A field the host leaves empty reads 0.0 once that has lasted; one that is
        // blank for a cycle while the host repaints it is never sent.
        {"a field that goes blank and stays blank",
         {{1, unfamiliar_new}, {confirm, unfamiliar}, {1, unchanged}},
         times(confirm, '.') + "s" + "-"},
        {"a field blank for one cycle", {{1, unfamiliar_new}, {1, back}, {3, unchanged}}, "..---"},
        // Moved between looks (off the screen and back, unseen): what came into view
        // may be unpainted, so the change waits for the settle.
        {"a window moved between looks",
         {{1, changed, view_problem::none, true}, {settle, changed}},
         times(settle, '.') + "s"},
        // An unpainted window (black) shows no field at all, however long it lasts;
        // the host's pixels go out once it has painted.
        {"a window that stays unpainted", {{4 * confirm, unpainted}, {1, changed}}, times(4 * confirm, '.') + "s"},
        // Something else over part of the fields (a cut value, not blank): believed
        // only after the long confirmation.
        {"a part that shows something else",
         {{foreign_confirm_cycles, foreign}, {1, foreign}},
         times(foreign_confirm_cycles, '.') + "s"},
        // A background that keeps changing is never steady and never sent.
        {"a background that never settles", {{confirm + 5, unfamiliar_new}}, times(confirm + 5, '.')},
    };
    for (const sequence_case& c : cases) {
        hold_policy policy = started();
        EXPECT_EQ(run(policy, c.segments), c.expected) << c.name;
    }
}

TEST(HoldPolicy, EachCauseIsSaidOnceAndLiveOnlyAfterSomethingWasSaid) {
    hold_policy policy = started();
    const std::string trace = run(policy, {{12, changed, view_problem::covered},
                                           {12, changed, view_problem::off_screen},
                                           {12, changed, view_problem::off_screen},
                                           {view_settle_cycles, changed}});
    EXPECT_EQ(std::count(trace.begin(), trace.end(), 'h'), 2) << trace;
    EXPECT_EQ(trace.back(), 'L') << trace;
}

constexpr std::int64_t sim_like_utc = 1767225600LL * 1000000;  // 2026-01-01

// The state report as sequences of cycles 10.6 ms apart, reporting from the start:
// per cycle the state's first letter when a report is due, '.' when not.
TEST(HoldPolicy, ReportSaysEachStateAtOnceAndBeatsWhileNothingChanges) {
    hold_policy policy;
    policy.reporting = true;
    std::int64_t now = 0;
    const std::int64_t utc = sim_like_utc;
    std::string trace;
    const auto cycles = [&](int n, const reading_evidence& reading, view_problem problem = view_problem::none) {
        for (int i = 0; i < n; ++i) {
            hold_begin_cycle(policy, now, utc + now);
            now += 10600;
            const view_evidence view{problem, false};
            const bool look = hold_needs_look(policy, reading);
            hold_decide(policy, reading, look ? &view : nullptr);
            if (!hold_report_due(policy)) {
                trace += '.';
                continue;
            }
            trace += "lwhmdoc"[policy.state];
            hold_reported(policy);
        }
    };
    const int confirm = reading_confirm_cycles, settle = view_settle_cycles;
    const int beat = int(report_heartbeat_us / 10600) + 1;  // cycles until the heartbeat is due
    cycles(1, unfamiliar_new);
    cycles(confirm, unfamiliar);
    EXPECT_EQ(trace, times(1, 'w') + times(confirm - 1, '.') + "l") << "waiting at once, live once confirmed";
    trace.clear();
    cycles(beat + 12, unchanged);
    EXPECT_EQ(trace, times(beat - 1, '.') + "l" + times(12, '.')) << "the heartbeat while nothing changes";
    trace.clear();
    // 26 + 60 cycles so far: the look that sees the cover is the next periodic
    // one, in cycle 90, though neither the values nor their background change.
    cycles(12, unchanged, view_problem::covered);
    EXPECT_EQ(trace, "...c........") << "a cover is reported at the next look, though nothing changed";
    EXPECT_EQ(policy.confirmed_utc, utc + 79 * 10600) << "confirmed last at the look before the cover, in cycle 80";
    trace.clear();
    cycles(settle + 5, unchanged);
    EXPECT_EQ(trace, times(1, 'w') + times(settle - 2, '.') + "l" + times(5, '.')) << "waiting, then live once settled";
    EXPECT_LT(policy.now_utc - policy.confirmed_utc, report_look_interval * 10600) << "live: confirmed at every look";
    EXPECT_EQ(policy.cycles, 26 + beat + 12 + 12 + settle + 5);
}

TEST(HoldPolicy, JogWindowIsGoneAfterTwoMissedLooksInARow) {
    hold_policy policy;
    const bool found[] = {true, false, true, false, false};
    std::string trace;
    int looks = 0;
    for (int cycle = 1; looks < 5; ++cycle)
        if (hold_begin_cycle(policy, cycle * 10600, cycle * 10600)) {
            EXPECT_EQ(cycle % jog_check_interval, 0);
            trace += hold_jog_gone(policy, found[looks++]) ? 'G' : '.';
        }
    EXPECT_EQ(trace, "....G");
}

}  // namespace
