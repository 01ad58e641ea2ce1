#include "support/chaos.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "support/box_user.h"
#include "support/host_driver.h"
#include "support/pipe_peer.h"
#include "support/processes.h"

namespace {

constexpr const char* pipe_name = "chaos_gateway";
constexpr DWORD start_patience_ms = 30000;

double now_ms() { return clock_us() / 1000.0; }

// The value the gateway reads from a field's text: its digits and minus, as a
// number, divided by ten (the separator has no glyph).
double value_of(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c != ',') digits += c;
    return std::atof(digits.c_str()) / 10.0;
}

using values = std::vector<double>;

// The peer, reading every update in a thread of its own until the pipe closes.
class peer {
public:
    bool connect(double timeout_ms) {
        if (!pipe_.connect(DWORD(timeout_ms))) return false;
        reader_ = std::thread([this] { read_all(); });
        return true;
    }
    ~peer() { finish(); }
    // Waits until the pipe has closed and every message before it has been read.
    void finish() {
        if (reader_.joinable()) reader_.join();
    }
    std::vector<values> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    values latest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.empty() ? values{} : records_.back();
    }
    std::string framing_error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

private:
    void read_all() {
        bool tagged = false;
        for (std::vector<std::uint8_t> m; !(m = pipe_.read(INFINITE)).empty();) {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::size_t n = m.size();
            if (n == 4 && !tagged) {
                tagged = true;
            } else if (n == 384 && tagged) {
                values v(6);
                std::memcpy(v.data(), m.data(), sizeof(double) * 6);
                records_.push_back(v);
                tagged = false;
            } else if (error_.empty()) {
                error_ = "a message of " + std::to_string(n) + " bytes out of turn";
            }
        }
    }
    pipe_peer pipe_{std::string("\\\\.\\pipe\\") + pipe_name};
    std::thread reader_;
    std::mutex mutex_;
    std::vector<values> records_;
    std::string error_;
};

// The host simulator, and where its jog window lives.
struct desktop {
    host_driver host;
    RECT home{};  // the jog window's outer rectangle where it started
    int screen_w = 0, screen_h = 0;
    bool tell(const std::string& command) { return host.tell(command, 10000); }
};

}  // namespace

chaos_report run_chaos(const chaos_options& options) {
    chaos_report report;
    desktop d;
    child_process gateway;
    std::mt19937 rng(options.seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };

    if (!d.host.start(L"--paint-delay " + std::to_wstring(options.paint_delay_ms), start_patience_ms) ||
        d.host.jog(1) == nullptr) {
        report.failure = "the host simulator did not start: " + d.host.process.seen;
        d.host.stop();
        return report;
    }
    GetWindowRect(d.host.jog(1), &d.home);
    d.screen_w = GetSystemMetrics(SM_CXSCREEN);
    d.screen_h = GetSystemMetrics(SM_CYSCREEN);

    // What each field has shown, as the gateway would read it.
    std::set<double> shown[6];
    std::string texts[6] = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"};
    for (int k = 0; k < 6; ++k) shown[k].insert(value_of(texts[k]));
    // A new value for field k, always another than it shows.
    auto set_field = [&](int k) {
        char text[16];
        do std::snprintf(text, sizeof text, "%s%d,%d", chance(0.5) ? "-" : "", uniform(1000, 9999), uniform(0, 9));
        while (texts[k] == text);
        texts[k] = text;
        shown[k].insert(value_of(text));
        return d.tell("set 1 " + std::to_string(k) + " " + text);
    };
    auto on_screen = [&] {
        values v(6);
        for (int k = 0; k < 6; ++k) v[k] = value_of(texts[k]);
        return v;
    };

    const std::wstring arguments =
        d.host.owner_word() + L" 1 " + std::wstring(pipe_name, pipe_name + std::strlen(pipe_name));
    seen_box box;
    peer p;
    if (!start_process(gateway, L"gateway.exe", arguments) || !wait_for_box(gateway.id, start_patience_ms, &box)) {
        report.failure = "gateway.exe did not show its box: " + collect_output(gateway);
        stop_process(gateway);
        d.host.stop();
        return report;
    }
    press_ok(box);
    if (!p.connect(start_patience_ms)) report.failure = "no pipe to connect to";

    // Waits until the peer holds what the fields show; the time taken, or -1.
    auto arrival = [&](double since) {
        const values want = on_screen();
        while (p.latest() != want) {
            if (now_ms() - since > options.patience_ms) return -1.0;
            Sleep(2);
        }
        return now_ms() - since;
    };
    for (int k = 0; k < 6 && report.failure.empty(); ++k)
        if (!set_field(k)) report.failure = "the simulator refused a value";
    if (report.failure.empty() && arrival(now_ms()) < 0) report.failure = "the first values never arrived";

    const double end = now_ms() + options.seconds * 1000;
    while (report.failure.empty() && now_ms() < end) {
        // The fields lie at client columns 101 to 300 and rows 210 to 353.
        std::string spoil, mend = "move 1 " + std::to_string(d.home.left) + " " + std::to_string(d.home.top);
        switch (uniform(0, 6)) {
        case 0: spoil = "move 1 " + std::to_string(-101 - uniform(5, 190)) + " " + std::to_string(d.home.top); break;
        case 1: spoil = "move 1 " + std::to_string(d.screen_w - 300 + uniform(5, 190)) + " 200"; break;
        case 2: spoil = "move 1 200 " + std::to_string(d.screen_h - 360 + uniform(5, 140)); break;
        case 3: spoil = "move 1 200 " + std::to_string(-210 - uniform(5, 140)); break;
        case 4:
            spoil = "cover 1 " + std::to_string(uniform(101, 290)) + " " + std::to_string(uniform(190, 350)) + " " +
                    std::to_string(uniform(5, 220)) + " " + std::to_string(uniform(3, 160));
            mend = "uncover";
            break;
        case 5: spoil = "minimize 1", mend = "restore 1"; break;
        default: spoil = "hide 1", mend = "show 1"; break;
        }
        ++report.disturbances;
        bool ok = d.tell(spoil);
        Sleep(DWORD(uniform(0, 250)));
        // Values change while the view is not whole, so that every return has new
        // values to deliver and its time is a real one.
        for (int n = uniform(1, 3); n > 0 && ok; --n) ok = set_field(uniform(0, 5));
        Sleep(DWORD(uniform(0, 250)));
        ok = ok && d.tell(mend);
        const double whole = now_ms();
        const std::size_t said_before = collect_output(gateway).size();
        if (!ok) {
            report.failure = "the simulator refused \"" + spoil + "\" or \"" + mend + "\": " + d.host.process.seen;
            break;
        }
        const double took = arrival(whole);
        if (took < 0)
            ++report.lost;
        else
            report.arrival_ms.push_back(took);
        if (took < 0 || took > 700) {
            char line[160];
            std::snprintf(line, sizeof line, "%s, then %s: %s", spoil.c_str(), mend.c_str(),
                          took < 0 ? "never arrived" : (std::to_string(int(took)) + " ms").c_str());
            report.late.push_back(std::string(line) +
                                  "; the gateway said: " + collect_output(gateway).substr(said_before));
        }
        if (options.verbose)
            std::printf("%8.1f s  %-32s %-16s %7.1f ms\n", (now_ms() - end) / 1000 + options.seconds, spoil.c_str(),
                        mend.c_str(), took);
        // Now and then an ordinary change while the view is whole.
        if (chance(0.5) && set_field(uniform(0, 5)) && arrival(now_ms()) < 0) ++report.lost;
        Sleep(DWORD(uniform(0, 150)));
    }

    d.tell("quit");
    DWORD code = 0;
    if (!wait_for_exit(gateway, start_patience_ms, &code)) report.failure += " gateway.exe did not stop";
    report.exit_code = code;
    report.gateway_output = collect_output(gateway);
    stop_process(gateway);
    d.host.stop();

    p.finish();  // everything the gateway wrote has been read
    const std::vector<values> got = p.received();
    report.records = int(got.size());
    if (!p.framing_error().empty()) report.failure += " " + p.framing_error();
    for (std::size_t i = 0; i < got.size(); ++i)
        for (int k = 0; k < 6; ++k)
            if (shown[k].count(got[i][std::size_t(k)]) == 0) {
                char line[96];
                std::snprintf(line, sizeof line, "record %zu, field %d: %.17g", i + 1, k, got[i][std::size_t(k)]);
                report.never_shown.push_back(line);
            }
    return report;
}
