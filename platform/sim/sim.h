// Controls of the simulated platform, for tests only. The gateway sees the
// simulated desktop through platform/platform.h like any other backend; tests set
// it up, script it and inspect it through this header.
#ifndef PLATFORM_SIM_SIM_H
#define PLATFORM_SIM_SIM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// --- The whole desktop ---

// A fresh desktop: no windows, pipes, output, boxes or scripts; resources as built.
void sim_reset();

// Misuse of the platform seen so far (a write to a closed endpoint, pixels read
// from a bitmap never selected, ...), and, when at_shutdown is set, everything
// still held that should have been given back (drawing contexts, created bitmaps,
// endpoints, a window left locked). Empty when all is well.
std::vector<std::string> sim_contract_violations(bool at_shutdown);

// --- Windows ---

struct sim_window_setup {
    std::string title;
    window_handle owner = nullptr;
    bool enabled = true;
    bool visible = true;
    window_rect rect{100, 100, 420, 520};  // outer rectangle; 320 x 420
};

// A new top-level window, placed at the bottom of the Z-order.
window_handle sim_create_window(const sim_window_setup& setup);
void sim_destroy_window(window_handle window);
// IsWindow answers true this many more times for the window, which is then gone.
void sim_destroy_window_after_checks(window_handle window, int checks);
// The 32-bit value by which the window is named on a command line.
std::uint32_t sim_handle_value(window_handle window);
// The client area's pixels, top row first; what lies outside them reads as 0.
void sim_set_client_pixels(window_handle window, std::int32_t width, std::int32_t height,
                           std::vector<std::uint32_t> pixels);
int sim_is_window_calls();  // how many times IsWindow was asked

void sim_move_window(window_handle window, window_rect rect);
// Minimises the window or restores it. Minimised, it is an icon as Windows keeps
// one: outer rectangle 160 x 28 at (-32000, -32000), no client area, nothing shown;
// a drawing context taken from it then copies a plain face even once it is
// restored, as under Wine.
void sim_minimize_window(window_handle window, bool minimized);
// Puts the window at the top of the Z-order.
void sim_bring_to_top(window_handle window);
// The desktop is one 1920 x 1080 monitor at the origin, at 96 DPI.
void sim_set_display_bits(int bits);  // 32 by default

// --- Named pipes and the peer ---

// Another process holds a pipe of this full name.
void sim_hold_pipe(const std::string& full_name);
// Another process holds a pipe of this full name and allows further instances, so
// creating one beside it succeeds.
void sim_squat_pipe(const std::string& full_name);
// The next connect completes at once instead of being left pending.
void sim_connect_completes_at_once();
// A pipe of this full name exists now.
bool sim_pipe_exists(const std::string& full_name);

// The peer connects once this many sleeps have passed (0: before the first
// write); -1: never. It leaves once leave_after sleeps have passed (-1: never).
void sim_peer_connects_after(int sleeps);
void sim_peer_leaves_after(int sleeps);
// The peer stops reading: messages beyond the pipe's buffer stay queued until it
// resumes.
void sim_peer_stalls();
void sim_peer_resumes();
// The nth write from now fails (1: the next one), once.
void sim_fail_write(int nth);
// The peer writes a message to the gateway; it is read once the peer has connected.
void sim_peer_writes(const std::vector<std::uint8_t>& message);
// Every message the peer has read, with its boundaries, in order.
const std::vector<std::vector<std::uint8_t>>& sim_peer_received();
int sim_write_attempts();

// --- Console, message boxes, framework, time ---

const std::string& sim_console();        // 8-bit output
const std::wstring& sim_console_wide();  // wide output
void sim_set_key_waiting(bool waiting);
int sim_key_tests();  // how many times the key test ran

struct sim_box {
    std::wstring text;
    box_icon icon;
};
const std::vector<sim_box>& sim_boxes();  // every box shown, answered with OK
// Runs while a box is up, as a user acting before pressing OK would.
void sim_on_box(std::function<void(const sim_box&)> action);

void sim_fail_framework_start();

int sim_sleeps();
std::uint64_t sim_slept_ms();
// The clocks: the steady one is the time slept; UTC starts at 2026-01-01 00:00.
inline constexpr std::int64_t sim_utc_start_us = 1767225600LL * 1000000;
// Runs at every sleep, with the number of sleeps so far (the cycle clock).
void sim_on_sleep(std::function<void(int sleeps)> action);

// --- Resources ---

// Replaces (or adds) the bytes stored with the program under this identifier.
void sim_set_resource(int id, std::vector<std::uint8_t> bytes);
// Removes the resource, as if the program had been built without it.
void sim_remove_resource(int id);
// Back to the bitmaps compiled into the program.
void sim_restore_resources();
// The bytes currently stored under this identifier (empty if none).
std::vector<std::uint8_t> sim_resource(int id);

#endif  // PLATFORM_SIM_SIM_H
