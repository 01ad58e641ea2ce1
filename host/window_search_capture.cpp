#include "host/window_search_capture.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include "host/glyph_resources.h"

namespace {

// Process-wide, set during start-up and kept for the run.
struct capture_state {
    window_handle main = nullptr;
    window_handle jog = nullptr;
    dc_handle jog_dc = nullptr;
    dc_handle memory_dc = nullptr;
    bitmap_handle bitmap = nullptr;
    capture_frame frame;
    frame_area wanted;                   // the part of the client area the frame is to hold
    frame_area area;                     // of it, the part copied each cycle, within the frame
    std::int32_t columns = 0, rows = 0;  // of that, within the client area
    bool sized = false;                  // the frame has been sized (empty for a window too large)
    jog_view view;                       // refilled at each look
};

capture_state& capture() {
    static capture_state state;
    return state;
}

bool title_contains(window_handle window, const char* text, char (&title)[title_buffer_size]) {
    get_window_text(window, title, title_read_limit);
    title[title_buffer_size - 1] = '\0';
    return std::strstr(title, text) != nullptr;
}

bool visit_for_main(window_handle window, void*) {
    char title[title_buffer_size] = {};
    if (!title_contains(window, main_window_title, title)) return true;
    capture().main = window;
    return false;  // found: stop the enumeration
}

// Sizes the frame from the jog window as it stands, and makes the capture bitmap
// behind it; late when the set-up found nothing to size it from. False while the
// window has no client area to copy from (a minimised one has none, and its outer
// rectangle is an icon's), so that the next copy sizes it again; true once sized,
// and for a window too large for any frame, which would never fit.
bool size_frame(capture_state& c, bool late) {
    c.frame.pixels.clear();
    c.frame.width = c.frame.height = 0;
    c.area = {};
    c.columns = c.rows = 0;
    window_rect rect;
    if (!get_window_rect(c.jog, &rect)) rect = {};
    // Measured in 64 bits: a degenerate rectangle gives an empty frame, never a
    // negative or overflowing size.
    const std::int64_t width = std::int64_t(rect.right) - rect.left;
    const std::int64_t height = std::int64_t(rect.bottom) - rect.top;
    if (width <= 0 || height <= 0) return false;
    // One bitmap read delivers at most 2 GiB; a larger frame could never be filled.
    constexpr std::int64_t max_pixels = INT32_MAX / std::int64_t(sizeof(pixel));
    if (width > max_pixels || height > max_pixels || width * height > max_pixels) return true;
    const std::int32_t frame_width = std::int32_t(width), frame_height = std::int32_t(height);
    frame_area area = {std::clamp(c.wanted.left, 0, frame_width), std::clamp(c.wanted.top, 0, frame_height),
                       std::clamp(c.wanted.bottom, 0, frame_height)};
    if (area.bottom < area.top) area.bottom = area.top;
    // Only the client area has pixels to copy: the frame is as wide and high as
    // the outer window, and what lies beyond the client area stays 0.
    window_rect client;
    if (!get_client_screen_rect(c.jog, &client)) client = {};
    const std::int64_t client_width = std::int64_t(client.right) - client.left;
    const std::int64_t client_height = std::int64_t(client.bottom) - client.top;
    const std::int32_t columns =
        std::int32_t(std::clamp<std::int64_t>(client_width - area.left, 0, frame_width - area.left));
    const std::int32_t rows = std::int32_t(std::clamp<std::int64_t>(
        std::min<std::int64_t>(client_height, area.bottom) - area.top, 0, area.bottom - area.top));
    if (columns == 0 || rows == 0) return false;
    // The one place the gateway can run out of memory: a huge window gives an
    // empty frame, whose fields read nothing, rather than ending the process.
    try {
        c.frame.pixels.assign(std::size_t(width) * std::size_t(height), 0);
    } catch (const std::bad_alloc&) {
        return true;
    }
    c.frame.width = frame_width;
    c.frame.height = frame_height;
    c.area = area;
    c.columns = columns;
    c.rows = rows;
    // A window's drawing context taken while it had no client area does not follow
    // it once restored (under Wine it goes on copying a plain face): a frame sized
    // late gets its contexts taken afresh.
    if (late) {
        if (c.jog_dc != nullptr) release_window_dc(c.jog, c.jog_dc);
        if (c.memory_dc != nullptr) delete_dc(c.memory_dc);
        c.jog_dc = get_window_dc(c.jog);
        c.memory_dc = create_compatible_dc(c.jog_dc);
    }
    c.bitmap = create_capture_bitmap(c.jog_dc, columns, rows);
    if (c.memory_dc != nullptr && c.bitmap != nullptr) select_bitmap(c.memory_dc, c.bitmap);
    return true;
}

}  // namespace

std::string robot_name(std::int32_t robot) { return "robot" + std::to_string(static_cast<std::uint32_t>(robot)); }

std::string jog_title_pattern(const std::string& robot_name) { return jog_title_prefix + robot_name + " ("; }

window_handle find_main_window() {
    capture().main = nullptr;
    enum_windows(visit_for_main, nullptr);
    return capture().main;
}

window_handle first_jog_candidate(window_handle main) { return get_enabled_popup(main); }

window_handle find_jog_window(window_handle first, const char* pattern, title_visitor visit, void* context) {
    capture().jog = nullptr;
    int walked = 0;
    for (window_handle w = first; w != nullptr && walked < window_walk_limit; w = get_next_window(w), ++walked) {
        char title[title_buffer_size] = {};
        const bool found = title_contains(w, pattern, title);
        if (visit != nullptr) {
            visit(w, title, context);
        } else {
            console_write(title);
            console_write("\n");
        }
        if (found) {
            capture().jog = w;
            break;
        }
    }
    return capture().jog;
}

void setup_capture_contexts(window_handle jog) {
    capture_state& c = capture();
    c.jog = jog;
    c.jog_dc = get_window_dc(jog);
    c.memory_dc = create_compatible_dc(c.jog_dc);
}

void setup_capture_frame(window_handle jog) { setup_capture_frame(jog, {0, 0, INT32_MAX}); }

void setup_capture_frame(window_handle jog, frame_area area) {
    capture_state& c = capture();
    c.jog = jog;
    c.wanted = area;
    c.sized = size_frame(c, false);
}

bool jog_window_exists() { return is_window(capture().jog); }

view_problem capture_jog_window(bool lock) {
    copy_jog_window(lock);
    return check_jog_view();
}

void copy_jog_window(bool lock) {
    capture_state& c = capture();
    // A jog window minimised when the capture was set up gave no size; the frame
    // is sized at the first copy once the window has a client area again.
    if (!c.sized) c.sized = size_frame(c, true);
    if (!c.frame.pixels.empty()) {
        const std::int32_t columns = c.columns, rows = c.rows;
        if (lock) lock_window_update(c.jog);
        copy_pixels(c.memory_dc, c.jog_dc, c.area.left, c.area.top, columns, rows);
        if (lock) lock_window_update(nullptr);
        // Not checked: a failed copy leaves the previous pixels. Read in place and
        // put into the frame in one pass, the top byte cleared on the way.
        const std::uint32_t* bits = bitmap_pixels_in_place(c.bitmap);
        if (bits == nullptr) return;
        for (std::int32_t r = 0; r < rows; ++r) {
            const std::uint32_t* from = bits + std::size_t(r) * std::size_t(columns);
            pixel* to =
                &c.frame.pixels[std::size_t(c.area.top + r) * std::size_t(c.frame.width) + std::size_t(c.area.left)];
            for (std::int32_t x = 0; x < columns; ++x) to[x] = pixel_from_bitmap(from[x]);
        }
    }
}

view_problem check_jog_view() {
    capture_state& c = capture();
    // Judged after the copy: whatever lay over the fields while they were copied
    // is still there now, unless it went within the last fraction of a millisecond.
    look_at_jog_window(c.jog, c.view);
    return judge_view(c.view);
}

const capture_frame& jog_frame() { return capture().frame; }

const jog_view& jog_view_seen() { return capture().view; }

void release_capture() {
    capture_state& c = capture();
    if (c.jog_dc != nullptr) release_window_dc(c.jog, c.jog_dc);
    if (c.memory_dc != nullptr) delete_dc(c.memory_dc);
    // Selected nowhere once its memory context is gone.
    if (c.bitmap != nullptr) delete_bitmap(c.bitmap);
    c.jog_dc = nullptr;
    c.memory_dc = nullptr;
    c.bitmap = nullptr;
}
