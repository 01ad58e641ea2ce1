#include "host/host_windows.h"

#include <cstdint>
#include <cstring>

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

}  // namespace

window_handle find_main_window() {
    capture().main = nullptr;
    enum_windows(visit_for_main, nullptr);
    return capture().main;
}

window_handle first_jog_candidate(window_handle main) { return get_enabled_popup(main); }

window_handle find_jog_window(window_handle first, const char* pattern) {
    capture().jog = nullptr;
    for (window_handle w = first; w != nullptr; w = get_next_window(w)) {
        char title[title_buffer_size] = {};
        const bool found = title_contains(w, pattern, title);
        console_write(title);
        console_write("\n");
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

void setup_capture_frame(window_handle jog) {
    capture_state& c = capture();
    window_rect rect;
    if (!get_window_rect(jog, &rect)) rect = {};
    // Measured in 64 bits: a degenerate rectangle gives an empty frame, never a
    // negative or overflowing size.
    const std::int64_t width = std::int64_t(rect.right) - rect.left;
    const std::int64_t height = std::int64_t(rect.bottom) - rect.top;
    const bool empty = width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX;
    c.frame.width = empty ? 0 : std::int32_t(width);
    c.frame.height = empty ? 0 : std::int32_t(height);
    c.frame.pixels.assign(std::size_t(c.frame.width) * std::size_t(c.frame.height), 0);
    if (empty) return;
    c.bitmap = create_compatible_bitmap(c.jog_dc, c.frame.width, c.frame.height);
    if (c.memory_dc != nullptr && c.bitmap != nullptr) select_bitmap(c.memory_dc, c.bitmap);
}

void capture_jog_window() {
    capture_state& c = capture();
    if (c.frame.pixels.empty()) return;
    lock_window_update(c.jog);
    copy_pixels(c.memory_dc, c.jog_dc, c.frame.width, c.frame.height);
    lock_window_update(nullptr);
    read_bitmap_pixels(c.bitmap, c.frame.pixels);  // not checked: a failed read leaves old pixels
}

const capture_frame& jog_frame() { return capture().frame; }

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
