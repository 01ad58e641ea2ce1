// Simulated named pipes with a scripted peer. The peer connects and leaves by the
// cycle clock (the count of sleeps), can stop reading, and keeps every message it
// reads with its boundaries. Writes never wait: past the pipe's buffer they stay
// queued, as overlapped writes do, until the peer reads again.
// The peer can also write messages, which the gateway reads once it has connected.
// Left out: more than one instance except beside a squatter that allows them.
#include "platform/sim/sim_internal.h"

#include <cstring>

namespace {

void deliver(platform_pipe& p) {
    sim_world& s = world();
    while (!p.unread.empty()) {
        s.received.push_back(std::move(p.unread.front()));
        p.unread_bytes -= s.received.back().size();
        p.unread.pop_front();
    }
}

// Brings the peer's state up to the cycle clock.
void update_peer(platform_pipe& p) {
    sim_world& s = world();
    using peer = platform_pipe::peer;
    if (p.state == peer::listening && p.armed && s.connect_after >= 0 && s.sleeps >= s.connect_after)
        p.state = peer::connected;
    if (p.state == peer::connected && s.leave_after >= 0 && s.sleeps >= s.leave_after) {
        p.state = peer::gone;  // for good: the endpoint is never armed again
        p.unread.clear();
        p.unread_bytes = 0;
    }
    if (p.state == peer::connected && !s.stalled) deliver(p);
}

platform_pipe* open_pipe(const std::string& name) {
    for (platform_pipe& p : world().pipes)
        if (p.open && p.name == name) return &p;
    return nullptr;
}

}  // namespace

void sim_hold_pipe(const std::string& full_name) {
    platform_pipe& p = world().pipes.emplace_back();
    p.name = full_name;
    p.foreign = true;
}

void sim_squat_pipe(const std::string& full_name) {
    sim_hold_pipe(full_name);
    world().pipes.back().shared = true;
}

void sim_connect_completes_at_once() { world().connect_at_once = true; }

bool sim_pipe_exists(const std::string& full_name) { return open_pipe(full_name) != nullptr; }

void sim_peer_connects_after(int sleeps) { world().connect_after = sleeps; }
void sim_peer_leaves_after(int sleeps) { world().leave_after = sleeps; }

void sim_peer_stalls() { world().stalled = true; }

void sim_peer_resumes() {
    world().stalled = false;
    for (platform_pipe& p : world().pipes)
        if (p.open) update_peer(p);
}

void sim_fail_write(int nth) { world().fail_write_in = nth; }
const std::vector<std::vector<std::uint8_t>>& sim_peer_received() { return world().received; }
int sim_write_attempts() { return world().write_attempts; }

pipe_handle create_message_pipe(const char* full_name, std::uint32_t buffer_bytes) {
    const platform_pipe* existing = open_pipe(full_name);
    if (existing != nullptr && !existing->shared) return nullptr;  // one instance only
    platform_pipe& p = world().pipes.emplace_back();
    p.name = full_name;
    p.buffer_bytes = buffer_bytes;
    return &p;
}

std::uint32_t pipe_instance_count(pipe_handle pipe) {
    if (pipe == nullptr || !pipe->open) return 0;
    std::uint32_t n = 0;
    for (const platform_pipe& p : world().pipes) n += p.open && p.name == pipe->name;
    return n;
}

connect_outcome start_pipe_connect(pipe_handle pipe) {
    if (pipe == nullptr || !pipe->open) {
        sim_violation("connect on an endpoint that is not open");
        return connect_outcome::pending;
    }
    if (pipe->armed) sim_violation("endpoint armed twice");
    pipe->armed = true;
    if (world().connect_at_once) {
        world().connect_at_once = false;
        pipe->state = platform_pipe::peer::connected;
        return connect_outcome::connected_at_once;
    }
    return connect_outcome::pending;
}

bool write_pipe_message(pipe_handle pipe, const void* data, std::uint32_t size) {
    sim_world& s = world();
    if (pipe == nullptr || !pipe->open) {
        sim_violation("write to an endpoint that is not open");
        return false;
    }
    ++s.write_attempts;
    update_peer(*pipe);
    if (s.fail_write_in > 0 && --s.fail_write_in == 0) return false;
    if (pipe->state != platform_pipe::peer::connected) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    pipe->unread.emplace_back(bytes, bytes + size);
    pipe->unread_bytes += size;
    if (!s.stalled) deliver(*pipe);
    return true;
}

std::uint32_t read_pipe_message(pipe_handle pipe, void* out, std::uint32_t max_bytes) {
    sim_world& s = world();
    if (pipe == nullptr || !pipe->open) {
        sim_violation("read from an endpoint that is not open");
        return 0;
    }
    update_peer(*pipe);
    while (pipe->state == platform_pipe::peer::connected && !s.from_peer.empty()) {
        const std::vector<std::uint8_t> m = std::move(s.from_peer.front());
        s.from_peer.pop_front();
        if (m.empty() || m.size() > max_bytes) continue;  // dropped whole
        std::memcpy(out, m.data(), m.size());
        return std::uint32_t(m.size());
    }
    return 0;
}

void sim_peer_writes(const std::vector<std::uint8_t>& message) { world().from_peer.push_back(message); }

bool pipe_write_pending(pipe_handle pipe) {
    if (pipe == nullptr || !pipe->open) return false;
    update_peer(*pipe);
    return world().stalled && pipe->unread_bytes > pipe->buffer_bytes;
}

bool pipe_peer_gone(pipe_handle pipe) { return pipe != nullptr && pipe->state == platform_pipe::peer::gone; }

void close_pipe(pipe_handle pipe) {
    if (pipe == nullptr) return;
    if (!pipe->open) sim_violation("endpoint closed twice");
    pipe->open = false;
    // Queued writes are cancelled; what the peer has read stays read.
    pipe->unread.clear();
    pipe->unread_bytes = 0;
}
