#include "tools/opc-client/report.h"

#include "platform/wide.h"

#include <charconv>
#include <chrono>
#include <cinttypes>
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
    const uint64_t msOfDay = ms % kMsPerDay;
    const year_month_day date{sys_days{year{1601} / January / 1} +
                              days{static_cast<int>(ms / kMsPerDay)}};
    char text[48];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u.%03u UTC", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<unsigned>(msOfDay / 3'600'000), static_cast<unsigned>(msOfDay / 60'000 % 60),
        static_cast<unsigned>(msOfDay / 1000 % 60), static_cast<unsigned>(msOfDay % 1000));
    return text;
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

}  // namespace movra::client
