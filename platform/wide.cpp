#include "platform/wide.h"

namespace platform {

WString widenAscii(std::string_view text) {
    WString wide;
    wide.reserve(text.size());
    for (char c : text) {
        wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    }
    return wide;
}

WString utf8ToWide(std::string_view text) {
    WString wide;
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        size_t length = 1;
        if (byte < 0x80) {
            code = byte;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            code = byte & 0x07;
        }
        if (length > 1) {
            if (i + length > text.size()) {
                code = 0xFFFD;
                length = text.size() - i;
            } else {
                for (size_t k = 1; k < length; ++k) {
                    auto next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        code = 0xFFFD;
                        length = k;
                        break;
                    }
                    code = (code << 6) | (next & 0x3F);
                }
            }
        }
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            wide.push_back(static_cast<WCHAR>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<WCHAR>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<WCHAR>(code > 0x10FFFF ? 0xFFFD : code));
        }
        i += length;
    }
    return wide;
}

std::string wideToUtf8(WStringView text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = static_cast<uint16_t>(text[i]);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size()) {
            uint32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

}  // namespace platform
