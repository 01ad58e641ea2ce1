// The real gateway.exe, started as a user starts it, against the host simulator,
// with a peer on its pipe and a user who answers its message boxes: what each of
// them sees, and the exit codes.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <sstream>
#include <vector>

#include "support/box_user.h"
#include "tests/e2e/processes.h"

namespace {

const char* const pipe_path = "\\\\.\\pipe\\zelmorvelgateway";
const std::string banner = "Morvel Draxion gateway 1.000\n";
const std::vector<double> shown_values = {12.5, -0.5, 300.0, -1234.6, 0.0, 7.7};  // the simulator's start values
constexpr DWORD patience_ms = 20000;  // Wine starts programs slowly; nothing here should take this long

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The peer's side of the pipe, in this process.
class pipe_peer {
public:
    ~pipe_peer() { leave(); }
    bool connect(DWORD timeout_ms) {
        const ULONGLONG give_up = GetTickCount64() + timeout_ms;
        while ((pipe_ = CreateFileA(pipe_path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr)) == INVALID_HANDLE_VALUE) {
            if (GetTickCount64() >= give_up) return false;
            Sleep(50);
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        return SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr) != FALSE;
    }
    // The next whole message, or an empty one if none comes within timeout_ms.
    std::vector<std::uint8_t> read(DWORD timeout_ms) {
        const ULONGLONG give_up = GetTickCount64() + timeout_ms;
        DWORD available = 0;
        while (PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
            if (GetTickCount64() >= give_up) return {};
            Sleep(10);
        }
        std::vector<std::uint8_t> message(1024);
        DWORD n = 0;
        if (!ReadFile(pipe_, message.data(), DWORD(message.size()), &n, nullptr)) return {};
        message.resize(n);
        return message;
    }
    void leave() {
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

std::vector<double> values_in(const std::vector<std::uint8_t>& record) {
    std::vector<double> v(6);
    if (record.size() == 384) std::memcpy(v.data(), record.data(), 6 * sizeof(double));
    return v;
}

bool pipe_exists() {
    const HANDLE h = CreateFileA(pipe_path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY;
}

class EndToEnd : public ::testing::Test {
protected:
    void TearDown() override {
        for (child_process* c : {&gateway, &second, &monitor, &simulator}) stop_process(*c);
    }

    // Starts the simulator and gives its main window's handle as the gateway takes it.
    std::wstring start_simulator(const std::wstring& arguments = L"") {
        EXPECT_TRUE(start_process(simulator, L"host_simulator.exe", arguments));
        EXPECT_TRUE(wait_for_output(simulator, "ready\n", patience_ms)) << simulator.seen;
        std::istringstream out(simulator.seen);
        std::string word, handle;
        while (out >> word)
            if (word == "main") out >> handle;
        return widen(handle);
    }

    // Sends a command to the simulator and waits until it has been carried out.
    void tell_simulator(const std::string& command) {
        const std::size_t before = simulator.seen.size();
        send_line(simulator, command);
        const ULONGLONG give_up = GetTickCount64() + patience_ms;
        while (collect_output(simulator).find("ok\n", before) == std::string::npos && GetTickCount64() < give_up) Sleep(10);
        ASSERT_NE(simulator.seen.find("ok\n", before), std::string::npos) << command << ": " << simulator.seen;
    }

    // Starts a gateway and answers its information box, as the user does.
    void start_gateway(const std::wstring& arguments) {
        ASSERT_TRUE(start_process(gateway, L"gateway.exe", arguments));
        seen_box box;
        ASSERT_TRUE(wait_for_box(gateway.id, patience_ms, &box)) << collect_output(gateway);
        EXPECT_EQ(box.text, L"Jog window found for 'robot1', please be sure that you are using a 100% scale display on "
                            L"the screen showing this jog window and that this jog window will stay visible");
        EXPECT_EQ(box.icon, L"information");
        EXPECT_EQ(box.caption, L"gateway");
        press_ok(box);
    }

    DWORD exit_code_of(child_process& c) {
        DWORD code = 12345;
        EXPECT_TRUE(wait_for_exit(c, patience_ms, &code)) << "still running";
        return code;
    }

    child_process simulator, gateway, second, monitor;
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
    pipe_peer peer;
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
        pipe_peer peer;
        ASSERT_TRUE(peer.connect(patience_ms));
        EXPECT_EQ(peer.read(5000).size(), 4u);
        EXPECT_EQ(peer.read(5000).size(), 384u);
    }  // gone
    tell_simulator("set 1 0 1,0");  // a change the gateway can no longer deliver
    Sleep(500);
    EXPECT_EQ(WaitForSingleObject(gateway.process, 0), DWORD(WAIT_TIMEOUT)) << "still cycling";
    tell_simulator("quit");
    EXPECT_EQ(exit_code_of(gateway), 0u);
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
    EXPECT_EQ(box.text, L"Can't find jog window robot 'robot2', please open a jog window for this robot (also rename "
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
