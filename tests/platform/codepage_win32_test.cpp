// The portable table against the code page 1251 of the Windows API (Wine in the test runs).
#include "platform/codepage.h"
#include "platform/win.h"

#include <gtest/gtest.h>

namespace {

char windowsByte(WCHAR unit, DWORD flags) {
    char out[4] = {};
    int written = WideCharToMultiByte(1251, flags, &unit, 1, out, sizeof out, nullptr, nullptr);
    EXPECT_EQ(written, 1) << std::hex << int(unit);
    return out[0];
}

TEST(Cp1251Windows, AllBytesMatchMultiByteToWideChar) {
    for (int byte = 0; byte < 256; ++byte) {
        char in = static_cast<char>(byte);
        WCHAR out[2] = {};
        ASSERT_EQ(MultiByteToWideChar(1251, 0, &in, 1, out, 2), 1) << byte;
        EXPECT_EQ(static_cast<char16_t>(out[0]), platform::cp1251ToUnit(static_cast<uint8_t>(byte)))
            << std::hex << byte;
    }
}

// Without best fit Windows writes exactly what the table holds and '?' for everything else; the
// portable conversion must agree on every unit.
TEST(Cp1251Windows, EveryUnitMatchesWideCharToMultiByteWithoutBestFit) {
    int mismatches = 0;
    for (int unit = 1; unit < 0x10000; ++unit) {
        auto w = static_cast<WCHAR>(unit);
        if (windowsByte(w, WC_NO_BEST_FIT_CHARS) !=
            platform::unitToCp1251(static_cast<char16_t>(w))) {
            ADD_FAILURE() << "U+" << std::hex << unit;
            if (++mismatches > 20) {
                break;
            }
        }
    }
}

TEST(Cp1251Windows, DefaultConversionAgreesOnTextsOfTheProgram) {
    const platform::WString text = platform::utf8ToWide("Ошибка! №1 «Ёё» – € … MovraConnect 中");
    std::string windows(text.size() * 2, '\0');
    int written = WideCharToMultiByte(1251, 0, reinterpret_cast<const wchar_t*>(text.data()),
                                      static_cast<int>(text.size()), windows.data(),
                                      static_cast<int>(windows.size()), nullptr, nullptr);
    windows.resize(static_cast<size_t>(written));
    EXPECT_EQ(platform::wideToCp1251(text), windows);
}

// The one chosen difference: by default Windows writes a best fit for some Latin letters
// ('é' as 'e'); the project keeps '?' so that a changed letter is visible, not silent.
TEST(Cp1251Windows, DefaultBestFitIsNotCopied) {
    EXPECT_EQ(windowsByte(0x00E9, 0), 'e');
    EXPECT_EQ(platform::unitToCp1251(0x00E9), '?');
}

}  // namespace
