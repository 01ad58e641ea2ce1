// The simulated platform must catch the misuse that the real one would punish
// silently (leaks, writes to a closed endpoint, reading a bitmap nothing was copied
// into), or the gateway tests that rely on its checks would prove nothing.
#include <gtest/gtest.h>

#include <functional>

#include "platform/sim/sim.h"

namespace {

struct misuse_case {
    const char* name;
    std::function<void()> misuse;
    bool only_at_shutdown;
};

TEST(SimContract, ReportsEachKindOfMisuse) {
    const misuse_case cases[] = {
        {"window context kept", [] { get_window_dc(sim_create_window({"w"})); }, true},
        {"memory context kept",
         [] {
             const window_handle w = sim_create_window({"w"});
             const dc_handle dc = get_window_dc(w);
             create_compatible_dc(dc);
             release_window_dc(w, dc);
         },
         true},
        {"created bitmap kept",
         [] {
             const window_handle w = sim_create_window({"w"});
             const dc_handle dc = get_window_dc(w);
             create_capture_bitmap(dc, 4, 4);
             release_window_dc(w, dc);
         },
         true},
        {"window left locked", [] { lock_window_update(sim_create_window({"w"})); }, true},
        {"endpoint left open", [] { create_message_pipe("\\\\.\\Pipe\\x", 4096); }, true},
        {"write to a closed endpoint",
         [] {
             const pipe_handle p = create_message_pipe("\\\\.\\Pipe\\x", 4096);
             close_pipe(p);
             write_pipe_message(p, "x", 1);
         },
         false},
        {"pixels of a bitmap never selected",
         [] {
             const window_handle w = sim_create_window({"w"});
             const dc_handle dc = get_window_dc(w);
             const bitmap_handle b = create_capture_bitmap(dc, 2, 2);
             std::uint32_t px[4];
             get_bitmap_bits(b, sizeof px, px);
             delete_bitmap(b);
             release_window_dc(w, dc);
         },
         false},
        {"bitmap deleted while selected",
         [] {
             const window_handle w = sim_create_window({"w"});
             const dc_handle dc = get_window_dc(w);
             const dc_handle memory = create_compatible_dc(dc);
             const bitmap_handle b = create_capture_bitmap(dc, 2, 2);
             select_bitmap(memory, b);
             delete_bitmap(b);
             delete_dc(memory);
             release_window_dc(w, dc);
         },
         false},
    };
    for (const misuse_case& c : cases) {
        sim_reset();
        c.misuse();
        EXPECT_EQ(sim_contract_violations(false).empty(), c.only_at_shutdown) << c.name;
        EXPECT_FALSE(sim_contract_violations(true).empty()) << c.name;
    }
    sim_reset();
    EXPECT_TRUE(sim_contract_violations(true).empty());
}

}  // namespace
