// Simulated top-level windows: titles, owners, enabled and visible flags, a Z-order,
// outer rectangles and client-area pixels.
// Left out: child windows, window classes and messages; the gateway uses none.
#include <algorithm>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace {

bool live(window_handle w) { return w != nullptr && w->alive; }

void remove_window(platform_window* w) {
    w->alive = false;
    auto& z = world().z_order;
    z.erase(std::remove(z.begin(), z.end(), w), z.end());
    if (world().locked == w) world().locked = nullptr;
}

}  // namespace

window_handle sim_create_window(const sim_window_setup& setup) {
    sim_world& s = world();
    platform_window& w = s.windows.emplace_back();
    w.value = 0x00010010u + 4u * std::uint32_t(s.windows.size());
    w.title = setup.title;
    w.owner = setup.owner;
    w.enabled = setup.enabled;
    w.visible = setup.visible;
    w.rect = setup.rect;
    s.z_order.push_back(&w);
    return &w;
}

void sim_destroy_window(window_handle window) {
    if (live(window)) remove_window(window);
}

void sim_destroy_window_after_checks(window_handle window, int checks) { window->checks_left = checks; }

std::uint32_t sim_handle_value(window_handle window) { return window->value; }

void sim_set_client_pixels(window_handle window, std::int32_t width, std::int32_t height,
                           std::vector<std::uint32_t> pixels) {
    window->client_width = width;
    window->client_height = height;
    window->client = std::move(pixels);
}

int sim_is_window_calls() { return world().is_window_calls; }

void enum_windows(bool (*visit)(window_handle, void*), void* context) {
    // A copy: the visitor may not change the Z-order under the walk.
    const std::vector<platform_window*> order = world().z_order;
    for (platform_window* w : order)
        if (!visit(w, context)) return;
}

int get_window_text(window_handle window, char* buffer, int max_count) {
    if (max_count <= 0) return 0;
    if (!live(window)) {
        buffer[0] = '\0';
        return 0;
    }
    const int n = int(std::min<std::size_t>(window->title.size(), std::size_t(max_count - 1)));
    std::memcpy(buffer, window->title.data(), std::size_t(n));
    buffer[n] = '\0';
    return n;
}

window_handle get_enabled_popup(window_handle window) {
    if (!live(window)) return nullptr;
    for (platform_window* w : world().z_order)
        if (w->owner == window && w->enabled && w->visible) return w;
    return window;
}

window_handle get_next_window(window_handle window) {
    if (!live(window)) return nullptr;
    const auto& z = world().z_order;
    const auto it = std::find(z.begin(), z.end(), window);
    return it == z.end() || it + 1 == z.end() ? nullptr : *(it + 1);
}

bool is_window(window_handle window) {
    ++world().is_window_calls;
    if (!live(window)) return false;
    if (window->checks_left == 0) {
        remove_window(window);
        return false;
    }
    if (window->checks_left > 0) --window->checks_left;
    return true;
}

bool get_window_rect(window_handle window, window_rect* rect) {
    if (!live(window)) return false;
    *rect = window->rect;
    return true;
}

window_handle window_from_handle_value(std::uint32_t value) {
    if (value == 0) return nullptr;
    for (platform_window& w : world().windows)
        if (w.value == value) return &w;
    // A value that names no window still gives a handle, which IsWindow rejects.
    platform_window& stale = world().windows.emplace_back();
    stale.value = value;
    stale.alive = false;
    return &stale;
}
