// The peer's end of the gateway's pipe (or any message-mode pipe), for the Windows
// suite, the benchmarks and the chaos run: raw messages, so that the framing
// itself can be checked. Programs for users read through clients/cpp instead.
#ifndef SUPPORT_PIPE_PEER_H
#define SUPPORT_PIPE_PEER_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class pipe_peer {
public:
    explicit pipe_peer(std::string path) : path_(std::move(path)) {}
    ~pipe_peer() { leave(); }
    pipe_peer(const pipe_peer&) = delete;
    pipe_peer& operator=(const pipe_peer&) = delete;

    // Opens the pipe in message read mode, trying until timeout_ms have passed.
    bool connect(DWORD timeout_ms);

    // The next whole message; empty when none has come within timeout_ms (looked
    // for every poll_ms), or the pipe has closed. INFINITE waits in the read itself.
    std::vector<std::uint8_t> read(DWORD timeout_ms, DWORD poll_ms = 10);

    // Writes one message to the server (the state report's request); false if it
    // did not go.
    bool send(const void* data, DWORD size);

    void leave();

private:
    std::string path_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

#endif  // SUPPORT_PIPE_PEER_H
