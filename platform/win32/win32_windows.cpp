// Windows backend: top-level windows, titles, relations, existence, rectangles,
// what a viewer of a window sees (visibility, cloaking, monitors, display depth).
#ifdef _WIN32

#include <windows.h>

#include <dwmapi.h>

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
    int walked = 0;
    for (HWND w = GetTopWindow(nullptr); w != nullptr && walked < window_walk_limit;
         w = GetWindow(w, GW_HWNDNEXT), ++walked)
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

window_handle get_previous_window(window_handle window) { return handle(GetWindow(hwnd(window), GW_HWNDPREV)); }

bool is_window_visible(window_handle window) { return IsWindowVisible(hwnd(window)) != FALSE; }

bool is_window_minimized(window_handle window) { return IsIconic(hwnd(window)) != FALSE; }

bool is_top_level_window(window_handle window) {
    return IsWindow(hwnd(window)) && GetAncestor(hwnd(window), GA_PARENT) == GetDesktopWindow();
}

bool is_window_see_through(window_handle window) {
    DWORD cloaked = 0;
    if (SUCCEEDED(DwmGetWindowAttribute(hwnd(window), DWMWA_CLOAKED, &cloaked, sizeof cloaked)) && cloaked != 0)
        return true;
    // A layered window with a constant alpha of 0 draws nothing. One with per-pixel
    // alpha cannot be told, and counts as drawing.
    BYTE alpha = 255;
    DWORD flags = 0;
    return (GetWindowLongW(hwnd(window), GWL_EXSTYLE) & WS_EX_LAYERED) != 0 &&
           GetLayeredWindowAttributes(hwnd(window), nullptr, &alpha, &flags) && (flags & LWA_ALPHA) != 0 && alpha == 0;
}

bool get_client_screen_rect(window_handle window, window_rect* rect) {
    RECT r;
    POINT origin{0, 0};
    if (!GetClientRect(hwnd(window), &r) || !ClientToScreen(hwnd(window), &origin)) return false;
    *rect = {origin.x, origin.y, origin.x + r.right, origin.y + r.bottom};
    return true;
}

namespace {

BOOL CALLBACK add_monitor(HMONITOR, HDC, LPRECT r, LPARAM p) {
    reinterpret_cast<std::vector<window_rect>*>(p)->push_back({r->left, r->top, r->right, r->bottom});
    return TRUE;
}

}  // namespace

void get_monitor_rects(std::vector<window_rect>& out) {
    out.clear();
    EnumDisplayMonitors(nullptr, nullptr, add_monitor, reinterpret_cast<LPARAM>(&out));
}

namespace {

// The per-monitor DPI calls of Windows 10 1607 on, looked up: older systems lack them.
struct dpi_calls {
    using context = void*;  // DPI_AWARENESS_CONTEXT
    context(WINAPI* set_thread)(context) = nullptr;
    context(WINAPI* of_window)(HWND) = nullptr;
    int(WINAPI* awareness_of)(context) = nullptr;
    HRESULT(WINAPI* for_monitor)(HMONITOR, int, UINT*, UINT*) = nullptr;
};

template <class F>
void look_up(F& f, HMODULE module, const char* name) {
    f = module != nullptr ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

const dpi_calls& dpi() {
    static const dpi_calls calls = [] {
        dpi_calls c;
        const HMODULE user = GetModuleHandleW(L"user32.dll");
        look_up(c.set_thread, user, "SetThreadDpiAwarenessContext");
        look_up(c.of_window, user, "GetWindowDpiAwarenessContext");
        look_up(c.awareness_of, user, "GetAwarenessFromDpiAwarenessContext");
        look_up(c.for_monitor, LoadLibraryW(L"shcore.dll"), "GetDpiForMonitor");
        return c;
    }();
    return calls;
}

}  // namespace

int display_dpi_at(window_handle window) {
    // A DPI-unaware caller is told 96 whatever the scale; per-monitor aware for the
    // call, it is told the truth (DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE is -3).
    const dpi_calls& c = dpi();
    const auto before = c.set_thread != nullptr ? c.set_thread(reinterpret_cast<dpi_calls::context>(-3)) : nullptr;
    UINT x = 0, y = 0;
    const bool found = c.for_monitor != nullptr &&
                       SUCCEEDED(c.for_monitor(MonitorFromWindow(hwnd(window), MONITOR_DEFAULTTONEAREST),
                                               0 /* effective */, &x, &y)) &&
                       x != 0;
    int result = int(x);
    if (!found) {
        const HDC screen = GetDC(nullptr);
        result = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
        if (screen != nullptr) ReleaseDC(nullptr, screen);
    }
    if (before != nullptr) c.set_thread(before);
    return result;
}

dpi_awareness window_dpi_awareness(window_handle window) {
    const dpi_calls& c = dpi();
    if (c.of_window == nullptr || c.awareness_of == nullptr) return dpi_awareness::unknown;
    const dpi_calls::context context = c.of_window(hwnd(window));
    if (context == nullptr) return dpi_awareness::unknown;
    switch (c.awareness_of(context)) {  // DPI_AWARENESS
    case 0: return dpi_awareness::unaware;
    case 1: return dpi_awareness::system_aware;
    case 2: return dpi_awareness::per_monitor_aware;
    default: return dpi_awareness::unknown;
    }
}

void enum_child_windows(window_handle parent, bool (*visit)(window_handle, void*), void* context) {
    enum_context c{visit, context};
    EnumChildWindows(hwnd(parent), enum_thunk, reinterpret_cast<LPARAM>(&c));
}

int display_bits_per_pixel() {
    const HDC screen = GetDC(nullptr);
    if (screen == nullptr) return 0;
    const int bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bits;
}

window_handle window_from_handle_value(std::uint32_t value) {
    // A window handle's significant bits fit in 32; a 64-bit process widens them by
    // sign extension, as the system does for handles passed between processes.
    return handle(reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<std::int32_t>(value))));
}

#endif  // _WIN32
