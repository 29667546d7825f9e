#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using platform::cp1251ToUnit;
using platform::unitToCp1251;

TEST(Cp1251Table, AsciiAndTheTwoAlphabetBlocks) {
    for (int byte = 0; byte < 0x80; ++byte) {
        EXPECT_EQ(cp1251ToUnit(static_cast<uint8_t>(byte)), byte) << byte;
    }
    for (int byte = 0xC0; byte <= 0xFF; ++byte) {
        EXPECT_EQ(cp1251ToUnit(static_cast<uint8_t>(byte)), 0x0410 + (byte - 0xC0)) << byte;
    }
}

TEST(Cp1251Table, LettersAndSignsOutsideTheBlocks) {
    const std::pair<uint8_t, char16_t> known[] = {
        {0xA8, 0x0401},  // Ё
        {0xB8, 0x0451},  // ё
        {0xA5, 0x0490},  // Ґ
        {0xB4, 0x0491},  // ґ
        {0xB2, 0x0406},  // І
        {0xAA, 0x0404},  // Є
        {0xB9, 0x2116},  // №
        {0x88, 0x20AC},  // €
        {0x96, 0x2013},  // –
        {0x97, 0x2014},  // —
        {0xAB, 0x00AB},  // «
        {0xBB, 0x00BB},  // »
        {0xA0, 0x00A0},  // no-break space
        {0x85, 0x2026},  // …
        {0x99, 0x2122},  // ™
        {0x80, 0x0402},  // Ђ
        {0x9F, 0x045F},  // џ
    };
    for (auto [byte, unit] : known) {
        EXPECT_EQ(cp1251ToUnit(byte), unit) << std::hex << int(byte);
        EXPECT_EQ(static_cast<uint8_t>(unitToCp1251(unit)), byte) << std::hex << int(unit);
    }
}

TEST(Cp1251Table, EveryByteRoundTripsAndOnly0x98IsNoCharacter) {
    std::set<char16_t> units;
    for (int byte = 0; byte < 256; ++byte) {
        auto b = static_cast<uint8_t>(byte);
        char16_t unit = cp1251ToUnit(b);
        units.insert(unit);
        EXPECT_EQ(static_cast<uint8_t>(unitToCp1251(unit)), b) << byte;
        EXPECT_EQ(platform::cp1251IsCharacter(b), byte != 0x98) << byte;
    }
    EXPECT_EQ(units.size(), 256u);
    EXPECT_EQ(cp1251ToUnit(0x98), 0x0098);
}

TEST(Cp1251Encode, CharactersTheCodePageCannotHoldBecomeQuestionMarks) {
    EXPECT_EQ(unitToCp1251(0x4E2D), '?');  // CJK
    EXPECT_EQ(unitToCp1251(0x0152), '?');  // Œ
    EXPECT_EQ(unitToCp1251(0x00E9), '?');  // é: no best fit to 'e'
    EXPECT_EQ(unitToCp1251(0xFFFD), '?');
    EXPECT_EQ(unitToCp1251(0x0081), '?');  // a C1 control other than U+0098
    // A surrogate pair is two units, each written as a replacement.
    platform::WString pair = {static_cast<WCHAR>(0xD83D), static_cast<WCHAR>(0xDE00)};
    EXPECT_EQ(platform::wideToCp1251(pair), "??");
}

TEST(Cp1251Convert, WideAndBackKeepsEveryByte) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
    }
    platform::WString wide = platform::cp1251ToWide(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0xE3], static_cast<WCHAR>(0x0433));
    EXPECT_EQ(platform::wideToCp1251(wide), all);
    EXPECT_EQ(platform::cp1251ToUtf8("\xCE\xEA"), "Ок");
}

TEST(Cp1251Convert, Utf8SourcesBecome1251Bytes) {
    EXPECT_EQ(platform::utf8ToCp1251("Ошибка!"), "\xCE\xF8\xE8\xE1\xEA\xE0!");
    EXPECT_EQ(platform::utf8ToCp1251("№ 5, «Ёж»"), "\xB9 5, \xAB\xA8\xE6\xBB");
    EXPECT_EQ(platform::utf8ToCp1251(""), "");
    // Outside the code page, beyond the BMP, and broken sequences (cut lead, stray continuation).
    EXPECT_EQ(platform::utf8ToCp1251("a中b\xF0\x9F\x98\x80"), "a?b?");
    EXPECT_EQ(platform::utf8ToCp1251("x\xD0"), "x?");
    EXPECT_EQ(platform::utf8ToCp1251("\x80y"), "?y");
    EXPECT_EQ(platform::utf8ToCp1251("\xD0z"), "?z");
}

TEST(Cp1251Text, ConvertsAtCompileTime) {
    static constexpr platform::Cp1251Text kYear{"г."};
    static_assert(kYear.size == 2);
    static_assert(kYear.bytes[0] == '\xE3');
    static_assert(kYear.view() == "\xE3.");
    static constexpr platform::Cp1251Text kEmpty{""};
    static_assert(kEmpty.size == 0 && kEmpty.c_str()[0] == '\0');
    static constexpr platform::Cp1251Text kMixed{"\nOk. Ожидание"};
    EXPECT_EQ(std::string(kMixed), "\nOk. \xCE\xE6\xE8\xE4\xE0\xED\xE8\xE5");
}

}  // namespace
