// Windows backend: console (the cycle's lines written by a thread of their own),
// framework start, message boxes, sleep, command line.
// There is no application framework here: the start is the checks the framework's
// initialisation makes (module and command line present), and message boxes are
// MessageBoxW with the program's name as caption, as the framework's default is.
#ifdef _WIN32

#include <windows.h>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/console_lines.h"
#include "platform/platform.h"

namespace {

// The gateway's lines end in a line feed alone, as written; text mode would turn
// it into CR LF on a redirected console.
void binary_stdout() {
    static const bool done = _setmode(_fileno(stdout), _O_BINARY) != -1;
    (void)done;
}

}  // namespace

void console_write(const char* text) {
    binary_stdout();
    std::fputs(text, stdout);
    std::fflush(stdout);  // seen at once, also when the console is a pipe
}

void console_write_wide(const wchar_t* text) {
    binary_stdout();
    std::fflush(stdout);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, DWORD(wcslen(text)), &written, nullptr);
        return;
    }
    // Redirected: UTF-8, which for this ASCII text is the same bytes.
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return;
    std::string bytes(std::size_t(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), n, nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

bool console_key_waiting() { return _kbhit() != 0; }

namespace {

// The cycle's lines go through a thread of their own because every way the
// console can stall ends in a write that does not return: a pipe nobody reads
// blocks once full, a console window blocks every writer while the user has a
// selection in it, a slow file or terminal takes its time. A thread waits in any
// of them alike. The alternatives each cover one case and touch what is not
// ours: a non-blocking pipe mode is set on a handle the parent shares, and
// QuickEdit switched off is the user's console setting. The writer uses
// WriteFile alone, not the C library's stream, so that it holds no lock that the
// key test, the start-up lines or the library's own exit would need.
void write_posted_lines(console_lines& lines) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::string bytes;
    for (;;) {
        if (!lines.take(bytes, std::chrono::hours(24))) continue;
        DWORD written = 0;
        lines.written(WriteFile(out, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size());
    }
}

bool any_posted = false;  // the cycle's thread alone posts and drains

console_lines& posted_lines() {
    // Never destroyed: at the process's end its writer may still be inside a
    // write that will never return, and the end of the process stops it there.
    static console_lines* const lines = [] {
        auto* made = new console_lines(console_waiting_lines);
        std::thread([made] { write_posted_lines(*made); }).detach();
        return made;
    }();
    return *lines;
}

}  // namespace

void console_post(const char* text) {
    any_posted = true;
    posted_lines().post(text);
}

bool console_drain(std::uint32_t timeout_ms) {
    return !any_posted || posted_lines().wait_until_idle(std::chrono::milliseconds(timeout_ms));
}

bool framework_start() { return GetModuleHandleW(nullptr) != nullptr && GetCommandLineW() != nullptr; }

void message_box(const wchar_t* text, box_icon icon) {
    wchar_t path[MAX_PATH] = L"gateway";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring caption = path;
    caption = caption.substr(caption.find_last_of(L"\\/") + 1);
    caption = caption.substr(0, caption.rfind(L'.'));
    MessageBoxW(nullptr, text, caption.c_str(), MB_OK | (icon == box_icon::error ? MB_ICONERROR : MB_ICONINFORMATION));
}

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Sleep waits for the system tick, 15.6 ms unless something has raised it, so the
// cycle's 10 ms pause would run at 64 Hz instead of 100 and every change would
// reach the peer up to 6 ms late. A high-resolution waitable timer waits the time
// asked for; where the system has none (before Windows 10 1803), the tick is
// raised to 1 ms for the run and put back at its end.
//
// Windows 11 may also ignore a process's timer resolution request
// (timeBeginPeriod) while its windows are occluded or minimised, and the
// gateway's console usually is. The high-resolution timer does not depend on it,
// but the fallback pause does (a raised tick and Sleep), and without the opt-out
// a 10 ms pause there would silently stretch to the 15.6 ms tick. So the process
// opts out where the system knows how (SetProcessInformation is looked up:
// systems before Windows 8 lack it, and those before Windows 11 refuse the flag);
// a failure changes nothing.
void keep_timer_resolution() {
    struct power_throttling_state {  // PROCESS_POWER_THROTTLING_STATE
        ULONG version, control_mask, state_mask;
    };
    constexpr int process_power_throttling = 4;      // ProcessPowerThrottling
    constexpr ULONG throttling_current_version = 1;  // PROCESS_POWER_THROTTLING_CURRENT_VERSION
    constexpr ULONG ignore_timer_resolution = 0x4;   // PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION
    using set_information = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set = kernel == nullptr ? nullptr
                                       : reinterpret_cast<set_information>(
                                             reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")));
    // Control the flag, state off: the system honours the resolution asked for.
    power_throttling_state state{throttling_current_version, ignore_timer_resolution, 0};
    if (set != nullptr) set(GetCurrentProcess(), process_power_throttling, &state, sizeof state);
}

class pause_timer {
public:
    pause_timer() {
        keep_timer_resolution();
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer_ == nullptr) tick_raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    ~pause_timer() {
        if (timer_ != nullptr) CloseHandle(timer_);
        if (tick_raised_) timeEndPeriod(1);
    }
    pause_timer(const pause_timer&) = delete;
    pause_timer& operator=(const pause_timer&) = delete;

    void sleep(std::uint32_t milliseconds) {
        LARGE_INTEGER due;
        due.QuadPart = -10000LL * milliseconds;  // relative, in 100 ns units
        if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) &&
            WaitForSingleObject(timer_, INFINITE) == WAIT_OBJECT_0)
            return;
        Sleep(milliseconds);
    }

private:
    HANDLE timer_ = nullptr;
    bool tick_raised_ = false;
};

}  // namespace

void sleep_ms(std::uint32_t milliseconds) {
    static pause_timer timer;
    timer.sleep(milliseconds);
}

std::int64_t steady_us() {
    static const std::int64_t per_second = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return std::int64_t(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    // In two parts, so that the product cannot overflow however long the system runs.
    return t.QuadPart / per_second * 1000000 + t.QuadPart % per_second * 1000000 / per_second;
}

std::int64_t utc_us() {
    // The precise form (Windows 8 on) is looked up: the plain one is only as fine
    // as the system tick.
    using precise_time = void(WINAPI*)(LPFILETIME);
    static const precise_time precise = [] {
        const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return kernel == nullptr ? nullptr
                                 : reinterpret_cast<precise_time>(reinterpret_cast<void*>(
                                       GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")));
    }();
    FILETIME t;
    if (precise != nullptr)
        precise(&t);
    else
        GetSystemTimeAsFileTime(&t);
    const std::uint64_t ticks = std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;  // 100 ns since 1601
    constexpr std::uint64_t from_1601_to_1970 = 116444736000000000ULL;
    return std::int64_t((ticks - from_1601_to_1970) / 10);
}

std::vector<std::wstring> command_line_words() {
    std::vector<std::wstring> words;
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return words;
    for (int i = 0; i < count; ++i) words.emplace_back(argv[i]);
    LocalFree(argv);
    return words;
}

#endif  // _WIN32
