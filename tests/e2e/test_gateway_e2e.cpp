// The real gateway.exe, started as a user starts it, against the host simulator,
// with a peer on its pipe and a user who answers its message boxes: what each of
// them sees, and the exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/window_search_capture.h"
#include "platform/platform.h"
#include "support/box_user.h"
#include "support/glyph_tables.h"
#include "support/host_driver.h"
#include "support/pipe_peer.h"
#include "support/processes.h"

namespace {

const char* const pipe_path = "\\\\.\\pipe\\zelmorvelgateway";
const std::string banner = "Morvel Draxion gateway 1.000\n";
const std::vector<double> shown_values = {12.5, -0.5, 300.0, -1234.6, 0.0, 7.7};  // the simulator's start values
constexpr DWORD patience_ms = 20000;  // Wine starts programs slowly; nothing here should take this long

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Every record the peer receives until none has come for quiet_ms, as values;
// tags are checked and dropped.
std::vector<std::vector<double>> drain(pipe_peer& peer, DWORD quiet_ms);

std::vector<double> values_in(const std::vector<std::uint8_t>& record) {
    std::vector<double> v(6);
    if (record.size() == 384) std::memcpy(v.data(), record.data(), 6 * sizeof(double));
    return v;
}

// The values of the next record, or none when nothing has come within timeout_ms.
std::vector<double> next_values(pipe_peer& peer, DWORD timeout_ms) {
    const std::vector<std::uint8_t> tag = peer.read(timeout_ms);
    if (tag.empty()) return {};
    EXPECT_EQ(tag.size(), 4u) << "a tag before every record";
    return values_in(peer.read(1000));
}

std::vector<std::vector<double>> drain(pipe_peer& peer, DWORD quiet_ms) {
    std::vector<std::vector<double>> records;
    for (std::vector<std::uint8_t> m; !(m = peer.read(quiet_ms)).empty();) {
        EXPECT_EQ(m.size(), 4u) << "a tag before every record";
        const std::vector<std::uint8_t> record = peer.read(1000);
        EXPECT_EQ(record.size(), 384u);
        records.push_back(values_in(record));
    }
    return records;
}

bool pipe_exists() {
    const HANDLE h = CreateFileA(pipe_path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY;
}

struct probe_case;

class EndToEnd : public ::testing::Test {
protected:
    void check_probe(const probe_case& c);

    void TearDown() override {
        for (child_process* c : {&gateway, &second, &monitor}) stop_process(*c);
        simulator.stop();
        simulator = host_driver{};  // ready to start afresh
    }

    // Starts the simulator and gives its main window's handle as the gateway takes it.
    std::wstring start_simulator(const std::wstring& arguments = L"") {
        EXPECT_TRUE(simulator.start(arguments, patience_ms)) << simulator.process.seen;
        return simulator.owner_word();
    }

    // Sends a command to the simulator and waits until it has been carried out.
    void tell_simulator(const std::string& command) {
        ASSERT_TRUE(simulator.tell(command, patience_ms)) << command << ": " << simulator.process.seen;
    }

    // Starts a gateway and answers its information box, as the user does, after
    // sending the simulator a command while the box is up if one is given.
    void start_gateway(const std::wstring& arguments, const std::string& while_box_is_up = "") {
        ASSERT_TRUE(start_process(gateway, L"gateway.exe", arguments));
        seen_box box;
        ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box)) << collect_output(gateway);
        EXPECT_EQ(box.text,
                  L"Jog window found for 'robot1', please be sure that you are using a 100% scale display on "
                  L"the screen showing this jog window and that this jog window will stay visible");
        EXPECT_EQ(box.icon, L"information");
        EXPECT_EQ(box.caption, L"gateway");
        if (!while_box_is_up.empty()) tell_simulator(while_box_is_up);
        press_ok(box);
    }

    // A gateway for robot 1 of a fresh simulator, with a peer that has taken the
    // first update.
    void start_serving(pipe_peer& peer) {
        start_gateway(start_simulator() + L" 1");
        ASSERT_TRUE(peer.connect(patience_ms));
        ASSERT_EQ(drain(peer, 1000), std::vector<std::vector<double>>{shown_values});
    }

    DWORD exit_code_of(child_process& c) {
        DWORD code = 12345;
        EXPECT_TRUE(wait_for_exit(c, patience_ms, &code)) << "still running";
        return code;
    }

    host_driver simulator;
    child_process gateway, second, monitor;
};

TEST_F(EndToEnd, ValuesReachTheMonitorExactlyAndFollowChanges) {
    const std::wstring owner = start_simulator();
    start_gateway(owner + L" 1");
    ASSERT_TRUE(start_process(monitor, L"axis_monitor.exe", L"--wait 20"));
    // Shortest exact forms: parsing them back gives the very doubles that were sent.
    ASSERT_TRUE(wait_for_output(monitor, "12.5 -0.5 300 -1234.6 0 7.7\n", patience_ms)) << monitor.seen;

    Sleep(1000);
    const std::string after_a_second = collect_output(monitor);
    EXPECT_EQ(after_a_second.find("\n", after_a_second.find("7.7\n") + 4), std::string::npos)
        << "unchanged values send nothing: " << after_a_second;

    tell_simulator("set 1 5 -98,7");
    EXPECT_TRUE(wait_for_output(monitor, "12.5 -0.5 300 -1234.6 0 -98.7\n", 5000)) << monitor.seen;
    tell_simulator("drop 1 2 1");  // glyphs one row lower read the same: no message
    tell_simulator("set 1 2 -0,0");
    EXPECT_TRUE(wait_for_output(monitor, "12.5 -0.5 -0 -1234.6 0 -98.7\n", 5000)) << monitor.seen;

    tell_simulator("quit");  // the owner window closes
    EXPECT_EQ(exit_code_of(gateway), 0u);
    EXPECT_EQ(collect_output(gateway), banner + "jog - robot1 (host simulator)\n") << "nothing printed while cycling";
    EXPECT_EQ(exit_code_of(monitor), 2u);
    EXPECT_NE(monitor.seen.find("the gateway has gone"), std::string::npos);
}

TEST_F(EndToEnd, LatePeerGetsTheCurrentValuesAtOnce) {
    start_gateway(start_simulator() + L" 1");
    Sleep(3000);
    pipe_peer peer(pipe_path);
    ASSERT_TRUE(peer.connect(patience_ms));
    const std::vector<std::uint8_t> tag = peer.read(5000);
    EXPECT_EQ(tag, (std::vector<std::uint8_t>{0x02, 0x55, 0x00, 0x00}));
    const std::vector<std::uint8_t> record = peer.read(5000);
    ASSERT_EQ(record.size(), 384u);
    EXPECT_EQ(values_in(record), shown_values);
    for (std::size_t i = 48; i < 384; ++i) ASSERT_EQ(record[i], 0) << "slots 6 to 47 are zero";
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
}

TEST_F(EndToEnd, PeerThatLeavesDoesNotStopTheGateway) {
    start_gateway(start_simulator() + L" 1");
    {
        pipe_peer peer(pipe_path);
        ASSERT_TRUE(peer.connect(patience_ms));
        EXPECT_EQ(peer.read(5000).size(), 4u);
        EXPECT_EQ(peer.read(5000).size(), 384u);
    }                               // gone
    tell_simulator("set 1 0 1,0");  // a change the gateway can no longer deliver
    Sleep(500);
    EXPECT_EQ(WaitForSingleObject(gateway.process, 0), DWORD(WAIT_TIMEOUT)) << "still cycling";
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
}

TEST_F(EndToEnd, FieldsNotInFullViewSendNothingUntilWholeAgain) {
    // Both states once showed plausible wrong numbers: the minus sign off the left
    // edge of the screen (-1234.6 as 1234.6), the digits right of the second under
    // another window (-1234.6 as -0.1, 300 as 3). A window minimised while the box
    // is up once left the gateway without a frame to copy into after its restore.
    struct view_case {
        const char* spoil;
        const char* mend;
        const char* id;
        bool at_box = false;  // spoilt while the information box is up: no values before the mend
    };
    for (const view_case& c :
         {view_case{"move 1 -150 40", "move 1 480 40", "off_screen"}, view_case{"cover 1 right", "uncover", "covered"},
          view_case{"minimize 1", "restore 1", "minimized", true}}) {
        pipe_peer peer(pipe_path);
        if (c.at_box) {
            ASSERT_NO_FATAL_FAILURE(start_gateway(start_simulator() + L" 1", c.spoil)) << c.id;
            ASSERT_TRUE(peer.connect(patience_ms)) << c.id;
        } else {
            ASSERT_NO_FATAL_FAILURE(start_serving(peer)) << c.id;
            tell_simulator(c.spoil);
        }
        const std::string held = std::string("Values held (") + c.id + "): ";
        EXPECT_TRUE(wait_for_output(gateway, held, 5000)) << gateway.seen;
        tell_simulator("set 1 5 -98,7");  // a change while held: not seen whole, not sent
        EXPECT_TRUE(drain(peer, 500).empty()) << c.id;

        tell_simulator(c.mend);
        const ULONGLONG mended = GetTickCount64();
        std::vector<double> now = shown_values;
        now[5] = -98.7;
        EXPECT_EQ(next_values(peer, patience_ms), now) << c.id;
        std::printf("%s: values again %llu ms after the mend\n", c.id, GetTickCount64() - mended);
        EXPECT_TRUE(wait_for_output(gateway, "Values live again\n", 5000)) << gateway.seen;
        tell_simulator("set 1 0 1,0");  // and once live, a change goes out as ever
        now[0] = 1.0;
        EXPECT_EQ(next_values(peer, patience_ms), now) << c.id;
        EXPECT_EQ(collect_output(gateway).find("Values held", gateway.seen.find(held) + 1), std::string::npos)
            << "one line when holding begins, one when it ends: " << gateway.seen;

        tell_simulator("quit");
        EXPECT_EQ(exit_code_of(gateway), 0u);
        TearDown();
    }
}

TEST_F(EndToEnd, ClosedJogWindowEndsTheGatewayWithMinusFive) {
    pipe_peer peer(pipe_path);
    ASSERT_NO_FATAL_FAILURE(start_serving(peer));
    tell_simulator("close 1");
    const ULONGLONG closed = GetTickCount64();
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(gateway, 1000, &code)) << "still running a second after the jog window closed";
    std::printf("gateway ended %llu ms after the jog window closed\n", GetTickCount64() - closed);
    EXPECT_EQ(code, 0xFFFFFFFBu);
    // A closing window is hidden first, which the gateway may see (and say) for a cycle.
    const std::string out = collect_output(gateway);
    EXPECT_EQ(out.rfind(banner + "jog - robot1 (host simulator)\n", 0), 0u) << out;
    EXPECT_TRUE(out.ends_with("\nJog window closed\n")) << out;
    EXPECT_TRUE(peer.read(1000).empty()) << "the peer sees the pipe close";
}

TEST_F(EndToEnd, PeerThatStallsGetsTheNewestValuesNotABacklog) {
    pipe_peer peer(pipe_path);
    ASSERT_NO_FATAL_FAILURE(start_serving(peer));
    tell_simulator("animate 1 on");  // five changes a second while the peer reads nothing
    Sleep(5000);
    tell_simulator("animate 1 off");
    tell_simulator("set 1 0 77,7");
    Sleep(200);
    const ULONGLONG resumed = GetTickCount64();
    int backlog = 0;
    bool newest = false;
    while (!newest && GetTickCount64() - resumed < 2000)
        for (const std::vector<double>& r : drain(peer, 50)) r[0] == 77.7 ? void(newest = true) : void(++backlog);
    const ULONGLONG waited = GetTickCount64() - resumed;
    std::printf("after a 5 s stall: %d stale records, the newest after %llu ms\n", backlog, waited);
    EXPECT_LT(waited, 500u) << "the newest values within half a second of reading again";
    EXPECT_LE(backlog, 6) << "at most a few updates queue for a peer that stops reading";
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
}

TEST_F(EndToEnd, ConsoleThatNobodyReadsNeverStopsTheValues) {
    // A launcher that redirects the console and never reads it: its 4 KB fill after
    // some 26 holds, and a gateway that waited for its console would deliver nothing
    // more and never see its owner go.
    const std::wstring owner = start_simulator();
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", owner + L" 1", output_reading::not_until_asked, 4096));
    seen_box box;
    ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box));
    press_ok(box);
    pipe_peer peer(pipe_path);
    ASSERT_TRUE(peer.connect(patience_ms));
    ASSERT_EQ(drain(peer, 1000), std::vector<std::vector<double>>{shown_values});
    for (int i = 0; i < 100; ++i) {
        tell_simulator("cover 1 right");
        Sleep(150);  // the hold is said once it has lasted ten cycles
        tell_simulator("set 1 0 " + std::to_string(100 + i) + ",5");
        tell_simulator("uncover");
        const double want = 100.5 + i;
        bool arrived = false;
        for (const ULONGLONG since = GetTickCount64(); !arrived && GetTickCount64() - since < 1000;)
            for (const std::vector<double>& r : drain(peer, 20)) arrived = arrived || r[0] == want;
        ASSERT_TRUE(arrived) << "no new value within 1 s after disturbance " << i;
    }
    tell_simulator("quit");
    DWORD code = 12345;
    ASSERT_TRUE(wait_for_exit(gateway, 5000, &code)) << "still running 5 s after its owner closed";
    EXPECT_EQ(code, 0u);
    start_reading(gateway);
    ASSERT_TRUE(wait_for_exit(gateway, 0, &code));
    EXPECT_EQ(gateway.seen.rfind(banner + "jog - robot1 (host simulator)\nValues held (covered): ", 0), 0u)
        << gateway.seen;
    EXPECT_GT(gateway.seen.size(), 4096u - 160) << "the console's pipe was full: " << gateway.seen;
}

TEST_F(EndToEnd, SquatterOnThePipeNameIsRefused) {
    // Created first, allowing any number of instances: a gateway beside it would
    // hand its peer to the squatter.
    const HANDLE squatter = CreateNamedPipeA(pipe_path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES,
                                             4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", start_simulator() + L" 1"));
    EXPECT_EQ(exit_code_of(gateway), 0xFFFFFFFEu);
    EXPECT_EQ(gateway.seen, banner + "Pipe open error\n");
    CloseHandle(squatter);
    tell_simulator("quit");
}

// The display's scale in this session, as a per-monitor aware program is told it.
// A session's scale is fixed when it starts (on Windows at sign-in, under Wine 10
// when the prefix's wineserver starts), so a case cannot change it for itself.
int session_dpi() { return display_dpi_at(reinterpret_cast<window_handle>(GetDesktopWindow())); }

// Width and height from a PNG file's header; 0 x 0 when it is no PNG.
std::pair<std::uint32_t, std::uint32_t> png_size(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[24] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!in || std::memcmp(head, signature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0) return {0, 0};
    auto be = [&](int at) {
        return std::uint32_t(head[at]) << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3];
    };
    return {be(16), be(20)};
}

struct probe_case {
    const char* name;
    std::vector<std::string> commands;  // to the simulator; none started when empty and no robot 1 wanted
    const wchar_t* robot;
    std::set<std::string> expected;
    DWORD code;
    bool host = true;
    std::wstring host_arguments = L"";
};

// Runs the probe on the state the case makes, and checks the problems it names,
// its exit code, the scale it reports and, when it reads, the values and picture.
void EndToEnd::check_probe(const probe_case& c) {
    SCOPED_TRACE(c.name);
    if (c.host) start_simulator(c.host_arguments);
    for (const std::string& command : c.commands) tell_simulator(command);
    const std::string picture = "probe_picture.png";
    DeleteFileA(picture.c_str());
    child_process probe;
    ASSERT_TRUE(
        start_process(probe, L"gateway_probe.exe", std::wstring(c.robot) + L" --json --picture " + widen(picture)));
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(probe, patience_ms, &code));
    EXPECT_EQ(code, c.code);
    const std::string out = collect_output(probe);
    stop_process(probe);
    const std::size_t start = out.find('{');
    ASSERT_NE(start, std::string::npos) << out;
    const nlohmann::json j = nlohmann::json::parse(out.substr(start), nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    std::set<std::string> ids;
    for (const auto& p : j["problems"]) ids.insert(p["id"].get<std::string>());
    EXPECT_EQ(ids, c.expected) << out;
    if (j.contains("display")) {
        EXPECT_EQ(j["display"]["dpi"], session_dpi()) << "the monitor's true scale: " << out;
    }
    if (c.code == 0) {
        std::vector<double> values;
        for (const auto& f : j["fields"]) values.push_back(f["value"].get<double>());
        EXPECT_EQ(values, shown_values);
        const auto& rect = j["windows"]["jog"]["rect"];
        const std::uint32_t width = rect[2].get<std::uint32_t>() - rect[0].get<std::uint32_t>();
        const std::uint32_t height = rect[3].get<std::uint32_t>() - rect[1].get<std::uint32_t>();
        EXPECT_EQ(png_size(picture), std::make_pair(4 * width, 4 * height)) << "four times the frame";
    }
    if (c.host) tell_simulator("quit");
    TearDown();
}

TEST_F(EndToEnd, ProbeNamesTheProblemOfEachState) {
    const probe_case cases[] = {
        {"normal", {}, L"1", {}, 0},
        {"covered", {"cover 1"}, L"1", {"covered"}, 3},
        {"hidden", {"hide 1"}, L"1", {"hidden"}, 0xFFFFFFFDu},
        {"minimised", {"minimize 1"}, L"1", {"minimized"}, 3},
        {"docked", {"dock 1"}, L"1", {"docked"}, 0xFFFFFFFDu},
        {"partly off screen", {"move 1 -150 40"}, L"1", {"off_screen"}, 3},
        {"wrong robot", {}, L"2", {"no_jog_window"}, 0xFFFFFFFDu},
        {"no host", {}, L"1", {"no_host"}, 0xFFFFFFFEu, false},
    };
    for (const probe_case& c : cases) check_probe(c);
}

// A host that draws at the monitor's scale cannot be read. (That an unaware host
// would read cannot be shown here: Wine reports every window as per-monitor aware.)
// It needs a session at 125 % or 150 %: ctest's windows_e2e_scaled makes one.
TEST_F(EndToEnd, ProbeTellsAScaledDisplay) {
    const int dpi = session_dpi();
    const int percent = dpi * 100 / 96;
    if (percent != 125 && percent != 150)
        GTEST_SKIP() << "the display is at " << dpi << " DPI: this case needs a session at 125 % or 150 %";
    check_probe({"scaled", {"scale 1 " + std::to_string(percent)}, L"1", {"display_scale"}, 3, true, L"--dpi-aware"});
}

TEST_F(EndToEnd, ProbeBesideARunningGatewayLeavesItUndisturbed) {
    pipe_peer peer(pipe_path);
    ASSERT_NO_FATAL_FAILURE(start_serving(peer));
    for (int i = 0; i < 3; ++i) {
        child_process probe;
        ASSERT_TRUE(start_process(probe, L"gateway_probe.exe", L"1"));
        DWORD code = 99;
        ASSERT_TRUE(wait_for_exit(probe, patience_ms, &code));
        EXPECT_EQ(code, 0u) << collect_output(probe);
        stop_process(probe);
    }
    tell_simulator("set 1 5 -98,7");
    std::vector<double> now = shown_values;
    now[5] = -98.7;
    EXPECT_EQ(drain(peer, 1000), std::vector<std::vector<double>>{now});
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
    EXPECT_EQ(gateway.seen, banner + "jog - robot1 (host simulator)\n") << "nothing held, nothing else said";
}

TEST_F(EndToEnd, BandCopyReadsWhatTheWholeWindowCopyReads) {
    start_simulator();
    const window_handle jog = window_from_handle_value(std::uint32_t(reinterpret_cast<ULONG_PTR>(simulator.jog(1))));
    ASSERT_TRUE(is_window(jog)) << simulator.process.seen;
    auto read_with = [&](bool band, double values[axis_field_count]) {
        setup_capture_contexts(jog);
        if (band)
            setup_capture_frame(jog, area_read(real_glyphs()));
        else
            setup_capture_frame(jog);
        capture_jog_window(false);
        read_axes(jog_frame(), real_glyphs(), values);
        release_capture();
    };
    // Values as the animation shows them, in both renderings and both glyph rows.
    for (int step = 0; step < 12; ++step) {
        for (int k = 0; k < axis_field_count; ++k) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f", (k + 1) * 37.0 * std::sin(step * 0.7 * (k + 1)));
            std::string shown = text;
            std::replace(shown.begin(), shown.end(), '.', ',');
            tell_simulator("set 1 " + std::to_string(k) + " " + shown);
            tell_simulator("render 1 " + std::to_string(k) + ((step + k) % 2 ? " grey" : " white"));
            tell_simulator("drop 1 " + std::to_string(k) + (step % 3 == 0 ? " 1" : " 0"));
        }
        double whole[axis_field_count], band[axis_field_count];
        read_with(false, whole);
        read_with(true, band);
        EXPECT_EQ(std::memcmp(whole, band, sizeof whole), 0) << "step " << step;
        EXPECT_EQ(whole[0], std::round(37.0 * std::sin(step * 0.7) * 10) / 10) << "step " << step;
    }
    tell_simulator("quit");
}

TEST_F(EndToEnd, TwoGatewaysServeTwoRobotsOnTwoPipes) {
    const std::wstring owner = start_simulator(L"--robot 1 --robot 2");
    tell_simulator("set 2 0 22,2");
    child_process* gateways[] = {&gateway, &second};
    for (int robot = 1; robot <= 2; ++robot) {
        child_process& g = *gateways[robot - 1];
        ASSERT_TRUE(start_process(g, L"gateway.exe",
                                  owner + L" " + std::to_wstring(robot) + L" e2e_robot" + std::to_wstring(robot)));
        seen_box box;
        ASSERT_TRUE(wait_for_box(g.id, patience_ms, &box)) << collect_output(g);
        EXPECT_NE(box.text.find(L"'robot" + std::to_wstring(robot) + L"'"), std::wstring::npos);
        press_ok(box);
    }
    pipe_peer one("\\\\.\\pipe\\e2e_robot1"), two("\\\\.\\pipe\\e2e_robot2");
    ASSERT_TRUE(one.connect(patience_ms));
    ASSERT_TRUE(two.connect(patience_ms));
    EXPECT_EQ(drain(one, 1000), std::vector<std::vector<double>>{shown_values});
    std::vector<double> robot2 = shown_values;
    robot2[0] = 22.2;
    EXPECT_EQ(drain(two, 1000), std::vector<std::vector<double>>{robot2});
    EXPECT_FALSE(pipe_exists()) << "the default name is not served";
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
    EXPECT_EQ(exit_code_of(second), 0u);
}

TEST_F(EndToEnd, BadPipeNameEndsBeforeAnySearch) {
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", L"0 1 a\\b"));
    EXPECT_EQ(exit_code_of(gateway), 0xFFFFFFFAu);
    EXPECT_EQ(gateway.seen, banner + "Bad pipe name: the name holds a backslash\n");
}

TEST_F(EndToEnd, NoHostShowsTheErrorBoxAndCreatesNoPipe) {
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", L"0 1"));
    seen_box box;
    ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box));
    EXPECT_EQ(box.text, L"Can't find Draxion3 main window, please launch Draxion3, then retry");
    EXPECT_EQ(box.icon, L"error");
    EXPECT_FALSE(pipe_exists());
    press_ok(box);
    EXPECT_EQ(exit_code_of(gateway), 0xFFFFFFFEu);
    EXPECT_EQ(gateway.seen, banner);
}

TEST_F(EndToEnd, SecondGatewayEndsWithPipeOpenError) {
    const std::wstring owner = start_simulator();
    start_gateway(owner + L" 1");
    ASSERT_TRUE(start_process(second, L"gateway.exe", owner + L" 1"));
    EXPECT_EQ(exit_code_of(second), 0xFFFFFFFEu);
    EXPECT_EQ(second.seen, banner + "Pipe open error\n");
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
}

TEST_F(EndToEnd, MissingJogWindowNamesTheRobotTwice) {
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", start_simulator() + L" 2"));
    seen_box box;
    ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box));
    EXPECT_EQ(box.text,
              L"Can't find jog window robot 'robot2', please open a jog window for this robot (also rename "
              L"the robot to 'robot2' and reopen the jog window if necessary) and verify this window is not "
              L"docked to the main frame");
    EXPECT_EQ(box.icon, L"error");
    press_ok(box);
    EXPECT_EQ(exit_code_of(gateway), 0xFFFFFFFDu);
    // Every title visited from the simulator's jog popup on, one per line.
    EXPECT_EQ(gateway.seen.rfind(banner + "jog - robot1 (host simulator)\n", 0), 0u) << gateway.seen;
}

TEST_F(EndToEnd, DockedJogWindowIsNotFound) {
    const std::wstring owner = start_simulator();
    tell_simulator("dock 1");  // now a child of the main window, no longer top-level
    ASSERT_TRUE(start_process(gateway, L"gateway.exe", owner + L" 1"));
    seen_box box;
    ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box));
    EXPECT_NE(box.text.find(L"verify this window is not docked to the main frame"), std::wstring::npos);
    press_ok(box);
    EXPECT_EQ(exit_code_of(gateway), 0xFFFFFFFDu);
    EXPECT_EQ(gateway.seen.find("jog - robot1 ("), std::string::npos) << gateway.seen;
}

}  // namespace
