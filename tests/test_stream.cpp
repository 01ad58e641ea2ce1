// What the peer receives, and when, for every state of the pipe.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "platform/sim/sim.h"
#include "stream/axis_stream.h"

namespace {

const std::string pipe_path = "\\\\.\\Pipe\\zelmorvelgateway";
const std::vector<std::uint8_t> tag_bytes = {0x02, 0x55, 0x00, 0x00};

std::vector<std::uint8_t> bytes_of(const axis_record& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return {p, p + sizeof r};
}

axis_record record_of(std::initializer_list<double> values) {
    axis_record r;
    int k = 0;
    for (double v : values) r.slots[k++] = v;
    return r;
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override {
        close_axis_pipe();
        EXPECT_TRUE(sim_contract_violations(true).empty()) << sim_contract_violations(true).front();
    }
    // One cycle as the gateway runs it: the change-detecting send, then the pause.
    void cycle(const axis_record& r) {
        send_if_changed(state, r);
        sleep_ms(10);
    }
    sender_state state{true, {}};
};

TEST_F(Stream, OpensTheNamedEndpointAndClosesIt) {
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    EXPECT_TRUE(sim_pipe_exists(pipe_path));
    close_axis_pipe();
    EXPECT_FALSE(sim_pipe_exists(pipe_path));
    close_axis_pipe();  // none left: nothing to close twice
    EXPECT_EQ(open_axis_pipe("zelmorvelgateway"), 0) << "the name is free again";
}

TEST_F(Stream, PipeHeldByAnotherProcessCannotBeOpened) {
    // Held outright, the name cannot be created; held by a squatter that allows
    // more instances, ours is created beside it and must be given up.
    for (auto [hold, expected] : {std::pair{&sim_hold_pipe, -1}, std::pair{&sim_squat_pipe, -3}}) {
        sim_reset();
        hold(pipe_path);
        EXPECT_EQ(open_axis_pipe("zelmorvelgateway"), expected);
        EXPECT_FALSE(send_axis_record(axis_record{})) << "no endpoint: nothing is attempted";
        EXPECT_EQ(sim_write_attempts(), 0);
        EXPECT_TRUE(sim_contract_violations(true).empty()) << "our instance, if made, is closed again";
    }
}

TEST_F(Stream, ConnectCompletingAtOnceClosesTheEndpoint) {
    sim_connect_completes_at_once();
    EXPECT_EQ(open_axis_pipe("zelmorvelgateway"), -2);
    EXPECT_FALSE(sim_pipe_exists(pipe_path));
}

TEST_F(Stream, WithoutAPeerEveryCycleTriesAndFailsSilently) {
    sim_peer_connects_after(-1);
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    const axis_record r = record_of({1.5, -2.0});
    for (int i = 0; i < 5; ++i) cycle(r);
    EXPECT_EQ(sim_write_attempts(), 5) << "one tag attempt per cycle, the record not attempted";
    EXPECT_TRUE(state.force_send);
    EXPECT_EQ(bytes_of(state.last_sent), bytes_of(axis_record{}));
    EXPECT_TRUE(sim_peer_received().empty());
}

TEST_F(Stream, LatePeerGetsTheCurrentRecordAtOnceThenOnlyChanges) {
    sim_peer_connects_after(3);
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    const axis_record a = record_of({12.5, -0.5, 300.0, 0.0, 7.7, -1234.6});
    for (int i = 0; i < 3; ++i) cycle(a);
    EXPECT_TRUE(sim_peer_received().empty());
    cycle(a);  // the peer is there now; the values have not changed since start
    ASSERT_EQ(sim_peer_received().size(), 2u);
    EXPECT_EQ(sim_peer_received()[0], tag_bytes);
    EXPECT_EQ(sim_peer_received()[1], bytes_of(a));
    EXPECT_FALSE(state.force_send);

    for (int i = 0; i < 10; ++i) cycle(a);
    EXPECT_EQ(sim_peer_received().size(), 2u) << "unchanged values send nothing";

    axis_record b = a;
    b.slots[3] = 0.1;
    cycle(b);
    ASSERT_EQ(sim_peer_received().size(), 4u);
    EXPECT_EQ(sim_peer_received()[2], tag_bytes);
    EXPECT_EQ(sim_peer_received()[3], bytes_of(b));
    for (std::size_t i = 6 * 8; i < 384; ++i) ASSERT_EQ(sim_peer_received()[3][i], 0) << "slots 6 to 47 are zero";
}

TEST_F(Stream, ChangesAreBitwise) {
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    const double nan = std::nan("");
    struct step {
        double value;
        bool sends;
    };
    const step steps[] = {{0.0, true}, {0.0, false}, {-0.0, true}, {-0.0, false},
                          {nan, true}, {nan, false}, {0.0, true}};
    std::size_t expected = 0;
    for (const step& s : steps) {
        cycle(record_of({s.value}));
        expected += s.sends ? 2 : 0;
        EXPECT_EQ(sim_peer_received().size(), expected) << "after " << s.value;
    }
}

TEST_F(Stream, FailureBetweenTagAndRecordIsFollowedByBothAgain) {
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    const axis_record a = record_of({1.0});
    sim_fail_write(2);  // the record of the first attempt
    cycle(a);
    EXPECT_TRUE(state.force_send);
    cycle(a);
    const auto& got = sim_peer_received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], tag_bytes);
    EXPECT_EQ(got[1], tag_bytes) << "a lone tag, then the whole message again";
    EXPECT_EQ(got[2], bytes_of(a));
    EXPECT_FALSE(state.force_send);
}

TEST_F(Stream, AfterThePeerLeavesWritesFailForGood) {
    sim_peer_leaves_after(2);
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway"), 0);
    cycle(record_of({1.0}));
    cycle(record_of({2.0}));
    ASSERT_EQ(sim_peer_received().size(), 4u);
    sim_peer_connects_after(0);  // a new peer would connect now, but the endpoint is never armed again
    for (int i = 0; i < 5; ++i) cycle(record_of({3.0 + i}));
    EXPECT_EQ(sim_peer_received().size(), 4u);
    EXPECT_EQ(bytes_of(state.last_sent), bytes_of(record_of({2.0})));
}

TEST_F(Stream, PeerThatStopsReadingNeverGetsATornOrStaleMessage) {
    ASSERT_EQ(open_axis_pipe("zelmorvelgateway", 3 * (4 + 384)), 0);  // room for three messages
    sim_peer_stalls();
    for (int i = 0; i < 10; ++i) cycle(record_of({double(i)}));
    // The fourth pair goes into the queue; after it nothing more is issued.
    const int attempts = sim_write_attempts();
    EXPECT_EQ(attempts, 8);
    cycle(record_of({42.0}));
    EXPECT_EQ(sim_write_attempts(), attempts) << "nothing is written while a pair is queued";
    EXPECT_TRUE(state.force_send == false);
    EXPECT_EQ(bytes_of(state.last_sent), bytes_of(record_of({3.0})));

    sim_peer_resumes();
    cycle(record_of({42.0}));
    const auto& got = sim_peer_received();
    ASSERT_EQ(got.size(), 10u);
    for (std::size_t i = 0; i < got.size(); i += 2) {
        EXPECT_EQ(got[i], tag_bytes);
        EXPECT_EQ(got[i + 1].size(), 384u);
    }
    EXPECT_EQ(got.back(), bytes_of(record_of({42.0}))) << "the newest values arrive once it reads again";
}

}  // namespace
