// Code page 1251 (Cyrillic), the 8-bit text of the log, the configuration file and the
// configurator. Portable: the same table on both builds, so the bytes do not depend on the
// machine's ANSI code page.
#pragma once

#include "platform/wide.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// What a character that code page 1251 cannot hold becomes.
inline constexpr char kCp1251Replacement = '?';

// UTF-16 unit of every byte. 0x98 is no character of the code page; like Windows it reads as
// U+0098 and U+0098 writes back as 0x98, so bytes survive a round trip.
inline constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

inline constexpr uint8_t kCp1251UnmappedByte = 0x98;

constexpr char16_t cp1251ToUnit(uint8_t byte) {
    return byte < 0x80 ? static_cast<char16_t>(byte) : kCp1251High[byte - 0x80];
}

// False only for 0x98, the one byte that stands for no character.
constexpr bool cp1251IsCharacter(uint8_t byte) {
    return byte != kCp1251UnmappedByte;
}

// The byte of a UTF-16 unit, or kCp1251Replacement when the code page cannot hold it (surrogates
// included: a pair becomes two replacements, as Windows writes it).
constexpr char unitToCp1251(char16_t unit) {
    if (unit < 0x80) {
        return static_cast<char>(unit);
    }
    if (unit >= 0x0410 && unit <= 0x044F) {
        return static_cast<char>(0xC0 + (unit - 0x0410));
    }
    for (size_t i = 0; i < kCp1251High.size(); ++i) {
        if (kCp1251High[i] == unit) {
            return static_cast<char>(0x80 + i);
        }
    }
    return kCp1251Replacement;
}

// Decodes one UTF-8 sequence at text[pos] and advances pos; a broken sequence gives U+FFFD and
// consumes what belongs to it.
constexpr char32_t nextUtf8(std::string_view text, size_t& pos) {
    auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    size_t more = 0;
    char32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        more = 1;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        more = 2;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        more = 3;
        code = lead & 0x07;
    } else {
        return 0xFFFD;
    }
    for (size_t k = 0; k < more; ++k) {
        if (pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        code = (code << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3F);
    }
    return code;
}

constexpr char codePointToCp1251(char32_t code) {
    return code > 0xFFFF ? kCp1251Replacement : unitToCp1251(static_cast<char16_t>(code));
}

// A UTF-8 literal turned into code page 1251 at compile time, so the program's own Russian texts
// stay readable in the sources and are converted once. Zero-terminated.
template <size_t N>
struct Cp1251Text {
    char bytes[N] = {};  // never longer than the UTF-8 it came from
    size_t size = 0;

    consteval Cp1251Text(const char (&utf8)[N]) {
        std::string_view text(utf8, N - 1);
        size_t pos = 0;
        while (pos < text.size()) {
            bytes[size++] = codePointToCp1251(nextUtf8(text, pos));
        }
        bytes[size] = '\0';
    }

    constexpr const char* c_str() const { return bytes; }
    constexpr std::string_view view() const { return std::string_view(bytes, size); }
    // Lets a text stand where the log and the dialogs take a C string.
    constexpr operator const char*() const { return bytes; }
};

std::string wideToCp1251(WStringView text);
WString cp1251ToWide(std::string_view bytes);
std::string utf8ToCp1251(std::string_view text);
std::string cp1251ToUtf8(std::string_view bytes);

}  // namespace platform
