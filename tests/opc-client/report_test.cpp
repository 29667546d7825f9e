// opc-client's texts: times, result codes read from the command line and their descriptions.
#include "tools/opc-client/report.h"

#include "platform/unique_variant.h"
#include "platform/wide.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace movra::client {
namespace {

FILETIME fileTime(uint64_t ticks) {
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

TEST(Report, FileTimesPrintAsUtcWithTheMillisecondsCut) {
    // Ticks of 100 ns since 1601-01-01, computed apart from the code under test.
    struct Case {
        uint64_t ticks;
        const char* text;
    } cases[] = {
        {0, "1601-01-01 00:00:00.000 UTC"},
        {116444736000000000, "1970-01-01 00:00:00.000 UTC"},
        {134413849871239990, "2026-12-10 14:03:07.123 UTC"},  // .1239999 s
        {133537247999990000, "2024-02-29 23:59:59.999 UTC"},
        {125963424000010000, "2000-03-01 00:00:00.001 UTC"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fileTimeText(fileTime(c.ticks)), c.text) << c.ticks;
    }
}

TEST(Report, ResultCodesAreReadAsHexOrDecimal) {
    struct Case {
        const char* text;
        uint32_t code;
    } valid[] = {
        {"0xC0040007", 0xC0040007},  {"0Xc0040007", 0xC0040007},  {"3221487623", 0xC0040007},
        {"-2147467259", 0x80004005}, {"0x4000D", 0x0004000D},     {"0", 0},
        {"4294967295", 0xFFFFFFFF},  {"-2147483648", 0x80000000},
    };
    for (const Case& c : valid) {
        std::optional<HRESULT> code = parseResultCode(c.text);
        ASSERT_TRUE(code.has_value()) << c.text;
        EXPECT_EQ(static_cast<uint32_t>(*code), c.code) << c.text;
    }
    for (const char* text : {"", "0x", "-", "0xG1", "12ab", "4294967296", "0x1C0040007",
                             "-2147483649", "--1", "-0x10", "+5", "0x-5", " 5", "5 "}) {
        EXPECT_FALSE(parseResultCode(text).has_value()) << "'" << text << "'";
    }
}

TEST(Report, ResultTextsNameKnownCodesAndWindowsErrors) {
    struct Case {
        uint32_t code;
        const char* text;
    } cases[] = {
        {0x80004005, "0x80004005 E_FAIL: The operation failed."},
        {0x80040154, "0x80040154 REGDB_E_CLASSNOTREG: The class is not registered."},
        {0x800706BA, "0x800706BA RPC_S_SERVER_UNAVAILABLE: The server process is not available."},
        {0xC0040007,
         "0xC0040007 OPC_E_UNKNOWNITEMID: The item ID is not in the server's address "
         "space."},
        {0x800705B4, "0x800705B4 Windows error 1460"},
        {0x00070005, "0x00070005"},  // not a failure, so not a Windows error either
        {0x12345678, "0x12345678"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resultText(static_cast<HRESULT>(c.code)), c.text);
    }
}

TEST(Report, ServerStatesHaveTheirNames) {
    struct Case {
        int state;
        const char* text;
    } cases[] = {
        {1, "running"}, {2, "failed"},      {3, "no configuration"}, {4, "suspended"},
        {5, "test"},    {6, "unknown (6)"}, {0, "unknown (0)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serverStateText(static_cast<OPCSERVERSTATE>(c.state)), c.text);
    }
}

TEST(Report, QualitiesReadAsWordsFromTheirBits) {
    struct Case {
        WORD quality;
        const char* text;
    } cases[] = {
        {0xC0, "good"},
        {0xD8, "good: local override"},
        {0xC4, "good (0xC4)"},
        {0x00, "bad"},
        {0x04, "bad: configuration error"},
        {0x08, "bad: not connected"},
        {0x0C, "bad: device failure"},
        {0x10, "bad: sensor failure"},
        {0x14, "bad: last known value"},
        {0x18, "bad: comm failure"},
        {0x1C, "bad: out of service"},
        {0x20, "bad (0x20)"},
        {0x41, "uncertain, low limited"},
        {0x44, "uncertain: last usable value"},
        {0x50, "uncertain: sensor not accurate"},
        {0x56, "uncertain: engineering units exceeded, high limited"},
        {0x58, "uncertain: sub-normal"},
        {0x03, "bad, constant"},
        {0x80, "invalid (0x80)"},
        {0x12C0, "good"},  // the vendor byte says nothing here
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qualityText(c.quality), c.text) << c.quality;
    }
}

TEST(Report, OleDatesCountDaysFrom1899AndTimeForwardEvenBeforeIt) {
    // Expected texts computed apart from the code under test.
    struct Case {
        double date;
        const char* text;
    } cases[] = {
        {0.0, "1899-12-30 00:00:00.000"},       {46096.25, "2026-03-15 06:00:00.000"},
        {36526.5, "2000-01-01 12:00:00.000"},   {-1.5, "1899-12-29 12:00:00.000"},
        {-0.25, "1899-12-30 06:00:00.000"},     {2.999999999999, "1900-01-02 00:00:00.000"},
        {2958465.5, "9999-12-31 12:00:00.000"}, {1e300, "invalid date (1e+300)"},
        {-657435.0, "invalid date (-657435)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(oleDateText(c.date), c.text) << c.date;
    }
}

TEST(Report, VariantsPrintInTheirShortestExactForm) {
    VARIANT value{};
    auto text = [&](VARTYPE type, auto set) {
        value.vt = type;
        set(value);
        return variantText(value);
    };
    EXPECT_EQ(text(VT_R4, [](VARIANT& v) { v.fltVal = 21.5f; }), "21.5");
    EXPECT_EQ(text(VT_R4, [](VARIANT& v) { v.fltVal = 0.1f; }), "0.1");
    EXPECT_EQ(text(VT_R8, [](VARIANT& v) { v.dblVal = 1e21; }), "1e+21");
    EXPECT_EQ(text(VT_I2, [](VARIANT& v) { v.iVal = -3; }), "-3");
    EXPECT_EQ(text(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), "true");
    EXPECT_EQ(text(VT_DATE, [](VARIANT& v) { v.date = 0.0; }), "1899-12-30 00:00:00.000");
    EXPECT_EQ(text(VT_EMPTY, [](VARIANT&) {}), "(empty)");
    EXPECT_EQ(text(VT_UNKNOWN, [](VARIANT& v) { v.punkVal = nullptr; }), "(VT 0x000D)");
    platform::UniqueVariant bstr;
    bstr->vt = VT_BSTR;
    bstr->bstrVal = SysAllocString(platform::utf8ToWide("Обмен").c_str());
    EXPECT_EQ(variantText(*bstr.get()), "Обмен");

    EXPECT_EQ(varTypeName(VT_ARRAY | VT_BSTR), "VT_ARRAY|VT_BSTR");
    EXPECT_EQ(varTypeName(VT_BYREF | VT_I4), "VT_BYREF|VT_I4");
    EXPECT_EQ(varTypeName(0x0FFF), "VT 0x0FFF");
}

}  // namespace
}  // namespace movra::client
