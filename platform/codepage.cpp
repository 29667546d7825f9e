#include "platform/codepage.h"

namespace platform {

std::string wideToCp1251(WStringView text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (WCHAR unit : text) {
        bytes.push_back(unitToCp1251(static_cast<char16_t>(unit)));
    }
    return bytes;
}

WString cp1251ToWide(std::string_view bytes) {
    WString wide;
    wide.reserve(bytes.size());
    for (char byte : bytes) {
        wide.push_back(static_cast<WCHAR>(cp1251ToUnit(static_cast<uint8_t>(byte))));
    }
    return wide;
}

std::string utf8ToCp1251(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        bytes.push_back(codePointToCp1251(nextUtf8(text, pos)));
    }
    return bytes;
}

std::string cp1251ToUtf8(std::string_view bytes) {
    return wideToUtf8(cp1251ToWide(bytes));
}

}  // namespace platform
