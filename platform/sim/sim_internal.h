// State of the simulated desktop, shared by the sim_*.cpp files of the backend.
// Objects live in deques and are never freed before sim_reset, so a stale handle
// is still safe to look at (and is reported as misuse instead of crashing).
#ifndef PLATFORM_SIM_SIM_INTERNAL_H
#define PLATFORM_SIM_SIM_INTERNAL_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

struct platform_window {
    std::uint32_t value = 0;  // the handle value a command line names it by
    std::string title;
    platform_window* owner = nullptr;
    bool enabled = true;
    bool visible = true;
    bool minimized = false;
    window_rect rect;  // as restored
    std::int32_t client_width = 0;
    std::int32_t client_height = 0;
    std::vector<std::uint32_t> client;
    bool alive = true;
    int checks_left = -1;  // IsWindow answers before the window goes; -1: no limit
};

struct platform_bitmap {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;
    bool created = false;  // by create_capture_bitmap (resources are never deleted)
    bool deleted = false;
    bool ever_selected = false;
    platform_dc* selected_in = nullptr;
};

struct platform_dc {
    platform_window* window = nullptr;  // null for a memory context
    platform_bitmap* selected = nullptr;
    bool gone = false;   // released or deleted
    bool stale = false;  // a window's, taken while it was minimised
};

struct platform_pipe {
    std::string name;
    bool foreign = false;  // held by another process
    bool shared = false;   // ... which lets further instances be created beside its own
    bool open = true;
    bool armed = false;  // accepting a peer
    std::uint64_t buffer_bytes = 0;
    enum class peer { listening, connected, gone } state = peer::listening;
    std::deque<std::vector<std::uint8_t>> unread;  // written, not yet read by the peer
    std::uint64_t unread_bytes = 0;
};

struct sim_world {
    std::deque<platform_window> windows;
    std::vector<platform_window*> z_order;  // live top-level windows, top first
    std::deque<platform_bitmap> bitmaps;
    std::deque<platform_dc> dcs;
    std::deque<platform_pipe> pipes;
    platform_window* locked = nullptr;
    int is_window_calls = 0;
    int display_bits = 32;

    std::deque<std::vector<std::uint8_t>> from_peer;  // written by the peer, not yet read by the gateway
    int connect_after = 0;
    int leave_after = -1;
    bool stalled = false;
    int fail_write_in = 0;
    bool connect_at_once = false;
    std::vector<std::vector<std::uint8_t>> received;
    int write_attempts = 0;

    std::string console;
    std::wstring console_wide;
    bool key_waiting = false;
    int key_tests = 0;
    std::vector<sim_box> boxes;
    std::function<void(const sim_box&)> on_box;
    bool framework_fails = false;
    int sleeps = 0;
    std::uint64_t slept_ms = 0;
    std::function<void(int)> on_sleep;

    std::vector<std::string> violations;
};

sim_world& world();

// The client area on the screen: centred left to right in the outer rectangle,
// flush with its bottom border, whose width it shares on the left and right.
window_rect sim_client_on_screen(const platform_window& w);

// What the screen shows at a point: false where no monitor is, or where a visible
// window above w in the Z-order draws.
bool sim_point_shows(const platform_window& w, std::int32_t x, std::int32_t y);

inline void sim_violation(std::string what) { world().violations.push_back(std::move(what)); }

#endif  // PLATFORM_SIM_SIM_INTERNAL_H
