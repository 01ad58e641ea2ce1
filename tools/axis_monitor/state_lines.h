// What axis_monitor --state says of the gateway's state report, and when. The
// request for the report reaches the gateway while records may already be on
// their way, and those carry none: so nothing is said until it is known, from
// the first report, or from none within the time a gateway is given to send
// one. Then a line whenever the state changes. Plain C++, apart from the pipe,
// so that it is tested on any machine.
#ifndef TOOLS_AXIS_MONITOR_STATE_LINES_H
#define TOOLS_AXIS_MONITOR_STATE_LINES_H

#include <cstdio>
#include <ctime>
#include <string>

namespace axis_monitor {

// A gateway with the report sends a record at least every 0.5 s once asked
// (axis_report_heartbeat_ms): four of those, for a loaded machine.
inline constexpr double report_wait_seconds = 2.0;

// A UTC time as people read it, to the millisecond.
inline std::string utc_text(double seconds) {
    const std::time_t whole = std::time_t(seconds);
    const std::tm* t = std::gmtime(&whole);
    if (seconds <= 0 || t == nullptr) return "never";
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%06.3f UTC", t->tm_year + 1900, t->tm_mon + 1,
                  t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec + (seconds - double(whole)));
    return text;
}

// Each call takes the seconds since the report was asked for, and gives the
// line to say ("" for none).
class state_lines {
public:
    // A record: whether it carried the report, its state's id ("live", "covered",
    // "no report", ...) and since when that state holds.
    std::string record(double elapsed, bool present, const std::string& state, double since) {
        if (!present && !known_ && elapsed < report_wait_seconds) return "";
        known_ = true;
        if (state == said_) return "";
        said_ = state;
        return present ? "state " + state + " since " + utc_text(since) : no_report;
    }

    // No record: the wait for the first report may have passed.
    std::string clock(double elapsed) {
        if (known_ || elapsed < report_wait_seconds) return "";
        known_ = true;
        said_ = "no report";
        return no_report;
    }

    // Seconds until clock() may have something to say; negative: it has nothing more.
    double due_in(double elapsed) const { return known_ ? -1 : report_wait_seconds - elapsed; }

private:
    static constexpr const char* no_report = "state unknown: this gateway sends no state report";
    bool known_ = false;  // whether the gateway sends the report
    std::string said_;    // the state last said
};

}  // namespace axis_monitor

#endif  // TOOLS_AXIS_MONITOR_STATE_LINES_H
