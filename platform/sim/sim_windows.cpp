// Simulated top-level windows: titles, owners, enabled, visible and minimised
// flags, a Z-order, outer rectangles and client-area pixels, and the display's
// depth. Left out: child windows (so docking), cloaking, more than one
// monitor or another scale, window classes and messages. The view analysis that
// tells these apart is tested on plain descriptions of the desktop, and the
// states themselves under Wine.
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/sim/sim_internal.h"

namespace {

bool live(window_handle w) { return w != nullptr && w->alive; }

// Where Windows keeps a minimised window: its icon, far off every monitor.
constexpr window_rect minimized_rect{-32000, -32000, -31840, -31972};

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
    *rect = window->minimized ? minimized_rect : window->rect;
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

void sim_move_window(window_handle window, window_rect rect) { window->rect = rect; }
void sim_minimize_window(window_handle window, bool minimized) { window->minimized = minimized; }
void sim_set_display_bits(int bits) { world().display_bits = bits; }

void sim_bring_to_top(window_handle window) {
    auto& z = world().z_order;
    z.erase(std::remove(z.begin(), z.end(), window), z.end());
    z.insert(z.begin(), window);
}

window_handle get_previous_window(window_handle window) {
    if (!live(window)) return nullptr;
    const auto& z = world().z_order;
    const auto it = std::find(z.begin(), z.end(), window);
    return it == z.end() || it == z.begin() ? nullptr : *(it - 1);
}

bool is_window_visible(window_handle window) { return live(window) && window->visible; }
bool is_window_minimized(window_handle window) { return live(window) && window->minimized; }
bool is_top_level_window(window_handle window) { return live(window); }
bool is_window_see_through(window_handle) { return false; }

window_rect sim_client_on_screen(const platform_window& w) {
    if (w.minimized) return {minimized_rect.left, minimized_rect.top, minimized_rect.left, minimized_rect.top};
    // In 64 bits, so that absurd rectangles cannot overflow; cut back to 32.
    auto cut = [](std::int64_t v) { return std::int32_t(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX)); };
    const std::int64_t border = (std::int64_t(w.rect.right) - w.rect.left - w.client_width) / 2;
    const std::int64_t left = w.rect.left + border, top = w.rect.bottom - border - w.client_height;
    return {cut(left), cut(top), cut(left + w.client_width), cut(top + w.client_height)};
}

bool get_client_screen_rect(window_handle window, window_rect* rect) {
    if (!live(window)) return false;
    *rect = sim_client_on_screen(*window);
    return true;
}

constexpr window_rect the_monitor{0, 0, 1920, 1080};

void get_monitor_rects(std::vector<window_rect>& out) { out = {the_monitor}; }

int display_bits_per_pixel() { return world().display_bits; }
int display_dpi_at(window_handle) { return 96; }

dpi_awareness window_dpi_awareness(window_handle) { return dpi_awareness::unaware; }

void enum_child_windows(window_handle, bool (*)(window_handle, void*), void*) {}

bool sim_point_shows(const platform_window& w, std::int32_t x, std::int32_t y) {
    auto inside = [&](const window_rect& r) { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; };
    if (!inside(the_monitor)) return false;
    for (const platform_window* above : world().z_order) {
        if (above == &w) break;
        if (above->visible && !above->minimized && inside(above->rect)) return false;
    }
    return true;
}
