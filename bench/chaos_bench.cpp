// The desktop chaos of the Windows suite, for as long as you like: gateway.exe
// against the host simulator while its jog window is moved partly off each edge,
// covered in part, minimised, hidden and its values changed (support/chaos.h).
//
//   chaos_bench.exe [--seconds S] [--seed N] [--paint-delay MS] [--verbose]
//
// MS (default 300) is how late the host repaints what comes back into view.
// Run from the folder that holds gateway.exe and host_simulator.exe. Prints the
// disturbances made, the records received, every value that its field never
// showed, and the time from each return to a whole view until the values shown
// reached the peer. Exits 0 when no such value came and every return's values
// arrived within 0.7 s, else 1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/chaos.h"
#include "support/options.h"

int main(int argc, char** argv) {
    chaos_options options;
    options.seconds = 600;
    double seed = options.seed, paint_delay = options.paint_delay_ms;
    read_options_or_exit(argc, argv, "chaos_bench",
                         "chaos_bench [--seconds S] [--seed N] [--paint-delay MS] [--verbose]",
                         {{"--seconds", number_option{&options.seconds, 1, 1e6}},
                          {"--seed", number_option{&seed, 0, 4294967295.0, true}},
                          {"--paint-delay", number_option{&paint_delay, 0, 60000, true}},
                          {"--verbose", &options.verbose}});
    options.seed = unsigned(seed);
    options.paint_delay_ms = int(paint_delay);
    const chaos_report r = run_chaos(options);
    if (!r.failure.empty()) std::printf("run failed: %s\n", r.failure.c_str());
    std::vector<double> a = r.arrival_ms;
    std::sort(a.begin(), a.end());
    auto at = [&](double q) { return a.empty() ? 0.0 : a[std::min(a.size() - 1, std::size_t(q * double(a.size())))]; };
    std::printf("%.0f s, seed %u: %d disturbances, %d records, %zu values never shown, %d returns lost\n",
                options.seconds, options.seed, r.disturbances, r.records, r.never_shown.size(), r.lost);
    std::printf(
        "return to whole view -> values at the peer: median %.1f ms, p90 %.1f, p99 %.1f, max %.1f; over 0.7 s: %zu\n",
        at(0.5), at(0.9), at(0.99), a.empty() ? 0.0 : a.back(), r.late.size());
    for (std::size_t i = 0; i < r.never_shown.size() && i < 20; ++i)
        std::printf("never shown: %s\n", r.never_shown[i].c_str());
    for (const std::string& s : r.late) std::printf("late: %s\n", s.c_str());
    std::printf("gateway.exe exit code %lu\n", r.exit_code);
    return r.failure.empty() && r.never_shown.empty() && r.late.empty() && r.lost == 0 ? 0 : 1;
}
