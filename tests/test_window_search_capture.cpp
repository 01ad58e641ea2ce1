// Finding the simulator's windows by title and copying the jog window.
#include <gtest/gtest.h>

#include <climits>

#include "host/window_search_capture.h"
#include "platform/sim/sim.h"

namespace {

class HostWindows : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override {
        release_capture();
        const auto v = sim_contract_violations(true);
        EXPECT_TRUE(v.empty()) << v.front();
    }
    static window_handle window(const std::string& title, window_handle owner = nullptr, bool enabled = true) {
        sim_window_setup setup;
        setup.title = title;
        setup.owner = owner;
        setup.enabled = enabled;
        return sim_create_window(setup);
    }
};

TEST_F(HostWindows, MainWindowIsTheFirstWhoseTitleContainsTheName) {
    EXPECT_EQ(find_main_window(), nullptr);
    window("Editor");
    const window_handle first = window("Project - Draxion3 - cell A");
    window("Draxion3");
    EXPECT_EQ(find_main_window(), first);
    window("draxion3 lower case");
    EXPECT_EQ(find_main_window(), first);
    EXPECT_EQ(sim_console(), "") << "the search prints nothing";
}

TEST_F(HostWindows, JogSearchStartsAtTheFirstEnabledPopupOrTheMainWindow) {
    const window_handle main = window("Draxion3");
    window("Other program");
    EXPECT_EQ(first_jog_candidate(main), main) << "owns no popup";
    window("Tool palette", main, false);
    EXPECT_EQ(first_jog_candidate(main), main) << "owns only a disabled popup";
    const window_handle popup = window("Properties", main);
    EXPECT_EQ(first_jog_candidate(main), popup);
}

TEST_F(HostWindows, JogPatternEndsRightAfterTheRobotName) {
    const window_handle main = window("Draxion3");
    window("jog - robot12 (cell 1)");
    const window_handle jog1 = window("jog - robot1 (cell 1)");
    EXPECT_EQ(find_jog_window(main, "jog - robot1 ("), jog1);
    EXPECT_EQ(sim_console(), "Draxion3\njog - robot12 (cell 1)\njog - robot1 (cell 1)\n")
        << "every title visited is printed, the match included";
}

TEST_F(HostWindows, JogSearchFollowsTheZOrderFromItsStartOnly) {
    const window_handle early = window("jog - robot1 (early)");
    const window_handle main = window("Draxion3");
    window("Unrelated");
    EXPECT_EQ(find_jog_window(main, "jog - robot1 ("), nullptr) << "a window above the start is not found";
    EXPECT_EQ(sim_console(), "Draxion3\nUnrelated\n");
    EXPECT_EQ(find_jog_window(nullptr, "jog - robot1 ("), nullptr);
    EXPECT_EQ(find_jog_window(early, "jog - robot1 ("), early);
}

TEST_F(HostWindows, TitlesAreCutAt1022Characters) {
    const std::string pattern = "jog - robot1 (";
    const window_handle start = window("Draxion3");
    const window_handle fits = window(std::string(1022 - pattern.size(), 'x') + pattern);
    EXPECT_EQ(find_jog_window(start, pattern.c_str()), fits);

    sim_reset();
    const window_handle start2 = window("Draxion3");
    window(std::string(1023 - pattern.size(), 'x') + pattern);  // its last character is cut
    EXPECT_EQ(find_jog_window(start2, pattern.c_str()), nullptr);
    EXPECT_NE(sim_console().find(std::string(1023 - pattern.size(), 'x') + "jog - robot1 \n"), std::string::npos);
}

TEST_F(HostWindows, CaptureCopiesTheClientAreaIntoAFrameOfTheOuterSize) {
    sim_window_setup setup;
    setup.title = "jog - robot1 (";
    setup.rect = {10, 20, 14, 23};  // 4 x 3 outer
    const window_handle jog = sim_create_window(setup);
    // A 3 x 2 client area whose pixels carry an alpha byte, as some displays leave.
    sim_set_client_pixels(jog, 3, 2, {0xFF112233, 0x00445566, 0x80FFFFFF, 0x01000000, 0x00808080, 0xFF141414});
    setup_capture_contexts(jog);
    setup_capture_frame(jog);
    capture_jog_window();
    const capture_frame& f = jog_frame();
    ASSERT_EQ(f.width, 4);
    ASSERT_EQ(f.height, 3);
    const std::vector<pixel> expected = {0x112233, 0x445566, 0xFFFFFF, 0,  //
                                         0x000000, 0x808080, 0x141414, 0,  //
                                         0,        0,        0,        0};
    EXPECT_EQ(f.pixels, expected);

    sim_set_client_pixels(jog, 3, 2, std::vector<std::uint32_t>(6, 0x123456));
    capture_jog_window();
    EXPECT_EQ(jog_frame().pixels[5], 0x123456u) << "every cycle copies afresh";
    release_capture();
    EXPECT_TRUE(sim_contract_violations(true).empty());
}

TEST_F(HostWindows, AreaCaptureFillsOnlyItsPixelsAtTheirPlace) {
    sim_window_setup setup;
    setup.title = "jog - robot1 (";
    setup.rect = {10, 20, 14, 26};  // 4 x 6 outer
    const window_handle jog = sim_create_window(setup);
    std::vector<std::uint32_t> client(4 * 6);
    for (std::size_t i = 0; i < client.size(); ++i) client[i] = std::uint32_t(0x010101 * (i + 1));
    sim_set_client_pixels(jog, 4, 6, client);
    setup_capture_contexts(jog);
    setup_capture_frame(jog, {1, 2, 4});
    capture_jog_window();
    const capture_frame& f = jog_frame();
    ASSERT_EQ(f.width, 4);
    ASSERT_EQ(f.height, 6);
    for (std::size_t i = 0; i < client.size(); ++i)
        EXPECT_EQ(f.pixels[i], i >= 8 && i < 16 && i % 4 >= 1 ? client[i] : 0u) << "pixel " << i;
    release_capture();
    EXPECT_TRUE(sim_contract_violations(true).empty());
}

TEST_F(HostWindows, DegenerateRectangleGivesAnEmptyFrame) {
    // Also a frame too large for one bitmap read, and one whose size overflows.
    for (window_rect rect :
         {window_rect{0, 0, 0, 400}, window_rect{50, 50, 40, 400}, window_rect{0, 0, 300, -5},
          window_rect{0, 0, 40000, 40000}, window_rect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}}) {
        sim_window_setup setup;
        setup.title = "jog - robot1 (";
        setup.rect = rect;
        const window_handle jog = sim_create_window(setup);
        setup_capture_contexts(jog);
        setup_capture_frame(jog);
        capture_jog_window();
        EXPECT_EQ(jog_frame().width, 0);
        EXPECT_EQ(jog_frame().height, 0);
        EXPECT_TRUE(jog_frame().pixels.empty());
        release_capture();
    }
}

TEST_F(HostWindows, ReleaseWithNothingSetUpIsHarmless) {
    release_capture();
    release_capture();
    EXPECT_TRUE(sim_contract_violations(true).empty());
}

}  // namespace
