#include "tools/check/check.h"

#include "common/config/config_file.h"
#include "platform/clock.h"
#include "platform/co_task_mem.h"
#include "platform/codepage.h"
#include "platform/handle_ptr.h"
#include "server/device/protocols.h"
#include "server/models/model.h"
#include "server/poll/units.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

namespace movra::check {

namespace {

constexpr char kHelp[] =
    "Usage: MovraOPCCheck [--config PATH] [--device KEYS]... [--trace] [--help]\n"
    "\n"
    "Polls every metering computer once, as MovraOPCServer does: identifies it, reads its\n"
    "values and prints them, or says why the device did not answer. It takes the port mutex\n"
    "MovraOPCServer_1_06_Mutex around each device, so it may run beside the server.\n"
    "\n"
    "  (no option)      the devices of MovraOPCServer.ini beside the program\n"
    "  --config PATH    the devices of another configuration file\n"
    "  --device KEYS    a device without a file; repeatable. KEYS, comma-separated:\n"
    "                     model=KMT|KMT-V|KMT-G|KMT-U|KMT-UV   (required)\n"
    "                     port=COM5 or port=5                  (required)\n"
    "                     serial=12AB  baud=2400|4800|9600|19200 (9600)\n"
    "                     link=rs232|rs485 (rs232)  address=1..250 (1, RS-485 only)\n"
    "                     energy=GJ|Gcal (GJ)  gas=m3|km3 (m3)\n"
    "  --trace          every frame sent and received, in hex, with its time offset\n"
    "  --help           this text\n"
    "\n"
    "Exit code: 0 every device answered, 1 a device failed, 2 usage or configuration error.\n";

constexpr uint32_t kBauds[] = {2400, 4800, 9600, 19200};  // baud codes 1 to 4

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result;
}

bool parseNumber(std::string_view text, uint32_t low, uint32_t high, uint32_t& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end && value >= low && value <= high;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string modelName(uint8_t type) {
    const char* name = modelOf(type).name;
    return name != nullptr ? name : "device type " + std::to_string(type);
}

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string hexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += hex2(bytes[i]);
    }
    return text;
}

std::string serialText(const DeviceRecord& device) {
    return hex2(device.serial[2]) + hex2(device.serial[3]);
}

std::string baudText(uint8_t baudCode) {
    return baudCode >= 1 && baudCode <= 4 ? std::to_string(kBauds[baudCode - 1])
                                          : "9600 (code " + std::to_string(baudCode) + ")";
}

std::string linkText(const DeviceRecord& device) {
    switch (device.linkType) {
        case kLinkRs232:
            return "RS-232";
        case kLinkRs485:
            return "RS-485";
        default:
            return "link type " + std::to_string(device.linkType);
    }
}

std::string energyUnit(const DeviceRecord& device) {
    return device.energyUnit != 0 ? "Gcal" : "GJ";
}
std::string gasUnit(const DeviceRecord& device) {
    return device.gasVolumeUnit != 0 ? "thousand m3" : "m3";
}

std::string seconds(uint64_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

std::string membersText(const uint8_t* members, size_t count) {
    std::string text;
    for (size_t j = 0; j < count; ++j) {
        if (members[j] != 0) {
            text += (text.empty() ? "" : " ") + std::to_string(j + 1);
        }
    }
    return text.empty() ? "none" : text;
}

std::string floatText(float value) {
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc{} ? std::string(text, end) : std::string("?");
}

class Checker {
public:
    Checker(const Output& out, bool trace, uint16_t riRs485DeviceCount)
        : out_(out), trace_(trace), riRs485DeviceCount_(riRs485DeviceCount) {}

    // True when the device answered both the identification and the read.
    bool checkDevice(const DeviceRecord& device, HANDLE portMutex);

private:
    bool identifyAndRead(const DeviceRecord& device, CMovraDeviceConnection& connection);
    void printIdentification(const DeviceRecord& device, const DeviceIdentity& identity,
                             const ChannelDescriptor* channels, uint16_t reportedChannels,
                             uint16_t maxChannels, const NodeDescriptor* nodes,
                             uint16_t reportedNodes, uint16_t maxNodes);
    void printValues(const DeviceRecord& device, const UnitLayout& layout,
                     const SystemBlock& system, ChannelBlock* channels, uint16_t reportedChannels,
                     NodeBlock* nodes, uint16_t reportedNodes);
    void failed(const std::string& stage, const std::string& reason);
    void line(const std::string& text) { out_(text + "\n"); }

    const Output& out_;
    bool trace_;
    uint16_t riRs485DeviceCount_;
    platform::Clock& clock_ = platform::realClock();
    uint64_t startMs_ = 0;
};

bool Checker::checkDevice(const DeviceRecord& device, HANDLE portMutex) {
    startMs_ = clock_.nowMs();
    std::string address;
    if (device.linkType == kLinkRs485) {
        address = ", address " + std::to_string(device.rs485Address);
    }
    line("  model " + modelName(device.deviceType) + ", link " + linkText(device) + ", port COM" +
         std::to_string(device.comPort) + ", baud " + baudText(device.baudCode) + address);
    line("  energy in " + energyUnit(device) + ", gas volume in " + gasUnit(device));

    if (!modelOf(device.deviceType).hasProtocol()) {
        failed("before the port was opened",
               "no protocol speaks device type " + std::to_string(device.deviceType));
        return false;
    }
    // Declared before the connection, so the port is closed before the mutex is let go.
    std::optional<platform::MutexGuard> portLock;
    if (portMutex != nullptr) {
        portLock.emplace(portMutex, 0);
        if (portLock->waitResult() == WAIT_TIMEOUT) {
            line("  waiting for the ports: another program (the server) is polling...");
            portLock.emplace(portMutex, INFINITE);
        }
    }
    startMs_ = clock_.nowMs();
    CMovraDeviceConnection connection(device, riRs485DeviceCount_, clock_);
    if (trace_) {
        connection.setTraceSink([this](const char* direction, std::span<const uint8_t> bytes) {
            line("    +" + seconds(clock_.nowMs() - startMs_) + " " + direction + " " +
                 hexBytes(bytes.data(), bytes.size()));
        });
    }
    uint16_t linkError = ERR_NONE;
    if (FAILED(connection.Open(&linkError))) {
        failed("opening the port", "the port COM" + std::to_string(device.comPort) +
                                       " cannot be opened or configured: missing or busy");
        return false;
    }
    return identifyAndRead(device, connection);
}

// The reply time-out of the device's first byte: doubled through the RI adapter.
uint32_t silenceLimitSec(const DeviceRecord& device, const CMovraDeviceConnection& connection) {
    return connection.replyTimeoutSec() * (device.viaRiAdapter != 0 ? 2 : 1);
}

bool Checker::identifyAndRead(const DeviceRecord& device, CMovraDeviceConnection& connection) {
    std::unique_ptr<CMovraDataExchange> exchange = createDataExchange(device.deviceType, clock_);
    if (!exchange) {
        failed("before identifying", "out of memory");
        return false;
    }
    exchange->SetConnection(&connection);
    exchange->SetTimestampSource(device.timestampSource);
    if (device.startDelayMs != 0) {
        clock_.sleepMs(device.startDelayMs);
    }

    uint16_t reportedChannels = 0;
    uint16_t reportedNodes = 0;
    platform::CoTaskMemPtr<DeviceIdentity> identity;
    platform::CoTaskMemPtr<ChannelDescriptor> descriptors;
    platform::CoTaskMemPtr<NodeDescriptor> nodeDescriptors;
    uint16_t linkError = ERR_NONE;
    HRESULT result = exchange->Identify(&reportedChannels, &reportedNodes, identity.put(),
                                        descriptors.put(), nodeDescriptors.put(), &linkError);
    if (FAILED(result) || !identity || !descriptors || !nodeDescriptors) {
        failed("identifying",
               failureText(FAILED(result) ? result : E_FAIL, linkError, connection.lastExchange(),
                           silenceLimitSec(device, connection)));
        return false;
    }
    printIdentification(device, *identity.get(), descriptors.get(), reportedChannels,
                        exchange->MaxChannels(), nodeDescriptors.get(), reportedNodes,
                        exchange->MaxNodes());

    const ReadSelection selection = ReadSelection::all();
    uint16_t readChannels = 0;
    uint16_t readNodes = 0;
    platform::CoTaskMemPtr<SystemBlock> system;
    platform::CoTaskMemPtr<ChannelBlock> channels;
    platform::CoTaskMemPtr<NodeBlock> nodes;
    result = exchange->ReadValues(identity->bytes[0], &selection, &readChannels, &readNodes,
                                  system.put(), channels.put(), nodes.put(), &linkError);
    if (FAILED(result) || !system || !channels || !nodes) {
        failed("reading the values",
               failureText(FAILED(result) ? result : E_FAIL, linkError, connection.lastExchange(),
                           silenceLimitSec(device, connection)));
        return false;
    }
    UnitLayout layout;
    layout.channels = descriptors.get();
    layout.describedChannels = exchange->MaxChannels();
    layout.nodes = nodeDescriptors.get();
    layout.describedNodes = exchange->MaxNodes();
    layout.knownNodes = std::min(reportedNodes, exchange->MaxNodes());
    printValues(device, layout, *system.get(), channels.get(),
                std::min(readChannels, exchange->MaxChannels()), nodes.get(),
                std::min(readNodes, exchange->MaxNodes()));
    line("  answered in " + seconds(clock_.nowMs() - startMs_));
    return true;
}

void Checker::printIdentification(const DeviceRecord& device, const DeviceIdentity& identity,
                                  const ChannelDescriptor* channels, uint16_t reportedChannels,
                                  uint16_t maxChannels, const NodeDescriptor* nodes,
                                  uint16_t reportedNodes, uint16_t maxNodes) {
    const ModelDescription& model = modelOf(device.deviceType);
    std::string version;
    for (uint8_t k = 0; k < sizeof identity.bytes; ++k) {
        if (((model.identity.versionBytes >> k) & 1u) == 0) {
            continue;
        }
        version += (version.empty() ? "" : ".") + std::to_string(identity.bytes[k]);
    }
    std::string variant;
    if (model.identity.variantInIdentity) {
        const uint8_t v = identity.bytes[0];
        variant =
            ", variant " + hex2(v) +
            (v >= 0x20 && v < 0x7F ? " \"" + std::string(1, static_cast<char>(v)) + "\"" : "");
    }
    line("  identity " + hexBytes(identity.bytes, sizeof identity.bytes) + " (version " + version +
         variant + ")");
    line("  channels " + std::to_string(reportedChannels) + " of " + std::to_string(maxChannels));
    for (uint16_t c = 0; c < std::min(reportedChannels, maxChannels); ++c) {
        std::string flags;
        if (channels[c].gasChannel != 0) {
            flags += ", gas";
        }
        if (channels[c].type9Channel != 0) {
            flags += ", type 9";
        }
        char name[8];
        std::snprintf(name, sizeof name, "K%02u", c + 1u);
        line(std::string("    ") + name + " code " + hexBytes(channels[c].code, 8) + flags);
    }
    line("  nodes " + std::to_string(reportedNodes) + " of " + std::to_string(maxNodes));
    for (uint16_t u = 0; u < std::min(reportedNodes, maxNodes); ++u) {
        const NodeDescriptor& node = nodes[u];
        // The members the model fills (as many as it has channels where it lists only the
        // reported ones), never past the array.
        const size_t memberCount = std::min<size_t>(
            model.identity.nodeMembers != 0 ? model.identity.nodeMembers : model.maxChannels,
            sizeof node.members);
        std::string kind = node.isGasNode != 0     ? " (gas)"
                           : node.isType9Node != 0 ? " (type 9)"
                                                   : "";
        char name[8];
        std::snprintf(name, sizeof name, "U%02u", u + 1u);
        line(std::string("    ") + name + " type " + std::to_string(node.nodeType) + kind +
             ", channels " + membersText(node.members, memberCount) + ", scale " +
             floatText(node.volumeScale));
    }
}

void Checker::printValues(const DeviceRecord& device, const UnitLayout& layout,
                          const SystemBlock& system, ChannelBlock* channels,
                          uint16_t reportedChannels, NodeBlock* nodes, uint16_t reportedNodes) {
    line("  values");
    const ModelDescription& model = modelOf(device.deviceType);
    // The good readings of a section, named and in the unit the server publishes them in.
    auto printSection = [&](const std::string& section, const Reading* readings,
                            std::span<const Quantity> slots, bool gas) {
        for (const Quantity& slot : slots) {
            const Reading& reading = readings[slot.reading];
            if (reading.quality == kQualityGood) {
                line("    " + formatValue(section + slot.name, std::bit_cast<float>(reading.value),
                                          unitText(device, model, slot.unit, gas)));
            }
        }
    };
    auto numbered = [](char letter, unsigned number) {
        char section[8];
        std::snprintf(section, sizeof section, "%c%02u.", letter, number);
        return std::string(section);
    };
    printSection("SYS.", system.readings, kSystemQuantities, false);
    for (uint16_t c = 1; c <= reportedChannels; ++c) {
        ChannelBlock& block = channels[c - 1];
        convertChannelUnits(device, layout, c, block);
        printSection(numbered('K', c), block.readings, kChannelQuantities,
                     layout.channels[c - 1].gasChannel != 0);
    }
    for (uint16_t u = 1; u <= reportedNodes; ++u) {
        NodeBlock& block = nodes[u - 1];
        convertNodeUnits(device, layout, u, block);
        printSection(numbered('U', u), block.readings, kNodeQuantities,
                     layout.nodes[u - 1].isGasNode != 0);
    }
}

void Checker::failed(const std::string& stage, const std::string& reason) {
    line("  FAILED " + stage + ": " + reason + " (after " + seconds(clock_.nowMs() - startMs_) +
         ")");
}

// Reads the configuration whole; false with the reason when it cannot be used.
bool readConfiguration(const std::string& path, ServerConfiguration& configuration,
                       std::string& why) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "cannot be opened: " + std::string(std::strerror(errno));
        return false;
    }
    std::vector<uint8_t> bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.insert(bytes.end(), chunk, chunk + file.gcount());
        if (bytes.size() > kMaxFileBytes) {
            why = "is damaged: larger than any configuration";
            return false;
        }
    }
    if (file.bad()) {
        why = "cannot be read: " + std::string(std::strerror(errno));
        return false;
    }
    if (decodeServerConfiguration(bytes, configuration) != 1) {
        why =
            "is damaged: truncated, a record running past its end, more than 100 devices or "
            "a period out of range";
        return false;
    }
    return true;
}

}  // namespace

bool parseDevice(std::string_view text, DeviceRecord& device, std::string& why) {
    device = DeviceRecord{};
    device.baudCode = 3;
    device.linkType = kLinkRs232;
    device.rs485Address = 1;
    bool haveModel = false;
    bool havePort = false;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view pair = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            why = "\"" + std::string(pair) + "\" is no key=value";
            return false;
        }
        const std::string key = lower(pair.substr(0, equals));
        const std::string_view value = pair.substr(equals + 1);
        const std::string lowered = lower(value);
        uint32_t number = 0;
        bool ok = true;
        if (key == "model") {
            ok = false;
            for (const ModelDescription& model : allModels()) {
                if (lowered == lower(model.name)) {
                    device.deviceType = model.type;
                    ok = haveModel = true;
                }
            }
        } else if (key == "serial") {
            ok = value.size() == 4 &&
                 std::all_of(value.begin(), value.end(), [](char c) { return hexDigit(c) >= 0; });
            if (ok) {
                device.serial[2] =
                    static_cast<uint8_t>(hexDigit(value[0]) * 16 + hexDigit(value[1]));
                device.serial[3] =
                    static_cast<uint8_t>(hexDigit(value[2]) * 16 + hexDigit(value[3]));
            }
        } else if (key == "port") {
            std::string_view digits = value;
            if (lowered.rfind("com", 0) == 0) {
                digits = value.substr(3);
            }
            ok = havePort = parseNumber(digits, 1, 255, number);
            device.comPort = static_cast<uint8_t>(number);
        } else if (key == "baud") {
            ok = false;
            for (uint8_t code = 1; code <= 4; ++code) {
                if (parseNumber(value, kBauds[code - 1], kBauds[code - 1], number)) {
                    device.baudCode = code;
                    ok = true;
                }
            }
        } else if (key == "link") {
            ok = lowered == "rs232" || lowered == "rs485";
            device.linkType = lowered == "rs485" ? kLinkRs485 : kLinkRs232;
        } else if (key == "address") {
            ok = parseNumber(value, 1, 250, number);
            device.rs485Address = static_cast<uint8_t>(number);
        } else if (key == "energy") {
            ok = lowered == "gj" || lowered == "gcal";
            device.energyUnit = lowered == "gcal" ? 1 : 0;
        } else if (key == "gas") {
            ok = lowered == "m3" || lowered == "km3";
            device.gasVolumeUnit = lowered == "km3" ? 1 : 0;
        } else {
            why = "unknown key \"" + key + "\"";
            return false;
        }
        if (!ok) {
            why = "bad value \"" + std::string(value) + "\" for " + key;
            return false;
        }
    }
    if (!haveModel || !havePort) {
        why = haveModel ? "port= is missing" : "model= is missing";
        return false;
    }
    return true;
}

bool parseArguments(const std::vector<std::string>& arguments, Options& options, std::string& why) {
    options = Options{};
    bool haveConfig = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h" || argument == "/?") {
            options.help = true;
        } else if (argument == "--trace") {
            options.trace = true;
        } else if (argument == "--config" || argument == "--device") {
            if (i + 1 >= arguments.size()) {
                why = argument + " needs a value";
                return false;
            }
            const std::string& value = arguments[++i];
            if (argument == "--config") {
                options.configPath = value;
                haveConfig = true;
                continue;
            }
            DeviceRecord device;
            std::string reason;
            if (!parseDevice(value, device, reason)) {
                why = "--device " + value + ": " + reason;
                return false;
            }
            options.devices.push_back(device);
        } else {
            why = "unknown option \"" + argument + "\"";
            return false;
        }
    }
    if (haveConfig && !options.devices.empty()) {
        why = "--config and --device exclude each other";
        return false;
    }
    return true;
}

std::string configurationPathBeside(const std::string& programPath) {
    const size_t slash = programPath.find_last_of("/\\");
    return slash == std::string::npos ? std::string(kConfigurationName)
                                      : programPath.substr(0, slash + 1) + kConfigurationName;
}

std::string failureText(HRESULT result, uint16_t linkError, const ExchangeRecord& record,
                        uint32_t replyTimeoutSec) {
    const std::string request = "request 0x" + hex2(record.requestFunction);
    if (result == E_OUTOFMEMORY) {
        return "out of memory";
    }
    switch (linkError) {
        case ERR_PORT_SETUP:
            return "the port could not be reopened after a failed attempt";
        case ERR_NO_ANSWER:
            if (record.foreignReplies != 0) {
                return "foreign function code: the reply to " + request + " came with 0x" +
                       hex2(record.replyFunction) + " (" + std::to_string(record.foreignReplies) +
                       " such frame(s) passed over), then nothing";
            }
            return "no answer: the device was silent for " + std::to_string(replyTimeoutSec) +
                   " s after " + request;
        case ERR_INCOMPLETE:
            if (record.error == ERR_INCOMPLETE) {
                return "malformed reply to " + request + ": the frame stopped before its end";
            }
            return "malformed reply to " + request + ": shorter than the model's layout";
        case ERR_CRC:
            return "CRC error in the reply to " + request;
        case ERR_DEVICE:
            return "error reply to " + request + ": function 0x" + hex2(record.replyFunction) +
                   ", code " + std::to_string(record.errorCode);
        default:
            break;
    }
    char text[64];
    std::snprintf(text, sizeof text, "failed with 0x%08lX, link error %u",
                  static_cast<unsigned long>(static_cast<uint32_t>(result)),
                  static_cast<unsigned>(linkError));
    return text;
}

std::string formatValue(std::string_view name, float value, std::string_view unit) {
    std::string text(name);
    text.resize(std::max<size_t>(text.size() + 1, 10), ' ');
    text += floatText(value);
    if (!unit.empty()) {
        text += ' ';
        text += unit;
    }
    return text;
}

int runCheck(const std::vector<std::string>& arguments, const std::string& programPath,
             const Output& out, const Output& err) {
    Options options;
    std::string why;
    if (!parseArguments(arguments, options, why)) {
        err("MovraOPCCheck: " + why + "\n\n" + kHelp);
        return kUsage;
    }
    if (options.help) {
        out(kHelp);
        return kAllAnswered;
    }
    std::vector<DeviceRecord> devices = options.devices;
    uint16_t riRs485DeviceCount = 0;
    if (devices.empty()) {
        const std::string path =
            options.configPath.empty() ? configurationPathBeside(programPath) : options.configPath;
        ServerConfiguration configuration;
        if (!readConfiguration(path, configuration, why)) {
            err("MovraOPCCheck: the configuration " + path + " " + why + "\n");
            return kUsage;
        }
        devices = configuration.devices;
        riRs485DeviceCount = configuration.riRs485DeviceCount;
        out("Configuration " + path + ": " + std::to_string(devices.size()) + " device(s)\n");
        if (devices.empty()) {
            out("No device is configured.\n");
            return kAllAnswered;
        }
    }

    // Shared with the server and the maker's polling program; without it the ports are simply
    // not shared, as in the server.
    platform::UniqueHandle portMutex(CreateMutexA(nullptr, FALSE, kPortMutexName));
    if (!portMutex) {
        out("The port mutex " + std::string(kPortMutexName) +
            " cannot be opened: the ports are not shared with the server.\n");
    }
    Checker checker(out, options.trace, riRs485DeviceCount);
    size_t failures = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceRecord& device = devices[i];
        std::string title = "\n[" + std::to_string(i + 1) + "/" + std::to_string(devices.size()) +
                            "] " + serialText(device);
        if (!device.description.empty()) {
            title += "  " + platform::cp1251ToUtf8(device.description);
        }
        out(title + "\n");
        if (!checker.checkDevice(device, portMutex.get())) {
            ++failures;
        }
    }
    out("\n" + std::to_string(devices.size() - failures) + " of " + std::to_string(devices.size()) +
        " device(s) answered\n");
    return failures == 0 ? kAllAnswered : kSomeFailed;
}

}  // namespace movra::check
