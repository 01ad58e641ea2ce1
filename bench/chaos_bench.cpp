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

int main(int argc, char** argv) {
    chaos_options options;
    options.seconds = 600;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        char* end = nullptr;
        if (std::strcmp(argv[i], "--seconds") == 0 && has_value) {
            options.seconds = std::strtod(argv[++i], &end);
            if (*end != 0 || options.seconds <= 0) return std::fprintf(stderr, "chaos_bench: bad --seconds\n"), 2;
        } else if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
            options.seed = unsigned(std::strtoul(argv[++i], &end, 10));
            if (*end != 0) return std::fprintf(stderr, "chaos_bench: bad --seed\n"), 2;
        } else if (std::strcmp(argv[i], "--paint-delay") == 0 && has_value) {
            options.paint_delay_ms = int(std::strtol(argv[++i], &end, 10));
            if (*end != 0 || options.paint_delay_ms < 0) return std::fprintf(stderr, "chaos_bench: bad --paint-delay\n"), 2;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            options.verbose = true;
        } else {
            return std::fprintf(stderr, "usage: chaos_bench [--seconds S] [--seed N] [--paint-delay MS] [--verbose]\n"), 2;
        }
    }
    const chaos_report r = run_chaos(options);
    if (!r.failure.empty()) std::printf("run failed: %s\n", r.failure.c_str());
    std::vector<double> a = r.arrival_ms;
    std::sort(a.begin(), a.end());
    auto at = [&](double q) { return a.empty() ? 0.0 : a[std::min(a.size() - 1, std::size_t(q * double(a.size())))]; };
    std::printf("%.0f s, seed %u: %d disturbances, %d records, %zu values never shown, %d returns lost\n",
                options.seconds, options.seed, r.disturbances, r.records, r.never_shown.size(), r.lost);
    std::printf("return to whole view -> values at the peer: median %.1f ms, p90 %.1f, p99 %.1f, max %.1f; over 0.7 s: %zu\n",
                at(0.5), at(0.9), at(0.99), a.empty() ? 0.0 : a.back(), r.late.size());
    for (std::size_t i = 0; i < r.never_shown.size() && i < 20; ++i) std::printf("never shown: %s\n", r.never_shown[i].c_str());
    for (const std::string& s : r.late) std::printf("late: %s\n", s.c_str());
    std::printf("gateway.exe exit code %lu\n", r.exit_code);
    return r.failure.empty() && r.never_shown.empty() && r.late.empty() && r.lost == 0 ? 0 : 1;
}
