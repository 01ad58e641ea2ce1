// gateway_probe: tells why a value reads wrong. It finds the host and the robot's
// jog window with the gateway's own search, copies the jog window as the gateway
// does (without taking the window lock, which a running gateway needs), reads the
// six fields with the gateway's reader and reports what it saw and what is wrong.
// It shows no message box and never touches the pipe, so it can run beside a
// gateway.
//
//   gateway_probe.exe [robot-number] [--picture FILE.png] [--json] [--watch SECONDS]
//
// Exit codes: 0 every field read and nothing wrong; 3 a problem was found; -2 no
// host main window; -3 no jog window found by the gateway's search (the problem
// then says why when it can: hidden, docked).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/command_line.h"
#include "stream/axis_contract.h"
#include "host/window_search_capture.h"
#include "support/glyph_tables.h"
#include "support/options.h"
#include "host/probe_output.h"

namespace {

struct options {
    std::int32_t robot = 1;
    std::string picture;
    bool json = false;
    double watch_seconds = -1;
};

// Window titles are 8-bit text in the system's code page; reports are UTF-8.
std::string utf8_from_acp(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring wide(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(m > 0 ? m : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), m, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

window_seen seen(window_handle w) {
    char title[title_buffer_size] = {};
    get_window_text(w, title, title_read_limit);
    window_seen s;
    s.handle = reinterpret_cast<std::uintptr_t>(w);
    s.title = utf8_from_acp(title);
    get_window_rect(w, &s.rect);
    return s;
}

struct search_notes {
    std::string pattern;
    std::vector<std::string> other_robots;  // jog windows of other robots met on the walk
    std::vector<window_handle> matching;    // windows anywhere whose title has the pattern
};

void note_title(window_handle, const char* title, void* context) {
    auto* notes = static_cast<search_notes*>(context);
    if (std::strstr(title, jog_title_prefix) != nullptr && std::strstr(title, notes->pattern.c_str()) == nullptr)
        notes->other_robots.push_back(utf8_from_acp(title));
}

bool note_match(window_handle w, void* context) {
    auto* notes = static_cast<search_notes*>(context);
    char title[title_buffer_size] = {};
    get_window_text(w, title, title_read_limit);
    if (std::strstr(title, notes->pattern.c_str()) != nullptr) notes->matching.push_back(w);
    return true;
}

probe_result probe_once(const options& o, capture_frame& frame) {
    probe_result r;
    r.robot = robot_name(o.robot);
    const window_handle main = find_main_window();
    if (main == nullptr) {
        r.problems.push_back(no_host_problem());
        r.exit_code = axis_exit_no_host_or_pipe;  // the gateway's own code for no host
        return r;
    }
    r.host_found = true;
    r.main = seen(main);

    search_notes notes;
    notes.pattern = jog_title_pattern(r.robot);
    const window_handle jog = find_jog_window(first_jog_candidate(main), notes.pattern.c_str(), note_title, &notes);
    if (jog == nullptr) {
        // Why the search missed it, when a window with the title exists elsewhere.
        enum_child_windows(main, note_match, &notes);
        const std::size_t children = notes.matching.size();
        enum_windows(note_match, &notes);
        for (std::size_t i = 0; i < notes.matching.size(); ++i) {
            const window_handle w = notes.matching[i];
            const std::string title = "\"" + seen(w).title + "\"";
            if (i < children) {
                r.problems.push_back({"docked", -1, view_problem_advice(view_problem::docked)});
                r.near_misses.push_back("docked into the main window: " + title);
            } else if (!is_window_visible(w)) {
                r.problems.push_back({"hidden", -1, view_problem_advice(view_problem::hidden)});
                r.near_misses.push_back("hidden: " + title);
            } else {
                r.near_misses.push_back("not after the main window in the Z-order: " + title);
            }
        }
        for (const std::string& t : notes.other_robots) r.near_misses.push_back("another robot's: \"" + t + "\"");
        if (r.problems.empty()) r.problems.push_back(no_jog_window_problem(r.robot, r.near_misses));
        r.exit_code = axis_exit_no_jog_window;
        return r;
    }
    r.jog_found = true;
    r.jog = seen(jog);

    setup_capture_contexts(jog);
    setup_capture_frame(jog);
    capture_jog_window(false);
    frame = jog_frame();
    r.view = jog_view_seen();
    release_capture();
    r.desktop = {display_bits_per_pixel(), display_dpi_at(jog), window_dpi_awareness(jog)};
    r.fields = analyse_fields(frame, real_glyphs(), r.view);
    r.problems = find_problems(r.view, r.desktop, r.fields);
    r.exit_code = r.problems.empty() ? probe_exit_clean : probe_exit_problems;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    // DPI-unaware, as the gateway is: on a scaled display an aware process is
    // given scaled rectangles for an unaware host while the window's drawing
    // context still holds 96-DPI pixels, so it would copy, search and judge
    // another window than the gateway sees. The monitor's scale is asked for
    // on the side (display_dpi_at).
    options o;
    std::string robot_word;
    read_options_or_exit(
        argc, argv, "gateway_probe", "gateway_probe [robot-number] [--picture FILE.png] [--json] [--watch SECONDS]",
        {{"--json", &o.json}, {"--picture", &o.picture}, {"--watch", number_option{&o.watch_seconds, 0.01, 86400}}},
        &robot_word);
    if (!robot_word.empty()) o.robot = parse_robot_word(std::wstring(robot_word.begin(), robot_word.end()));
    capture_frame frame;
    probe_result r = probe_once(o, frame);
    std::fputs((o.json ? report_json(r) : report_text(r)).c_str(), stdout);
    if (!o.picture.empty()) {
        if (!r.jog_found || !write_png(draw_picture(frame, r.fields), o.picture))
            std::fprintf(stderr, "gateway_probe: no picture written to %s (%s)\n", o.picture.c_str(),
                         r.jog_found ? "cannot write the file" : "no jog window");
    }
    if (o.watch_seconds > 0) {
        // Probe again every period until a key is pressed; a line only on change.
        std::string last = watch_line(r);
        std::printf("%s\n", last.c_str());
        std::fflush(stdout);
        for (;;) {
            // Looked at every 50 ms, so that a key ends the watch at once.
            bool key = false;
            for (double waited = 0; waited < o.watch_seconds && !(key = console_key_waiting()); waited += 0.05)
                sleep_ms(50);
            if (key) break;
            r = probe_once(o, frame);
            const std::string now = watch_line(r);
            if (now != last) std::printf("%s\n", now.c_str());
            std::fflush(stdout);
            last = now;
        }
    }
    std::fflush(stdout);
    return r.exit_code;
}
