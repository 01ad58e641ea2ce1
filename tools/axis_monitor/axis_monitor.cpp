// Axis monitor: a client of the gateway's pipe, built on clients/cpp, that prints
// the six values of every record it receives, one line each.
//
//   axis_monitor.exe [--csv] [--state] [--wait SECONDS] [--count N] [--seconds S] [--pipe NAME]
//
// Plain lines are the six values separated by blanks; --csv prefixes a time stamp
// (seconds since the monitor started) and separates by commas: the recording
// format that axis_replay plays back. Values are printed in their shortest exact
// form, so they read back as the very doubles received. --wait keeps trying to
// connect for that long while the gateway is absent; --count stops after N
// records, --seconds after S seconds; --pipe names the pipe (default
// zelmorvelgateway). --state asks the gateway for its state report: a line
// whenever the state changes ("state covered since 2026-12-09 10:15:30.250 UTC",
// on standard error with --csv), once it knows whether the gateway sends the
// report (state_lines.h), and with --csv five more columns: the state,
// when the values were last confirmed on screen, since when the state holds,
// the readings made and when the record was made (UTC seconds since 1970), and
// once the gateway has gone a last line "gone,<its exit code>" ("gone," when it
// cannot be told).
// Exit codes: 0 done (count or time reached), 1 no gateway
// (or it already has a client), 2 the gateway has gone, 3 a framing error.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clients/cpp/axis_client.h"
#include "support/options.h"
#include "tools/axis_monitor/state_lines.h"

namespace {

std::string shortest(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    bool csv = false, state = false;
    double wait_seconds = 0, count = -1, seconds = -1;
    std::string pipe = axis_pipe_name;
    read_options_or_exit(argc, argv, "axis_monitor",
                         "axis_monitor [--csv] [--state] [--wait SECONDS] [--count N] [--seconds S] [--pipe NAME]",
                         {{"--csv", &csv},
                          {"--state", &state},
                          {"--wait", number_option{&wait_seconds, 0, 86400}},
                          {"--count", number_option{&count, 1, 1e15, true}},
                          {"--seconds", number_option{&seconds, 0, 1e9}},
                          {"--pipe", &pipe}});
    if (const char* problem = axis_pipe_name_problem(pipe.c_str(), pipe.size())) {
        std::fprintf(stderr, "axis_monitor: bad pipe name: %s\n", problem);
        return 2;
    }
    const std::string path = std::string(axis_pipe_prefix) + pipe;
    axis::connection gateway;
    const axis::result connected = gateway.connect(pipe, unsigned(wait_seconds * 1000));
    if (connected != axis::result::ok) {
        std::fprintf(stderr, "axis_monitor: %s: %s\n", path.c_str(), axis::describe(connected));
        return 1;
    }
    // The server's process, so that a user can tell the gateway from an impostor.
    std::fprintf(stderr, "axis_monitor: connected to %s (server process %lu)\n", path.c_str(),
                 gateway.server_process_id());

    if (state && gateway.ask_for_report() != axis::result::ok) {
        std::fprintf(stderr, "axis_monitor: the gateway has gone\n");
        return 2;
    }
    std::FILE* const state_out = csv ? stderr : stdout;
    axis_monitor::state_lines state_said;
    const auto say_state = [&](const std::string& line) {
        if (line.empty()) return;
        std::fprintf(state_out, "%s\n", line.c_str());
        std::fflush(state_out);
    };

    const auto start = std::chrono::steady_clock::now();
    const auto stop = start + std::chrono::duration<double>(seconds);
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (long received = 0; count < 0 || received < count;) {
        unsigned wait_ms = 1000;
        if (seconds >= 0) {
            const auto left =
                std::chrono::duration<double, std::milli>(stop - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            wait_ms = unsigned(left) + 1;
        }
        if (state) {
            say_state(state_said.clock(elapsed()));
            const double due = state_said.due_in(elapsed());
            if (due >= 0) wait_ms = std::min(wait_ms, unsigned(due * 1000) + 1);
        }
        axis::update u;
        const axis::result r = gateway.next(u, wait_ms);
        if (r == axis::result::timeout) continue;
        if (r == axis::result::gone) {
            long code = 0;
            const bool known = gateway.server_exit_code(&code);
            if (known)
                std::fprintf(stderr, "axis_monitor: the gateway has gone (exit code %ld: %s)\n", code,
                             axis::exit_code_meaning(code));
            else
                std::fprintf(stderr, "axis_monitor: the gateway has gone\n");
            // The CSV's last line, for a bridge reading it: how the gateway ended.
            if (state && csv && known) std::printf("gone,%ld\n", code);
            if (state && csv && !known) std::printf("gone,\n");
            std::fflush(stdout);
            return 2;
        }
        if (r != axis::result::ok) {
            std::fprintf(stderr, "axis_monitor: framing error: %s\n", axis::describe(r));
            return 3;
        }
        std::string line;
        if (csv) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.3f", std::chrono::duration<double>(u.received - start).count());
            line = stamp;
        }
        for (int k = 0; k < axis_value_count; ++k) {
            if (!line.empty() || k > 0) line += csv ? "," : " ";
            line += shortest(u.values[k]);
        }
        const axis::state_report& report = u.report;
        if (state) say_state(state_said.record(elapsed(), report.present, report.state_id(), report.since));
        if (state && csv) {
            line += "," + std::string(report.state_id());
            for (const double v : {report.confirmed, report.since, report.readings, report.made})
                line += "," + shortest(v);
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++received;
    }
    return 0;
}
