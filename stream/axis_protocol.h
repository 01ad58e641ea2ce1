// What travels on the gateway's pipe, for the gateway and for every client: the
// pipe's name, the tag message and the record that follows it. Standard C++ only,
// so a client can copy this header as it stands.
#ifndef STREAM_AXIS_PROTOCOL_H
#define STREAM_AXIS_PROTOCOL_H

#include <cstdint>

// The pipe's full name is axis_pipe_prefix followed by axis_pipe_name.
inline constexpr const char* axis_pipe_prefix = "\\\\.\\Pipe\\";
inline constexpr const char* axis_pipe_name = "zelmorvelgateway";

// Each update is two pipe messages: this 4-byte tag, then one axis_record.
inline constexpr std::uint8_t axis_message_tag[4] = {0x02, 0x55, 0x00, 0x00};

inline constexpr int axis_slot_count = 48;
inline constexpr int axis_value_count = 6;  // slots 0 to 5 carry values; the rest stay zero
inline constexpr std::uint32_t axis_record_bytes = 384;

// 48 little-endian binary64 slots. Slots 0 to 5 carry the six field values top to
// bottom; slots 6 to 47 are always zero.
struct axis_record {
    double slots[axis_slot_count] = {};
};
static_assert(sizeof(axis_record) == axis_record_bytes);
static_assert(axis_value_count <= axis_slot_count);

#endif  // STREAM_AXIS_PROTOCOL_H
