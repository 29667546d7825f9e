// UTF-16 text on both builds: WCHAR is wchar_t on Windows and char16_t elsewhere (never the 32-bit
// wchar_t of Linux), so item IDs and names have one size and one byte order everywhere.
#pragma once

#include "platform/win.h"

#include <string>
#include <string_view>

#ifdef _WIN32
#define U16(literal) L##literal
#else
#define U16(literal) u##literal
#endif

namespace platform {

using WString = std::basic_string<WCHAR>;
using WStringView = std::basic_string_view<WCHAR>;

// Length of a zero-terminated UTF-16 text (wcslen is 32-bit on Linux).
inline size_t wideLength(const WCHAR* text) {
    return std::char_traits<WCHAR>::length(text);
}

// ASCII-only widening, for the fixed identifiers the server builds (item IDs, GUID texts).
WString widenAscii(std::string_view text);
// UTF-8 <-> UTF-16 for messages and test output.
WString utf8ToWide(std::string_view text);
std::string wideToUtf8(WStringView text);

}  // namespace platform
