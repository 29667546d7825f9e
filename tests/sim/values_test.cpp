// The promises of values.h that other tests build their predictions on.
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

#include <cmath>

namespace movra::sim {
namespace {

constexpr Quantity kAll[] = {
    Quantity::Pa,       Quantity::Tv,       Quantity::ChannelT, Quantity::ChannelTo,
    Quantity::ChannelP, Quantity::ChannelQ, Quantity::ChannelV, Quantity::ChannelG,
    Quantity::ChannelM, Quantity::ChannelN, Quantity::NodeGy,   Quantity::NodeMy,
    Quantity::NodeN,    Quantity::NodeW,    Quantity::NodeNe,   Quantity::NodeWe,
    Quantity::NodeWm,   Quantity::NodeWl,
};

bool isTotal(Quantity q) {
    switch (q) {
        case Quantity::ChannelV:
        case Quantity::ChannelM:
        case Quantity::ChannelN:
        case Quantity::NodeN:
        case Quantity::NodeW:
        case Quantity::NodeNe:
        case Quantity::NodeWe:
        case Quantity::NodeWm:
        case Quantity::NodeWl:
            return true;
        default:
            return false;
    }
}

// Usable at compile time, so a test can hold predictions in constants.
static_assert(value(1, Quantity::ChannelT, 1, 0) >= 40.0f);

TEST(SimValues, ExactSixteenthsThatChangeEveryCycleAndTotalsThatGrow) {
    for (uint32_t seed : {0u, 1u, 254u, 4242u, 0xFFFFFFFFu}) {
        for (Quantity q : kAll) {
            for (uint32_t index = 0; index <= 20; ++index) {
                float previous = value(seed, q, index, 0);
                for (uint32_t cycle = 1; cycle < 200; ++cycle) {
                    float now = value(seed, q, index, cycle);
                    ASSERT_EQ(now * 16.0f, std::floor(now * 16.0f)) << now;
                    ASSERT_GT(now, 0.0f);
                    ASSERT_LT(now, 1048576.0f);
                    ASSERT_NE(now, previous) << "seed " << seed << " index " << index;
                    if (isTotal(q)) {
                        ASSERT_GT(now, previous);
                    }
                    previous = now;
                }
            }
        }
    }
}

TEST(SimValues, SeedsChannelsAndQuantitiesTellDevicesApart) {
    int same = 0;
    int compared = 0;
    for (Quantity q : kAll) {
        for (uint32_t index = 1; index <= 10; ++index) {
            ++compared;
            same += value(1, q, index, 3) == value(2, q, index, 3);
            ++compared;
            same += value(1, q, index, 3) == value(1, q, index + 1, 3);
        }
    }
    EXPECT_LT(same, compared / 20);
    EXPECT_NE(value(5, Quantity::ChannelM, 1, 0), value(5, Quantity::ChannelV, 1, 0));
}

TEST(SimValues, StatusWordsKeepToTheirWidth) {
    for (uint32_t cycle = 0; cycle < 100; ++cycle) {
        EXPECT_EQ(kmtStatusMask(7, 3, cycle) >> 28, 0u);
        EXPECT_EQ(statusWord(7, 3, cycle) & 0xF0F0, 0);
    }
    EXPECT_NE(kmtStatusMask(7, 3, 0), kmtStatusMask(7, 3, 1));
    EXPECT_NE(deviceWord(7, 0), deviceWord(7, 1));
}

}  // namespace
}  // namespace movra::sim
