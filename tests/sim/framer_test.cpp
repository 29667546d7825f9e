// The simulator's framer: which bytes of a shared line become requests for its devices.
#include "tests/sim/sim_harness.h"
#include "tools/kmt-sim/framer.h"

#include <gtest/gtest.h>

namespace movra::sim::test {
namespace {

using Kind = LineEvent::Kind;
constexpr int64_t kQuietUs = 50000;

Framer twoStations() {
    return Framer({Station{1, 10}, Station{2, 8}}, kQuietUs);
}

void push(Framer& framer, const Bytes& bytes, int64_t atUs) {
    framer.push(bytes.data(), bytes.size(), atUs);
}

std::vector<LineEvent> drain(Framer& framer, int64_t nowUs) {
    std::vector<LineEvent> events;
    while (std::optional<LineEvent> event = framer.next(nowUs)) {
        events.push_back(*event);
    }
    return events;
}

TEST(SimFramer, RequestsOfEachLengthGoToTheirStation) {
    Framer framer = twoStations();
    Bytes forOne = newRequest(1, 0x51);
    Bytes forTwo = kmtRequest(2, 0xB1);
    Bytes both = forOne;
    both.insert(both.end(), forTwo.begin(), forTwo.end());
    push(framer, both, 1000);
    std::vector<LineEvent> events = drain(framer, 1000);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::Request);
    EXPECT_EQ(events[0].station, 0u);
    EXPECT_EQ(events[0].bytes, forOne);
    EXPECT_EQ(events[0].firstByteUs, 1000);
    EXPECT_EQ(events[1].kind, Kind::Request);
    EXPECT_EQ(events[1].station, 1u);
    EXPECT_EQ(events[1].bytes, forTwo);
}

TEST(SimFramer, APartialRequestWaitsForItsRestAndKeepsItsFirstByteTime) {
    Framer framer = twoStations();
    Bytes request = newRequest(1, 0x50, 0, 4);
    push(framer, Bytes(request.begin(), request.begin() + 4), 100);
    EXPECT_FALSE(framer.next(200).has_value());
    EXPECT_EQ(framer.deadline(), std::optional<int64_t>(100 + kQuietUs));
    push(framer, Bytes(request.begin() + 4, request.end()), 300);
    std::optional<LineEvent> event = framer.next(300);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, Kind::Request);
    EXPECT_EQ(event->firstByteUs, 100);
    EXPECT_FALSE(framer.deadline().has_value());
}

TEST(SimFramer, AnUnfinishedFrameBecomesGarbageAfterTheQuietTime) {
    Framer framer = twoStations();
    push(framer, {0x01, 0x51, 0x05}, 0);
    EXPECT_FALSE(framer.next(kQuietUs - 1).has_value());
    std::vector<LineEvent> events = drain(framer, kQuietUs);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Garbage);
    EXPECT_EQ(events[0].bytes, (Bytes{0x01, 0x51, 0x05}));
}

TEST(SimFramer, GarbageBeforeARequestIsCutAtOnce) {
    Framer framer = twoStations();
    // Noise that begins like a long reply of another station, and holds our address.
    Bytes line{0x37, 0x12, 0xF0, 0x02, 0x44};
    Bytes request = kmtRequest(2, 0xB3, 0x01);
    line.insert(line.end(), request.begin(), request.end());
    push(framer, line, 0);
    std::vector<LineEvent> events = drain(framer, 1);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::Garbage);
    EXPECT_EQ(events[0].bytes, (Bytes{0x37, 0x12, 0xF0, 0x02, 0x44}));
    EXPECT_EQ(events[1].kind, Kind::Request);
    EXPECT_EQ(events[1].bytes, request);
}

TEST(SimFramer, ACorruptRequestForUsIsDroppedAndTheNextOneTaken) {
    Framer framer = twoStations();
    Bytes corrupt = newRequest(1, 0x51);
    corrupt[9] ^= 0xFF;
    Bytes good = newRequest(1, 0x50, 1, 1);
    corrupt.insert(corrupt.end(), good.begin(), good.end());
    push(framer, corrupt, 0);
    std::vector<LineEvent> events = drain(framer, 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, Kind::Request);
    EXPECT_EQ(events.back().bytes, good);
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, Kind::Garbage);
    }
}

TEST(SimFramer, OtherStationsFramesAndZerosAreRecognised) {
    Framer framer = twoStations();
    Bytes line(8, 0);
    Bytes foreignKmt = kmtRequest(9, 0xB1);
    Bytes foreignNew = newRequest(9, 0x51);
    Bytes foreignReply{9, 0x51, 2, 0xAA, 0xBB};
    uint16_t crc = wireCrc(foreignReply);
    foreignReply.push_back(static_cast<uint8_t>(crc & 0xFF));
    foreignReply.push_back(static_cast<uint8_t>(crc >> 8));
    for (const Bytes* part : {&foreignKmt, &foreignNew, &foreignReply}) {
        line.insert(line.end(), part->begin(), part->end());
    }
    push(framer, line, 0);
    std::vector<LineEvent> events = drain(framer, 1);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, Kind::Filler);
    EXPECT_EQ(events[0].bytes.size(), 8u);
    EXPECT_EQ(events[1].kind, Kind::Foreign);
    EXPECT_EQ(events[1].bytes, foreignKmt);
    EXPECT_EQ(events[2].kind, Kind::Foreign);
    EXPECT_EQ(events[2].bytes, foreignNew);
    EXPECT_EQ(events[3].kind, Kind::Foreign);
    EXPECT_EQ(events[3].bytes, foreignReply);
}

}  // namespace
}  // namespace movra::sim::test
