// The write path on the real pipe when the peer stops reading: sends must keep
// returning (the cycle never waits on the peer), every message the peer finally
// reads must be whole and in order, and the newest values must arrive once it
// reads again.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "stream/axis_stream.h"
#include "support/pipe_peer.h"

namespace {

const char* const name = "zelmorvelgateway_write_test";
const char* const path = "\\\\.\\pipe\\zelmorvelgateway_write_test";

struct send_run {
    sender_state state{true, {}};
    int sent = 0;     // sends that reported delivery
    int refused = 0;  // sends refused while a message was queued
    double last = 0;  // value of the last delivered record
};

// A send that waited on the peer would hang the test; this ends it instead. (The
// sends stay on the test's own thread: a thread's pending writes are cancelled when
// it exits, and the gateway's writes are all made by its one long-lived thread.)
DWORD WINAPI watchdog(void* done) {
    if (WaitForSingleObject(static_cast<HANDLE>(done), 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "a send waited on the peer for a minute\n");
        ExitProcess(3);
    }
    return 0;
}

TEST(PipeWrites, PeerThatStopsReadingNeitherBlocksNorTearsMessages) {
    // The gateway's own buffer, which fills after a few updates.
    ASSERT_EQ(open_axis_pipe(name), 0);
    pipe_peer peer(path);
    ASSERT_TRUE(peer.connect(0));

    // The peer reads nothing while 400 sends are made: far more than the buffer holds.
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE guard = CreateThread(nullptr, 0, watchdog, done, 0, nullptr);
    send_run run;
    for (int i = 1; i <= 400; ++i) {
        axis_record r;
        r.slots[0] = i;
        send_if_changed(run.state, r);
        if (std::memcmp(&run.state.last_sent, &r, sizeof r) == 0) {
            ++run.sent;
            run.last = i;
        } else {
            ++run.refused;
        }
    }
    SetEvent(done);
    WaitForSingleObject(guard, INFINITE);
    CloseHandle(guard);
    CloseHandle(done);
    std::printf("%d updates queued before a write pended\n", run.sent);
    EXPECT_GT(run.sent, 2);
    EXPECT_LE(run.sent, 6) << "a peer that stops reading finds at most a few updates queued";
    EXPECT_GT(run.refused, 0) << "the buffer never filled: the test proves nothing";

    // Now it reads everything there is: tag, record, tag, record..., values rising.
    double previous = 0;
    int records = 0;
    while (records < run.sent) {
        // The queued writes complete as the buffer empties.
        const std::vector<std::uint8_t> tag = peer.read(10000);
        ASSERT_EQ(tag, (std::vector<std::uint8_t>{0x02, 0x55, 0x00, 0x00})) << "after record " << records;
        const std::vector<std::uint8_t> record = peer.read(1000);
        ASSERT_EQ(record.size(), 384u) << "after record " << records;
        double value;
        std::memcpy(&value, record.data(), sizeof value);
        ASSERT_GT(value, previous) << "out of order";
        previous = value;
        ++records;
    }
    EXPECT_EQ(records, run.sent);
    EXPECT_EQ(previous, run.last);

    // Reading again, the next change goes out at once.
    axis_record newest;
    newest.slots[0] = 1e9;
    send_if_changed(run.state, newest);
    EXPECT_FALSE(run.state.force_send);
    EXPECT_EQ(peer.read(1000).size(), 4u);
    const std::vector<std::uint8_t> last = peer.read(1000);
    ASSERT_EQ(last.size(), 384u);
    double value;
    std::memcpy(&value, last.data(), sizeof value);
    EXPECT_EQ(value, 1e9);

    peer.leave();
    close_axis_pipe();
}

// Only the user running the gateway and the system may open the pipe. (Wine stores
// the list and returns it, though it does not enforce it.)
TEST(PipeSecurity, AccessListNamesOnlyTheUserAndSystem) {
    ASSERT_EQ(open_axis_pipe(name), 0);
    const HANDLE peer = CreateFileA(path, GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(peer, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor),
              DWORD(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a null list would let everyone in";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing inherited into the list";

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<BYTE> user(256);
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), DWORD(user.size()), &size));
    CloseHandle(token);
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size));

    ASSERT_EQ(dacl->AceCount, 2);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        const PSID sid = &ace->SidStart;
        EXPECT_TRUE(EqualSid(sid, i == 0 ? reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid : PSID(system)))
            << "entry " << i;
    }
    LocalFree(descriptor);
    CloseHandle(peer);
    close_axis_pipe();
}

}  // namespace
