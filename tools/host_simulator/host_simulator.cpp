// Host simulator: a stand-in for the Draxion3 host, for tests and demonstrations.
// It shows a main window titled "Draxion3 - host simulator" and, per robot, an owned
// popup jog window titled "jog - robot<N> (host simulator)" whose client area draws
// six values at the jog layout with the glyph bitmaps (dark on white or light on
// grey per field) and a decimal separator that is no glyph.
//
//   host_simulator.exe [--robot N]... [--animate] [--paint-delay MS] [--dpi-aware]
//
// With a paint delay it is a slow host: what the system asks it to repaint (a
// part that has come back into view) it paints only MS milliseconds later; its
// own value changes it still paints at once. --dpi-aware makes it a host that
// declares itself DPI-aware, as one that draws at the monitor's scale must.
//
// It prints "main <handle>" and "jog <N> <handle>" (handles in hex), then "ready",
// and takes commands on standard input, one per line, answering each with "ok" or
// "error <why>":
//   set N K TEXT      field K (0-5) of robot N shows TEXT, e.g. -12,5 (',' is the separator)
//   render N K white|grey
//   drop N K 0|1      glyph tops at reference row + 2 (0) or + 3 (1)
//   scale N 100|125|150  robot N's digits drawn that much larger, as on a scaled display
//   animate N on|off
//   open N            a jog window for robot N
//   hide N | show N | minimize N | restore N | dock N | close N
//   move N X Y        the jog window's top-left corner to screen point X, Y
//   cover N [right]   a window over all of robot N's fields, or over their right
//                     part only (from the third character of a field at column 106)
//   cover N X Y W H   a window over that rectangle of robot N's client area
//   uncover
//   quit              closes the main window, and with it the simulator
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "recognition/field_reader.h"
#include "support/frame_painter.h"
#include "support/motion.h"

namespace {

constexpr UINT command_message = WM_APP + 1;
constexpr UINT_PTR animation_timer = 1;
constexpr UINT_PTR late_paint_timer = 2;
UINT paint_delay_ms = 0;
constexpr int client_width = 300, client_height = 400;
constexpr std::int32_t field_column = 106;

struct field_state {
    std::string text;
    rendering look = rendering::primary;
    int drop = 0;
};

struct jog_state {
    int robot = 0;
    HWND window = nullptr;
    field_state fields[axis_field_count];
    bool animate = false;
    int scale = 100;         // percent
    bool paint_now = false;  // the next WM_PAINT is one of ours, or its delay is over
};

// The glyphs enlarged by nearest neighbour, as a display scale would draw them.
const glyph_set& glyphs_at(int percent) {
    static glyph_set sets[2];
    static bool made[2] = {};
    if (percent == 100) return real_glyphs();
    const int i = percent == 125 ? 0 : 1;
    if (!made[i]) {
        sets[i] = real_glyphs();
        for (glyph& g : sets[i].glyphs)
            for (glyph_template* t : {&g.primary, &g.alternate}) {
                const glyph_template small = *t;
                t->width = small.width * percent / 100;
                t->height = small.height * percent / 100;
                t->pixels.resize(std::size_t(t->width) * std::size_t(t->height));
                for (std::int32_t y = 0; y < t->height; ++y)
                    for (std::int32_t x = 0; x < t->width; ++x)
                        t->pixels[std::size_t(y * t->width + x)] =
                            small.pixels[std::size_t(y * 100 / percent * small.width + x * 100 / percent)];
            }
        prepare_glyph_set(sets[i]);
        made[i] = true;
    }
    return sets[i];
}

HWND main_window = nullptr;
HWND cover_window = nullptr;
std::vector<std::unique_ptr<jog_state>> jogs;
int ticks = 0;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string hex(HWND w) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(w)));
    return buf;
}

jog_state* find_jog(int robot) {
    for (auto& j : jogs)
        if (j->robot == robot && j->window != nullptr) return j.get();
    return nullptr;
}

void paint_jog(HWND window, const jog_state& jog) {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(window, &ps);
    capture_frame f = blank_frame(client_width, client_height, 0xF0F0F0);
    for (int k = 0; k < axis_field_count; ++k) {
        const field_state& fs = jog.fields[k];
        draw_field(f, glyphs_at(jog.scale), first_field_row + field_pitch * k, field_column, fs.text, fs.look, fs.drop);
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = f.width;
    info.bmiHeader.biHeight = -f.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, DWORD(f.width), DWORD(f.height), 0, 0, 0, UINT(f.height), f.pixels.data(), &info,
                      DIB_RGB_COLORS);
    EndPaint(window, &ps);
}

void repaint(jog_state& jog) {
    jog.paint_now = true;
    InvalidateRect(jog.window, nullptr, FALSE);
    UpdateWindow(jog.window);  // painted before the command is answered
}

LRESULT CALLBACK jog_proc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    auto* jog = reinterpret_cast<jog_state*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
        break;
    case WM_PAINT:
        if (jog != nullptr && paint_delay_ms > 0 && !jog->paint_now) {
            // Later: what is invalid now stays unpainted until then.
            ValidateRect(window, nullptr);
            SetTimer(window, late_paint_timer, paint_delay_ms, nullptr);
            return 0;
        }
        if (jog != nullptr) {
            jog->paint_now = false;
            paint_jog(window, *jog);
            return 0;
        }
        break;
    case WM_TIMER:
        if (jog != nullptr && wp == late_paint_timer) {
            KillTimer(window, late_paint_timer);
            repaint(*jog);
            return 0;
        }
        break;
    case WM_DESTROY:
        if (jog != nullptr) jog->window = nullptr;
        break;
    }
    return DefWindowProcW(window, message, wp, lp);
}

void open_jog(int robot) {
    auto jog = std::make_unique<jog_state>();
    jog->robot = robot;
    const char* shown[axis_field_count] = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"};
    for (int k = 0; k < axis_field_count; ++k) {
        jog->fields[k].text = shown[k];
        jog->fields[k].look = k % 2 ? rendering::alternate : rendering::primary;
    }
    RECT r{0, 0, client_width, client_height};
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_TOOLWINDOW);
    const std::wstring title = L"jog - robot" + std::to_wstring(robot) + L" (host simulator)";
    // Side by side, two to a row: none covers another's fields.
    const int slot = int(jogs.size());
    jog->window = CreateWindowExW(WS_EX_TOOLWINDOW, L"host_simulator_jog", title.c_str(), style, 480 + 340 * (slot % 2),
                                  40 + 460 * (slot / 2), r.right - r.left, r.bottom - r.top, main_window, nullptr,
                                  GetModuleHandleW(nullptr), jog.get());
    ShowWindow(jog->window, SW_SHOWNOACTIVATE);
    UpdateWindow(jog->window);
    say("jog " + std::to_string(robot) + " " + hex(jog->window));
    jogs.push_back(std::move(jog));
}

std::string animated_text(int field, int tick) {
    const double v = motion_value(field, tick * 0.2);  // a tick every 200 ms
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    std::string s = buf;
    for (char& c : s)
        if (c == '.') c = ',';
    return s;
}

std::string run_command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "quit") {
        DestroyWindow(main_window);
        return "ok";
    }
    if (verb == "uncover") {
        if (cover_window != nullptr) DestroyWindow(cover_window);
        cover_window = nullptr;
        return "ok";
    }
    int robot = 0;
    if (!(in >> robot)) return "error robot number expected";
    if (verb == "open") {
        open_jog(robot);
        return "ok";
    }
    jog_state* jog = find_jog(robot);
    if (jog == nullptr) return "error no jog window for robot " + std::to_string(robot);
    if (verb == "set" || verb == "render" || verb == "drop") {
        int k = -1;
        if (!(in >> k) || k < 0 || k >= axis_field_count) return "error field 0 to 5 expected";
        std::string arg;
        in >> arg;
        field_state& fs = jog->fields[k];
        if (verb == "set")
            fs.text = arg;
        else if (verb == "render" && (arg == "white" || arg == "grey"))
            fs.look = arg == "white" ? rendering::primary : rendering::alternate;
        else if (verb == "drop" && (arg == "0" || arg == "1"))
            fs.drop = arg == "1";
        else
            return "error bad argument " + arg;
        repaint(*jog);
        return "ok";
    }
    if (verb == "scale") {
        int percent = 0;
        if (!(in >> percent) || (percent != 100 && percent != 125 && percent != 150))
            return "error 100, 125 or 150 expected";
        jog->scale = percent;
        repaint(*jog);
        return "ok";
    }
    if (verb == "animate") {
        std::string arg;
        in >> arg;
        jog->animate = arg == "on";
        return "ok";
    }
    if (verb == "hide" || verb == "show") {
        ShowWindow(jog->window, verb == "hide" ? SW_HIDE : SW_SHOWNOACTIVATE);
        return "ok";
    }
    if (verb == "close") {
        DestroyWindow(jog->window);
        return "ok";
    }
    if (verb == "dock") {
        // Docked: a child of the main window, no longer a top-level window.
        SetWindowLongPtrW(jog->window, GWL_STYLE, WS_CHILD | WS_VISIBLE);
        SetParent(jog->window, main_window);
        SetWindowPos(jog->window, nullptr, 0, 0, client_width, client_height, SWP_NOZORDER | SWP_FRAMECHANGED);
        return "ok";
    }
    if (verb == "minimize" || verb == "restore") {
        ShowWindow(jog->window, verb == "minimize" ? SW_MINIMIZE : SW_RESTORE);
        return "ok";
    }
    if (verb == "move") {
        int x = 0, y = 0;
        if (!(in >> x >> y)) return "error X and Y expected";
        SetWindowPos(jog->window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        UpdateWindow(jog->window);
        return "ok";
    }
    if (verb == "cover") {
        std::string part;
        in >> part;
        // Over the rows the gateway reads, from the first search column (or, for
        // the right part, from the third character of a field) to the right edge;
        // or over the rectangle given.
        RECT client;
        GetClientRect(jog->window, &client);
        POINT from{part == "right" ? field_column + 2 * glyph_advance : first_search_column, first_row_read};
        POINT to{client.right, rows_read_end};
        if (!part.empty() && part != "right") {
            std::istringstream rect(part + " " + std::string(std::istreambuf_iterator<char>(in), {}));
            int x = 0, y = 0, w = 0, h = 0;
            if (!(rect >> x >> y >> w >> h) || w <= 0 || h <= 0) return "error right or X Y W H expected";
            from = {x, y};
            to = {x + w, y + h};
        }
        ClientToScreen(jog->window, &from);
        ClientToScreen(jog->window, &to);
        if (cover_window != nullptr) DestroyWindow(cover_window);
        cover_window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"host_simulator_cover",
                                       L"cover", WS_POPUP | WS_VISIBLE, from.x, from.y, to.x - from.x, to.y - from.y,
                                       nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        UpdateWindow(cover_window);
        return "ok";
    }
    return "error unknown command " + verb;
}

LRESULT CALLBACK main_proc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
    case command_message: {
        std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(lp));
        if (!line->empty()) say(run_command(*line));
        return 0;
    }
    case WM_TIMER:
        ++ticks;
        for (auto& j : jogs)
            if (j->window != nullptr && j->animate) {
                for (int k = 0; k < axis_field_count; ++k) j->fields[k].text = animated_text(k, ticks);
                repaint(*j);
            }
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(window, message, wp, lp);
}

// Reads commands from standard input and hands them to the window thread.
DWORD WINAPI read_commands(void*) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    char buf[512];
    DWORD n = 0;
    while (in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
        pending.append(buf, n);
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1)) {
            std::string line = pending.substr(0, eol);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            PostMessageW(main_window, command_message, 0, reinterpret_cast<LPARAM>(new std::string(line)));
        }
    }
    return 0;
}

void register_class(const wchar_t* name, WNDPROC proc, HBRUSH background) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    RegisterClassW(&wc);
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<int> robots;
    bool animate = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--animate")
            animate = true;
        else if (a == L"--robot" && i + 1 < argc)
            robots.push_back(_wtoi(argv[++i]));
        else if (a == L"--paint-delay" && i + 1 < argc)
            paint_delay_ms = UINT(_wtoi(argv[++i]));
        else if (a == L"--dpi-aware")
            SetProcessDPIAware();
    }
    LocalFree(argv);
    if (robots.empty()) robots.push_back(1);

    register_class(L"host_simulator_main", main_proc, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    register_class(L"host_simulator_jog", jog_proc, nullptr);
    register_class(L"host_simulator_cover", DefWindowProcW, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
    main_window = CreateWindowExW(0, L"host_simulator_main", L"Draxion3 - host simulator", WS_OVERLAPPEDWINDOW, 20, 20,
                                  420, 240, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ShowWindow(main_window, SW_SHOWNOACTIVATE);
    say("main " + hex(main_window));
    for (int r : robots) open_jog(r);
    for (auto& j : jogs) j->animate = animate;
    SetTimer(main_window, animation_timer, 200, nullptr);
    CreateThread(nullptr, 0, read_commands, nullptr, 0, nullptr);
    say("ready");

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
