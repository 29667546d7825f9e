// What opc-client prints, and how it reads result codes from the command line: portable, so the
// native tests check every text the Windows program shows.
#pragma once

#include "common/opc/opc_da.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movra::client {

// The process exit codes, one per kind of failure, so scripts can tell them apart.
enum class ExitCode : int {
    Done = 0,
    CallFailed = 1,        // the server answered a call with a failure (or an empty answer)
    Usage = 2,             // unknown command or wrong arguments
    NotRegistered = 3,     // CLSIDFromProgID failed
    NotStartable = 4,      // class not registered, or the server program did not start
    ProxyMissing = 5,      // no proxy/stub for the OPC interfaces
    Refused = 6,           // the server already serves its ten clients
    ActivationFailed = 7,  // any other activation failure
};

// Where an activation stopped: looking up the ProgID or creating the instance.
enum class ActivationStage { ProgId, Create };

// "0xC0040007": eight upper-case hex digits, as Windows tools print result codes.
std::string hexCode(HRESULT result);

// "E_FAIL: The operation failed." for a known code, "Windows error 1460" for another Win32 code,
// an empty text when nothing is known about it.
std::string describeResult(HRESULT result);

// "0x80004005 E_FAIL: The operation failed.", or the hex code alone for an unknown one.
std::string resultText(HRESULT result);

// The one line printed for a failed activation of `progId`, and the exit code that goes with it.
struct ActivationReport {
    ExitCode exitCode;
    std::string line;
};
ActivationReport reportActivationFailure(std::string_view progId, ActivationStage stage,
                                         HRESULT result);

// A result code from the command line: hex with 0x (0xC0040007) or decimal, unsigned (3221487623)
// or signed (-2147467259). Nothing for anything else or a value beyond 32 bits.
std::optional<HRESULT> parseResultCode(std::string_view text);

// UTC as "2026-12-10 14:03:07.123 UTC" (milliseconds cut, not rounded).
std::string fileTimeText(const FILETIME& time);

// "running", "failed", ...; "unknown (7)" for a value outside the published ones.
std::string serverStateText(OPCSERVERSTATE state);

// The lines of `opc-client status`; a missing vendor text is shown as such.
std::vector<std::string> statusLines(std::string_view progId, const OPCSERVERSTATUS& status);

// The quality word in words from its bits: "good", "bad: comm failure", "uncertain: last usable
// value", with ", low limited" and the like when a limit bit is set. A sub-status without a name
// shows as "bad (0x24)"; the undefined quality 0x80 as "invalid (0x80)".
std::string qualityText(WORD quality);

// "VT_R4", "VT_ARRAY|VT_BSTR", "VT 0x0FFF" for a type without a name.
std::string varTypeName(VARTYPE type);

// An OLE date as "2026-12-10 14:03:07.123" (no zone: the date carries none); "invalid date
// (1e+300)" when it lies outside what Windows converts.
std::string oleDateText(DATE date);

// A scalar VARIANT as text: numbers in their shortest exact form (21.5, 1000), VT_BOOL as
// true/false, a VT_BSTR as its text, a date as oleDateText, "(empty)"; other types by name.
std::string variantText(const VARIANT& value);

// One item's reading as read and watch print it, the ID padded to `idWidth`:
// "PKE0A01.K01.T  21.5  good  2026-12-10 14:03:07.123 UTC".
std::string itemLine(std::string_view itemId, size_t idWidth, const VARIANT& value, WORD quality,
                     const FILETIME& time);

// The local time of day as "14:03:07.123".
std::string timeOfDayText(const SYSTEMTIME& time);

}  // namespace movra::client
