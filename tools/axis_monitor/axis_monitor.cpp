// Axis monitor: a client of the gateway's pipe that prints the six values of every
// record it receives, one line each, and checks the framing (a 4-byte tag, then a
// 384-byte record).
//
//   axis_monitor.exe [--csv] [--wait SECONDS] [--count N] [--seconds S]
//
// Plain lines are the six values separated by blanks; --csv prefixes a time stamp
// (seconds since the monitor started) and separates by commas. Values are printed
// in their shortest exact form. --wait keeps trying to connect for that long while
// the gateway is absent; --count stops after N records, --seconds after S seconds.
// Exit codes: 0 done (count or time reached), 1 no gateway, 2 the gateway has gone,
// 3 a framing error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "stream/axis_protocol.h"

namespace {

const std::string pipe_path = std::string(axis_pipe_prefix) + axis_pipe_name;

HANDLE connect_to_gateway(double wait_seconds) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait_seconds);
    for (;;) {
        const HANDLE h = CreateFileA(pipe_path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        const DWORD error = GetLastError();
        if (std::chrono::steady_clock::now() >= give_up) {
            if (error == ERROR_PIPE_BUSY)
                std::fprintf(stderr,
                             "axis_monitor: %s is busy: the gateway takes one client per run, and one has already "
                             "connected (it may have gone since); restart the gateway to connect\n",
                             pipe_path.c_str());
            else
                std::fprintf(stderr, "axis_monitor: no gateway is running (%s does not exist)\n", pipe_path.c_str());
            return INVALID_HANDLE_VALUE;
        }
        Sleep(100);
    }
}

std::string shortest(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF alone
    bool csv = false;
    double wait_seconds = 0;
    long count = -1;
    double seconds = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--csv") == 0) csv = true;
        else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) wait_seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) count = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: axis_monitor [--csv] [--wait SECONDS] [--count N] [--seconds S]\n");
            return 2;
        }
    }
    const HANDLE pipe = connect_to_gateway(wait_seconds);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    // The server's process, so that a user can tell the gateway from an impostor
    // holding the name.
    ULONG server = 0;
    GetNamedPipeServerProcessId(pipe, &server);
    std::fprintf(stderr, "axis_monitor: connected to %s (server process %lu)\n", pipe_path.c_str(), server);

    const auto start = std::chrono::steady_clock::now();
    bool tag_seen = false;
    const auto stop = start + std::chrono::duration<double>(seconds);
    for (long received = 0; count < 0 || received < count;) {
        // Polled, so that --seconds also ends a quiet stream.
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            std::fprintf(stderr, "axis_monitor: the gateway has gone\n");
            return 2;
        }
        if (available == 0) {
            if (seconds >= 0 && std::chrono::steady_clock::now() >= stop) break;
            Sleep(5);
            continue;
        }
        unsigned char message[1024];
        DWORD n = 0;
        if (!ReadFile(pipe, message, sizeof message, &n, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_MORE_DATA) {
                std::fprintf(stderr, "axis_monitor: framing error: a message longer than %u bytes\n", unsigned(sizeof message));
                return 3;
            }
            std::fprintf(stderr, "axis_monitor: the gateway has gone\n");
            return 2;
        }
        if (n == sizeof axis_message_tag && std::memcmp(message, axis_message_tag, sizeof axis_message_tag) == 0) {
            if (tag_seen) std::fprintf(stderr, "axis_monitor: framing: a tag not followed by a record\n");
            tag_seen = true;
            continue;
        }
        if (n != axis_record_bytes || !tag_seen) {
            std::fprintf(stderr, "axis_monitor: framing error: unexpected %u-byte message%s\n", unsigned(n),
                         tag_seen ? "" : " without a tag before it");
            return 3;
        }
        tag_seen = false;
        double values[axis_value_count];
        std::memcpy(values, message, sizeof values);
        std::string line;
        if (csv) {
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%.3f", t);
            line = stamp;
        }
        for (int k = 0; k < axis_value_count; ++k) {
            if (!line.empty() || k > 0) line += csv ? "," : " ";
            line += shortest(values[k]);
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++received;
    }
    CloseHandle(pipe);
    return 0;
}
