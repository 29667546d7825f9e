#include "server/host/command_line.h"
#include "server/host/pacing.h"

#include <gtest/gtest.h>

namespace movra {
namespace {

TEST(ServerSwitch, WordsAfterDashOrSlashIgnoringCase) {
    EXPECT_EQ(parseServerSwitch("/Register"), ServerSwitch::Register);
    EXPECT_EQ(parseServerSwitch("/register"), ServerSwitch::Register);
    EXPECT_EQ(parseServerSwitch("-R"), ServerSwitch::Register);
    EXPECT_EQ(parseServerSwitch("-r"), ServerSwitch::Register);
    EXPECT_EQ(parseServerSwitch("/UnRegister"), ServerSwitch::UnRegister);
    EXPECT_EQ(parseServerSwitch("-UNREGISTER"), ServerSwitch::UnRegister);
    EXPECT_EQ(parseServerSwitch("/u"), ServerSwitch::UnRegister);
}

TEST(ServerSwitch, AnyOtherTextIsNoSwitch) {
    EXPECT_EQ(parseServerSwitch(""), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch(nullptr), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch("-Embedding"), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch("/Register "), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch("/Register now"), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch("Register"), ServerSwitch::None);
    EXPECT_EQ(parseServerSwitch("/Reg"), ServerSwitch::None);
}

TEST(ServerSwitch, TheFirstDashDecidesOverAnySlash) {
    // The text after the first '-' is "U", although a '/' comes first.
    EXPECT_EQ(parseServerSwitch("/Register -U"), ServerSwitch::UnRegister);
    // After the '-' stands "x/R": no switch, and the '/' is not looked at.
    EXPECT_EQ(parseServerSwitch("-x/R"), ServerSwitch::None);
}

TEST(ServerSwitch, ComStartIsTheEmbeddingWord) {
    for (const char* yes : {"-Embedding", "/Embedding", "-embedding", "/Automation -Embedding"}) {
        EXPECT_TRUE(startedByCom(yes)) << yes;
    }
    for (const char* no : {"", "-Register", "-Embeddings", "x-Embedding", "Embedding"}) {
        EXPECT_FALSE(startedByCom(no)) << no;
    }
    EXPECT_FALSE(startedByCom(nullptr));
}

TEST(ConfigurationPath, LastThreeCharactersBecomeIni) {
    EXPECT_EQ(configurationPathOf("C:\\Movra\\MovraOPCServer.exe"),
              "C:\\Movra\\MovraOPCServer.ini");
    EXPECT_EQ(configurationPathOf("/opt/movra/MovraOPCServer.EXE"),
              "/opt/movra/MovraOPCServer.ini");
    EXPECT_EQ(configurationPathOf("ab"), "ab.ini");
}

TEST(PollPacer, FirstCycleThenWarmUpThenPeriod) {
    PollPacer pacer({5000, 100, 500});
    // The first cycle was started with the loop; its timer finds it still running.
    EXPECT_EQ(pacer.onTick(true).timerMs, 500u);
    EXPECT_FALSE(pacer.onTick(true).startPoll);
    // Seen finished: only the warm-up gap, no cycle yet.
    PollPacer::Step warmUp = pacer.onTick(false);
    EXPECT_EQ(warmUp.timerMs, 100u);
    EXPECT_FALSE(warmUp.startPoll);
    // Then every tick without a running cycle starts one and re-arms the period.
    PollPacer::Step second = pacer.onTick(false);
    EXPECT_TRUE(second.startPoll);
    EXPECT_EQ(second.timerMs, 5000u);
    // A cycle longer than the period: re-check soon, start as soon as it is seen finished.
    EXPECT_EQ(pacer.onTick(true).timerMs, 500u);
    PollPacer::Step third = pacer.onTick(false);
    EXPECT_TRUE(third.startPoll);
    EXPECT_EQ(third.timerMs, 5000u);
}

TEST(PollPacer, PollRequestDuringWarmUpOnlyAdvancesIt) {
    PollPacer pacer({5000, 100, 500});
    // A request before the warm-up has been armed arms it and starts nothing.
    PollPacer::Step step = pacer.onTick(false);
    EXPECT_FALSE(step.startPoll);
    EXPECT_TRUE(pacer.warmedUp());
    // The next request starts a cycle at once.
    EXPECT_TRUE(pacer.onTick(false).startPoll);
}

}  // namespace
}  // namespace movra
