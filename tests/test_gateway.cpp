// The whole gateway on the simulated desktop, from command line to exit code: what
// the user sees (console, message boxes), what the peer receives, what is given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "gateway/gateway.h"
#include "host/glyph_resources.h"
#include "host/jog_view.h"
#include "platform/sim/sim.h"
#include "recognition/field_reader.h"
#include "support/frame_painter.h"

namespace {

const std::string banner = "Morvel Draxion gateway 1.000\n";
const std::string pipe_path = "\\\\.\\Pipe\\zelmorvelgateway";
const std::wstring no_host_text = L"Can't find Draxion3 main window, please launch Draxion3, then retry";

std::wstring jog_missing_text(const std::wstring& robot) {
    return L"Can't find jog window robot '" + robot +
           L"', please open a jog window for this robot (also rename the robot to '" + robot +
           L"' and reopen the jog window if necessary) and verify this window is not docked to the main frame";
}

std::wstring jog_found_text(const std::wstring& robot) {
    return L"Jog window found for '" + robot +
           L"', please be sure that you are using a 100% scale display on the screen showing this jog window and "
           L"that this jog window will stay visible";
}

std::wstring hex(std::uint32_t v) {
    wchar_t buf[16];
    std::swprintf(buf, 16, L"%x", v);
    return buf;
}

// The jog window's client area showing six values, as the simulator draws them.
std::vector<std::uint32_t> jog_pixels(const std::vector<std::string>& shown) {
    capture_frame f = blank_frame(300, 400);
    for (std::size_t k = 0; k < shown.size(); ++k)
        draw_field(f, real_glyphs(), first_field_row + field_pitch * std::int32_t(k), 106, shown[k],
                   k % 2 ? rendering::alternate : rendering::primary);
    return f.pixels;
}

std::vector<double> values_of(const std::vector<std::uint8_t>& record) {
    std::vector<double> v(6);
    std::memcpy(v.data(), record.data(), 6 * sizeof(double));
    return v;
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        real_glyphs();  // loaded before the test's own scripts run
    }

    // The host with its main window, a palette it owns, another program's window
    // and the jog window of robot 1 (client area 300 x 400 inside a 320 x 420 frame),
    // which lies apart from the others, lowest in the Z-order.
    void start_host(const std::vector<std::string>& shown = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"}) {
        main = sim_create_window({"Cell 4 - Draxion3"});
        palette = sim_create_window({"Palette", main});
        sim_create_window({"Mail"});
        jog = sim_create_window({"jog - robot1 (Cell 4)", main, true, true, jog_rect});
        sim_set_client_pixels(jog, 300, 400, jog_pixels(shown));
    }

    int run(std::vector<std::wstring> words) {
        words.insert(words.begin(), L"gateway.exe");
        return gateway_main(words);
    }

    void expect_everything_given_back() {
        const auto v = sim_contract_violations(true);
        EXPECT_TRUE(v.empty()) << v.front();
        EXPECT_FALSE(sim_pipe_exists(pipe_path));
    }

    static constexpr window_rect jog_rect{700, 100, 1020, 520};
    // The first reading goes out once it has been confirmed: in this cycle, after
    // this many sleeps.
    static constexpr int first_send = reading_confirm_cycles;
    window_handle main = nullptr, palette = nullptr, jog = nullptr, cover = nullptr;
};

TEST_F(Gateway, FrameworkThatFailsToStartEndsWithOne) {
    sim_fail_framework_start();
    start_host();
    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(sim_console(), banner);
    EXPECT_EQ(sim_console_wide(), L"Fatal Error: MFC initialization failed\n");
    EXPECT_TRUE(sim_boxes().empty());
    expect_everything_given_back();
}

TEST_F(Gateway, NoHostShowsTheErrorBoxAndCreatesNoPipe) {
    sim_create_window({"Mail"});
    EXPECT_EQ(run({L"1f", L"1"}), -2);
    EXPECT_EQ(sim_console(), banner);
    ASSERT_EQ(sim_boxes().size(), 1u);
    EXPECT_EQ(sim_boxes()[0].text, no_host_text);
    EXPECT_EQ(sim_boxes()[0].icon, box_icon::error);
    expect_everything_given_back();
}

TEST_F(Gateway, PipeHeldElsewhereEndsWithPipeOpenError) {
    // A first gateway (or any other process) holds the name; or a squatter that
    // allows further instances, which would take our peer's connection.
    for (auto hold : {sim_hold_pipe, sim_squat_pipe}) {
        sim_reset();
        start_host();
        hold(pipe_path);
        EXPECT_EQ(run({}), -2);
        EXPECT_EQ(sim_console(), banner + "Pipe open error\n");
        EXPECT_TRUE(sim_boxes().empty());
        EXPECT_TRUE(sim_contract_violations(true).empty());
    }
}

TEST_F(Gateway, ConnectCompletingAtOnceEndsWithPipeOpenError) {
    start_host();
    sim_connect_completes_at_once();
    EXPECT_EQ(run({}), -2);
    EXPECT_EQ(sim_console(), banner + "Pipe open error\n");
    expect_everything_given_back();
}

TEST_F(Gateway, NoJogWindowPrintsTheVisitedTitlesAndNamesTheRobotTwice) {
    start_host();
    EXPECT_EQ(run({L"0", L"2"}), -3);
    EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\n");
    ASSERT_EQ(sim_boxes().size(), 1u);
    EXPECT_EQ(sim_boxes()[0].text, jog_missing_text(L"robot2"));
    EXPECT_EQ(sim_boxes()[0].icon, box_icon::error);
    EXPECT_TRUE(sim_pipe_exists(pipe_path))
        << "the endpoint was created before the search and is left to the process's end";
    EXPECT_TRUE(sim_contract_violations(false).empty());
}

TEST_F(Gateway, ThirdWordNamesThePipeOrEndsTheRunBeforeAnySearch) {
    start_host();
    sim_peer_connects_after(0);
    sim_destroy_window_after_checks(main, first_send + 1);
    bool named = false, default_name = true;
    sim_on_box([&](const sim_box&) {
        named = sim_pipe_exists("\\\\.\\Pipe\\cell4_robot1");
        default_name = sim_pipe_exists(pipe_path);
    });
    EXPECT_EQ(run({hex(sim_handle_value(main)), L"1", L"cell4_robot1"}), 0);
    EXPECT_TRUE(named);
    EXPECT_FALSE(default_name);
    EXPECT_EQ(sim_peer_received().size(), 2u);

    sim_reset();
    start_host();
    EXPECT_EQ(run({L"0", L"1", L"a\\b"}), -6);
    EXPECT_EQ(sim_console(), banner + "Bad pipe name: the name holds a backslash\n");
    EXPECT_TRUE(sim_boxes().empty());
    EXPECT_TRUE(sim_contract_violations(true).empty());
}

TEST_F(Gateway, RobotNumberIsFormattedUnsigned) {
    start_host();
    EXPECT_EQ(run({L"0", L"-1"}), -3);
    EXPECT_EQ(sim_boxes().at(0).text, jog_missing_text(L"robot4294967295"));
    sim_reset();
    start_host();
    EXPECT_EQ(run({L"0", L"abc"}), -3);
    EXPECT_EQ(sim_boxes().at(0).text, jog_missing_text(L"robot0"));
}

TEST_F(Gateway, NormalRunDeliversTheValuesAndStopsWhenTheOwnerCloses) {
    start_host();
    sim_peer_connects_after(0);
    sim_destroy_window_after_checks(main, first_send + 5);
    EXPECT_EQ(run({hex(sim_handle_value(main)), L"1"}), 0);

    EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\n") << "nothing printed while cycling";
    ASSERT_EQ(sim_boxes().size(), 1u);
    EXPECT_EQ(sim_boxes()[0].text, jog_found_text(L"robot1"));
    EXPECT_EQ(sim_boxes()[0].icon, box_icon::information);
    EXPECT_EQ(sim_sleeps(), first_send + 5);
    EXPECT_EQ(sim_slept_ms(), 10u * (first_send + 5));
    const auto& got = sim_peer_received();
    ASSERT_EQ(got.size(), 2u) << "one message: the values never changed";
    EXPECT_EQ(values_of(got[1]), (std::vector<double>{12.5, -0.5, 300.0, -1234.6, 0.0, 7.7}));
    expect_everything_given_back();
}

TEST_F(Gateway, ChangedValuesReachTheLatePeerWithinACycle) {
    start_host();
    sim_peer_connects_after(first_send + 3);
    sim_destroy_window_after_checks(main, first_send + 8);
    sim_on_sleep([&](int sleeps) {
        if (sleeps == first_send + 5)
            sim_set_client_pixels(jog, 300, 400, jog_pixels({"12,6", "-0,5", "300,0", "-1234,6", "-0,0", "7,7"}));
    });
    EXPECT_EQ(run({hex(sim_handle_value(main))}), 0);
    const auto& got = sim_peer_received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(values_of(got[1]), (std::vector<double>{12.5, -0.5, 300.0, -1234.6, 0.0, 7.7}));
    const std::vector<double> changed = values_of(got[3]);
    EXPECT_EQ(changed[0], 12.6);
    EXPECT_TRUE(std::signbit(changed[4])) << "-0,0 reads as negative zero, a change from 0.0";
    EXPECT_EQ(sim_write_attempts(), 3 + 2 + 2) << "three failed tags before the peer, then two messages";
    expect_everything_given_back();
}

TEST_F(Gateway, ReportAskedForSaysTheStateAndWhenTheValuesWereConfirmed) {
    // Cycle k starts (k - 1) * 10 ms after the first on the simulated clock. The
    // window is covered from cycle 101 to 150, and its last value changes in 121.
    start_host();
    sim_peer_connects_after(0);
    sim_peer_writes(std::vector<std::uint8_t>(std::begin(axis_report_request), std::end(axis_report_request)));
    sim_destroy_window_after_checks(main, 230);
    sim_on_sleep([&](int sleeps) {
        if (sleeps == 100) {
            // Right of the digits: the values read the same, but their background
            // differs, and a look follows at once.
            cover = sim_create_window({"Notes", nullptr, true, true, {920, 310, 1010, 490}});
            sim_bring_to_top(cover);
        }
        if (sleeps == 120)
            sim_set_client_pixels(jog, 300, 400, jog_pixels({"12,5", "-0,5", "300,0", "-1234,6", "0,0", "8,8"}));
        if (sleeps == 150) sim_destroy_window(cover);
    });
    EXPECT_EQ(run({hex(sim_handle_value(main))}), 0);
    EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\n" +
                                 "Values held (covered): another window lies over the jog window's fields: move it "
                                 "away or bring the jog window to the front\nValues live again\n");
    const std::vector<double> before{12.5, -0.5, 300.0, -1234.6, 0.0, 7.7}, after{12.5, -0.5, 300.0, -1234.6, 0.0, 8.8},
        none(6, 0.0);
    struct expected_record {
        int made, state, confirmed, since;  // cycles; confirmed 0: never
        const std::vector<double>& values;
    };
    const expected_record expected[] = {
        {1, axis_state_waiting, 0, 1, none},          // at once: no values yet
        {26, axis_state_live, 26, 26, before},        // confirmed
        {76, axis_state_live, 70, 26, before},        // the heartbeat, 50 cycles on; confirmed at every 10th
        {101, axis_state_covered, 100, 101, before},  // at once: held, the last live values
        {151, axis_state_waiting, 100, 151, before},  // whole again
        {160, axis_state_live, 160, 160, after},      // settled: the new value
        {210, axis_state_live, 210, 160, after},      // the heartbeat
    };
    const auto& got = sim_peer_received();
    ASSERT_EQ(got.size(), 2 * std::size(expected));
    const auto at = [](int cycle) { return double(sim_utc_start_us + (cycle - 1) * 10000LL) / 1e6; };
    double readings = 0;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const expected_record& e = expected[i];
        SCOPED_TRACE("record " + std::to_string(i));
        axis_record r;
        ASSERT_EQ(got[2 * i + 1].size(), sizeof r);
        std::memcpy(&r, got[2 * i + 1].data(), sizeof r);
        EXPECT_EQ(values_of(got[2 * i + 1]), e.values);
        EXPECT_EQ(r.slots[axis_slot_report], axis_report_version);
        EXPECT_EQ(r.slots[axis_slot_state], e.state);
        EXPECT_EQ(r.slots[axis_slot_made], at(e.made));
        EXPECT_EQ(r.slots[axis_slot_confirmed], e.confirmed == 0 ? 0.0 : at(e.confirmed));
        EXPECT_EQ(r.slots[axis_slot_state_since], at(e.since));
        EXPECT_EQ(r.slots[axis_slot_readings], e.made);
        EXPECT_GT(r.slots[axis_slot_readings], readings);
        readings = r.slots[axis_slot_readings];
        for (int k = axis_slot_made + 1; k < axis_slot_count; ++k) EXPECT_EQ(r.slots[k], 0.0) << "slot " << k;
    }
    expect_everything_given_back();
}

TEST_F(Gateway, ViewThatIsNotWholeHoldsTheValuesAndSaysWhy) {
    // Each state makes the copy show plausible but wrong numbers: the minus sign
    // off screen, the last digits under another window. A state that lasts only a
    // few cycles holds the values just the same, but says nothing. A window
    // minimised while the box is up gives the capture no size when it is set up.
    const auto off_screen = [this] { sim_move_window(jog, {-118, 100, 202, 520}); };
    const auto on_screen = [this] { sim_move_window(jog, jog_rect); };
    const auto cover_up = [this] {
        cover = sim_create_window({"Notes", nullptr, true, true, {840, 310, 1010, 490}});
        sim_bring_to_top(cover);
    };
    const auto uncover = [this] { sim_destroy_window(cover); };
    const auto minimize = [this] { sim_minimize_window(jog, true); };
    const auto restore = [this] { sim_minimize_window(jog, false); };
    struct view_case {
        view_problem cause;
        std::function<void()> spoil, mend;
        int mend_at;  // sleeps
        bool said;
        bool at_box = false;  // spoilt while the information box is up: no values before the mend
    };
    const view_case cases[] = {
        {view_problem::off_screen, off_screen, on_screen, 15, true},
        {view_problem::covered, cover_up, uncover, 15, true},
        {view_problem::covered, cover_up, uncover, 5, false},
        // Restored 30 cycles before the run ends: the values must be out within 0.3 s.
        {view_problem::minimized, minimize, restore, 10, true, true},
    };
    for (const view_case& c : cases) {
        sim_reset();
        start_host();
        sim_peer_connects_after(0);
        sim_destroy_window_after_checks(main, first_send + 40);
        if (c.at_box) sim_on_box([&](const sim_box&) { c.spoil(); });
        sim_on_sleep([&](int sleeps) {
            if (sleeps == first_send + 2) {
                if (!c.at_box) c.spoil();
                sim_set_client_pixels(jog, 300, 400, jog_pixels({"12,5", "-0,5", "300,0", "-1234,6", "0,0", "8,8"}));
            }
            if (sleeps == first_send + c.mend_at) c.mend();
        });
        EXPECT_EQ(run({hex(sim_handle_value(main))}), 0) << view_problem_id(c.cause);
        const auto& got = sim_peer_received();
        ASSERT_EQ(got.size(), c.at_box ? 2u : 4u)
            << view_problem_id(c.cause) << ": the first values, then only the true ones once whole";
        EXPECT_EQ(values_of(got.back()), (std::vector<double>{12.5, -0.5, 300.0, -1234.6, 0.0, 8.8}));
        const std::string titles = banner + "Palette\nMail\njog - robot1 (Cell 4)\n";
        const std::string said = std::string("Values held (") + view_problem_id(c.cause) +
                                 "): " + view_problem_advice(c.cause) + "\nValues live again\n";
        EXPECT_EQ(sim_console(), c.said ? titles + said : titles)
            << view_problem_id(c.cause) << " held until " << c.mend_at;
        expect_everything_given_back();
    }
}

TEST_F(Gateway, OnlyWhatTheHostDrewGoesOut) {
    // The view's geometry is whole throughout; the pixels are not always the host's:
    // unpainted (black) after the window came back unseen, a window's remnants over
    // the right of the fields, a field blank for a cycle while the host repaints.
    // A field the host leaves empty for good goes out as 0.0 once that has lasted.
    const std::vector<std::string> changed = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "8,8"};
    std::vector<std::uint32_t> remnants = jog_pixels(changed);
    for (std::int32_t y = 200; y < 360; ++y)
        for (std::int32_t x = 120; x < 300; ++x) remnants[std::size_t(y * 300 + x)] = 0x404040;
    std::vector<std::string> repainting = changed;
    repainting[2] = "";
    struct disturbance_case {
        const char* name;
        std::vector<std::uint32_t> disturbed;
        int cycles;  // how long it lasts; the host then shows `changed`
        std::vector<double> last;
    };
    const std::vector<double> now = {12.5, -0.5, 300.0, -1234.6, 0.0, 8.8};
    std::vector<double> emptied = now;
    emptied[2] = 0.0;
    const disturbance_case cases[] = {
        // Blank fields on no field's background: never sent, however long.
        {"unpainted, longer than any confirmation", std::vector<std::uint32_t>(300 * 400, 0),
         foreign_confirm_cycles + 20, now},
        // Cut values on another background: longer than a plain confirmation.
        {"remnants", remnants, 4 * reading_confirm_cycles, now},
        {"blank for a cycle", jog_pixels(repainting), 1, now},
        {"blank for good", jog_pixels(repainting), 1000, emptied},
    };
    for (const disturbance_case& c : cases) {
        sim_reset();
        start_host();
        sim_peer_connects_after(0);
        sim_destroy_window_after_checks(main, first_send + 2 + std::min(c.cycles, foreign_confirm_cycles + 20) + 40);
        sim_on_sleep([&](int sleeps) {
            if (sleeps == first_send + 2) sim_set_client_pixels(jog, 300, 400, c.disturbed);
            if (sleeps == first_send + 2 + c.cycles) sim_set_client_pixels(jog, 300, 400, jog_pixels(changed));
        });
        EXPECT_EQ(run({hex(sim_handle_value(main))}), 0) << c.name;
        const auto& got = sim_peer_received();
        ASSERT_EQ(got.size(), 4u) << c.name;
        EXPECT_EQ(values_of(got[3]), c.last) << c.name;
        EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\n") << c.name << ": nothing said";
    }
}

TEST_F(Gateway, ClosedJogWindowEndsTheRunWithItsOwnCode) {
    start_host();
    sim_peer_connects_after(0);
    sim_on_sleep([&](int sleeps) {
        if (sleeps == first_send + 3) sim_destroy_window(jog);
    });
    EXPECT_EQ(run({hex(sim_handle_value(main))}), -5);
    EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\nJog window closed\n");
    EXPECT_LE(sim_sleeps(), first_send + 3 + 20) << "within a fraction of a second";
    EXPECT_EQ(sim_peer_received().size(), 2u);
    expect_everything_given_back();
}

TEST_F(Gateway, HostClosingJogAndMainTogetherIsANormalStop) {
    start_host();
    sim_on_sleep([&](int sleeps) {
        if (sleeps == 3) sim_destroy_window(jog);
        if (sleeps == 5) sim_destroy_window(main);
    });
    EXPECT_EQ(run({hex(sim_handle_value(main))}), 0);
    EXPECT_EQ(sim_console(), banner + "Palette\nMail\njog - robot1 (Cell 4)\n");
}

TEST_F(Gateway, DisplayOfAnotherDepthIsNamedAsTheCause) {
    start_host();
    sim_set_display_bits(16);
    EXPECT_EQ(run({}), -4);
    EXPECT_EQ(sim_console(), banner +
                                 "Palette\nMail\njog - robot1 (Cell 4)\n"
                                 "The display uses 16 bits per pixel; the gateway needs 32\n");
    expect_everything_given_back();
}

TEST_F(Gateway, WithoutOwnerAKeyPressStopsAndIsNotConsumed) {
    start_host();
    sim_on_sleep([](int sleeps) {
        if (sleeps == 4) sim_set_key_waiting(true);
    });
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(sim_sleeps(), 4);
    EXPECT_EQ(sim_key_tests(), 5);
    EXPECT_EQ(sim_is_window_calls(), 0) << "no owner window is tested";
    expect_everything_given_back();
}

TEST_F(Gateway, KeyPressDoesNothingWhileAnOwnerIsGiven) {
    start_host();
    sim_set_key_waiting(true);
    sim_destroy_window_after_checks(main, 3);
    EXPECT_EQ(run({hex(sim_handle_value(main))}), 0);
    EXPECT_EQ(sim_sleeps(), 3);
    EXPECT_EQ(sim_key_tests(), 0);
    expect_everything_given_back();
}

TEST_F(Gateway, OwnerThatNamesNoWindowStopsBeforeAnyCapture) {
    start_host();
    sim_peer_connects_after(0);
    EXPECT_EQ(run({L"DEAD0", L"1"}), 0);
    EXPECT_EQ(sim_sleeps(), 0);
    EXPECT_EQ(sim_write_attempts(), 0);
    EXPECT_EQ(sim_boxes().size(), 1u);
    expect_everything_given_back();
}

TEST_F(Gateway, OwnerClosedWhileTheInformationBoxIsUpStopsAtTheFirstTest) {
    start_host();
    sim_on_box([&](const sim_box&) { sim_destroy_window(main); });
    EXPECT_EQ(run({hex(sim_handle_value(main))}), 0);
    EXPECT_EQ(sim_sleeps(), 0);
    expect_everything_given_back();
}

TEST_F(Gateway, DamagedGlyphBitmapIsReportedAndEndsTheRun) {
    start_host();
    const int id = alternate_resource_ids[6];
    sim_remove_resource(id);
    EXPECT_EQ(run({}), -4);
    EXPECT_EQ(sim_console(),
              banner + "Palette\nMail\njog - robot1 (Cell 4)\nCan't load glyph bitmap " + std::to_string(id) + "\n");
    EXPECT_EQ(sim_sleeps(), 0);
    expect_everything_given_back();
}

}  // namespace
