// A program of our own built against clients/cpp, reading the real gateway and
// the stand-in, and the stand-in replaying recordings bit for bit.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clients/cpp/axis_client.h"
#include "support/box_user.h"
#include "support/host_driver.h"
#include "support/processes.h"

namespace {

constexpr unsigned patience_ms = 20000;
const std::vector<double> shown_values = {12.5, -0.5, 300.0, -1234.6, 0.0, 7.7};

std::vector<double> values_of(const axis::update& u) { return {u.values, u.values + axis_value_count}; }

// Every update until none comes for quiet_ms, or the gateway goes.
std::vector<std::vector<double>> read_all(axis::connection& c, unsigned quiet_ms, axis::result* last = nullptr) {
    std::vector<std::vector<double>> out;
    axis::update u;
    axis::result r;
    while ((r = c.next(u, quiet_ms)) == axis::result::ok) out.push_back(values_of(u));
    if (last != nullptr) *last = r;
    return out;
}

bool same_bits(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(a[i].data(), b[i].data(), sizeof(double) * axis_value_count) != 0) return false;
    return true;
}

// The values of a recording in the monitor's CSV form.
std::vector<std::vector<double>> recorded(const std::string& csv) {
    std::vector<std::vector<double>> out;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        const auto commas = std::count(line.begin(), line.end(), ',');
        if (commas != axis_value_count && commas != axis_value_count + 5) continue;  // not a recorded line
        std::vector<double> v(axis_value_count);
        const char* p = line.c_str() + line.find(',') + 1;
        for (double& x : v) p = std::from_chars(p, line.c_str() + line.size(), x).ptr + 1;
        out.push_back(v);
    }
    return out;
}

// The client's launcher starts the gateway on the suite's own console, which the
// test runner reads all the time; the gateway's output is not checked here.
class Clients : public ::testing::Test {
protected:
    void TearDown() override {
        for (child_process* c : {&replay, &monitor}) stop_process(*c);
        simulator.stop();
    }
    std::uintptr_t start_simulator() {
        EXPECT_TRUE(simulator.start()) << simulator.process.seen;
        return reinterpret_cast<std::uintptr_t>(simulator.main_window());
    }
    void tell_simulator(const std::string& command) { EXPECT_TRUE(simulator.tell(command)) << command; }
    // Launches the gateway for robot 1 of a fresh simulator, answers its box and
    // connects to it.
    void launch_and_connect(axis::gateway_process& gateway, axis::connection& c) {
        const std::uintptr_t owner = start_simulator();
        ASSERT_TRUE(gateway.launch(program_folder() + L"\\gateway.exe", owner, 1));
        seen_box box;
        ASSERT_TRUE(wait_for_box(DWORD(gateway.process_id()), patience_ms, &box));
        press_ok(box);
        ASSERT_EQ(c.connect(axis_pipe_name, patience_ms, &gateway), axis::result::ok);
    }
    host_driver simulator;
    child_process replay, monitor;
};

TEST_F(Clients, CppClientReadsTheRealGatewayUntilItGoes) {
    axis::gateway_process gateway;
    axis::connection c;
    ASSERT_NO_FATAL_FAILURE(launch_and_connect(gateway, c));
    EXPECT_EQ(c.server_process_id(), gateway.process_id()) << "the server is the gateway we launched";
    EXPECT_TRUE(c.server_image().ends_with(L"gateway.exe"));
    EXPECT_EQ(read_all(c, 1000), std::vector<std::vector<double>>{shown_values});
    tell_simulator("set 1 4 -0,0");
    axis::update u;
    ASSERT_EQ(c.next(u, 5000), axis::result::ok);
    EXPECT_TRUE(std::signbit(u.values[4]));
    tell_simulator("quit");
    EXPECT_EQ(c.next(u, 5000), axis::result::gone);
    long code = 99;
    for (int i = 0; i < 100 && !gateway.ended(&code); ++i) Sleep(50);
    EXPECT_EQ(code, 0);
}

TEST_F(Clients, CppClientAsksForTheStateReportAndSeesEveryHold) {
    axis::gateway_process gateway;
    axis::connection c;
    ASSERT_NO_FATAL_FAILURE(launch_and_connect(gateway, c));
    ASSERT_EQ(c.ask_for_report(), axis::result::ok);
    axis::update u;
    // Until the state is the one wanted; each update within the heartbeat and a
    // margin, whether or not anything changes.
    const auto until = [&](int state, const char* what) {
        for (int updates = 0; updates < 50; ++updates) {
            if (c.next(u, 1500) != axis::result::ok) return ::testing::AssertionFailure() << what << ": no update";
            if (!u.report.present) return ::testing::AssertionFailure() << what << ": no report";
            if (u.report.state == state) return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << what << ": still " << u.report.state_id();
    };
    ASSERT_TRUE(until(axis_state_live, "start"));
    EXPECT_EQ(values_of(u), shown_values);
    EXPECT_GT(u.report.confirmed, 1.7e9) << "UTC seconds";
    EXPECT_LE(u.report.made - u.report.confirmed, 0.1);
    for (int beat = 0; beat < 3; ++beat) ASSERT_TRUE(until(axis_state_live, "heartbeat"));
    struct hold_case {
        const char *spoil, *mend;
        int state;
    };
    for (const hold_case& h : {hold_case{"cover 1 right", "uncover", axis_state_covered},
                               hold_case{"minimize 1", "restore 1", axis_state_minimized},
                               hold_case{"move 1 -150 40", "move 1 480 40", axis_state_off_screen},
                               hold_case{"hide 1", "show 1", axis_state_hidden}}) {
        SCOPED_TRACE(h.spoil);
        const double confirmed_live = u.report.confirmed;
        tell_simulator(h.spoil);
        ASSERT_TRUE(until(h.state, h.spoil));
        EXPECT_EQ(values_of(u), shown_values) << "held: the last live values";
        EXPECT_LE(u.report.confirmed, u.report.since);
        EXPECT_GE(u.report.confirmed, confirmed_live);
        tell_simulator(h.mend);
        ASSERT_TRUE(until(axis_state_live, h.mend));
        EXPECT_EQ(values_of(u), shown_values);
    }
    tell_simulator("quit");
    axis::result last = axis::result::ok;
    read_all(c, 5000, &last);
    EXPECT_EQ(last, axis::result::gone);
}

TEST_F(Clients, CppClientTellsWhyTheGatewayStoppedAtStartUp) {
    const std::uintptr_t owner = start_simulator();
    axis::gateway_process gateway;
    ASSERT_TRUE(gateway.launch(program_folder() + L"\\gateway.exe", owner, 2));  // no jog window for robot 2
    seen_box box;
    ASSERT_TRUE(wait_for_box(DWORD(gateway.process_id()), patience_ms, &box));
    press_ok(box);
    axis::connection c;
    const axis::result r = c.connect(axis_pipe_name, patience_ms, &gateway);
    axis::update u;
    if (r == axis::result::ok)
        EXPECT_EQ(c.next(u, patience_ms), axis::result::gone);
    else
        EXPECT_EQ(r, axis::result::gone);
    long code = 0;
    for (int i = 0; i < 100 && !gateway.ended(&code); ++i) Sleep(50);
    EXPECT_EQ(code, -3);
    EXPECT_NE(std::string(axis::exit_code_meaning(code)).find("no jog window"), std::string::npos);
}

TEST_F(Clients, RecordingReplaysBitForBitAndTheMonitorRecordsItSo) {
    // Values a recording must carry exactly: negative zero, the smallest
    // subnormal, the largest double, decimals with no short binary form.
    const std::string csv =
        "0.000,12.5,-0.5,300,-1234.6,0,7.7\n"
        "0.050,-0,5e-324,1.7976931348623157e+308,0.30000000000000004,-1234.6,7.7\n"
        "0.120,0.1,0.2,0.3,-99999.9,1e-300,-7.7\n"
        "0.130,0.1,0.2,0.3,-99999.9,1e-300,-7.8\n";
    const std::string path = "e2e_recording.csv";
    // The same values with the state columns, as the monitor's --state and the hub's export write them.
    std::string with_states;
    const char* states[] = {",waiting,0,1765159500,1,1765159512.5\n",
                            ",live,1765159512.25,1765159512.25,3,1765159512.5\n",
                            ",covered,1765159512.25,1765159512.75,9,1765159512.8\n", ",no report,0,0,0,0\n"};
    std::istringstream lines(csv);
    int k = 0;
    for (std::string line; std::getline(lines, line);) with_states += line + states[k++];
    for (const std::string& recording : {csv, with_states}) {
        SCOPED_TRACE(recording);
        std::ofstream(path, std::ios::binary) << recording;
        ASSERT_TRUE(start_process(replay, L"axis_replay.exe",
                                  L"--recording " + std::wstring(path.begin(), path.end()) + L" --pipe e2e_replay"));
        axis::connection c;
        ASSERT_EQ(c.connect("e2e_replay", patience_ms), axis::result::ok);
        axis::result last;
        const auto got = read_all(c, 2000, &last);
        EXPECT_TRUE(same_bits(got, recorded(csv))) << got.size() << " updates";
        EXPECT_EQ(last, axis::result::gone) << "the stand-in ends after its last line";
        c.close();
        stop_process(replay);
    }

    // The monitor's own recording of a replay replays to the same values.
    ASSERT_TRUE(start_process(replay, L"axis_replay.exe",
                              L"--recording " + std::wstring(path.begin(), path.end()) + L" --pipe e2e_replay"));
    ASSERT_TRUE(start_process(monitor, L"axis_monitor.exe", L"--csv --wait 20 --pipe e2e_replay"));
    DWORD code = 0;
    ASSERT_TRUE(wait_for_exit(monitor, patience_ms, &code));
    EXPECT_EQ(code, 2u) << "the stand-in went after its last line";
    EXPECT_TRUE(same_bits(recorded(monitor.seen), recorded(csv))) << monitor.seen;
}

TEST_F(Clients, LateClientGetsTheCurrentValuesAtOnce) {
    ASSERT_TRUE(start_process(replay, L"axis_replay.exe", L"--motion --pipe e2e_motion"));
    Sleep(1500);
    axis::connection c;
    ASSERT_EQ(c.connect("e2e_motion", patience_ms), axis::result::ok);
    const ULONGLONG connected = GetTickCount64();
    axis::update u;
    ASSERT_EQ(c.next(u, 2000), axis::result::ok);
    EXPECT_LT(GetTickCount64() - connected, 500u);
    EXPECT_EQ(u.values[0], 0.0) << "the motion's start, sent as soon as the client could take it";
}

TEST_F(Clients, ProgramsThatTakeAPipeNameRefuseOneTheGatewayWould) {
    for (const wchar_t* program : {L"axis_replay.exe", L"axis_monitor.exe"}) {
        child_process p;
        ASSERT_TRUE(start_process(
            p, program, std::wstring(program) == L"axis_replay.exe" ? L"--motion --pipe a\\b" : L"--pipe a\\b"));
        DWORD code = 0;
        ASSERT_TRUE(wait_for_exit(p, patience_ms, &code));
        EXPECT_EQ(code, 2u);
        EXPECT_NE(collect_output(p).find("bad pipe name: the name holds a backslash"), std::string::npos) << p.seen;
        stop_process(p);
    }
}

TEST_F(Clients, CppClientTakesExactlyTheFramedUpdatesFromAnImpostor) {
    const HANDLE server = CreateNamedPipeA("\\\\.\\pipe\\e2e_impostor", PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 8192, 8192, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    axis::connection c;
    ASSERT_EQ(c.connect("e2e_impostor", 5000), axis::result::ok);
    ConnectNamedPipe(server, nullptr);
    auto send = [&](const std::string& bytes) {
        DWORD n = 0;
        return WriteFile(server, bytes.data(), DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
    };
    const std::string tag(reinterpret_cast<const char*>(axis_message_tag), sizeof axis_message_tag);
    auto record = [](double v) {
        axis_record r;
        r.slots[0] = v;
        r.slots[5] = -0.0;
        return std::string(reinterpret_cast<const char*>(&r), sizeof r);
    };
    // What the gateway never sends, each before a framed update or in its place.
    const std::string oversized_ending_in_tag = std::string(1024, 'x') + tag;  // a read of 1,024 then the tag's bytes
    const std::vector<std::string> messages = {
        tag,
        tag,
        record(1.5),  // the first tag lost its record
        record(2.5),  // a record without its tag
        "odd",
        tag,
        record(3.5),  // a short message
        oversized_ending_in_tag,
        record(4.5),  // its last bytes are no tag
        tag,
        std::string(5000, '\2') + tag,
        record(5.5),  // nor does it complete a tag before it
        std::string(2048, 'y'),
        tag,
        record(6.5),  // exactly two reads long
        tag,
        record(7.5).substr(0, 383),
        tag,
        record(8.5),
    };
    // Written while the client reads: the pipe need not hold them all at once.
    bool all_sent = true;
    std::thread writer([&] {
        for (const std::string& m : messages) all_sent = send(m) && all_sent;
        FlushFileBuffers(server);
        CloseHandle(server);
    });
    std::vector<double> got;
    axis::update u;
    for (axis::result r; (r = c.next(u, 2000)) != axis::result::gone;) {
        if (r == axis::result::timeout) break;
        if (r == axis::result::ok) {
            got.push_back(u.values[0]);
            EXPECT_TRUE(std::signbit(u.values[5])) << "the record's bits as sent";
        }
    }
    writer.join();
    EXPECT_TRUE(all_sent);
    EXPECT_EQ(got, (std::vector<double>{1.5, 3.5, 6.5, 8.5}));
}

}  // namespace
