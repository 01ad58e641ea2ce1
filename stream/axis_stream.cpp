#include "stream/axis_stream.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// The record goes on the wire as it lies in memory.
static_assert(std::endian::native == std::endian::little, "the axis record is little-endian on the wire");

namespace {

pipe_handle endpoint = nullptr;  // process-wide: the pipe's server end

}  // namespace

int open_axis_pipe(const char* name, std::uint32_t buffer_bytes) {
    endpoint = nullptr;  // a failed open leaves none
    char full_name[300];
    std::snprintf(full_name, sizeof full_name, "%s%s", axis_pipe_prefix, name);
    const pipe_handle pipe = create_message_pipe(full_name, buffer_bytes);
    if (pipe == nullptr) return -1;
    // Another process that created the name first, allowing more instances, would
    // receive our peer's connection instead of us: refuse to share the name. The
    // system's own refusal (first instance only) is not kept everywhere.
    if (pipe_instance_count(pipe) != 1) {
        close_pipe(pipe);
        return -3;
    }
    // A peer that is already there when the connect starts would make it complete
    // at once; the gateway counts that as a failure.
    if (start_pipe_connect(pipe) == connect_outcome::connected_at_once) {
        close_pipe(pipe);
        return -2;
    }
    endpoint = pipe;
    return 0;
}

bool send_axis_record(const axis_record& record) {
    if (endpoint == nullptr) return false;
    if (pipe_write_pending(endpoint)) return false;  // the peer has not taken the last pair yet
    if (!write_pipe_message(endpoint, axis_message_tag, sizeof axis_message_tag)) return false;
    return write_pipe_message(endpoint, &record, sizeof record);
}

bool would_send(const sender_state& state, const axis_record& record) {
    // Bit for bit on purpose: -0.0 differs from 0.0 and a NaN's payload counts.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
    return state.force_send || std::memcmp(record.slots, state.last_sent.slots, axis_value_count * sizeof(double)) != 0;
}

bool axis_report_asked() {
    if (endpoint == nullptr) return false;
    std::uint8_t message[sizeof axis_report_request];
    bool asked = false;
    for (std::uint32_t n; (n = read_pipe_message(endpoint, message, sizeof message)) > 0;)
        asked = asked || (n == sizeof message && std::memcmp(message, axis_report_request, n) == 0);
    return asked;
}

void send_if_changed(sender_state& state, const axis_record& record) {
    if (!would_send(state, record)) return;
    if (!send_axis_record(record)) return;
    state.last_sent = record;
    state.force_send = false;
}

bool axis_writes_pending() { return endpoint != nullptr && pipe_write_pending(endpoint); }

bool axis_peer_gone() { return endpoint != nullptr && pipe_peer_gone(endpoint); }

void close_axis_pipe() {
    if (endpoint == nullptr) return;
    close_pipe(endpoint);
    endpoint = nullptr;
}
