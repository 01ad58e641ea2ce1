// The operating-system services the gateway uses, as plain functions over small
// handle types. The system's logic calls only these; one backend implements them
// per build (platform/win32 on Windows, platform/sim in the native build), chosen
// at link time. Each function names the Windows call it stands for.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Opaque handles. A null handle means none.
struct platform_window;  // HWND
struct platform_dc;      // HDC
struct platform_bitmap;  // HBITMAP
struct platform_pipe;    // the server end of a named pipe and its pending operations
using window_handle = platform_window*;
using dc_handle = platform_dc*;
using bitmap_handle = platform_bitmap*;
using pipe_handle = platform_pipe*;

// --- Windows (USER32) ---

// Calls visit for each top-level window, top of the Z-order first, until visit
// returns false (EnumWindows).
void enum_windows(bool (*visit)(window_handle window, void* context), void* context);

// Copies the window's title as 8-bit text: at most max_count - 1 characters and a
// terminating zero (GetWindowTextA). Returns the number of characters copied.
int get_window_text(window_handle window, char* buffer, int max_count);

// The first enabled popup window owned by the window, in Z-order, or the window
// itself when it owns none; null only on failure (GetWindow, GW_ENABLEDPOPUP).
window_handle get_enabled_popup(window_handle window);

// The window below this one in the Z-order, or null (GetWindow, GW_HWNDNEXT).
window_handle get_next_window(window_handle window);

// Whether the handle names an existing window (IsWindow).
bool is_window(window_handle window);

struct window_rect {
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// The window's outer rectangle in screen coordinates (GetWindowRect).
bool get_window_rect(window_handle window, window_rect* rect);

// Walks along the Z-order (the jog search, the look above the jog window) stop
// after this many windows: far above any real desktop, and a Z-order that
// changes during the walk cannot make it loop.
inline constexpr int window_walk_limit = 10000;

// The window above this one in the Z-order, or null (GetWindow, GW_HWNDPREV).
window_handle get_previous_window(window_handle window);

bool is_window_visible(window_handle window);    // IsWindowVisible
bool is_window_minimized(window_handle window);  // IsIconic

// Whether the window's parent is the desktop (GetAncestor, GA_PARENT); false for a
// window docked into another one, and for one that is gone.
bool is_top_level_window(window_handle window);

// Whether a visible window shows nothing over what lies below it: cloaked
// (DwmGetWindowAttribute, DWMWA_CLOAKED), or layered with a constant alpha of 0.
bool is_window_see_through(window_handle window);

// The window's client area in screen coordinates (GetClientRect, ClientToScreen).
bool get_client_screen_rect(window_handle window, window_rect* rect);

// The rectangles of all display monitors in screen coordinates (EnumDisplayMonitors);
// out is cleared first.
void get_monitor_rects(std::vector<window_rect>& out);

// Bits per pixel of the display (GetDeviceCaps, BITSPIXEL, on the screen's context).
int display_bits_per_pixel();

// Dots per inch of the monitor showing the window (GetDpiForMonitor, effective),
// else of the screen (GetDeviceCaps, LOGPIXELSX); 96 is 100 % scale. The true
// value whatever this process's own DPI awareness: the call is made with the
// thread made per-monitor aware for it where the system can (Windows 10 1607 on),
// and the thread put back.
int display_dpi_at(window_handle window);

// How the window's own process draws it on a scaled display
// (GetWindowDpiAwarenessContext, Windows 10 1607 on; unknown before): a
// DPI-unaware window is drawn at 96 DPI whatever the monitor's scale.
enum class dpi_awareness { unknown, unaware, system_aware, per_monitor_aware };
dpi_awareness window_dpi_awareness(window_handle window);

// Calls visit for each child window of parent, at any depth, until visit returns
// false (EnumChildWindows).
void enum_child_windows(window_handle parent, bool (*visit)(window_handle window, void* context), void* context);

// The window named by a handle value given on the command line. Handles are
// 32-bit values even in 64-bit processes; 0 gives null.
window_handle window_from_handle_value(std::uint32_t value);

// --- Drawing (USER32, GDI32) ---
// Whoever obtains a context or bitmap gives it back with the call named beside
// it, once; the simulated desktop reports any that is left or given back twice.

// The window's client-area drawing context (GetDC); null on failure. Give it back
// with release_window_dc for the same window.
dc_handle get_window_dc(window_handle window);
void release_window_dc(window_handle window, dc_handle dc);  // ReleaseDC; a window's context only

// A memory context compatible with dc (CreateCompatibleDC); null on failure. Give
// it back with delete_dc, never with release_window_dc.
dc_handle create_compatible_dc(dc_handle dc);
void delete_dc(dc_handle dc);  // DeleteDC; a memory context only

// A 32-bit top-down bitmap of width x height whose pixels this process can read in
// place (CreateDIBSection, not CreateCompatibleBitmap: see bitmap_pixels_in_place);
// null on failure. Delete it with delete_bitmap once it is selected out again.
bitmap_handle create_capture_bitmap(dc_handle dc, std::int32_t width, std::int32_t height);

// Selects the bitmap into a memory context, never a window's (SelectObject);
// returns the bitmap it replaces (to select back before deleting), null on failure.
bitmap_handle select_bitmap(dc_handle dc, bitmap_handle bitmap);

// DeleteObject; only a bitmap that is selected into no context, and only once.
void delete_bitmap(bitmap_handle bitmap);

// Keeps the window from redrawing until called with null (LockWindowUpdate); false
// when the window has gone or another window is locked already. Whoever locks
// unlocks.
bool lock_window_update(window_handle window);

// Copies width x height pixels from (source_x, source_y) of source to (0, 0) of
// target, a memory context with a bitmap selected (BitBlt, SRCCOPY); false on
// failure, the target's pixels then as they were.
bool copy_pixels(dc_handle target, dc_handle source, std::int32_t source_x, std::int32_t source_y, std::int32_t width,
                 std::int32_t height);

// --- Bitmaps and the bitmap resources stored with the program ---

// The bitmap resource with this identifier from the program's own module
// (LoadBitmapW), or null when there is none or it cannot be decoded. Lives for the
// run: it is never deleted.
bitmap_handle load_bitmap_resource(int id);

// Width and height of a bitmap (GetObjectW); false when the handle is not a bitmap.
bool get_bitmap_size(bitmap_handle bitmap, std::int32_t* width, std::int32_t* height);

// Copies up to byte_count bytes of the bitmap's pixels, 32 bits each, top row first
// (GetBitmapBits). Returns the bytes copied, 0 on failure. The top byte of each
// pixel is whatever the display left there. A created bitmap is read only after it
// has been selected into a context.
std::int64_t get_bitmap_bits(bitmap_handle bitmap, std::int64_t byte_count, void* out);

// The pixels of a bitmap made by create_capture_bitmap, where they lie in this
// process's memory, once any drawing into it still batched has been done: rows
// top first, each as wide as the bitmap, 32 bits a pixel, the top byte whatever
// the display left there (the DIB section's bits, after GdiFlush). Null when the
// bitmap has none. Valid until the bitmap is deleted.
const std::uint32_t* bitmap_pixels_in_place(bitmap_handle bitmap);

// --- Named pipe (KERNEL32) ---

// Creates the only instance of a local, message-mode, duplex named pipe with input
// and output buffers of buffer_bytes each (CreateNamedPipeA), which only the user
// running this process and the system may open. Null when it cannot be created,
// for instance because another process holds the name. Close it with close_pipe.
pipe_handle create_message_pipe(const char* full_name, std::uint32_t buffer_bytes);

enum class connect_outcome {
    pending,           // waiting for the peer (or failed: the writes will tell)
    connected_at_once  // completed immediately with success
};

// How many instances of this pipe's name exist now, this one included
// (GetNamedPipeHandleState); 0 when that cannot be told.
std::uint32_t pipe_instance_count(pipe_handle pipe);

// Starts accepting the single peer without waiting for it (ConnectNamedPipe with
// the endpoint's own overlapped record); once per endpoint, on an open one.
connect_outcome start_pipe_connect(pipe_handle pipe);

// Writes one pipe message without ever waiting (WriteFile, overlapped), on an
// open endpoint only. The bytes are copied at the call. True when the message is
// in the pipe or queued behind earlier ones; false when no peer is connected, the
// peer has gone, or the write failed.
bool write_pipe_message(pipe_handle pipe, const void* data, std::uint32_t size);

// The next message the peer has written, never waiting (ReadFile, overlapped, kept
// in flight from one call to the next once the peer has connected): its size, and
// its bytes in out; 0 when none has come, no peer is connected or it has gone.
// A message longer than max_bytes is read to its end and dropped whole.
std::uint32_t read_pipe_message(pipe_handle pipe, void* out, std::uint32_t max_bytes);

// True while an earlier message is still queued because the peer is not reading.
bool pipe_write_pending(pipe_handle pipe);

// True once a write has found that the peer has gone (ERROR_NO_DATA).
bool pipe_peer_gone(pipe_handle pipe);

// Cancels and waits for queued writes, then closes the endpoint (CloseHandle).
// Whoever created the endpoint closes it, once.
void close_pipe(pipe_handle pipe);

// --- Console, framework, time, command line ---

void console_write(const char* text);          // 8-bit text to standard output
void console_write_wide(const wchar_t* text);  // wide text to standard output
bool console_key_waiting();                    // _kbhit: neither blocks nor consumes the key

// A line for standard output that the caller never waits for, whatever the
// console does (a redirected output nobody reads, a console window with a
// selection in it, a closed console): a writer of the backend's own writes it
// once the console takes it. While the console takes nothing, at most
// console_waiting_lines wait, the oldest giving way, and a note of how many were
// dropped precedes the next line it takes (platform/console_lines.h). Lines
// written with console_write before the first post have reached the console.
inline constexpr std::size_t console_waiting_lines = 16;
void console_post(const char* text);

// Waits up to timeout_ms until every posted line has been written or dropped;
// false if some still wait.
bool console_drain(std::uint32_t timeout_ms);

// Brings up the application framework with the program's module and command line;
// false when that fails.
bool framework_start();

enum class box_icon { error, information };

// A modal message box with a single OK button; returns when the user has closed it.
void message_box(const wchar_t* text, box_icon icon);

// Pauses the calling thread for about this many milliseconds: on Windows on a
// high-resolution waitable timer (Windows 10 1803 and later), else Sleep with the
// system tick raised to 1 ms; on the simulated desktop it advances its clock.
void sleep_ms(std::uint32_t milliseconds);

// Microseconds on a clock that only goes forward (QueryPerformanceCounter).
std::int64_t steady_us();
// Microseconds since 1970-01-01 00:00 UTC (GetSystemTimePreciseAsFileTime where the
// system has it, else GetSystemTimeAsFileTime).
std::int64_t utc_us();

// The process's command line split into words by the runtime's rules, the program's
// name first (GetCommandLineW).
std::vector<std::wstring> command_line_words();

#endif  // PLATFORM_PLATFORM_H
