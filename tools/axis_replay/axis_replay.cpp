// axis_replay: a stand-in gateway, so that a peer can be developed without the
// host or a display. It serves the gateway's pipe with the gateway's own stream
// code, so the framing and the rules are the gateway's: one client, the first
// update as soon as the client can take it, then only changes, never re-armed.
//
//   axis_replay.exe --recording FILE.csv [--loop] [--pipe NAME]
//   axis_replay.exe --motion [--seconds S] [--pipe NAME]
//
// A recording is the axis monitor's --csv output: lines "time,v0,v1,v2,v3,v4,v5",
// time in seconds, with --state five more columns (as the hub's --export writes
// them too), which are read and not sent: the values go out, the state is the
// gateway's. It plays at its recorded pace from the moment the client
// connects, each value exactly as written (the monitor writes the shortest form
// that reads back as the same double), and ends after its last line has gone out;
// --loop plays it again and again. --motion serves six values in generated motion
// (S seconds, default: until a key is pressed). Exit codes: 0 done, 2 bad usage or
// recording, -2 the pipe could not be opened (as the gateway).
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/motion.h"
#include "support/options.h"
#include "stream/axis_stream.h"

namespace {

struct frame_of_values {
    double time = 0;
    axis_record record;
};

// Whether [p, end) is the monitor's five state columns: a state's name (or "no
// report"), then when confirmed, since, the readings and when made. They are read
// so that the hub's exports play here too; the values alone go out.
bool state_columns(const char* p, const char* end) {
    const char* comma = std::find(p, end, ',');
    const std::string state(p, comma);
    bool known = state == "no report";
    for (int code = 0; code < axis_state_count && !known; ++code) known = state == axis_state_id(code);
    for (int field = 0; field < 4 && known; ++field) {
        if (comma == end) return false;
        double number = 0;
        const auto r = std::from_chars(comma + 1, end, number);
        known = r.ec == std::errc() && (field == 3 ? r.ptr == end : r.ptr < end && *r.ptr == ',');
        comma = r.ptr;
    }
    return known;
}

// Reads a recording; false (with a message) at the first line that is not one.
bool read_recording(const char* path, std::vector<frame_of_values>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "axis_replay: cannot read %s\n", path);
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        frame_of_values f;
        const char* p = line.data();
        const char* end = p + line.size();
        bool ok = true;
        for (int field = 0; field <= axis_value_count && ok; ++field) {
            double& target = field == 0 ? f.time : f.record.slots[field - 1];
            const auto r = std::from_chars(p, end, target);
            const bool last = field == axis_value_count;
            ok = r.ec == std::errc() && (last ? r.ptr == end || (*r.ptr == ',' && state_columns(r.ptr + 1, end))
                                              : r.ptr < end && *r.ptr == ',');
            p = r.ptr + 1;
        }
        if (!ok || (!out.empty() && f.time < out.back().time)) {
            std::fprintf(stderr,
                         "axis_replay: %s line %d is not \"time,v0,...,v5\" (with the state five more columns) in time "
                         "order: %s\n",
                         path, number, line.c_str());
            return false;
        }
        out.push_back(f);
    }
    if (out.empty()) {
        std::fprintf(stderr, "axis_replay: %s holds no values\n", path);
        return false;
    }
    return true;
}

// Six values as the host simulator's animation draws them, to one decimal.
axis_record motion_at(double seconds) {
    axis_record r;
    for (int k = 0; k < axis_value_count; ++k) r.slots[k] = motion_value(k, seconds);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::string recording_file;
    bool loop = false, motion = false;
    double seconds = -1;
    std::string pipe = axis_pipe_name;
    const char* const usage =
        "axis_replay --recording FILE.csv [--loop] [--pipe NAME]\n"
        "       axis_replay --motion [--seconds S] [--pipe NAME]";
    read_options_or_exit(argc, argv, "axis_replay", usage,
                         {{"--recording", &recording_file},
                          {"--loop", &loop},
                          {"--motion", &motion},
                          {"--seconds", number_option{&seconds, 0, 1e9}},
                          {"--pipe", &pipe}});
    const char* recording = recording_file.empty() ? nullptr : recording_file.c_str();
    if ((recording == nullptr) == !motion) {
        std::fprintf(stderr, "axis_replay: either --recording or --motion\nusage: %s\n", usage);
        return 2;
    }
    if (const char* problem = axis_pipe_name_problem(pipe.c_str(), pipe.size())) {
        std::fprintf(stderr, "axis_replay: bad pipe name: %s\n", problem);
        return 2;
    }
    std::vector<frame_of_values> frames;
    if (recording != nullptr && !read_recording(recording, frames)) return 2;
    if (open_axis_pipe(pipe.c_str()) < 0) {
        std::fprintf(stderr, "axis_replay: Pipe open error (another gateway or stand-in holds %s)\n", pipe.c_str());
        return -2;
    }
    std::fprintf(stderr, "axis_replay: serving %s%s\n", axis_pipe_prefix, pipe.c_str());

    // The clock starts when the client has taken the first update.
    sender_state state{true, {}};
    const axis_record first = motion ? motion_at(0) : frames.front().record;
    while (state.force_send) {
        if (console_key_waiting()) return 0;
        send_if_changed(state, first);
        sleep_ms(10);
    }
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    std::size_t next = 1;  // the next recorded line to go out
    for (;;) {
        const double now = std::chrono::duration<double>(clock::now() - start).count();
        if (console_key_waiting() || (motion && seconds >= 0 && now >= seconds)) break;
        if (motion) {
            send_if_changed(state, motion_at(now));
        } else {
            // Every line goes out, in order, once its time has come; none is skipped
            // while the client is behind.
            while (next < frames.size() && frames[next].time - frames.front().time <= now) {
                send_if_changed(state, frames[next].record);
                if (would_send(state, frames[next].record)) break;  // not taken: again next time
                ++next;
            }
            if (next == frames.size()) {
                if (!loop) break;
                start = clock::now();  // again from the top, its first line at once
                next = 0;
            }
        }
        // A client that has gone never comes back: the pipe is not armed again.
        if (axis_peer_gone()) {
            std::fprintf(stderr, "axis_replay: the client has gone\n");
            break;
        }
        sleep_ms(10);
    }
    // What is still queued reaches the client before the pipe closes.
    for (int i = 0; i < 500 && axis_writes_pending(); ++i) sleep_ms(10);
    close_axis_pipe();
    return 0;
}
