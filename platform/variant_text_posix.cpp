// Text of the stand-in's VARIANT conversions: numbers and dates read and written as oleaut32 does
// in the en-US locale, whatever LCID is passed.
#include "platform/posix/variant_parts.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace platform::variant {

namespace {

bool isBlank(OLECHAR c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' ||
           c == 0xA0;
}

bool isDigit(OLECHAR c) {
    return c >= u'0' && c <= u'9';
}

std::string twoDigits(int value) {
    std::string text = std::to_string(value);
    return value < 10 ? "0" + text : text;
}

}  // namespace

HRESULT parseNumber(BSTR text, ParsedNumber& out) {
    if (text == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    const OLECHAR* p = text;
    const OLECHAR* end = text + SysStringLen(text);
    auto skipBlanks = [&] {
        while (p < end && isBlank(*p)) {
            ++p;
        }
    };
    bool negative = false;
    bool signSeen = false;
    bool parentheses = false;
    bool currency = false;
    skipBlanks();
    if (p < end && (*p == u'+' || *p == u'-')) {
        const OLECHAR* afterSign = p + 1;
        while (afterSign < end && isBlank(*afterSign)) {
            ++afterSign;
        }
        if (afterSign < end && *afterSign == u'&') {
            p = afterSign;  // oleaut32 ignores a sign before "&H"
        }
    }
    if (p + 1 < end && *p == u'&') {
        unsigned base = (p[1] == u'H' || p[1] == u'h')   ? 16
                        : (p[1] == u'O' || p[1] == u'o') ? 8
                                                         : 0;
        if (base == 0) {
            return DISP_E_TYPEMISMATCH;
        }
        p += 2;
        uint64_t value = 0;
        bool any = false;
        for (; p < end; ++p) {
            unsigned digit = isDigit(*p)                  ? *p - u'0'
                             : (*p >= u'A' && *p <= u'F') ? *p - u'A' + 10
                             : (*p >= u'a' && *p <= u'f') ? *p - u'a' + 10
                                                          : 99;
            if (digit >= base) {
                break;
            }
            if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) {
                return DISP_E_OVERFLOW;
            }
            value = value * base + digit;
            any = true;
        }
        skipBlanks();
        if (!any || p != end) {
            return DISP_E_TYPEMISMATCH;
        }
        out.isInteger = true;
        out.hex = true;
        out.magnitude = value;
        out.real = static_cast<double>(value);
        return S_OK;
    }
    for (;;) {
        if (p < end && (*p == u'+' || *p == u'-') && !signSeen && !parentheses) {
            negative = *p == u'-';
            signSeen = true;
        } else if (p < end && *p == u'(' && !signSeen && !parentheses) {
            parentheses = true;
        } else if (p < end && *p == u'$' && !currency) {
            currency = true;
        } else {
            break;
        }
        ++p;
        skipBlanks();
    }
    std::string digits;
    std::string fraction;
    std::string exponent;
    while (p < end && (isDigit(*p) || (*p == u',' && !digits.empty()))) {
        if (*p != u',') {
            digits += static_cast<char>(*p);
        }
        ++p;
    }
    if (p < end && *p == u'.') {
        ++p;
        while (p < end && isDigit(*p)) {
            fraction += static_cast<char>(*p);
            ++p;
        }
    }
    if (digits.empty() && fraction.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (p < end && (*p == u'e' || *p == u'E')) {
        const OLECHAR* mark = p;
        ++p;
        std::string candidate;
        if (p < end && (*p == u'+' || *p == u'-')) {
            candidate += static_cast<char>(*p);
            ++p;
        }
        if (p < end && isDigit(*p)) {
            while (p < end && isDigit(*p)) {
                candidate += static_cast<char>(*p);
                ++p;
            }
            exponent = candidate;
        } else {
            p = mark;
        }
    }
    skipBlanks();
    if (parentheses) {
        if (p >= end || *p != u')') {
            return DISP_E_TYPEMISMATCH;
        }
        negative = true;
        ++p;
    } else if (!signSeen && p < end && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        ++p;
    }
    skipBlanks();
    if (p != end) {
        return DISP_E_TYPEMISMATCH;
    }

    out.negative = negative;
    std::string number = (digits.empty() ? "0" : digits);
    if (fraction.find_first_not_of('0') == std::string::npos && exponent.empty()) {
        auto [next, error] =
            std::from_chars(number.data(), number.data() + number.size(), out.magnitude);
        if (error == std::errc()) {
            out.isInteger = true;
            out.real = static_cast<double>(out.magnitude) * (negative ? -1.0 : 1.0);
            return S_OK;
        }
    }
    if (!fraction.empty()) {
        number += "." + fraction;
    }
    if (!exponent.empty()) {
        number += "e" + exponent;
    }
    double magnitude = 0.0;
    auto [next, error] = std::from_chars(number.data(), number.data() + number.size(), magnitude);
    if (error == std::errc::result_out_of_range) {
        // Tiny magnitudes read as zero; huge ones overflow.
        bool tiny = !exponent.empty() && exponent[0] == '-';
        if (!tiny) {
            return DISP_E_OVERFLOW;
        }
        magnitude = 0.0;
    } else if (error != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    out.real = negative ? -magnitude : magnitude;
    return S_OK;
}

bool equalsIgnoringCase(BSTR text, const char* word) {
    UINT length = SysStringLen(text);
    if (length != std::strlen(word)) {
        return false;
    }
    for (UINT i = 0; i < length; ++i) {
        OLECHAR c = text[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<OLECHAR>(c - u'A' + u'a');
        }
        if (c != static_cast<OLECHAR>(word[i])) {
            return false;
        }
    }
    return true;
}

HRESULT formatDate(double date, std::string& out) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st)) {
        return E_INVALIDARG;
    }
    // Which parts are shown is decided before the time is rounded to the second.
    bool hasTime = date != std::trunc(date);
    bool hasDate = std::trunc(date) != 0.0;
    // The date alone at midnight, the time alone on day 0 (so 0.0 is "12:00:00 AM").
    std::string text;
    if (hasDate) {
        text = std::to_string(st.wMonth) + "/" + std::to_string(st.wDay) + "/" +
               std::to_string(st.wYear);
    }
    if (hasTime || !hasDate) {
        int hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        if (!text.empty()) {
            text += " ";
        }
        text += std::to_string(hour12) + ":" + twoDigits(st.wMinute) + ":" + twoDigits(st.wSecond) +
                (st.wHour < 12 ? " AM" : " PM");
    }
    out = text;
    return S_OK;
}

std::string formatReal(double value, int digits) {
    if (value == 0.0) {
        return "0";
    }
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    char buffer[64];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
    std::string text(buffer, error == std::errc() ? end : buffer);
    for (char& c : text) {
        if (c == 'e') {
            c = 'E';
        }
    }
    return text;
}

std::string formatCurrency(int64_t value) {
    bool negative = value < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string text = std::to_string(magnitude / kCyScale);
    uint64_t fraction = magnitude % kCyScale;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction + kCyScale).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return negative ? "-" + text : text;
}

HRESULT parseDate(BSTR text, double& out) {
    if (text == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    std::string ascii;
    for (UINT i = 0; i < SysStringLen(text); ++i) {
        if (text[i] > 0x7F) {
            return DISP_E_TYPEMISMATCH;
        }
        char c = static_cast<char>(text[i]);
        ascii += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    size_t pos = 0;
    auto skip = [&] {
        while (pos < ascii.size() && ascii[pos] == ' ') {
            ++pos;
        }
    };
    auto number = [&](int& value, size_t& width) {
        size_t start = pos;
        value = 0;
        while (pos < ascii.size() && ascii[pos] >= '0' && ascii[pos] <= '9' && pos - start < 5) {
            value = value * 10 + (ascii[pos] - '0');
            ++pos;
        }
        width = pos - start;
        return width > 0;
    };
    SYSTEMTIME st{};
    st.wYear = 1899;
    st.wMonth = 12;
    st.wDay = 30;
    bool any = false;
    skip();
    size_t save = pos;
    int a = 0, b = 0, c = 0;
    size_t wa = 0, wb = 0, wc = 0;
    if (number(a, wa) && pos < ascii.size() && (ascii[pos] == '/' || ascii[pos] == '-')) {
        char separator = ascii[pos++];
        if (!number(b, wb) || pos >= ascii.size() || ascii[pos] != separator) {
            return DISP_E_TYPEMISMATCH;
        }
        ++pos;
        if (!number(c, wc)) {
            return DISP_E_TYPEMISMATCH;
        }
        if (wa == 4) {
            st.wYear = static_cast<WORD>(a);
            st.wMonth = static_cast<WORD>(b);
            st.wDay = static_cast<WORD>(c);
        } else {
            st.wMonth = static_cast<WORD>(a);
            st.wDay = static_cast<WORD>(b);
            st.wYear = static_cast<WORD>(wc <= 2 ? (c < 30 ? 2000 + c : 1900 + c) : c);
        }
        if (st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 || st.wDay > 31) {
            return DISP_E_TYPEMISMATCH;
        }
        any = true;
        skip();
    } else {
        pos = save;
    }
    save = pos;
    if (number(a, wa) && pos < ascii.size() && ascii[pos] == ':') {
        ++pos;
        if (!number(b, wb)) {
            return DISP_E_TYPEMISMATCH;
        }
        if (pos < ascii.size() && ascii[pos] == ':') {
            ++pos;
            if (!number(c, wc)) {
                return DISP_E_TYPEMISMATCH;
            }
        } else {
            c = 0;
        }
        skip();
        if (ascii.compare(pos, 2, "AM") == 0 || ascii.compare(pos, 2, "PM") == 0) {
            if (a < 1 || a > 12) {
                return DISP_E_TYPEMISMATCH;
            }
            a = a % 12 + (ascii[pos] == 'P' ? 12 : 0);
            pos += 2;
        }
        if (a > 23 || b > 59 || c > 59) {
            return DISP_E_TYPEMISMATCH;
        }
        st.wHour = static_cast<WORD>(a);
        st.wMinute = static_cast<WORD>(b);
        st.wSecond = static_cast<WORD>(c);
        any = true;
        skip();
    } else {
        pos = save;
    }
    if (!any || pos != ascii.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    SYSTEMTIME check{};
    if (!SystemTimeToVariantTime(&st, &out) || !VariantTimeToSystemTime(out, &check) ||
        check.wDay != st.wDay) {
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

}  // namespace platform::variant
