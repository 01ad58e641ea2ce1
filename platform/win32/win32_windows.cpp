// Windows backend: top-level windows, titles, relations, existence, rectangles.
#ifdef _WIN32

#include <windows.h>

#include "platform/platform.h"

namespace {

HWND hwnd(window_handle w) { return reinterpret_cast<HWND>(w); }
window_handle handle(HWND w) { return reinterpret_cast<window_handle>(w); }

struct enum_context {
    bool (*visit)(window_handle, void*);
    void* context;
};

BOOL CALLBACK enum_thunk(HWND w, LPARAM p) {
    const auto* c = reinterpret_cast<const enum_context*>(p);
    return c->visit(handle(w), c->context) ? TRUE : FALSE;
}

}  // namespace

void enum_windows(bool (*visit)(window_handle, void*), void* context) {
    enum_context c{visit, context};
    EnumWindows(enum_thunk, reinterpret_cast<LPARAM>(&c));
}

int get_window_text(window_handle window, char* buffer, int max_count) {
    if (max_count <= 0) return 0;
    buffer[0] = '\0';
    return GetWindowTextA(hwnd(window), buffer, max_count);
}

window_handle get_enabled_popup(window_handle window) {
    HWND found = GetWindow(hwnd(window), GW_ENABLEDPOPUP);
    if (found != nullptr || !IsWindow(hwnd(window))) return handle(found);
    // Some implementations (Wine) return null here instead of keeping the call's
    // documented contract: the first enabled popup owned by the window, in Z-order,
    // or else the window itself. Provide it from the Z-order.
    for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
        if (GetWindow(w, GW_OWNER) == hwnd(window) && IsWindowVisible(w) && IsWindowEnabled(w)) return handle(w);
    return window;
}

window_handle get_next_window(window_handle window) { return handle(GetWindow(hwnd(window), GW_HWNDNEXT)); }

bool is_window(window_handle window) { return IsWindow(hwnd(window)) != FALSE; }

bool get_window_rect(window_handle window, window_rect* rect) {
    RECT r;
    if (!GetWindowRect(hwnd(window), &r)) return false;
    *rect = {r.left, r.top, r.right, r.bottom};
    return true;
}

window_handle window_from_handle_value(std::uint32_t value) {
    // A window handle's significant bits fit in 32; a 64-bit process widens them by
    // sign extension, as the system does for handles passed between processes.
    return handle(reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<std::int32_t>(value))));
}

#endif  // _WIN32
