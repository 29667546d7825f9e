#include "tools/check/check.h"

#include "common/config/config_file.h"
#include "platform/codepage.h"
#include "platform/handle_ptr.h"
#include "server/check/device_check.h"
#include "server/models/model.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>

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

// Prints one device's check as it goes: the waiting line, the frames and the identification
// while the line is in use, the values or the failure at the end.
class Report : public CheckObserver {
public:
    explicit Report(const Output& out) : out_(out) {}

    // True when the device answered both the identification and the read.
    bool checkDevice(const DeviceRecord& device, const CheckSettings& settings);

    void waitingForPorts() override {
        line("  waiting for the ports: another program (the server) is polling...");
    }
    void frame(uint64_t offsetMs, const char* direction, std::span<const uint8_t> bytes) override {
        line("    +" + seconds(offsetMs) + " " + direction + " " +
             hexBytes(bytes.data(), bytes.size()));
    }
    void identified(const Identification& identification) override;

private:
    void line(const std::string& text) { out_(text + "\n"); }

    const Output& out_;
    const DeviceRecord* device_ = nullptr;
};

std::string stageText(Stage stage) {
    switch (stage) {
        case Stage::BeforeOpening:
            return "before the port was opened";
        case Stage::Opening:
            return "opening the port";
        case Stage::Identifying:
            return "identifying";
        case Stage::Reading:
            return "reading the values";
    }
    return "checking";
}

bool Report::checkDevice(const DeviceRecord& device, const CheckSettings& settings) {
    device_ = &device;
    std::string address;
    if (device.linkType == kLinkRs485) {
        address = ", address " + std::to_string(device.rs485Address);
    }
    line("  model " + modelName(device.deviceType) + ", link " + linkText(device) + ", port COM" +
         std::to_string(device.comPort) + ", baud " + baudText(device.baudCode) + address);
    line("  energy in " + energyUnit(device) + ", gas volume in " + gasUnit(device));

    const DeviceCheck result = check::checkDevice(device, settings, this);
    if (const auto& failure = result.failure) {
        std::string reason;
        switch (failure->reason) {
            case Reason::NoProtocol:
                reason = "no protocol speaks device type " + std::to_string(device.deviceType);
                break;
            case Reason::PortUnavailable:
                reason = "the port COM" + std::to_string(device.comPort) +
                         " cannot be opened or configured: missing or busy";
                break;
            default:
                reason = failureText(failure->result, failure->linkError, failure->record,
                                     failure->silenceSec);
                break;
        }
        line("  FAILED " + stageText(failure->stage) + ": " + reason + " (after " +
             seconds(result.elapsedMs) + ")");
        return false;
    }
    line("  values");
    for (const Value& value : result.values) {
        line("    " + formatValue(value.name, value.value, value.unit));
    }
    line("  answered in " + seconds(result.elapsedMs));
    return true;
}

void Report::identified(const Identification& identification) {
    const ModelDescription& model = modelOf(device_->deviceType);
    const DeviceIdentity& identity = identification.identity;
    std::string variant;
    if (model.identity.variantInIdentity) {
        const uint8_t v = identity.bytes[0];
        variant =
            ", variant " + hex2(v) +
            (v >= 0x20 && v < 0x7F ? " \"" + std::string(1, static_cast<char>(v)) + "\"" : "");
    }
    line("  identity " + hexBytes(identity.bytes, sizeof identity.bytes) + " (version " +
         versionText(model, identity) + variant + ")");
    line("  channels " + std::to_string(identification.reportedChannels) + " of " +
         std::to_string(identification.maxChannels));
    for (size_t c = 0; c < identification.channels.size(); ++c) {
        const ChannelDescriptor& channel = identification.channels[c];
        std::string flags;
        if (channel.gasChannel != 0) {
            flags += ", gas";
        }
        if (channel.type9Channel != 0) {
            flags += ", type 9";
        }
        char name[8];
        std::snprintf(name, sizeof name, "K%02u", static_cast<unsigned>(c + 1));
        line(std::string("    ") + name + " code " + hexBytes(channel.code, 8) + flags);
    }
    line("  nodes " + std::to_string(identification.reportedNodes) + " of " +
         std::to_string(identification.maxNodes));
    for (size_t u = 0; u < identification.nodes.size(); ++u) {
        const NodeDescriptor& node = identification.nodes[u];
        // The members the model fills (as many as it has channels where it lists only the
        // reported ones), never past the array.
        const size_t memberCount = std::min<size_t>(
            model.identity.nodeMembers != 0 ? model.identity.nodeMembers : model.maxChannels,
            sizeof node.members);
        std::string kind = node.isGasNode != 0     ? " (gas)"
                           : node.isType9Node != 0 ? " (type 9)"
                                                   : "";
        char name[8];
        std::snprintf(name, sizeof name, "U%02u", static_cast<unsigned>(u + 1));
        line(std::string("    ") + name + " type " + std::to_string(node.nodeType) + kind +
             ", channels " + membersText(node.members, memberCount) + ", scale " +
             floatText(node.volumeScale));
    }
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
    switch (classify(result, linkError, record)) {
        case Reason::OutOfMemory:
            return "out of memory";
        case Reason::PortReopen:
            return "the port could not be reopened after a failed attempt";
        case Reason::ForeignReply:
            return "foreign function code: the reply to " + request + " came with 0x" +
                   hex2(record.replyFunction) + " (" + std::to_string(record.foreignReplies) +
                   " such frame(s) passed over), then nothing";
        case Reason::NoAnswer:
            return "no answer: the device was silent for " + std::to_string(replyTimeoutSec) +
                   " s after " + request;
        case Reason::CutShort:
            return "malformed reply to " + request + ": the frame stopped before its end";
        case Reason::ShorterThanModel:
            return "malformed reply to " + request + ": shorter than the model's layout";
        case Reason::Crc:
            return "CRC error in the reply to " + request;
        case Reason::DeviceError:
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
    CheckSettings settings;
    settings.riRs485DeviceCount = riRs485DeviceCount;
    settings.portMutex = portMutex.get();
    settings.trace = options.trace;
    size_t failures = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceRecord& device = devices[i];
        std::string title = "\n[" + std::to_string(i + 1) + "/" + std::to_string(devices.size()) +
                            "] " + serialText(device);
        if (!device.description.empty()) {
            title += "  " + platform::cp1251ToUtf8(device.description);
        }
        out(title + "\n");
        if (!Report(out).checkDevice(device, settings)) {
            ++failures;
        }
    }
    out("\n" + std::to_string(devices.size() - failures) + " of " + std::to_string(devices.size()) +
        " device(s) answered\n");
    return failures == 0 ? kAllAnswered : kSomeFailed;
}

}  // namespace movra::check
