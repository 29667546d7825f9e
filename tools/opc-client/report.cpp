#include "tools/opc-client/report.h"

#include "platform/wide.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

namespace movra::client {
namespace {

struct KnownResult {
    uint32_t code;
    const char* name;
    const char* text;
};

// The codes a client of this server meets: its own answers, COM activation and RPC failures.
constexpr KnownResult kKnownResults[] = {
    {0x00000000, "S_OK", "Success."},
    {0x00000001, "S_FALSE", "Success, with less than asked for."},
    {0x0004000D, "OPC_S_UNSUPPORTEDRATE", "The server uses the closest rate it supports."},
    {0x0004000E, "OPC_S_CLAMP", "The value written was clamped."},
    {0x0004000F, "OPC_S_INUSE", "The object is still referenced."},
    {0x80004001, "E_NOTIMPL", "Not implemented."},
    {0x80004002, "E_NOINTERFACE", "No such interface is supported."},
    {0x80004003, "E_POINTER", "Invalid pointer."},
    {0x80004004, "E_ABORT", "Operation aborted."},
    {0x80004005, "E_FAIL", "The operation failed."},
    {0x8000FFFF, "E_UNEXPECTED", "Catastrophic failure."},
    {0x80010105, "RPC_E_SERVERFAULT", "The server threw an exception."},
    {0x80010106, "RPC_E_CHANGED_MODE", "The thread's COM mode cannot be changed."},
    {0x80010108, "RPC_E_DISCONNECTED", "The object has disconnected from its clients."},
    {0x80040110, "CLASS_E_NOAGGREGATION", "The class cannot be aggregated."},
    {0x80040111, "CLASS_E_CLASSNOTAVAILABLE", "The class factory does not offer this class."},
    {0x80040154, "REGDB_E_CLASSNOTREG", "The class is not registered."},
    {0x80040155, "REGDB_E_IIDNOTREG", "No proxy/stub is registered for the interface."},
    {0x80040200, "CONNECT_E_NOCONNECTION", "No such connection."},
    {0x80040201, "CONNECT_E_ADVISELIMIT", "The connection point takes no further sink."},
    {0x80040202, "CONNECT_E_CANNOTCONNECT", "The sink lacks the interface of the connection."},
    {0x800401F0, "CO_E_NOTINITIALIZED", "COM is not initialised on this thread."},
    {0x800401F3, "CO_E_CLASSSTRING", "Invalid class string (unknown ProgID)."},
    {0x800401FD, "CO_E_OBJNOTCONNECTED", "The object is not connected to its server."},
    {0x80070005, "E_ACCESSDENIED", "Access denied."},
    {0x80070006, "E_HANDLE", "Invalid handle."},
    {0x8007000E, "E_OUTOFMEMORY", "Not enough memory."},
    {0x80070057, "E_INVALIDARG", "One or more arguments are invalid."},
    {0x800706BA, "RPC_S_SERVER_UNAVAILABLE", "The server process is not available."},
    {0x800706BE, "RPC_S_CALL_FAILED", "The remote call failed."},
    {0x800706F4, "RPC_X_NULL_REF_POINTER", "A null reference pointer was passed to the stub."},
    {0x80080005, "CO_E_SERVER_EXEC_FAILURE", "The server program failed to start."},
    {0xC0040001, "OPC_E_INVALIDHANDLE", "Invalid handle."},
    {0xC0040004, "OPC_E_BADTYPE", "The requested data type cannot be converted."},
    {0xC0040006, "OPC_E_BADRIGHTS", "The item's access rights forbid the operation."},
    {0xC0040007, "OPC_E_UNKNOWNITEMID", "The item ID is not in the server's address space."},
    {0xC0040008, "OPC_E_INVALIDITEMID", "The item ID has an invalid syntax."},
    {0xC0040009, "OPC_E_INVALIDFILTER", "Invalid filter string."},
    {0xC004000C, "OPC_E_DUPLICATENAME", "Duplicate name."},
    {0xC0040203, "OPC_E_INVALID_PID", "The property ID is not valid for the item."},
};

constexpr uint32_t kFacilityWin32 = 7;

struct NamedStatus {
    WORD bits;  // quality and sub-status, the limit bits cleared
    const char* text;
};

// The sub-states a DA 2.0 server may give, in the words operators know them by.
constexpr NamedStatus kNamedStatuses[] = {
    {0x00, "bad"},
    {0x04, "bad: configuration error"},
    {0x08, "bad: not connected"},
    {0x0C, "bad: device failure"},
    {0x10, "bad: sensor failure"},
    {0x14, "bad: last known value"},
    {0x18, "bad: comm failure"},
    {0x1C, "bad: out of service"},
    {0x40, "uncertain"},
    {0x44, "uncertain: last usable value"},
    {0x50, "uncertain: sensor not accurate"},
    {0x54, "uncertain: engineering units exceeded"},
    {0x58, "uncertain: sub-normal"},
    {0xC0, "good"},
    {0xD8, "good: local override"},
};

struct NamedType {
    VARTYPE type;
    const char* name;
};

constexpr NamedType kNamedTypes[] = {
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I2, "VT_I2"},
    {VT_I4, "VT_I4"},       {VT_R4, "VT_R4"},     {VT_R8, "VT_R8"},
    {VT_CY, "VT_CY"},       {VT_DATE, "VT_DATE"}, {VT_BSTR, "VT_BSTR"},
    {VT_ERROR, "VT_ERROR"}, {VT_BOOL, "VT_BOOL"}, {VT_VARIANT, "VT_VARIANT"},
    {VT_I1, "VT_I1"},       {VT_UI1, "VT_UI1"},   {VT_UI2, "VT_UI2"},
    {VT_UI4, "VT_UI4"},     {VT_I8, "VT_I8"},     {VT_UI8, "VT_UI8"},
    {VT_INT, "VT_INT"},     {VT_UINT, "VT_UINT"},
};

template <typename Number>
std::string numberText(Number value) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

// The calendar day and the milliseconds of that day as "2026-12-10 14:03:07.123".
std::string dayAndTimeText(std::chrono::sys_days day, uint64_t msOfDay) {
    using namespace std::chrono;
    const year_month_day date{day};
    char text[48];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u.%03u", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<unsigned>(msOfDay / 3'600'000), static_cast<unsigned>(msOfDay / 60'000 % 60),
        static_cast<unsigned>(msOfDay / 1000 % 60), static_cast<unsigned>(msOfDay % 1000));
    return text;
}

constexpr uint32_t bits(HRESULT result) {
    return static_cast<uint32_t>(result);
}

}  // namespace

std::string hexCode(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, bits(result));
    return text;
}

std::string describeResult(HRESULT result) {
    for (const KnownResult& known : kKnownResults) {
        if (known.code == bits(result)) {
            return std::string(known.name) + ": " + known.text;
        }
    }
    if ((bits(result) & 0xFFFF0000u) == (0x80000000u | (kFacilityWin32 << 16))) {
        return "Windows error " + std::to_string(bits(result) & 0xFFFFu);
    }
    return {};
}

std::string resultText(HRESULT result) {
    std::string description = describeResult(result);
    return description.empty() ? hexCode(result) : hexCode(result) + " " + description;
}

ActivationReport reportActivationFailure(std::string_view progId, ActivationStage stage,
                                         HRESULT result) {
    const std::string name(progId);
    const std::string code = hexCode(result);
    if (stage == ActivationStage::ProgId) {
        return {ExitCode::NotRegistered,
                name + " is not registered on this computer (run MovraOPCServer.exe /Register)"};
    }
    switch (bits(result)) {
        case bits(REGDB_E_CLASSNOTREG):
            return {ExitCode::NotStartable,
                    name + " cannot be started: its class is not registered as a local server (" +
                        code + " REGDB_E_CLASSNOTREG); run MovraOPCServer.exe /Register"};
        case bits(CO_E_SERVER_EXEC_FAILURE):
            return {ExitCode::NotStartable,
                    name + " cannot be started: the server program did not start (" + code +
                        " CO_E_SERVER_EXEC_FAILURE); check MovraOPCServer.exe and "
                        "MovraOPCServer.ini in the folder it was registered from"};
        case bits(REGDB_E_IIDNOTREG):
        case bits(E_NOINTERFACE):
            return {ExitCode::ProxyMissing,
                    name + " cannot be reached through IOPCServer (" + resultText(result) +
                        "); MovraOPCProxy.dll may not be registered (regsvr32 MovraOPCProxy.dll)"};
        case bits(E_FAIL):
            return {ExitCode::Refused, name + " refused the connection (" + code +
                                           " E_FAIL): the server serves at most ten clients"};
        default:
            return {ExitCode::ActivationFailed,
                    name + " cannot be activated: " + resultText(result)};
    }
}

std::optional<HRESULT> parseResultCode(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    int base = 10;
    if (!negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    // from_chars would take a second sign.
    if (text.empty() || text.front() == '-' || text.front() == '+') {
        return std::nullopt;
    }
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (negative) {
        if (value > uint64_t{1} << 31) {
            return std::nullopt;
        }
        return static_cast<HRESULT>(-static_cast<int64_t>(value));
    }
    if (value > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<HRESULT>(static_cast<uint32_t>(value));
}

std::string fileTimeText(const FILETIME& time) {
    using namespace std::chrono;
    constexpr uint64_t kTicksPerMs = 10'000;
    constexpr uint64_t kMsPerDay = 86'400'000;
    const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    const uint64_t ms = ticks / kTicksPerMs;
    return dayAndTimeText(
               sys_days{year{1601} / January / 1} + days{static_cast<int>(ms / kMsPerDay)},
               ms % kMsPerDay) +
           " UTC";
}

std::string serverStateText(OPCSERVERSTATE state) {
    switch (state) {
        case OPC_STATUS_RUNNING:
            return "running";
        case OPC_STATUS_FAILED:
            return "failed";
        case OPC_STATUS_NOCONFIG:
            return "no configuration";
        case OPC_STATUS_SUSPENDED:
            return "suspended";
        case OPC_STATUS_TEST:
            return "test";
    }
    return "unknown (" + std::to_string(static_cast<long long>(state)) + ")";
}

std::vector<std::string> statusLines(std::string_view progId, const OPCSERVERSTATUS& status) {
    const std::string vendor =
        status.szVendorInfo == nullptr
            ? "(none)"
            : platform::wideToUtf8(platform::WStringView(status.szVendorInfo));
    const std::string bandwidth = status.dwBandWidth == 0xFFFFFFFFu
                                      ? "unknown (0xFFFFFFFF)"
                                      : std::to_string(status.dwBandWidth);
    return {
        std::string(progId),
        "  state:        " + serverStateText(status.dwServerState),
        "  vendor:       " + vendor,
        "  version:      " + std::to_string(status.wMajorVersion) + "." +
            std::to_string(status.wMinorVersion) + "." + std::to_string(status.wBuildNumber),
        "  start time:   " + fileTimeText(status.ftStartTime),
        "  current time: " + fileTimeText(status.ftCurrentTime),
        "  last update:  " + fileTimeText(status.ftLastUpdateTime),
        "  groups:       " + std::to_string(status.dwGroupCount),
        "  bandwidth:    " + bandwidth,
    };
}

std::string qualityText(WORD quality) {
    const WORD status = quality & 0xFC;
    std::string text;
    for (const NamedStatus& named : kNamedStatuses) {
        if (named.bits == status) {
            text = named.text;
        }
    }
    if (text.empty()) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(status));
        switch (quality & 0xC0) {
            case 0x00:
                text = std::string("bad (") + code + ")";
                break;
            case 0x40:
                text = std::string("uncertain (") + code + ")";
                break;
            case 0xC0:
                text = std::string("good (") + code + ")";
                break;
            default:
                text = std::string("invalid (") + code + ")";
                break;
        }
    }
    switch (quality & 0x03) {
        case 0x01:
            return text + ", low limited";
        case 0x02:
            return text + ", high limited";
        case 0x03:
            return text + ", constant";
        default:
            return text;
    }
}

std::string varTypeName(VARTYPE type) {
    const VARTYPE base = type & VT_TYPEMASK;
    std::string name;
    for (const NamedType& named : kNamedTypes) {
        if (named.type == base) {
            name = named.name;
        }
    }
    if (name.empty() || (type & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "VT 0x%04X", static_cast<unsigned>(type));
        return text;
    }
    if (type & VT_BYREF) {
        name = "VT_BYREF|" + name;
    }
    if (type & VT_ARRAY) {
        name = "VT_ARRAY|" + name;
    }
    return name;
}

std::string oleDateText(DATE date) {
    using namespace std::chrono;
    // Windows converts years 100 to 9999.
    constexpr double kFirst = -657434.0, kLast = 2958466.0;
    if (!(date >= kFirst && date < kLast)) {
        return "invalid date (" + numberText(date) + ")";
    }
    // Before 1899-12-30 the day counts down while the time of day still counts up.
    double day = std::trunc(date);
    uint64_t ms = static_cast<uint64_t>(std::llround(std::fabs(date - day) * 86'400'000.0));
    if (ms >= 86'400'000) {
        ms -= 86'400'000;
        day += 1;
    }
    return dayAndTimeText(sys_days{year{1899} / December / 30} + days{static_cast<int>(day)}, ms);
}

std::string variantText(const VARIANT& value) {
    switch (value.vt) {
        case VT_EMPTY:
            return "(empty)";
        case VT_NULL:
            return "(null)";
        case VT_I1:
            return numberText(static_cast<int>(value.cVal));
        case VT_UI1:
            return numberText(static_cast<unsigned>(value.bVal));
        case VT_I2:
            return numberText(value.iVal);
        case VT_UI2:
            return numberText(value.uiVal);
        case VT_I4:
            return numberText(value.lVal);
        case VT_UI4:
            return numberText(value.ulVal);
        case VT_INT:
            return numberText(value.intVal);
        case VT_UINT:
            return numberText(value.uintVal);
        case VT_I8:
            return numberText(value.llVal);
        case VT_UI8:
            return numberText(value.ullVal);
        case VT_R4:
            return numberText(value.fltVal);
        case VT_R8:
            return numberText(value.dblVal);
        case VT_BOOL:
            return value.boolVal ? "true" : "false";
        case VT_ERROR:
            return resultText(value.scode);
        case VT_DATE:
            return oleDateText(value.date);
        case VT_BSTR:
            return value.bstrVal == nullptr
                       ? std::string()
                       : platform::wideToUtf8(platform::WStringView(value.bstrVal));
        default:
            return "(" + varTypeName(value.vt) + ")";
    }
}

std::string itemLine(std::string_view itemId, size_t idWidth, const VARIANT& value, WORD quality,
                     const FILETIME& time) {
    std::string line(itemId);
    line.resize(std::max(line.size(), idWidth), ' ');
    return line + "  " + variantText(value) + "  " + qualityText(quality) + "  " +
           fileTimeText(time);
}

std::string timeOfDayText(const SYSTEMTIME& time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", static_cast<unsigned>(time.wHour % 100),
                  static_cast<unsigned>(time.wMinute % 100),
                  static_cast<unsigned>(time.wSecond % 100),
                  static_cast<unsigned>(time.wMilliseconds % 1000));
    return text;
}

}  // namespace movra::client
