// VariantChangeType of the stand-in, with the results oleaut32 gives in the en-US locale (whatever
// LCID is passed): integers round half to even, out-of-range values give DISP_E_OVERFLOW,
// VARIANT_TRUE is -1, text is formatted and parsed as en-US does.
#include "platform/posix/variant_parts.h"

#include <cmath>
#include <limits>
#include <string>

namespace {

using namespace platform::variant;

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
