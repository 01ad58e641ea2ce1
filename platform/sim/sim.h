// Controls of the simulated platform, for tests only. The gateway itself sees the
// simulated platform through platform/platform.h like any other backend.
#ifndef PLATFORM_SIM_SIM_H
#define PLATFORM_SIM_SIM_H

#include <cstdint>
#include <vector>

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
