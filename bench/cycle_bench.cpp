// Where a cycle's time goes, under Windows or Wine, against the host simulator:
// the time of each step of a cycle, the period of a cycle as the gateway runs it,
// the CPU of the calls no cycle can do without (the floor), and, with the real
// gateway.exe, its CPU while cycling and the delay from a repaint of the jog window
// to the record at a peer.
//
//   cycle_bench.exe [--seconds S] [--changes N] [--rounds R] [--json FILE]
//
// Run from the folder that holds gateway.exe and host_simulator.exe. S (default
// 10) is how long the CPU, the floor and the period are measured, N (default 200) how many
// changes the delay is measured on, R (default 1) how many times gateway.exe is run
// without the state report and with it, in turn. FILE gets the rows as JSON too,
// each under a key of its own (the self-check reads "cycle_period" from it).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gateway/gateway.h"
#include "host/glyph_resources.h"
#include "host/window_search_capture.h"
#include "stream/axis_stream.h"
#include "support/box_user.h"
#include "support/glyph_tables.h"
#include "support/host_driver.h"
#include "support/options.h"
#include "support/pipe_peer.h"
#include "support/processes.h"

namespace {

struct summary {
    double median = 0, p99 = 0, max = 0;
};

summary summarise(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)], v.back()};
}

nlohmann::json rows = nlohmann::json::object();  // what --json writes

void row(const char* key, const char* what, const summary& s, const char* unit) {
    std::printf("| %-44s | %9.3f | %9.3f | %9.3f | %s |\n", what, s.median, s.p99, s.max, unit);
    rows[key] = {{"what", what}, {"median", s.median}, {"p99", s.p99}, {"max", s.max}, {"unit", unit}};
}

// A row of one figure: a share of one core.
void share_row(const char* key, const char* what, double share, const std::string& note) {
    std::printf("| %-44s | %9.2f | | | %% of one core%s |\n", what, share, note.c_str());
    rows[key] = {{"what", what}, {"median", share}, {"unit", "% of one core"}};
}

// Times one step, repeated.
template <class F>
summary time_step(int repeats, F step) {
    std::vector<double> t;
    for (int i = 0; i < repeats; ++i) {
        const double start = clock_us();
        step();
        t.push_back(clock_us() - start);
    }
    return summarise(t);
}

// The next record's first value, waiting at most timeout_ms; NaN if none came.
// Looked for without sleeping, so that the delay measured is the gateway's.
double next_record(pipe_peer& peer, DWORD timeout_ms) {
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= give_up) return NAN;
        const std::vector<std::uint8_t> m = peer.read(DWORD(give_up - now), 0);
        if (m.empty()) return NAN;
        if (m.size() == axis_record_bytes) {
            double v;
            std::memcpy(&v, m.data(), sizeof v);
            return v;
        }
        // the tag
    }
}

double filetime_us(const FILETIME& f) {
    return double(ULARGE_INTEGER{{f.dwLowDateTime, f.dwHighDateTime}}.QuadPart) / 10.0;
}

double process_cpu_us(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return filetime_us(kernel) + filetime_us(user);
}

// Microseconds of CPU of a Linux process, from the folder /proc keeps for it (seen
// through Wine's drive Z:): the time each of its threads has run, in nanoseconds
// (the first field of schedstat), exact where the tick counts of stat are 10 ms
// coarse. -1 when there is no such folder (not under Wine).
double linux_process_cpu_us(const std::string& folder) {
    const std::string tasks = folder + "\\task\\";
    WIN32_FIND_DATAA task;
    const HANDLE walk = FindFirstFileA((tasks + "*").c_str(), &task);
    if (walk == INVALID_HANDLE_VALUE) return -1;
    double cpu = 0;
    do {
        if (task.cFileName[0] == '.') continue;
        FILE* f = std::fopen((tasks + task.cFileName + "\\schedstat").c_str(), "rb");
        if (f == nullptr) continue;
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1) cpu += double(ns) / 1000.0;
        std::fclose(f);
    } while (FindNextFileA(walk, &task));
    FindClose(walk);
    return cpu;
}

// Wine does not report another process's times; its processes are Linux
// processes, whose times /proc tells. The CPU of the process running the program
// (its /proc comm is the program's file name), or -1.
double linux_cpu_us(const char* program) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return -1;
    double cpu = -1;
    do {
        const std::string pid = found.cFileName;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        char name[64] = {};
        FILE* f = std::fopen(("Z:\\proc\\" + pid + "\\comm").c_str(), "rb");
        if (f == nullptr) continue;
        const std::size_t n = std::fread(name, 1, sizeof name - 1, f);
        std::fclose(f);
        if (std::string(name, n) != std::string(program) + "\n") continue;
        cpu = linux_process_cpu_us("Z:\\proc\\" + pid);
        break;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return cpu;
}

// This process's CPU in microseconds: exact under Wine, else as Windows counts it.
// (Under Wine /proc/self is not this process: it named another one, whose CPU the
// floor rows then showed.)
double own_cpu_us() {
    const double linux_cpu = linux_cpu_us("cycle_bench.exe");
    return linux_cpu >= 0 ? linux_cpu : process_cpu_us(GetCurrentProcess());
}

// One run of gateway.exe against the simulator, with a peer that asks for the
// state report or not: the CPU of its process while the values stand still, and
// the delay from each repaint of a changed value to the record at the peer.
bool measure_gateway(host_driver& simulator, bool report, double seconds, int changes, std::vector<double>& cpu,
                     std::vector<double>& delays) {
    child_process gateway;
    seen_box box;
    if (!start_process(gateway, L"gateway.exe", simulator.owner_word() + L" 1 cycle_bench_gateway") ||
        !wait_for_box(gateway.id, 30000, &box)) {
        std::fprintf(stderr, "cycle_bench: gateway.exe did not start\n");
        return false;
    }
    press_ok(box);
    pipe_peer peer(std::string(axis_pipe_prefix) + "cycle_bench_gateway");
    peer.connect(10000);
    if (report) peer.send(axis_report_request, sizeof axis_report_request);
    next_record(peer, 5000);
    Sleep(1000);
    const double cpu0 = process_cpu_us(gateway.process), linux0 = linux_cpu_us("gateway.exe"), wall0 = clock_us();
    Sleep(DWORD(seconds * 1000));
    // Under Wine the Linux process's own count; GetProcessTimes of another process
    // is not kept there.
    cpu.push_back(linux0 >= 0 ? (linux_cpu_us("gateway.exe") - linux0) / (clock_us() - wall0) * 100.0
                              : (process_cpu_us(gateway.process) - cpu0) / (clock_us() - wall0) * 100.0);
    std::mt19937 rng(7);
    for (int i = 0; i < changes; ++i) {
        Sleep(std::uniform_int_distribution<DWORD>(0, 20)(rng));  // any phase of the cycle
        const double value = 100.0 + i;
        if (!simulator.tell("set 1 0 " + std::to_string(int(value * 10) / 10) + "," + std::to_string(i % 10))) break;
        const double painted = clock_us();  // the simulator has repainted before it answers
        const double want = (std::floor(value) * 10 + i % 10) / 10.0;
        for (double got; !std::isnan(got = next_record(peer, 2000));)  // heartbeats come between
            if (got == want) {
                delays.push_back((clock_us() - painted) / 1000.0);
                break;
            }
    }
    // The gateway stops on a key press without an owner; with one it would take
    // the simulator with it. End it as its pipe's peer would see it end.
    peer.leave();
    stop_process(gateway);
    // Under Wine the next run's process is found by name: this one must be gone.
    for (int i = 0; i < 500 && linux_cpu_us("gateway.exe") >= 0; ++i) Sleep(20);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    double seconds = 10, change_count = 200, round_count = 1;
    std::string json_path;
    read_options_or_exit(argc, argv, "cycle_bench",
                         "cycle_bench [--seconds S] [--changes N] [--rounds R] [--json FILE]",
                         {{"--seconds", number_option{&seconds, 0.1, 3600}},
                          {"--changes", number_option{&change_count, 1, 100000, true}},
                          {"--rounds", number_option{&round_count, 1, 100, true}},
                          {"--json", &json_path}});
    const int changes = int(change_count), rounds = int(round_count);

    host_driver simulator;
    if (!simulator.start() || simulator.jog(1) == nullptr) {
        std::fprintf(stderr, "cycle_bench: the host simulator did not start\n");
        return 1;
    }
    const auto handle = [](HWND w) { return window_from_handle_value(std::uint32_t(reinterpret_cast<ULONG_PTR>(w))); };
    const window_handle jog = handle(simulator.jog(1)), main_window = handle(simulator.main_window());
    const glyph_set& glyphs = real_glyphs();
    const int repeats = 300;

    std::printf("| step | median | p99 | max | unit |\n|---|---:|---:|---:|---|\n");

    // The steps of a cycle, one by one, on the whole window and on the band.
    setup_capture_contexts(jog);
    setup_capture_frame(jog);
    row("stop_test", "stop test (IsWindow of the owner)", time_step(repeats, [&] { is_window(main_window); }), "us");
    row("jog_window_exists", "jog window still there (IsWindow)", time_step(repeats, [&] { jog_window_exists(); }),
        "us");
    row("window_lock", "window lock and unlock (LockWindowUpdate x2)",
        time_step(repeats, [&] { lock_window_update(jog), lock_window_update(nullptr); }), "us");
    row("copy_whole_window", "copy and read the whole window", time_step(repeats, [&] { capture_jog_window(false); }),
        "us");
    release_capture();
    setup_capture_contexts(jog);
    setup_capture_frame(jog, area_read(glyphs));
    row("copy_area_read", "copy and read the area read (columns 101 on, rows 210 to 353)",
        time_step(repeats, [&] { capture_jog_window(false); }), "us");
    jog_view view;
    row("view_analysis", "view analysis (look and judge)",
        time_step(repeats, [&] { look_at_jog_window(jog, view), judge_view(view); }), "us");
    double values[axis_field_count];
    row("read_axes", "reading the six fields (read_axes)",
        time_step(repeats, [&] { read_axes(jog_frame(), glyphs, values); }), "us");
    {
        open_axis_pipe("cycle_bench");
        pipe_peer peer(std::string(axis_pipe_prefix) + "cycle_bench");
        peer.connect(5000);
        axis_record r;
        int i = 0;
        row("send_record", "send a changed record (tag and record)",
            time_step(repeats,
                      [&] {
                          r.slots[0] = ++i;
                          send_axis_record(r);
                          next_record(peer, 1000);  // read at once, so nothing queues
                      }),
            "us (with the read)");
        peer.leave();
        close_axis_pipe();
    }

    // The period of the gateway's own loop, as it runs it: its stop test is ours,
    // which notes the time at the top of each cycle.
    {
        struct period_test {
            std::vector<double> periods;
            double last = clock_us(), end = 0;
        } test;
        test.end = test.last + seconds * 1e6;
        sender_state state{true, {}};
        run_cycles(
            [](void* context) {
                period_test& t = *static_cast<period_test*>(context);
                const double now = clock_us();
                t.periods.push_back((now - t.last) / 1000.0);
                t.last = now;
                return now < t.end;
            },
            &test, glyphs, state);
        test.periods.erase(test.periods.begin());  // the first is no period
        row("cycle_period", "cycle period (work plus the 10 ms pause)", summarise(test.periods), "ms");
    }
    release_capture();

    // The floor: what no cycle can do without (the owner test, one copy, the pause),
    // alone in this process; with the area read, and with a single pixel.
    window_rect client;
    get_client_screen_rect(jog, &client);
    const frame_area band = area_read(glyphs), one_pixel{client.right - client.left - 1, band.top, band.top + 1};
    const struct {
        const char *key, *what;
        frame_area area;
    } floors[] = {{"floor_area", "floor: owner test, copy of the area, pause", band},
                  {"floor_one_pixel", "floor: owner test, copy of one pixel, pause", one_pixel}};
    for (const auto& [key, what, area] : floors) {
        setup_capture_contexts(jog);
        setup_capture_frame(jog, area);
        const double cpu0 = own_cpu_us(), wall0 = clock_us();
        while (clock_us() - wall0 < seconds * 1e6) {
            is_window(main_window);
            copy_jog_window();
            sleep_ms(10);
        }
        const double share = (own_cpu_us() - cpu0) / (clock_us() - wall0) * 100.0;
        share_row(key, what, share, "");
        release_capture();
    }

    // The real gateway: its CPU while cycling and the delay from a repaint to the
    // peer, without the state report and with it, in turn.
    std::vector<double> cpu[2], delays[2];
    for (int round = 0; round < rounds; ++round)
        for (const bool report : {false, true})
            if (!measure_gateway(simulator, report, seconds, changes, cpu[report], delays[report])) return 1;
    for (const bool report : {false, true}) {
        row(report ? "delay_with_report" : "delay",
            report ? "repaint to record at the peer, with the report" : "repaint to record at the peer (gateway.exe)",
            summarise(delays[report]), "ms");
        std::string shares;
        for (const double c : cpu[report]) {
            char share[16];
            std::snprintf(share, sizeof share, shares.empty() ? "%.2f" : " %.2f", c);
            shares += share;
        }
        share_row(report ? "gateway_cpu_with_report" : "gateway_cpu",
                  report ? "gateway.exe CPU, values unchanged, with the report"
                         : "gateway.exe CPU while cycling, values unchanged",
                  summarise(cpu[report]).median, " (each round: " + shares + ")");
    }

    simulator.stop();
    if (!json_path.empty()) {
        std::ofstream out(json_path, std::ios::binary);
        out << rows.dump(2) << '\n';
        if (!out.good()) {
            std::fprintf(stderr, "cycle_bench: could not write %s\n", json_path.c_str());
            return 1;
        }
    }
    return 0;
}
