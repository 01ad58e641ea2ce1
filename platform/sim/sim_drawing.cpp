// Simulated drawing contexts, created bitmaps, the drawing lock and the pixel copy.
// The backend checks its own contract here: contexts and bitmaps given back exactly
// once, nothing deleted while in use, pixels read only from a bitmap that has been
// selected (and so could have received a copy).
#include <algorithm>

#include "platform/sim/sim_internal.h"

dc_handle get_window_dc(window_handle window) {
    if (window == nullptr || !window->alive) return nullptr;
    platform_dc& dc = world().dcs.emplace_back();
    dc.window = window;
    dc.stale = window->minimized;
    return &dc;
}

void release_window_dc(window_handle window, dc_handle dc) {
    if (dc == nullptr) return;
    if (dc->window == nullptr || dc->window != window) sim_violation("ReleaseDC with a context of another window");
    if (dc->gone) sim_violation("window drawing context released twice");
    dc->gone = true;
}

dc_handle create_compatible_dc(dc_handle dc) {
    if (dc == nullptr || dc->gone) return nullptr;
    return &world().dcs.emplace_back();
}

void delete_dc(dc_handle dc) {
    if (dc == nullptr) return;
    if (dc->window != nullptr) sim_violation("DeleteDC on a window drawing context");
    if (dc->gone) sim_violation("memory context deleted twice");
    if (dc->selected != nullptr) dc->selected->selected_in = nullptr;
    dc->selected = nullptr;
    dc->gone = true;
}

bitmap_handle create_capture_bitmap(dc_handle dc, std::int32_t width, std::int32_t height) {
    if (dc == nullptr || dc->gone || width <= 0 || height <= 0) return nullptr;
    platform_bitmap& b = world().bitmaps.emplace_back();
    b.width = width;
    b.height = height;
    b.pixels.assign(std::size_t(width) * std::size_t(height), 0);
    b.created = true;
    return &b;
}

bitmap_handle select_bitmap(dc_handle dc, bitmap_handle bitmap) {
    if (dc == nullptr || dc->gone || bitmap == nullptr) return nullptr;
    if (dc->window != nullptr) sim_violation("bitmap selected into a window context");
    if (bitmap->deleted) sim_violation("deleted bitmap selected");
    if (bitmap->selected_in != nullptr && bitmap->selected_in != dc) return nullptr;  // one context at a time
    platform_bitmap* previous = dc->selected;
    if (previous != nullptr) previous->selected_in = nullptr;
    dc->selected = bitmap;
    bitmap->selected_in = dc;
    bitmap->ever_selected = true;
    return previous;
}

void delete_bitmap(bitmap_handle bitmap) {
    if (bitmap == nullptr) return;
    if (bitmap->deleted) sim_violation("bitmap deleted twice");
    if (bitmap->selected_in != nullptr) sim_violation("bitmap deleted while selected into a context");
    bitmap->deleted = true;
}

bool lock_window_update(window_handle window) {
    sim_world& s = world();
    if (window == nullptr) {
        s.locked = nullptr;
        return true;
    }
    if (!window->alive || s.locked != nullptr) return false;  // one locked window at a time
    s.locked = window;
    return true;
}

bool copy_pixels(dc_handle target, dc_handle source, std::int32_t source_x, std::int32_t source_y, std::int32_t width,
                 std::int32_t height) {
    if (target == nullptr || source == nullptr || target->gone || source->gone) {
        sim_violation("pixel copy with a context that is not there");
        return false;
    }
    platform_bitmap* b = target->selected;
    if (target->window != nullptr || b == nullptr) {
        sim_violation("pixel copy into a context without a bitmap");
        return false;
    }
    const platform_window* w = source->window;
    if (w == nullptr || !w->alive) return false;  // the window has gone: nothing copied
    // What the screen shows: the window's pixels where they are on a monitor and
    // nothing lies over them; a plain face where they are off screen or covered,
    // and black for a window that is hidden or minimised. A context taken while
    // the window was minimised shows the plain face for good, even once the
    // window is restored (as under Wine).
    const std::int32_t rows = std::min(height, b->height), columns = std::min(width, b->width);
    const window_rect client = sim_client_on_screen(*w);
    const bool shown = w->visible && !w->minimized;
    for (std::int32_t row = 0; row < rows; ++row)
        for (std::int32_t column = 0; column < columns; ++column) {
            const std::int32_t x = source_x + column, y = source_y + row;
            const bool inside = x >= 0 && x < w->client_width && y >= 0 && y < w->client_height;
            std::uint32_t p = 0;
            if (inside && shown) {
                p = !source->stale && sim_point_shows(*w, client.left + x, client.top + y)
                        ? w->client[std::size_t(y) * std::size_t(w->client_width) + std::size_t(x)]
                        : 0xF0F0F0;
            }
            b->pixels[std::size_t(row) * std::size_t(b->width) + std::size_t(column)] = p;
        }
    return true;
}
