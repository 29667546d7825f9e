// What the three parts of the stand-in's VARIANT support share: the type check and the text helpers
// of the lifetime part, the parsing and formatting of the text part. Only platform/ includes it.
#pragma once

#include "platform/win.h"

#include <cstdint>
#include <string>

namespace platform::variant {

inline constexpr double kDateMin = -657434.0;  // 1 January 100
inline constexpr double kDateMax = 2958465.0;  // 31 December 9999
inline constexpr int64_t kCyScale = 10000;

// VARTYPEs oleaut32 accepts in a VARIANT.
bool isValidType(VARTYPE type);
// A BSTR of the ASCII text; null when out of memory.
BSTR bstrFromAscii(const std::string& text);

// A number read from text: exact when it is an integer that fits 64 bits, else a double.
struct ParsedNumber {
    bool isInteger = false;
    bool hex = false;  // "&H" or "&O": unsigned bits, fitted to the target's width
    bool negative = false;
    uint64_t magnitude = 0;
    double real = 0.0;
};

// Numbers as VarParseNumFromStr reads them in en-US: blanks around, a leading or trailing sign or
// parentheses, '$', ',' between integer digits, '.' and an exponent. DISP_E_TYPEMISMATCH for any
// other text, DISP_E_OVERFLOW beyond the range of a double.
HRESULT parseNumber(BSTR text, ParsedNumber& out);
// Dates in the en-US forms "M/D/YYYY", "YYYY-MM-DD", each with an optional time "H:MM[:SS]" and
// "AM"/"PM", or a time alone. Other forms that oleaut32 also reads are refused here.
HRESULT parseDate(BSTR text, double& out);
bool equalsIgnoringCase(BSTR text, const char* word);

// "M/D/YYYY h:mm:ss AM" as en-US writes an OLE date; E_INVALIDARG outside the date range.
HRESULT formatDate(double date, std::string& out);
// Reals as oleaut32 writes them: %G with 7 (single) or 15 (double) significant digits, an
// upper-case exponent of at least two digits ("1E+20", "1.5E-05"), no sign on a zero.
std::string formatReal(double value, int digits);
std::string formatCurrency(int64_t value);

}  // namespace platform::variant
