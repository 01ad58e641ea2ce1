// What crosses the process boundary between the gateway and the programs around
// it: the pipe's name and the rule for names, what one update is on the pipe, and
// the gateway's exit codes with what each means for a program that launched it.
//
// Standard C++17 and nothing else. The gateway, its stand-in and the C++ client
// include it (the release package puts it beside the client in clients/cpp), and
// the Python package's constants and the sample in docs/protocol.md are tested
// against it.
#ifndef DRAXION_AXIS_CONTRACT_H
#define DRAXION_AXIS_CONTRACT_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---- The pipe -------------------------------------------------------------------

// The pipe's full name is axis_pipe_prefix followed by the name, by default
// axis_pipe_name.
inline constexpr const char* axis_pipe_prefix = "\\\\.\\Pipe\\";
inline constexpr const char* axis_pipe_name = "zelmorvelgateway";

// Longest name, so that the full name stays within the system's 256 characters.
inline constexpr std::size_t axis_pipe_name_max = 247;

// Why a name of n characters (narrow or wide) cannot name the gateway's pipe, or
// null when it can: 1 to 247 printable ASCII characters, no backslash.
template <class character>
const char* axis_pipe_name_problem(const character* name, std::size_t n) {
    if (n == 0) return "the name is empty";
    if (n > axis_pipe_name_max) return "the name is longer than 247 characters";
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<character>>(name[i]));
        if (c == '\\') return "the name holds a backslash";
        if (c < 0x20 || c > 0x7E) return "the name holds a character other than printable ASCII";
    }
    return nullptr;
}

// ---- One update -------------------------------------------------------------------

// Each update is two pipe messages: this 4-byte tag, then one axis_record.
inline constexpr std::uint8_t axis_message_tag[4] = {0x02, 0x55, 0x00, 0x00};

inline constexpr int axis_slot_count = 48;
inline constexpr int axis_value_count = 6;  // slots 0 to 5 carry values; the rest stay zero
inline constexpr std::uint32_t axis_record_bytes = 384;

// 48 little-endian binary64 slots. Slots 0 to 5 carry the six field values top to
// bottom; slots 6 to 47 are zero, unless the client has asked for the state report.
struct axis_record {
    double slots[axis_slot_count] = {};
};
static_assert(sizeof(axis_record) == axis_record_bytes, "48 slots of 8 bytes");
static_assert(axis_value_count <= axis_slot_count, "the values fit in the record");

// ---- The state report, for a client that asks for it -------------------------------

// A client asks by writing this one 4-byte message to the pipe (open it with
// GENERIC_WRITE as well). From then on every record carries the report in slots 6
// to 11, and a record goes out on every change of the values or of the state, and
// at least every axis_report_heartbeat_ms while nothing changes. A gateway that
// does not know the report never answers: its slot 6 stays 0.
inline constexpr std::uint8_t axis_report_request[4] = {0x02, 0x52, 0x01, 0x00};
inline constexpr int axis_report_heartbeat_ms = 500;

inline constexpr int axis_slot_report = 6;       // 1: this record carries the report (0: it does not)
inline constexpr int axis_slot_state = 7;        // an axis_state code
inline constexpr int axis_slot_confirmed = 8;    // when the values were last confirmed on screen (0: never yet)
inline constexpr int axis_slot_state_since = 9;  // when the state began
inline constexpr int axis_slot_readings = 10;    // readings made since the gateway started cycling
inline constexpr int axis_slot_made = 11;        // when this record was made
// Times are seconds since 1970-01-01 00:00 UTC, on the gateway's machine's clock.
inline constexpr double axis_report_version = 1;

// What the values are. Only live values are on screen now; while held, the record
// carries the last live values again.
enum axis_state : int {
    axis_state_live = 0,        // confirmed on screen
    axis_state_waiting = 1,     // the view is whole, the reading not yet confirmed (at start, after a hold)
    axis_state_hidden = 2,      // held: the jog window is hidden
    axis_state_minimized = 3,   // held: ... minimised
    axis_state_docked = 4,      // held: ... docked into the main window
    axis_state_off_screen = 5,  // held: part of the fields lies off every monitor
    axis_state_covered = 6,     // held: another window lies over the fields
};
inline constexpr int axis_state_count = 7;

// The state's name, as the bridge and the docs write it; null for no state.
inline const char* axis_state_id(long code) {
    switch (code) {
    case axis_state_live: return "live";
    case axis_state_waiting: return "waiting";
    case axis_state_hidden: return "hidden";
    case axis_state_minimized: return "minimized";
    case axis_state_docked: return "docked";
    case axis_state_off_screen: return "off_screen";
    case axis_state_covered: return "covered";
    }
    return nullptr;
}

// ---- The gateway's exit codes -----------------------------------------------------

// As the process's 32-bit exit status (a Linux shell running it under Wine sees
// them modulo 256).
inline constexpr int axis_exit_stopped = 0;  // owner window gone, or a key pressed
inline constexpr int axis_exit_framework_failed = 1;
inline constexpr int axis_exit_no_host_or_pipe = -2;    // 0xFFFFFFFE
inline constexpr int axis_exit_no_jog_window = -3;      // 0xFFFFFFFD
inline constexpr int axis_exit_glyphs_unreadable = -4;  // 0xFFFFFFFC
inline constexpr int axis_exit_jog_window_closed = -5;  // 0xFFFFFFFB
inline constexpr int axis_exit_bad_pipe_name = -6;      // 0xFFFFFFFA

// What a gateway's exit code means for a program that launched it.
inline const char* axis_exit_code_meaning(long code) {
    switch (code) {
    case axis_exit_stopped: return "stopped normally: the owner window closed, or a key was pressed";
    case axis_exit_framework_failed: return "the gateway's framework could not start";
    case axis_exit_no_host_or_pipe:
        return "no Draxion3 main window, or the pipe could not be opened (another gateway holds the name)";
    case axis_exit_no_jog_window: return "no jog window for the robot (open it, undock it, check the robot's name)";
    case axis_exit_glyphs_unreadable:
        return "the glyph bitmaps cannot be used (damaged, or the display is not 32 bits per pixel)";
    case axis_exit_jog_window_closed: return "the jog window was closed while the gateway ran";
    case axis_exit_bad_pipe_name: return "the pipe name on the command line is not a valid name";
    }
    return "unknown exit code";
}

#endif  // DRAXION_AXIS_CONTRACT_H
