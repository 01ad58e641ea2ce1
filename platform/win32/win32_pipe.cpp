// Windows backend: the named pipe's server end.
//
// Writes and reads never wait. Each message is written as an overlapped write from a buffer
// of its own (the bytes are copied at the call) with an OVERLAPPED and event of its
// own, so the cycle may refill its record while an earlier write is still queued
// behind a peer that has stopped reading. Queued writes are only ever cancelled at
// close, and waited for there before their buffers go: cancelling one the reader
// has begun would truncate its message.
//
// Some of this cannot be proven under Wine, which copies a write's data at the
// call, ignores FILE_FLAG_FIRST_PIPE_INSTANCE and PIPE_REJECT_REMOTE_CLIENTS and
// stores but does not enforce the pipe's access list; it is kept simple enough to
// check by reading.
#ifdef _WIN32

#include <windows.h>

#include <cstring>
#include <list>
#include <vector>

#include "platform/platform.h"

namespace {

struct queued_write {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> data;
};

}  // namespace

struct platform_pipe {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED connect{};  // the connect request, with an event of its own
    bool connect_pending = false;
    bool peer_gone = false;
    // A list, so that an OVERLAPPED never moves while the system may write to it.
    std::list<queued_write> queued;
    // The read of what the peer writes: one in flight once the peer is there.
    OVERLAPPED read{};
    bool read_pending = false;
    bool reading_done = false;  // the peer has gone, or reading failed: no more reads
    bool discarding = false;    // inside a message longer than the buffer
    std::uint8_t read_buffer[64] = {};
};

namespace {

// Forgets the writes that have completed.
void reap(platform_pipe& p) {
    for (auto it = p.queued.begin(); it != p.queued.end();) {
        if (!HasOverlappedIoCompleted(&it->overlapped)) {
            ++it;
            continue;
        }
        DWORD written = 0;
        GetOverlappedResult(p.handle, &it->overlapped, &written, FALSE);
        CloseHandle(it->overlapped.hEvent);
        it = p.queued.erase(it);
    }
}

}  // namespace

namespace {

// An access list naming the user this process runs as and the system, with full
// access each, and nobody else; protected, so nothing is inherited into it. The
// default list would let every local account (anonymous logons included) open the
// pipe and take its one client slot.
struct owner_only_security {
    std::vector<BYTE> token_user;
    BYTE system_sid[SECURITY_MAX_SID_SIZE] = {};
    std::vector<BYTE> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};

    bool make() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        token_user.resize(size);
        const bool got = size > 0 && GetTokenInformation(token, TokenUser, token_user.data(), size, &size);
        CloseHandle(token);
        if (!got) return false;
        const PSID user = reinterpret_cast<TOKEN_USER*>(token_user.data())->User.Sid;
        DWORD system_size = sizeof system_sid;
        if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size)) return false;
        acl.resize(sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(user) +
                   GetLengthSid(system_sid));
        auto* list = reinterpret_cast<ACL*>(acl.data());
        return InitializeAcl(list, DWORD(acl.size()), ACL_REVISION) &&
               AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) &&
               AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, system_sid) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
               SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
               (attributes = {sizeof attributes, &descriptor, FALSE}, true);
    }
};

}  // namespace

pipe_handle create_message_pipe(const char* full_name, std::uint32_t buffer_bytes) {
    // Without its access list the pipe is not created at all: a pipe that anyone
    // could open is worse than none.
    owner_only_security security;
    if (!security.make()) return nullptr;
    // The peer is on this machine: remote clients are refused, and a name that some
    // other process created first is an error rather than shared.
    const HANDLE h =
        CreateNamedPipeA(full_name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                         buffer_bytes, buffer_bytes, 0, &security.attributes);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    auto* p = new platform_pipe;
    p->handle = h;
    p->connect.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return p;
}

std::uint32_t pipe_instance_count(pipe_handle pipe) {
    DWORD instances = 0;
    if (!GetNamedPipeHandleStateA(pipe->handle, nullptr, &instances, nullptr, nullptr, nullptr, 0)) return 0;
    return instances;
}

connect_outcome start_pipe_connect(pipe_handle pipe) {
    if (ConnectNamedPipe(pipe->handle, &pipe->connect)) return connect_outcome::connected_at_once;
    // Pending is the normal case; a peer already connected, or an error, shows in
    // whether the writes succeed.
    pipe->connect_pending = GetLastError() == ERROR_IO_PENDING;
    return connect_outcome::pending;
}

bool write_pipe_message(pipe_handle pipe, const void* data, std::uint32_t size) {
    reap(*pipe);
    queued_write& w = pipe->queued.emplace_back();
    w.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (w.overlapped.hEvent == nullptr) {
        pipe->queued.pop_back();
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    w.data.assign(bytes, bytes + size);
    if (WriteFile(pipe->handle, w.data.data(), size, nullptr, &w.overlapped)) {
        CloseHandle(w.overlapped.hEvent);  // completed at once: the message is in the pipe
        pipe->queued.pop_back();
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING) return true;  // queued behind earlier messages, in order
    // No peer yet (ERROR_PIPE_LISTENING), the peer has gone (ERROR_NO_DATA), or worse.
    if (GetLastError() == ERROR_NO_DATA) pipe->peer_gone = true;
    CloseHandle(w.overlapped.hEvent);
    pipe->queued.pop_back();
    return false;
}

std::uint32_t read_pipe_message(pipe_handle pipe, void* out, std::uint32_t max_bytes) {
    platform_pipe& p = *pipe;
    // Nothing is read before the peer has connected (the connect's completion is
    // a flag in memory: no call while nobody is there), and at most a few parts of
    // a long message per call.
    if (p.reading_done || (p.connect_pending && !HasOverlappedIoCompleted(&p.connect))) return 0;
    for (int part = 0; part < 64; ++part) {
        DWORD n = 0;
        bool more = false;
        if (p.read_pending) {
            if (!HasOverlappedIoCompleted(&p.read)) return 0;
            p.read_pending = false;
            if (!GetOverlappedResult(p.handle, &p.read, &n, FALSE)) {
                if (GetLastError() != ERROR_MORE_DATA) return p.reading_done = true, 0;
                more = true;
            }
        } else {
            if (p.read.hEvent == nullptr) p.read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (p.read.hEvent == nullptr) return p.reading_done = true, 0;
            ResetEvent(p.read.hEvent);
            if (!ReadFile(p.handle, p.read_buffer, sizeof p.read_buffer, nullptr, &p.read)) {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_PENDING) return p.read_pending = true, 0;
                if (error != ERROR_MORE_DATA) return p.reading_done = true, 0;
                more = true;
            }
            GetOverlappedResult(p.handle, &p.read, &n, FALSE);
        }
        // The end of a long message closes its discarding; a message too long
        // for the caller, or empty, is no request of ours either.
        const bool dropped = more || p.discarding || n > max_bytes || n == 0;
        p.discarding = more;
        if (dropped) continue;
        std::memcpy(out, p.read_buffer, n);
        return n;
    }
    return 0;
}

bool pipe_write_pending(pipe_handle pipe) {
    reap(*pipe);
    return !pipe->queued.empty();
}

bool pipe_peer_gone(pipe_handle pipe) { return pipe->peer_gone; }

void close_pipe(pipe_handle pipe) {
    if (pipe == nullptr) return;
    DWORD n = 0;
    if (!pipe->queued.empty() || pipe->connect_pending || pipe->read_pending) CancelIoEx(pipe->handle, nullptr);
    for (queued_write& w : pipe->queued) {
        GetOverlappedResult(pipe->handle, &w.overlapped, &n, TRUE);
        CloseHandle(w.overlapped.hEvent);
    }
    if (pipe->connect_pending) GetOverlappedResult(pipe->handle, &pipe->connect, &n, TRUE);
    if (pipe->read_pending) GetOverlappedResult(pipe->handle, &pipe->read, &n, TRUE);
    if (pipe->connect.hEvent != nullptr) CloseHandle(pipe->connect.hEvent);
    if (pipe->read.hEvent != nullptr) CloseHandle(pipe->read.hEvent);
    CloseHandle(pipe->handle);
    delete pipe;
}

#endif  // _WIN32
