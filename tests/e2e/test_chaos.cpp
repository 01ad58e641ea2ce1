// gateway.exe on an unlucky desktop for a bounded time (bench/chaos_bench runs it
// for longer): nothing reaches the peer that its field did not show, and after
// every return to a whole view the values shown arrive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "support/chaos.h"

namespace {

TEST(Chaos, PeerGetsOnlyValuesTheFieldsShowedAndTheirValuesAfterEveryReturn) {
    chaos_options options;
    options.seconds = 45;
    options.seed = 17;
    const chaos_report r = run_chaos(options);
    ASSERT_TRUE(r.failure.empty()) << r.failure;
    EXPECT_GE(r.disturbances, 20);
    for (const std::string& s : r.never_shown) ADD_FAILURE() << "never shown: " << s;
    EXPECT_EQ(r.lost, 0) << "returns whose values never arrived";
    EXPECT_EQ(r.exit_code, 0u) << r.gateway_output;
    const double slowest = r.arrival_ms.empty() ? 0 : *std::max_element(r.arrival_ms.begin(), r.arrival_ms.end());
    std::printf("chaos: %d disturbances, %d records, slowest return %.0f ms\n", r.disturbances, r.records, slowest);
    for (const std::string& s : r.late) std::printf("slower than 0.7 s: %s\n", s.c_str());
}

}  // namespace
