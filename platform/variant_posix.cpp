// VARIANT, BSTR and VariantChangeType of the stand-in, with the results oleaut32 gives in the
// en-US locale (whatever LCID is passed): integers round half to even, out-of-range values give
// DISP_E_OVERFLOW, VARIANT_TRUE is -1, text is formatted and parsed as en-US does.
#include "platform/win.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

// Bytes of the BSTR length prefix, and the longest text we hand out (as oleaut32 refuses more).
constexpr size_t kPrefixBytes = sizeof(DWORD);
constexpr UINT kMaxBstrBytes = 0x7FFFFFF0u;
constexpr double kDateMin = -657434.0;  // 1 January 100
constexpr double kDateMax = 2958465.0;  // 31 December 9999
constexpr int64_t kCyScale = 10000;

BSTR allocateBstr(const void* bytes, UINT byteLength) {
    if (byteLength > kMaxBstrBytes) {
        return nullptr;
    }
    // The prefix, the bytes, and a two-byte terminator even after an odd byte count.
    auto* block = static_cast<char*>(std::malloc(kPrefixBytes + byteLength + sizeof(OLECHAR) + 1));
    if (block == nullptr) {
        return nullptr;
    }
    DWORD prefix = byteLength;
    std::memcpy(block, &prefix, sizeof prefix);
    char* text = block + kPrefixBytes;
    if (bytes != nullptr) {
        std::memcpy(text, bytes, byteLength);
    } else {
        std::memset(text, 0, byteLength);
    }
    std::memset(text + byteLength, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(text);
}

BSTR bstrFromAscii(const std::string& text) {
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (result != nullptr) {
        for (size_t i = 0; i < text.size(); ++i) {
            result[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
        }
    }
    return result;
}

// VARTYPEs oleaut32 accepts in a VARIANT: plain types below VT_VOID (but not 15) and VT_RECORD,
// with VT_ARRAY or VT_BYREF only on real types; VT_VECTOR and VT_RESERVED never.
bool isValidType(VARTYPE type) {
    VARTYPE base = type & VT_TYPEMASK;
    VARTYPE extra = type & ~VT_TYPEMASK;
    if ((extra & (VT_VECTOR | VT_RESERVED)) != 0) {
        return false;
    }
    if (base >= VT_VOID && base != VT_RECORD) {
        return false;
    }
    if (base == 15) {
        return false;
    }
    if ((extra & (VT_ARRAY | VT_BYREF)) != 0 && base <= VT_NULL) {
        return false;
    }
    return true;
}

// The value of a source VARIANT in the few shapes the conversions need.
struct Source {
    enum Kind { Empty, Null, Signed, Unsigned, Real, Currency, Date, Bool, Text, Other } kind;
    int64_t integer = 0;
    uint64_t unsignedInteger = 0;
    double real = 0.0;
    bool fromSingle = false;  // VT_R4: seven significant digits as text
    int bits = 0;             // width of an integer source
    BSTR text = nullptr;
};

// clang-format off
Source describe(const VARIANT& v) {
    Source s{Source::Other};
    auto integer = [&s](int64_t value, int bits) {
        s.kind = Source::Signed;
        s.integer = value;
        s.bits = bits;
    };
    auto natural = [&s](uint64_t value, int bits) {
        s.kind = Source::Unsigned;
        s.unsignedInteger = value;
        s.bits = bits;
    };
    auto real = [&s](Source::Kind kind, double value) {
        s.kind = kind;
        s.real = value;
    };
    switch (v.vt) {
        case VT_EMPTY: s.kind = Source::Empty; break;
        case VT_NULL: s.kind = Source::Null; break;
        case VT_I1: integer(v.cVal, 8); break;
        case VT_I2: integer(v.iVal, 16); break;
        case VT_I4: integer(v.lVal, 32); break;
        case VT_INT: integer(v.intVal, 32); break;
        case VT_I8: integer(v.llVal, 64); break;
        case VT_UI1: natural(v.bVal, 8); break;
        case VT_UI2: natural(v.uiVal, 16); break;
        case VT_UI4: natural(v.ulVal, 32); break;
        case VT_UINT: natural(v.uintVal, 32); break;
        case VT_UI8: natural(v.ullVal, 64); break;
        case VT_R4:
            real(Source::Real, v.fltVal);
            s.fromSingle = true;
            break;
        case VT_R8: real(Source::Real, v.dblVal); break;
        case VT_DATE: real(Source::Date, v.date); break;
        case VT_CY:
            s.kind = Source::Currency;
            s.integer = v.cyVal.int64;
            break;
        case VT_BOOL:
            s.kind = Source::Bool;
            s.integer = v.boolVal;
            break;
        case VT_BSTR:
            s.kind = Source::Text;
            s.text = v.bstrVal;
            break;
        default: break;
    }
    return s;
}
// clang-format on

// Round half to even, as oleaut32 rounds every real to an integer (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value) {
    double whole = std::floor(value);
    double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    return whole;
}

// Currency (a count of 1/10000) to an integer, rounding half to even without leaving integers.
int64_t currencyToInteger(int64_t value) {
    int64_t quotient = value / kCyScale;
    int64_t remainder = value % kCyScale;
    bool odd = (quotient % 2) != 0;
    if (remainder > kCyScale / 2 || (remainder == kCyScale / 2 && odd)) {
        ++quotient;
    } else if (remainder < -kCyScale / 2 || (remainder == -kCyScale / 2 && odd)) {
        --quotient;
    }
    return quotient;
}

// A number read from text: exact when it is an integer that fits 64 bits, else a double.
struct ParsedNumber {
    bool isInteger = false;
    bool hex = false;  // "&H" or "&O": unsigned bits, fitted to the target's width
    bool negative = false;
    uint64_t magnitude = 0;
    double real = 0.0;
};

bool isBlank(OLECHAR c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' ||
           c == 0xA0;
}

bool isDigit(OLECHAR c) {
    return c >= u'0' && c <= u'9';
}

// Numbers as VarParseNumFromStr reads them in en-US: blanks around, a leading or trailing sign or
// parentheses, '$', ',' between integer digits, '.' and an exponent. DISP_E_TYPEMISMATCH for any
// other text, DISP_E_OVERFLOW beyond the range of a double.
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

// Any source as a signed or unsigned integer within [minimum, maximum].
template <typename T>
HRESULT toInteger(const Source& s, T& out) {
    using Limits = std::numeric_limits<T>;
    constexpr int kBits = Limits::digits + Limits::is_signed;
    switch (s.kind) {
        case Source::Empty:
            out = 0;
            return S_OK;
        case Source::Bool:
            // oleaut32 casts the -1 of VARIANT_TRUE: 255 as VT_UI1, 65535 as VT_UI2.
            out = static_cast<T>(s.integer);
            return S_OK;
        case Source::Signed:
            // Between integers of one width oleaut32 keeps the bits: -1 as VT_UI4 is 4294967295.
            if (s.bits == kBits) {
                out = static_cast<T>(s.integer);
                return S_OK;
            }
            if (s.integer < static_cast<int64_t>(Limits::min()) ||
                (s.integer > 0 && static_cast<uint64_t>(s.integer) > Limits::max())) {
                return DISP_E_OVERFLOW;
            }
            out = static_cast<T>(s.integer);
            return S_OK;
        case Source::Unsigned:
            if (s.bits == kBits) {
                out = static_cast<T>(s.unsignedInteger);
                return S_OK;
            }
            if (s.unsignedInteger > static_cast<uint64_t>(Limits::max())) {
                return DISP_E_OVERFLOW;
            }
            out = static_cast<T>(s.unsignedInteger);
            return S_OK;
        case Source::Currency: {
            Source whole{Source::Signed};
            whole.integer = currencyToInteger(s.integer);
            return toInteger(whole, out);
        }
        case Source::Real:
        case Source::Date: {
            double value = s.real;
            if (std::isnan(value)) {
                return DISP_E_OVERFLOW;
            }
            double rounded = roundHalfEven(value);
            // Limits::max() + 1 is a power of two, exact as a double even for 64 bits. For VT_I8
            // oleaut32 takes only reals within +-2^62.
            double above = static_cast<double>(Limits::max() / 2 + 1) * 2.0;
            double below = static_cast<double>(Limits::min());
            if (Limits::is_signed && kBits == 64) {
                above = 4611686018427387904.0;
                below = -above;
            }
            if (rounded < below || rounded >= above) {
                return DISP_E_OVERFLOW;
            }
            out = static_cast<T>(rounded);
            return S_OK;
        }
        case Source::Text: {
            ParsedNumber number;
            HRESULT hr = parseNumber(s.text, number);
            if (FAILED(hr)) {
                return hr;
            }
            Source parsed{Source::Real};
            if (number.hex) {
                if constexpr (kBits < 64) {
                    if (number.magnitude >> kBits != 0) {
                        return DISP_E_OVERFLOW;
                    }
                }
                out = static_cast<T>(number.magnitude);
                return S_OK;
            }
            if (number.isInteger && !number.negative) {
                parsed.kind = Source::Unsigned;
                parsed.unsignedInteger = number.magnitude;
            } else if (number.isInteger && number.magnitude <= (uint64_t{1} << 63)) {
                parsed.kind = Source::Signed;
                parsed.integer = static_cast<int64_t>(0 - number.magnitude);
            } else {
                parsed.real = number.real;
            }
            return toInteger(parsed, out);
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// Any source as a double, the way VarR8From... reads it.
HRESULT toDouble(const Source& s, double& out) {
    switch (s.kind) {
        case Source::Empty:
            out = 0.0;
            return S_OK;
        case Source::Bool:
        case Source::Signed:
            out = static_cast<double>(s.integer);
            return S_OK;
        case Source::Unsigned:
            out = static_cast<double>(s.unsignedInteger);
            return S_OK;
        case Source::Real:
        case Source::Date:
            out = s.real;
            return S_OK;
        case Source::Currency:
            out = static_cast<double>(s.integer) / kCyScale;
            return S_OK;
        case Source::Text: {
            ParsedNumber number;
            HRESULT hr = parseNumber(s.text, number);
            if (SUCCEEDED(hr)) {
                out = number.real;
            }
            return hr;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

HRESULT toSingle(const Source& s, float& out) {
    double value = 0.0;
    HRESULT hr = toDouble(s, value);
    if (FAILED(hr)) {
        return hr;
    }
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
        return DISP_E_OVERFLOW;
    }
    out = static_cast<float>(value);
    return S_OK;
}

HRESULT toCurrency(const Source& s, CY& out) {
    switch (s.kind) {
        case Source::Currency:
            out.int64 = s.integer;
            return S_OK;
        case Source::Signed:
        case Source::Bool:
            if (s.integer >= std::numeric_limits<int64_t>::max() / kCyScale ||
                s.integer <= std::numeric_limits<int64_t>::min() / kCyScale) {
                return DISP_E_OVERFLOW;
            }
            out.int64 = s.integer * kCyScale;
            return S_OK;
        case Source::Unsigned:
            if (s.unsignedInteger >=
                static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / kCyScale)) {
                return DISP_E_OVERFLOW;
            }
            out.int64 = static_cast<int64_t>(s.unsignedInteger) * kCyScale;
            return S_OK;
        default:
            break;
    }
    double value = 0.0;
    HRESULT hr = toDouble(s, value);
    if (FAILED(hr)) {
        return hr;
    }
    // Text, too, goes through a double, as in oleaut32 ("-0.00005" is just below -0.5 units).
    double scaled = roundHalfEven(value * kCyScale);
    if (std::isnan(scaled) || scaled < -9223372036854775808.0 || scaled >= 9223372036854775808.0) {
        return DISP_E_OVERFLOW;
    }
    out.int64 = static_cast<int64_t>(scaled);
    return S_OK;
}

HRESULT toBool(const Source& s, VARIANT_BOOL& out) {
    if (s.kind == Source::Text) {
        // The English words always; oleaut32 tries the locale's words first, en-US here.
        if (s.text != nullptr &&
            (equalsIgnoringCase(s.text, "true") || equalsIgnoringCase(s.text, "#true#"))) {
            out = VARIANT_TRUE;
            return S_OK;
        }
        if (s.text != nullptr &&
            (equalsIgnoringCase(s.text, "false") || equalsIgnoringCase(s.text, "#false#"))) {
            out = VARIANT_FALSE;
            return S_OK;
        }
    }
    double value = 0.0;
    HRESULT hr = toDouble(s, value);
    if (SUCCEEDED(hr)) {
        out = value != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return hr;
}

std::string twoDigits(int value) {
    std::string text = std::to_string(value);
    return value < 10 ? "0" + text : text;
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

// Reals as oleaut32 writes them: %G with 7 (single) or 15 (double) significant digits, an
// upper-case exponent of at least two digits ("1E+20", "1.5E-05"), no sign on a zero.
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

HRESULT toText(const Source& s, USHORT flags, BSTR& out) {
    std::string text;
    switch (s.kind) {
        case Source::Empty:
            break;
        case Source::Signed:
            text = std::to_string(s.integer);
            break;
        case Source::Unsigned:
            text = std::to_string(s.unsignedInteger);
            break;
        case Source::Real:
            text = formatReal(s.real, s.fromSingle ? 7 : 15);
            break;
        case Source::Currency:
            text = formatCurrency(s.integer);
            break;
        case Source::Date: {
            HRESULT hr = formatDate(s.real, text);
            if (FAILED(hr)) {
                return hr;
            }
            break;
        }
        case Source::Bool:
            // Without VARIANT_ALPHABOOL a boolean is written as the number it is.
            if ((flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
                text = s.integer != 0 ? "True" : "False";
            } else {
                text = std::to_string(s.integer);
            }
            break;
        case Source::Text:
            out = SysAllocStringLen(s.text, SysStringLen(s.text));
            return out != nullptr || s.text == nullptr ? S_OK : E_OUTOFMEMORY;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    out = bstrFromAscii(text);
    return out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Dates in the en-US forms "M/D/YYYY", "YYYY-MM-DD", each with an optional time "H:MM[:SS]" and
// "AM"/"PM", or a time alone. Other forms that oleaut32 also reads are refused here.
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

HRESULT toDate(const Source& s, double& out) {
    if (s.kind == Source::Text) {
        return parseDate(s.text, out);
    }
    double value = 0.0;
    HRESULT hr = toDouble(s, value);
    if (FAILED(hr)) {
        return hr;
    }
    // oleaut32 checks the range for doubles and integers, but takes singles and currency as
    // they are.
    if ((s.kind == Source::Real && s.fromSingle) || s.kind == Source::Currency) {
        out = value;
        return S_OK;
    }
    if (std::isnan(value) || value <= kDateMin - 1.0 || value >= kDateMax + 1.0) {
        return DISP_E_OVERFLOW;
    }
    out = value;
    return S_OK;
}

bool isConvertibleKind(const Source& s) {
    return s.kind != Source::Other && s.kind != Source::Null;
}

// Converts a dereferenced, non-array source into `result`, which is empty on entry.
HRESULT coerce(VARIANT& result, const VARIANT& source, USHORT flags, VARTYPE type) {
    Source s = describe(source);
    if (type == source.vt) {
        return VariantCopy(&result, const_cast<VARIANT*>(&source));
    }
    if (s.kind == Source::Other) {
        return DISP_E_TYPEMISMATCH;
    }
    HRESULT hr = DISP_E_TYPEMISMATCH;
    switch (type) {
        case VT_EMPTY:
            hr = s.kind == Source::Null ? DISP_E_TYPEMISMATCH : S_OK;
            break;
        case VT_NULL:
            hr = S_OK;
            break;
        case VT_I1:
            hr = isConvertibleKind(s) ? toInteger(s, result.cVal) : hr;
            break;
        case VT_I2:
            hr = isConvertibleKind(s) ? toInteger(s, result.iVal) : hr;
            break;
        case VT_I4:
            hr = isConvertibleKind(s) ? toInteger(s, result.lVal) : hr;
            break;
        case VT_INT:
            hr = isConvertibleKind(s) ? toInteger(s, result.intVal) : hr;
            break;
        case VT_I8:
            hr = isConvertibleKind(s) ? toInteger(s, result.llVal) : hr;
            break;
        case VT_UI1:
            hr = isConvertibleKind(s) ? toInteger(s, result.bVal) : hr;
            break;
        case VT_UI2:
            hr = isConvertibleKind(s) ? toInteger(s, result.uiVal) : hr;
            break;
        case VT_UI4:
            hr = isConvertibleKind(s) ? toInteger(s, result.ulVal) : hr;
            break;
        case VT_UINT:
            hr = isConvertibleKind(s) ? toInteger(s, result.uintVal) : hr;
            break;
        case VT_UI8:
            hr = isConvertibleKind(s) ? toInteger(s, result.ullVal) : hr;
            break;
        case VT_R4:
            hr = isConvertibleKind(s) ? toSingle(s, result.fltVal) : hr;
            break;
        case VT_R8:
            hr = isConvertibleKind(s) ? toDouble(s, result.dblVal) : hr;
            break;
        case VT_CY:
            hr = isConvertibleKind(s) ? toCurrency(s, result.cyVal) : hr;
            break;
        case VT_DATE:
            hr = isConvertibleKind(s) ? toDate(s, result.date) : hr;
            break;
        case VT_BOOL:
            hr = isConvertibleKind(s) ? toBool(s, result.boolVal) : hr;
            break;
        case VT_BSTR:
            hr = isConvertibleKind(s) ? toText(s, flags, result.bstrVal) : hr;
            break;
        // Windows converts numbers to VT_DECIMAL; the stand-in does not, and says so.
        case VT_DECIMAL:
            hr = E_NOTIMPL;
            break;
        default:
            break;
    }
    if (SUCCEEDED(hr)) {
        result.vt = type;
    }
    return hr;
}

}  // namespace

extern "C" BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<UINT>(std::char_traits<OLECHAR>::length(text)));
}

extern "C" BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > kMaxBstrBytes / sizeof(OLECHAR)) {
        return nullptr;
    }
    return allocateBstr(text, length * static_cast<UINT>(sizeof(OLECHAR)));
}

extern "C" BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length) {
    return allocateBstr(bytes, length);
}

extern "C" void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(reinterpret_cast<char*>(text) - kPrefixBytes);
    }
}

extern "C" UINT SysStringByteLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(text) - kPrefixBytes, sizeof prefix);
    return prefix;
}

extern "C" UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

extern "C" void VariantInit(VARIANTARG* variant) {
    variant->vt = VT_EMPTY;
}

extern "C" HRESULT VariantClear(VARIANTARG* variant) {
    if (!isValidType(variant->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if ((variant->vt & VT_BYREF) == 0) {
        switch (variant->vt) {
            case VT_BSTR:
                SysFreeString(variant->bstrVal);
                break;
            case VT_UNKNOWN:
                if (variant->punkVal != nullptr) {
                    variant->punkVal->Release();
                }
                break;
            case VT_DISPATCH:
                if (variant->pdispVal != nullptr) {
                    reinterpret_cast<IUnknown*>(variant->pdispVal)->Release();
                }
                break;
            default:
                break;  // the stand-in makes no SAFEARRAYs or records
        }
    }
    variant->vt = VT_EMPTY;
    return S_OK;
}

extern "C" HRESULT VariantCopy(VARIANTARG* destination, VARIANTARG* source) {
    if (!isValidType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (destination == source) {
        return S_OK;
    }
    HRESULT hr = VariantClear(destination);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *source;
    if ((source->vt & VT_BYREF) == 0) {
        if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (copy.bstrVal == nullptr) {
                return E_OUTOFMEMORY;
            }
        } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) &&
                   source->punkVal != nullptr) {
            source->punkVal->AddRef();
        }
    }
    *destination = copy;
    return S_OK;
}

extern "C" HRESULT VariantCopyInd(VARIANT* destination, VARIANTARG* source) {
    if ((source->vt & VT_BYREF) == 0) {
        return VariantCopy(destination, source);
    }
    if (!isValidType(source->vt)) {
        return DISP_E_BADVARTYPE;
    }
    VARTYPE base = source->vt & ~VT_BYREF;
    if (source->byref == nullptr) {
        return DISP_E_TYPEMISMATCH;
    }
    VARIANT value;
    VariantInit(&value);
    if (base == VT_VARIANT) {
        VARIANT* inner = source->pvarVal;
        if ((inner->vt & VT_BYREF) != 0) {
            return E_INVALIDARG;
        }
        value = *inner;
    } else {
        value.vt = base;
        switch (base) {
            case VT_I1:
            case VT_UI1:
                std::memcpy(&value.bVal, source->byref, 1);
                break;
            case VT_I2:
            case VT_UI2:
            case VT_BOOL:
                std::memcpy(&value.iVal, source->byref, 2);
                break;
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
            case VT_R4:
            case VT_ERROR:
                std::memcpy(&value.lVal, source->byref, 4);
                break;
            case VT_I8:
            case VT_UI8:
            case VT_R8:
            case VT_DATE:
            case VT_CY:
                std::memcpy(&value.llVal, source->byref, 8);
                break;
            case VT_BSTR:
                value.bstrVal = *source->pbstrVal;
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                value.punkVal = *source->ppunkVal;
                break;
            default:
                return DISP_E_BADVARTYPE;
        }
    }
    // Copy the value read through the reference, so BSTRs and interfaces get their own copy.
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &value);
    if (FAILED(hr)) {
        return hr;
    }
    hr = destination == source ? S_OK : VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *destination = copy;
    return S_OK;
}

extern "C" HRESULT VariantChangeTypeEx(VARIANTARG* destination, VARIANTARG* source, LCID,
                                       USHORT flags, VARTYPE type) {
    if (!isValidType(source->vt) || !isValidType(type)) {
        return DISP_E_BADVARTYPE;
    }
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = VariantCopyInd(&value, source);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT result;
    VariantInit(&result);
    if ((value.vt & VT_ARRAY) != 0 || (type & (VT_ARRAY | VT_BYREF)) != 0) {
        // The stand-in has no SAFEARRAYs; a reference is never something to convert into.
        hr = DISP_E_TYPEMISMATCH;
    } else {
        hr = coerce(result, value, flags, type);
    }
    VariantClear(&value);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    // Only now is the destination (possibly the source itself) given up.
    hr = VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    *destination = result;
    return S_OK;
}

extern "C" HRESULT VariantChangeType(VARIANTARG* destination, VARIANTARG* source, USHORT flags,
                                     VARTYPE type) {
    return VariantChangeTypeEx(destination, source, LOCALE_USER_DEFAULT, flags, type);
}
