#include "server/core/server_state.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace movra {
namespace {

class ServerStateCounts : public ::testing::Test {
protected:
    void SetUp() override { serverState().Reset(); }
    void TearDown() override { serverState().Reset(); }
};

TEST_F(ServerStateCounts, EachChangeReturnsTheNewCount) {
    EXPECT_EQ(serverState().AddClient(), 1);
    EXPECT_EQ(serverState().AddClient(), 2);
    EXPECT_EQ(serverState().RemoveClient(), 1);
    EXPECT_EQ(serverState().LockServerCount(true), 1);
    EXPECT_EQ(serverState().LockServerCount(true), 2);
    EXPECT_EQ(serverState().LockServerCount(false), 1);
    EXPECT_EQ(serverState().clientCount.load(), 1);
    EXPECT_EQ(serverState().serverLockCount.load(), 1);
}

TEST_F(ServerStateCounts, AClientOrALockKeepsTheServerInUse) {
    EXPECT_FALSE(serverState().IsServerInUse());
    serverState().AddClient();
    EXPECT_TRUE(serverState().IsServerInUse());
    serverState().RemoveClient();
    EXPECT_FALSE(serverState().IsServerInUse());
    serverState().LockServerCount(true);
    EXPECT_TRUE(serverState().IsServerInUse());
    serverState().LockServerCount(false);
    EXPECT_FALSE(serverState().IsServerInUse());
}

// Creations and destructions of server objects on many COM threads at once lose no change.
TEST_F(ServerStateCounts, ChangesFromManyThreadsAreNotLost) {
    constexpr int kThreads = 8;
    constexpr int kChanges = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kChanges; ++i) {
                serverState().AddClient();
                serverState().LockServerCount(true);
                if (i % 2 == 0) {
                    serverState().RemoveClient();
                    serverState().LockServerCount(false);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(serverState().clientCount.load(), kThreads * kChanges / 2);
    EXPECT_EQ(serverState().serverLockCount.load(), kThreads * kChanges / 2);
}

TEST_F(ServerStateCounts, ResetClearsFlagsCountsAndClientSlots) {
    ServerState& state = serverState();
    state.pollRunning = 1;
    state.notifyRunning = 1;
    state.stopRequested = 1;
    state.mainThreadId = 42;
    serverState().AddClient();
    serverState().LockServerCount(true);
    state.clients[kClientSlots - 1] = reinterpret_cast<CMovraOPCServer*>(&state);
    serverState().Reset();
    EXPECT_EQ(state.pollRunning.load(), 0);
    EXPECT_EQ(state.notifyRunning.load(), 0);
    EXPECT_FALSE(IsStopRequested());
    EXPECT_EQ(state.mainThreadId.load(), 0u);
    EXPECT_FALSE(serverState().IsServerInUse());
    for (const auto& client : state.clients) {
        EXPECT_EQ(client.load(), nullptr);
    }
}

}  // namespace
}  // namespace movra
