#include "platform/wide.h"

#include <gtest/gtest.h>

namespace {

using platform::WString;

TEST(Wide, WcharIsUtf16OnBothBuilds) {
    static_assert(sizeof(WCHAR) == 2);
    WString text = U16("PKE12AB.K01.T");
    EXPECT_EQ(text.size(), 13u);
    EXPECT_EQ(platform::wideLength(U16("Ok")), 2u);
}

TEST(Wide, Utf8RoundTripKeepsCyrillicAndSurrogates) {
    const std::string utf8 = "Обмен данными \xF0\x9F\x98\x80";
    WString wide = platform::utf8ToWide(utf8);
    EXPECT_EQ(wide[0], static_cast<WCHAR>(0x041E));
    EXPECT_EQ(wide.size(), 16u);  // 14 letters and blanks, then a surrogate pair
    EXPECT_EQ(wide[14], static_cast<WCHAR>(0xD83D));
    EXPECT_EQ(platform::wideToUtf8(wide), utf8);
}

TEST(Wide, BrokenUtf8BecomesReplacementCharacters) {
    WString wide = platform::utf8ToWide("a\xD0z\xE2\x82");
    ASSERT_EQ(wide.size(), 4u);
    EXPECT_EQ(wide[0], U16('a'));
    EXPECT_EQ(wide[1], static_cast<WCHAR>(0xFFFD));
    EXPECT_EQ(wide[2], U16('z'));
    EXPECT_EQ(wide[3], static_cast<WCHAR>(0xFFFD));
}

}  // namespace
