#include "server/core/server_state.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace movra {
namespace {

class ServerStateCounts : public ::testing::Test {
protected:
    // A client in the lowest free slot, as the class factory and the server object enter it.
    uint32_t addClient() {
        std::optional<uint32_t> slot = state.clients.claim();
        EXPECT_TRUE(slot);
        state.AddClient(slot.value_or(0), nullptr);
        return slot.value_or(0);
    }

    ServerState state;
};

TEST_F(ServerStateCounts, EachChangeReturnsTheNewCount) {
    const uint32_t first = *state.clients.claim();
    const uint32_t second = *state.clients.claim();
    EXPECT_EQ(state.AddClient(first, nullptr), 1);
    EXPECT_EQ(state.AddClient(second, nullptr), 2);
    EXPECT_EQ(state.RemoveClient(first), 1);
    EXPECT_EQ(state.LockServerCount(true), 1);
    EXPECT_EQ(state.LockServerCount(true), 2);
    EXPECT_EQ(state.LockServerCount(false), 1);
    EXPECT_EQ(state.clients.count(), 1);
    EXPECT_EQ(state.serverLockCount.load(), 1);
}

TEST_F(ServerStateCounts, AClientOrALockKeepsTheServerInUse) {
    EXPECT_FALSE(state.IsServerInUse());
    const uint32_t slot = addClient();
    EXPECT_TRUE(state.IsServerInUse());
    state.RemoveClient(slot);
    EXPECT_FALSE(state.IsServerInUse());
    state.LockServerCount(true);
    EXPECT_TRUE(state.IsServerInUse());
    state.LockServerCount(false);
    EXPECT_FALSE(state.IsServerInUse());
}

// Ten slots, the lowest free one first; a slot claimed for an object that was never made is
// freed without changing the count.
TEST_F(ServerStateCounts, TheTableGivesTheLowestOfTenSlotsAndCountsOnlyWhatEntered) {
    for (uint32_t slot = 0; slot < kClientSlots; ++slot) {
        EXPECT_EQ(state.clients.claim(), slot);
    }
    EXPECT_EQ(state.clients.claim(), std::nullopt) << "an eleventh slot";
    state.AddClient(4, nullptr);
    EXPECT_EQ(state.clients.leave(2), 1) << "slot 2 never entered";
    EXPECT_EQ(state.clients.claim(), 2u);
    EXPECT_EQ(state.RemoveClient(4), 0);
    EXPECT_EQ(state.clients.claim(), 4u);
    EXPECT_FALSE(state.IsServerInUse());
}

// Creations and destructions of server objects on many COM threads at once lose no change, and no
// two of them hold a slot at once.
TEST_F(ServerStateCounts, ChangesFromManyThreadsAreNotLost) {
    constexpr int kThreads = 8;
    constexpr int kChanges = 20000;
    std::array<std::atomic<int>, kClientSlots> holders{};
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kChanges; ++i) {
                state.LockServerCount(true);
                if (std::optional<uint32_t> slot = state.clients.claim()) {
                    clashes += holders[*slot]++ != 0 ? 1 : 0;
                    state.AddClient(*slot, nullptr);
                    --holders[*slot];
                    state.RemoveClient(*slot);
                } else {
                    ++clashes;  // eight threads never fill ten slots
                }
                if (i % 2 == 0) {
                    state.LockServerCount(false);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(clashes.load(), 0);
    EXPECT_EQ(state.clients.count(), 0);
    EXPECT_EQ(state.serverLockCount.load(), kThreads * kChanges / 2);
    EXPECT_EQ(state.arrivals.load(), 2u * kThreads * kChanges);
}

}  // namespace
}  // namespace movra
