// MovraOPCCheck: polls metering computers once, as the server does, and says per device what it
// answered or why it did not. The check itself is server/check's; here are the program's
// arguments and its report, portable and tested natively; the programs are thin mains around
// runCheck.
#pragma once

#include "common/config/device_record.h"
#include "platform/win.h"
#include "server/check/device_check.h"
#include "server/device/connection.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace movra::check {

enum ExitCode : int {
    kAllAnswered = 0,
    kSomeFailed = 1,
    kUsage = 2,
};

inline constexpr char kConfigurationName[] = "MovraOPCServer.ini";

struct Options {
    bool help = false;
    bool trace = false;
    std::string configPath;             // empty: MovraOPCServer.ini beside the program
    std::vector<DeviceRecord> devices;  // from --device; when any, no file is read
};

// False with `why` for an unknown option, a missing value or a device that cannot be parsed.
bool parseArguments(const std::vector<std::string>& arguments, Options& options, std::string& why);
// model=KMT-U,serial=12AB,port=COM5,baud=19200,link=rs485,address=1,energy=Gcal,gas=km3; model
// and port are required.
bool parseDevice(std::string_view text, DeviceRecord& device, std::string& why);

// The configuration beside the program: its folder and kConfigurationName.
std::string configurationPathBeside(const std::string& programPath);

// Why an exchange failed, in words, from the protocol's result and the connection's record of
// the last exchange.
std::string failureText(HRESULT result, uint16_t linkError, const ExchangeRecord& record,
                        uint32_t replyTimeoutSec);

// A value in the configured unit: name as in the catalogue ("K01.T"), empty unit where the
// protocols imply none.
std::string formatValue(std::string_view name, float value, std::string_view unit);

// Where the report goes, UTF-8, piece by piece as the devices are polled.
using Output = std::function<void(std::string_view utf8)>;

// The whole program: parses, reads the configuration or takes the --device list, polls each
// device once under the port mutex and prints the report to `out` (usage errors to `err`).
int runCheck(const std::vector<std::string>& arguments, const std::string& programPath,
             const Output& out, const Output& err);

}  // namespace movra::check
