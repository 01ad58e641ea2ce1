#include <cstdio>
#include <cwchar>

#include "gateway/command_line.h"
#include "gateway/gateway.h"
#include "host/glyph_resources.h"
#include "host/window_search_capture.h"

namespace {

std::wstring widen(const char* ascii) {
    std::wstring out;
    for (const char* p = ascii; *p != '\0'; ++p) out += wchar_t(static_cast<unsigned char>(*p));
    return out;
}

void release() {
    release_capture();
    close_axis_pipe();
}

}  // namespace

// The start-up is a fixed sequence, and its order is part of what users and peers
// see. The pipe is created once the host is known to run and before the jog
// search: a peer waiting for the gateway can connect while the user still reads
// the information box, and a second gateway is refused ("Pipe open error") before
// it walks and prints any titles. The capture is set up only after the user has
// closed the box, so the frame is sized from the jog window as it stands then (or,
// if it is minimised then, once it is restored). The glyphs load between the two
// halves of that set-up; all that hangs on it is that a damaged bitmap stops the
// run with the drawing contexts taken and no frame yet, and release() gives back
// what was taken. The exits after a failed host or jog search leave the endpoint
// open on purpose: the process ends at once, and its end closes the endpoint, so
// the peer sees the pipe go exactly when the gateway does.
int gateway_main(const std::vector<std::wstring>& words) {
    console_write("Morvel Draxion gateway 1.000\n");
    const gateway_arguments arguments = parse_arguments(words);
    if (arguments.pipe_name_error != nullptr) {
        const std::string line = std::string("Bad pipe name: ") + arguments.pipe_name_error + "\n";
        console_write(line.c_str());
        return axis_exit_bad_pipe_name;
    }

    if (!framework_start()) {
        console_write_wide(L"Fatal Error: MFC initialization failed\n");
        release();
        return axis_exit_framework_failed;
    }

    const window_handle main = find_main_window();
    if (main == nullptr) {
        message_box(L"Can't find Draxion3 main window, please launch Draxion3, then retry", box_icon::error);
        return axis_exit_no_host_or_pipe;
    }

    const std::string robot = robot_name(arguments.robot);
    const window_handle first = first_jog_candidate(main);

    if (open_axis_pipe(arguments.pipe_name.c_str()) < 0) {
        console_write("Pipe open error\n");
        return axis_exit_no_host_or_pipe;
    }

    const window_handle jog = find_jog_window(first, jog_title_pattern(robot).c_str());

    // %ls: a wide string in every runtime's wide formatting (plain %s is not).
    const std::wstring name = widen(robot.c_str());
    wchar_t text[1024];
    if (jog == nullptr) {
        std::swprintf(text, std::size(text),
                      L"Can't find jog window robot '%ls', please open a jog window for this robot (also rename the "
                      L"robot to '%ls' and reopen the jog window if necessary) and verify this window is not docked "
                      L"to the main frame",
                      name.c_str(), name.c_str());
        message_box(text, box_icon::error);
        return axis_exit_no_jog_window;
    }
    std::swprintf(text, std::size(text),
                  L"Jog window found for '%ls', please be sure that you are using a 100%% scale display on the screen "
                  L"showing this jog window and that this jog window will stay visible",
                  name.c_str());
    message_box(text, box_icon::information);

    setup_capture_contexts(jog);
    // On any other depth the bitmaps cannot be read as 32-bit pixels, and no copy
    // of the screen would ever match them: name the cause, not a bitmap.
    auto unreadable = [&](const char* format, int number) {
        char line[96];
        std::snprintf(line, sizeof line, format, number);
        console_write(line);
        release();
        return axis_exit_glyphs_unreadable;
    };
    const int depth = display_bits_per_pixel();
    if (depth != 32) return unreadable("The display uses %d bits per pixel; the gateway needs 32\n", depth);
    glyph_set glyphs;
    int failed_id = 0;
    // Without its glyphs the gateway could never read a value: say so and stop.
    if (load_glyph_set(glyphs, &failed_id) != glyph_load_status::ok)
        return unreadable("Can't load glyph bitmap %d\n", failed_id);
    // Only the part the reader looks at is copied, a quarter of the window.
    setup_capture_frame(jog, area_read(glyphs));

    sender_state state;
    state.force_send = true;
    const cycle_end end = capture_cycle(window_from_handle_value(arguments.owner), glyphs, state);
    release();
    console_drain(final_console_wait_ms);
    return end == cycle_end::jog_window_closed ? axis_exit_jog_window_closed : axis_exit_stopped;
}
