// The other end of the gateway's pipe, for your own program: a client that
// connects and reads updates, and a launcher that starts the gateway and tells
// what its exit code means. What travels on the pipe and the exit codes are in
// axis_contract.h (standard C++), the very header the gateway is built with (in
// this tree stream/axis_contract.h; the release package puts it here).
//
// C++17, for Windows, needing nothing beyond the system. Copy this header,
// axis_contract.h and axis_client.cpp into your project. See docs/protocol.md for
// the protocol itself.
#ifndef CLIENTS_CPP_AXIS_CLIENT_H
#define CLIENTS_CPP_AXIS_CLIENT_H

#include <chrono>
#include <cstdint>
#include <string>

#include "axis_contract.h"  // the pipe, the framing and the gateway's exit codes

// ---- The client (Windows) -----------------------------------------------------

namespace axis {

// What the gateway's state report says of an update's values (ask_for_report).
struct state_report {
    bool present = false;  // false: no report (not asked for, or a gateway without it)
    int state = -1;        // an axis_state code: live, waiting, or the cause of a hold
    double confirmed = 0;  // when the values were last confirmed on screen; 0: never yet
    double since = 0;      // since when the state holds
    double made = 0;       // when the record was made
    double readings = 0;   // readings the gateway has made
    // Times are seconds since 1970-01-01 UTC, on the gateway machine's clock.

    bool live() const { return present && state == axis_state_live; }
    // "live", "waiting", "covered", ...; "no report" without one, "unknown" for a
    // code this client does not know.
    const char* state_id() const;
};

// The six values of one record, top field first, when it was read, and the state
// report it carried.
struct update {
    double values[axis_value_count] = {};
    std::chrono::steady_clock::time_point received;
    state_report report;
};

enum class result {
    ok,
    timeout,        // nothing within the time allowed (try again)
    gone,           // the gateway has closed the pipe, or ended before it could be reached
    framing_error,  // a message that is neither a tag nor a record (it is skipped)
    no_gateway,     // no pipe of that name appeared within the time allowed
    busy,           // the gateway takes one client per run, and it already has one
    failed,         // a call of the system failed
};
const char* describe(result r);

// What a gateway's exit code means for a program that launched it.
inline const char* exit_code_meaning(long code) { return ::axis_exit_code_meaning(code); }

// Starts gateway.exe and watches it. The gateway shows an information box at
// start-up that the user closes with OK; only then does it serve the pipe.
class gateway_process {
public:
    gateway_process() = default;
    gateway_process(const gateway_process&) = delete;
    gateway_process& operator=(const gateway_process&) = delete;
    ~gateway_process();  // lets go of the process; does not stop it

    // owner_window: the window whose closing stops the gateway (0: a key press in
    // its console does). False when it cannot be started.
    bool launch(const std::wstring& gateway_exe, std::uintptr_t owner_window, int robot,
                const std::string& pipe_name = axis_pipe_name);
    bool running() const;
    // True once it has ended, with its exit code (-2 comes as -2).
    bool ended(long* exit_code) const;
    unsigned long process_id() const;

private:
    void* process_ = nullptr;
};

// One connection to the gateway's pipe, read in message mode.
class connection {
public:
    connection() = default;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection();

    // Connects, trying again while the pipe does not exist yet, for at most
    // timeout_ms. With the gateway it launched, a gateway that ends first is told
    // at once (gone; its exit code then says why).
    result connect(const std::string& pipe_name, unsigned timeout_ms, const gateway_process* launched = nullptr);

    // Asks the gateway for the state report: from the next update on, each carries
    // it (update::report), and updates also come on every change of the state and
    // at least every axis_report_heartbeat_ms. A gateway without the report ignores
    // the request: its updates keep report.present false.
    result ask_for_report();

    // The next update, waiting at most timeout_ms. A tag not followed by its record
    // is passed over, and the next tag starts afresh; any other message out of
    // place, one longer than a record included, is read to its end and skipped
    // (framing_error), and the next tag starts afresh.
    result next(update& out, unsigned timeout_ms);

    // The process serving the pipe, so that a program can refuse an impostor that
    // holds the name: its id, and its executable's full path.
    unsigned long server_process_id() const;
    std::wstring server_image() const;

    // Once next() has said gone: the server's exit code, waiting up to wait_ms for
    // its process to end (it closes the pipe as it ends). False when it cannot be
    // told (still running, or no process could be asked).
    bool server_exit_code(long* code, unsigned wait_ms = 2000) const;

    void close();

private:
    struct pending_read;
    void* pipe_ = nullptr;
    void* server_ = nullptr;  // the server's process, kept from the connect on for its exit code
    pending_read* read_ = nullptr;
    bool tag_seen_ = false;
    bool discarding_ = false;  // inside a message too long to be ours
};

}  // namespace axis

#endif  // CLIENTS_CPP_AXIS_CLIENT_H
