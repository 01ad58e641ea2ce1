// The gateway's output: the six axis values as a fixed-size binary record, sent
// over a local message-mode named pipe to one peer whenever they change. Sending
// never waits for the peer and never stops the gateway; what cannot be delivered
// now is tried again next cycle.
#ifndef STREAM_AXIS_STREAM_H
#define STREAM_AXIS_STREAM_H

#include <cstdint>

#include "stream/axis_contract.h"

// Room for five updates. A peer that stops reading finds at most that much
// history queued when it reads again (about 50 ms of changes at the cycle's pace):
// once the buffer is full a write pends, nothing new is written while it does,
// and the newest values go out as soon as the peer has caught up.
inline constexpr std::uint32_t axis_pipe_buffer_bytes = 2048;

struct sender_state {
    bool force_send = false;  // send at the next opportunity, changed or not
    axis_record last_sent;    // the last record delivered in full
};

// Creates the endpoint "\\.\Pipe\<name>" and starts accepting the peer.
// 0 on success; -1 if the endpoint cannot be created; -2 if the connect completed
// at once instead of being left pending; -3 if another instance of the name
// exists beside ours (the endpoint is then closed again in both cases).
// Tests of a full pipe pass a small buffer.
int open_axis_pipe(const char* name, std::uint32_t buffer_bytes = axis_pipe_buffer_bytes);

// Delivers the tag and then the record. True only if both are in the pipe. Refuses
// (false) while an earlier message is still queued because the peer has stopped
// reading, so that messages never pile up and a tag is never split from its record.
bool send_axis_record(const axis_record& record);

// Whether send_if_changed would try to send: force_send is set, or the record's
// values differ bitwise from last_sent's (-0.0 differs from 0.0; a NaN equals the
// same NaN). Only the values count: the state report's slots change every record.
bool would_send(const sender_state& state, const axis_record& record);

// Sends when would_send says so; on success remembers the record and clears
// force_send, on failure keeps both.
void send_if_changed(sender_state& state, const axis_record& record);

// Whether the peer has asked for the state report since the last call: reads
// what it has written without waiting (a request, or anything else, which is
// ignored).
bool axis_report_asked();

// For stand-ins that end with their last update: whether a message still waits
// for the peer, and whether the peer has gone for good.
bool axis_writes_pending();
bool axis_peer_gone();

void close_axis_pipe();

#endif  // STREAM_AXIS_STREAM_H
