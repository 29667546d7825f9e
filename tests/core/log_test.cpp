#include "server/core/log.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

namespace {

using movra::CMovraLog;
using movra::test::ReadFileBytes;
using movra::test::TempDir;
using platform::WString;
namespace logtext = movra::logtext;

// Always 5 March 2026, 07:08:09 local time.
class StampClock final : public platform::Clock {
public:
    uint64_t nowMs() override { return 0; }
    void sleepMs(uint32_t) override {}
    SYSTEMTIME systemTime() override { return localTime(); }
    SYSTEMTIME localTime() override {
        SYSTEMTIME time{};
        time.wYear = 2026;
        time.wMonth = 3;
        time.wDay = 5;
        time.wHour = 7;
        time.wMinute = 8;
        time.wSecond = 9;
        return time;
    }
};

const std::string kTimeLine = "05.03.26\xE3.  07:08:09\r\n";

// Answers for one client slot and one group index only.
class FixedNames final : public movra::ClientGroupNames {
public:
    FixedNames(WString client, WString group)
        : client(std::move(client)), group(std::move(group)) {}
    bool clientGroupNames(DWORD clientSlot, DWORD groupIndex, WString& clientName,
                          WString& groupName) override {
        if (clientSlot != 3 || groupIndex != 0) {
            return false;
        }
        clientName = client;
        groupName = group;
        return true;
    }

private:
    WString client;
    WString group;
};

// UTF-16 units that carry the given 8-bit characters two to a unit, low byte first.
WString packed(const std::string& bytes) {
    WString units;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        auto low = static_cast<uint8_t>(bytes[i]);
        auto high = i + 1 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
        units.push_back(static_cast<WCHAR>(low | (high << 8)));
    }
    return units;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log.Open(modulePath().c_str()), 1); }
    std::string modulePath() const { return dir.file("MovraOPCServer.exe"); }
    std::string bytes() const { return ReadFileBytes(dir.file("log.txt")); }

    TempDir dir;
    StampClock clock;
    CMovraLog log{clock};
};

TEST_F(LogTest, OpensLogTxtBesideTheProgram) {
    EXPECT_TRUE(log.isOpen());
    EXPECT_EQ(log.path(), dir.file("log.txt"));
    EXPECT_EQ(bytes(), "");
}

TEST_F(LogTest, EachStartEmptiesTheLog) {
    log.Write("first run", 2, 1);
    ASSERT_NE(bytes(), "");
    // Opening the same object again is refused and keeps what is there.
    EXPECT_EQ(log.Open(modulePath().c_str()), 0);
    EXPECT_EQ(bytes(), kTimeLine + "first run\r\n\r\n");

    CMovraLog second(clock);
    EXPECT_EQ(second.Open(modulePath().c_str()), 1);
    EXPECT_EQ(bytes(), "");
    second.Write("second run", 1, 0);
    EXPECT_EQ(bytes(), "second run\r\n");
}

TEST_F(LogTest, StepAndItsOutcomeShareOneLineThenAnEmptyLine) {
    EXPECT_EQ(log.Write(logtext::kPollStart, 0, 1), 1);
    EXPECT_EQ(log.Write(logtext::kOk, 2, 0), 1);
    EXPECT_EQ(log.Write(logtext::kPollStart, 0, 1), 1);
    EXPECT_EQ(log.Write(logtext::kNotAllAnswered, 2, 0), 1);
    const std::string pollStart =
        "\xCE\xE1\xEC\xE5\xED \xE4\xE0\xED\xED\xFB\xEC\xE8 \xF1 "
        "\xE2\xFB\xF7\xE8\xF1\xEB\xE8\xF2\xE5\xEB\xFF\xEC\xE8... ";
    const std::string notAll =
        "\xCD\xE5 \xE2\xF1\xE5 \xE2\xFB\xF7\xE8\xF1\xEB\xE8\xF2\xE5\xEB\xE8 "
        "\xEE\xF2\xE2\xE5\xF2\xE8\xEB\xE8 \xED\xE0 \xE7\xE0\xEF\xF0\xEE\xF1!";
    EXPECT_EQ(bytes(),
              kTimeLine + pollStart + "Ok.\r\n\r\n" + kTimeLine + pollStart + notAll + "\r\n\r\n");
}

TEST_F(LogTest, NewlineInsideATextBecomesCrLf) {
    log.Write(logtext::kPollStart, 0, 1);
    log.Write(logtext::kWaitForMovraConnect, 0, 0);
    log.Write(logtext::kOk, 1, 0);
    std::string file = bytes();
    std::string wait(logtext::kWaitForMovraConnect.view());
    ASSERT_EQ(wait[0], '\n');
    std::string expected =
        kTimeLine + std::string(logtext::kPollStart.view()) + "\r\n" + wait.substr(1) + "Ok.\r\n";
    EXPECT_EQ(file, expected);
    // Every LF of the file is part of a CR LF.
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\n') {
            EXPECT_TRUE(i > 0 && file[i - 1] == '\r') << i;
        }
    }
}

TEST_F(LogTest, RefusesNullTexts) {
    EXPECT_EQ(log.Write(nullptr, 2, 1), 0);
    EXPECT_EQ(log.WriteWide(nullptr, 2, 1), 0);
    EXPECT_EQ(log.WriteClientGroup(nullptr, 3, 0), 0);
    EXPECT_EQ(bytes(), "");
}

// ---- UTF-16 texts ----

TEST(LogWideText, UnitsBelow256AreOneByteEach) {
    EXPECT_EQ(CMovraLog::wideTextBytes(U16("OPC client 1")), "OPC client 1");
    const WCHAR latin1[] = {'A', 0xE9, 0xFF, 0};  // the unit's value is the byte
    EXPECT_EQ(CMovraLog::wideTextBytes(latin1), "A\xE9\xFF");
    EXPECT_EQ(CMovraLog::wideTextBytes(U16("")), "");
    EXPECT_EQ(CMovraLog::wideTextBytes(nullptr), "");
}

TEST(LogWideText, LaterUnitsBeyond255GoThroughTheCodePage) {
    // Cut to their low byte they would be 0x16 and 0x1A, control characters in the log.
    EXPECT_EQ(CMovraLog::wideTextBytes(U16("A\u0416\u041A")), "A\xC6\xCA");
    EXPECT_EQ(CMovraLog::wideTextBytes(U16("A\u4E2D")), "A?");
}

TEST(LogWideText, PackedEightBitCharactersInMemoryOrder) {
    std::string name = platform::utf8ToCp1251("OPC Клиент №7");
    ASSERT_EQ(name.size(), 13u);
    WString units = packed(name);
    ASSERT_GE(static_cast<char16_t>(units[0]), 256);
    EXPECT_EQ(CMovraLog::wideTextBytes(units.c_str()), name);
    // An even length ends at the zero unit after the last pair.
    EXPECT_EQ(CMovraLog::wideTextBytes(packed("ABCD").c_str()), "ABCD");
    // A zero high byte ends the text in the middle of a unit.
    const WCHAR cut[] = {0x4241, 0x0043, 0x4545, 0};
    EXPECT_EQ(CMovraLog::wideTextBytes(cut), "ABC");
}

TEST(LogWideText, CyrillicUtf16IsNotTakenForPackedBytes) {
    EXPECT_EQ(CMovraLog::wideTextBytes(platform::utf8ToWide("Клиент 2").c_str()),
              platform::utf8ToCp1251("Клиент 2"));
}

TEST(LogWideText, A5000UnitTextIsCutAtTheLineBuffer) {
    // Heap blocks of exactly the text's size, so reading past the zero is a sanitizer error.
    auto writeAndCheck = [](WCHAR unit, char first, char second) {
        const size_t units = 5000;
        std::unique_ptr<WCHAR[]> text(new WCHAR[units + 1]);
        std::fill(text.get(), text.get() + units, unit);
        text[units] = 0;
        std::string out = CMovraLog::wideTextBytes(text.get());
        ASSERT_EQ(out.size(), CMovraLog::kWideTextLimit);
        EXPECT_EQ(out[0], first);
        EXPECT_EQ(out[1], second);
        EXPECT_EQ(out[1002], first);
    };
    writeAndCheck(U16('x'), 'x', 'x');
    writeAndCheck(static_cast<WCHAR>(0x4241), 'A', 'B');
}

TEST_F(LogTest, WideEntryIsWrittenWithTimeAndLineEnds) {
    std::unique_ptr<WCHAR[]> text(new WCHAR[5001]);
    std::fill(text.get(), text.get() + 5000, static_cast<WCHAR>(0x4241));
    text[5000] = 0;
    EXPECT_EQ(log.WriteWide(text.get(), 1, 1), 1);
    std::string file = bytes();
    EXPECT_EQ(file.size(), kTimeLine.size() + 1003 + 2);
    EXPECT_EQ(file.substr(0, kTimeLine.size()), kTimeLine);
    EXPECT_EQ(file.substr(file.size() - 3), "A\r\n");
}

// ---- Client and group entries ----

TEST_F(LogTest, ClientGroupEntryWithAPackedClientName) {
    std::string client = platform::utf8ToCp1251("OPC Клиент");
    FixedNames names(packed(client), platform::utf8ToWide("Группа 1"));
    log.setClientGroupNames(&names);
    // A client in slot 3 with fewer clients connected is still logged.
    EXPECT_EQ(log.WriteClientGroup(logtext::kOnDataChangeCall, 3, 0), 1);
    EXPECT_EQ(log.Write(logtext::kOk, 2, 0), 1);
    std::string expected = kTimeLine +
                           "\xC2\xFB\xE7\xEE\xE2 \xF4\xF3\xED\xEA\xF6\xE8\xE8 OnDataChange" +
                           " (\xEA\xEB\xE8\xE5\xED\xF2: OPC \xCA\xEB\xE8\xE5\xED\xF2, "
                           "\xE3\xF0\xF3\xEF\xEF\xE0: \xC3\xF0\xF3\xEF\xEF\xE0 1)... Ok.\r\n\r\n";
    EXPECT_EQ(bytes(), expected);
    log.setClientGroupNames(nullptr);
}

TEST_F(LogTest, ClientGroupEntryNeedsANameForSlotAndGroup) {
    EXPECT_EQ(log.WriteClientGroup(logtext::kOnReadCompleteCall, 3, 0), 0);  // no resolver yet
    FixedNames names(U16("client"), U16("group"));
    log.setClientGroupNames(&names);
    EXPECT_EQ(log.WriteClientGroup(logtext::kOnReadCompleteCall, 4, 0), 0);
    EXPECT_EQ(log.WriteClientGroup(logtext::kOnReadCompleteCall, 3, 1), 0);
    EXPECT_EQ(bytes(), "");
    EXPECT_EQ(log.WriteClientGroup("x", 3, 0), 1);
    EXPECT_EQ(
        bytes(),
        kTimeLine + "x (\xEA\xEB\xE8\xE5\xED\xF2: client, \xE3\xF0\xF3\xEF\xEF\xE0: group)... ");
    log.setClientGroupNames(nullptr);
}

// ---- A log that cannot be written ----

TEST(LogUnwritable, OpenInAMissingFolderLeavesTheLogOff) {
    TempDir dir;
    StampClock clock;
    CMovraLog log(clock);
    std::string module = dir.file("missing") + "/MovraOPCServer.exe";
    EXPECT_EQ(log.Open(module.c_str()), 0);
    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(log.Write(logtext::kPollStart, 0, 1), 0);
    EXPECT_EQ(log.WriteWide(U16("x"), 0, 1), 0);
    FixedNames names(U16("c"), U16("g"));
    log.setClientGroupNames(&names);
    EXPECT_EQ(log.WriteClientGroup("x", 3, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_EQ(log.Open(nullptr), 0);
}

TEST_F(LogTest, ALogDeletedWhileRunningDropsLinesAndIsNotCreatedAgain) {
    log.Write("before", 1, 0);
    ASSERT_EQ(std::remove(dir.file("log.txt").c_str()), 0);
    EXPECT_EQ(log.Write("lost", 1, 1), 1);
    EXPECT_EQ(log.WriteWide(U16("lost"), 1, 1), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
}

TEST(LogPath, FolderOfTheModulePathPlusLogTxt) {
    EXPECT_EQ(CMovraLog::logPathFor("C:\\Program Files\\Movra\\MovraOPCServer.exe"),
              "C:\\Program Files\\Movra\\log.txt");
    EXPECT_EQ(CMovraLog::logPathFor("/opt/movra/MovraOPCServer.exe"), "/opt/movra/log.txt");
    EXPECT_EQ(CMovraLog::logPathFor("C:/a\\b/MovraOPCServer.exe"), "C:/a\\b/log.txt");
    EXPECT_EQ(CMovraLog::logPathFor("MovraOPCServer.exe"), "log.txt");
}

// ---- Two writers ----

TEST_F(LogTest, EntriesOfTwoThreadsNeverTear) {
    const std::string textA(300, 'A');
    const std::string textB(300, 'B');
    constexpr int kEntries = 200;
    auto writer = [this](const std::string& text) {
        for (int i = 0; i < kEntries; ++i) {
            log.Write(text.c_str(), 1, 1);
        }
    };
    std::thread first(writer, std::cref(textA));
    std::thread second(writer, std::cref(textB));
    first.join();
    second.join();

    const std::string entryA = kTimeLine + textA + "\r\n";
    const std::string entryB = kTimeLine + textB + "\r\n";
    std::string file = bytes();
    ASSERT_EQ(file.size(), 2 * kEntries * entryA.size());
    std::map<char, int> counts;
    for (size_t at = 0; at < file.size(); at += entryA.size()) {
        std::string entry = file.substr(at, entryA.size());
        ASSERT_TRUE(entry == entryA || entry == entryB) << "torn entry at " << at;
        ++counts[entry[kTimeLine.size()]];
    }
    EXPECT_EQ(counts['A'], kEntries);
    EXPECT_EQ(counts['B'], kEntries);
}

}  // namespace
