// The simulated desktop as a whole: its reset and contract check, and the console,
// message boxes, framework start, sleep and command line.
#include "platform/sim/sim_internal.h"

sim_world& world() {
    static sim_world w;
    return w;
}

void sim_reset() {
    world() = sim_world{};
    sim_restore_resources();
}

std::vector<std::string> sim_contract_violations(bool at_shutdown) {
    const sim_world& s = world();
    std::vector<std::string> out = s.violations;
    if (!at_shutdown) return out;
    for (const platform_dc& dc : s.dcs)
        if (!dc.gone)
            out.push_back(dc.window != nullptr ? "window drawing context not released" : "memory context not deleted");
    for (const platform_bitmap& b : s.bitmaps)
        if (b.created && !b.deleted) out.push_back("created bitmap not deleted");
    for (const platform_pipe& p : s.pipes)
        if (p.open && !p.foreign) out.push_back("endpoint not closed: " + p.name);
    if (s.locked != nullptr) out.push_back("window left locked");
    return out;
}

void console_write(const char* text) { world().console += text; }
void console_write_wide(const wchar_t* text) { world().console_wide += text; }
// The simulated console takes every line at once.
void console_post(const char* text) { world().console += text; }
bool console_drain(std::uint32_t) { return true; }

bool console_key_waiting() {
    ++world().key_tests;
    return world().key_waiting;  // tested, never consumed
}

const std::string& sim_console() { return world().console; }
const std::wstring& sim_console_wide() { return world().console_wide; }
void sim_set_key_waiting(bool waiting) { world().key_waiting = waiting; }
int sim_key_tests() { return world().key_tests; }

bool framework_start() { return !world().framework_fails; }
void sim_fail_framework_start() { world().framework_fails = true; }

void message_box(const wchar_t* text, box_icon icon) {
    sim_world& s = world();
    s.boxes.push_back({text, icon});
    if (s.on_box) s.on_box(s.boxes.back());
}

const std::vector<sim_box>& sim_boxes() { return world().boxes; }
void sim_on_box(std::function<void(const sim_box&)> action) { world().on_box = std::move(action); }

void sleep_ms(std::uint32_t milliseconds) {
    sim_world& s = world();
    ++s.sleeps;
    s.slept_ms += milliseconds;
    if (s.on_sleep) s.on_sleep(s.sleeps);
}

// Time passes only in the pauses: a cycle is its 10 ms.
std::int64_t steady_us() { return std::int64_t(world().slept_ms) * 1000; }
std::int64_t utc_us() { return sim_utc_start_us + steady_us(); }

int sim_sleeps() { return world().sleeps; }
std::uint64_t sim_slept_ms() { return world().slept_ms; }
void sim_on_sleep(std::function<void(int)> action) { world().on_sleep = std::move(action); }

// The native build has no gateway program of its own: tests hand gateway_main its
// words directly.
std::vector<std::wstring> command_line_words() { return {}; }
