#include "tools/kmt-sim/device_config.h"

#include <charconv>
#include <chrono>
#include <stdexcept>

namespace movra::sim {

namespace {

constexpr ModelTraits kTraits[] = {
    {"KMT", 10, 10, 8},    {"KMT-V", 5, 2, 10},   {"KMT-G", 3, 3, 10},
    {"KMT-U", 20, 16, 10}, {"KMT-UV", 10, 6, 10},
};

[[noreturn]] void fail(const std::string& message) {
    throw std::invalid_argument(message);
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A whole decimal or 0x-hexadecimal number within [low, high].
uint64_t numberIn(std::string_view text, uint64_t low, uint64_t high, std::string_view what) {
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < low || value > high) {
        fail(std::string(what) + ": " + quoted(text) + " is not a number from " +
             std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Exactly `bytes` bytes written as 2 * `bytes` hexadecimal digits.
std::vector<uint8_t> hexBytes(std::string_view text, size_t bytes, std::string_view what) {
    if (text.size() != bytes * 2) {
        fail(std::string(what) + ": " + quoted(text) + " is not " + std::to_string(bytes * 2) +
             " hexadecimal digits");
    }
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes; ++i) {
        int high = hexDigit(text[2 * i]);
        int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            fail(std::string(what) + ": " + quoted(text) + " is not hexadecimal");
        }
        out.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

Model modelNamed(std::string_view name) {
    for (size_t i = 0; i < std::size(kTraits); ++i) {
        if (name == kTraits[i].name) {
            return static_cast<Model>(i);
        }
    }
    fail("model: " + quoted(name) + " is not one of KMT, KMT-V, KMT-G, KMT-U, KMT-UV");
}

// "1-3+5": channels 1, 2, 3 and 5.
void parseMembers(std::string_view text, NodeSetup& node, uint8_t maxChannels) {
    if (text.empty() || text == "-") {
        return;
    }
    for (std::string_view part : split(text, '+')) {
        size_t dash = part.find('-');
        uint64_t first = numberIn(part.substr(0, dash), 1, maxChannels, "node member");
        uint64_t last = dash == std::string_view::npos
                            ? first
                            : numberIn(part.substr(dash + 1), first, maxChannels, "node member");
        for (uint64_t c = first; c <= last; ++c) {
            node.members[c] = true;
        }
    }
}

float scaleOf(std::string_view text) {
    if (text == "1") {
        return 1.0f;
    }
    if (text == "1000") {
        return 1000.0f;
    }
    if (text == "999.99") {  // just below 1000, for the boundary of a reader's test
        return 999.99f;
    }
    fail("node scale: " + quoted(text) + " is not 1, 1000 or 999.99");
}

}  // namespace

const ModelTraits& traitsOf(Model model) {
    return kTraits[static_cast<size_t>(model)];
}

std::string DeviceConfig::label() const {
    return std::string(traitsOf(model).name) + "@" + std::to_string(address);
}

int64_t secondsOfCivil(const CivilTime& time) {
    using namespace std::chrono;
    sys_days day = year_month_day{year{time.year}, month{static_cast<unsigned>(time.month)},
                                  std::chrono::day{static_cast<unsigned>(time.day)}};
    return day.time_since_epoch().count() * 86400 + time.hour * 3600 + time.minute * 60 +
           time.second;
}

CivilTime civilOfSeconds(int64_t seconds) {
    using namespace std::chrono;
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    sys_days day{std::chrono::days{days}};
    year_month_day date{day};
    CivilTime time;
    time.year = static_cast<int>(date.year());
    time.month = static_cast<int>(static_cast<unsigned>(date.month()));
    time.day = static_cast<int>(static_cast<unsigned>(date.day()));
    time.hour = static_cast<int>(rest / 3600);
    time.minute = static_cast<int>(rest / 60 % 60);
    time.second = static_cast<int>(rest % 60);
    time.weekday = static_cast<int>(weekday{day}.iso_encoding());
    return time;
}

ClockSetting parseClock(std::string_view text) {
    ClockSetting setting;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        int64_t unit = 1;
        std::string_view amount = text.substr(1);
        if (!amount.empty()) {
            switch (amount.back()) {
                case 's':
                    unit = 1;
                    break;
                case 'm':
                    unit = 60;
                    break;
                case 'h':
                    unit = 3600;
                    break;
                case 'd':
                    unit = 86400;
                    break;
                default:
                    unit = 0;
                    break;
            }
            if (unit != 0) {
                amount.remove_suffix(1);
            } else {
                unit = 1;
            }
        }
        int64_t seconds =
            static_cast<int64_t>(numberIn(amount, 0, 3650ull * 86400, "clock offset")) * unit;
        setting.offsetSeconds = text[0] == '-' ? -seconds : seconds;
        return setting;
    }
    std::string_view when = text;
    if (when.starts_with("fixed:")) {
        setting.mode = ClockSetting::Mode::Fixed;
        when.remove_prefix(6);
    } else {
        setting.mode = ClockSetting::Mode::Start;
        if (when.starts_with("start:")) {
            when.remove_prefix(6);
        }
    }
    // YYYY-MM-DDTHH:MM:SS
    if (when.size() != 19 || when[4] != '-' || when[7] != '-' || when[10] != 'T' ||
        when[13] != ':' || when[16] != ':') {
        fail("clock: " + quoted(text) +
             " is neither +/-offset[s|m|h|d] nor [start:|fixed:]YYYY-MM-DDTHH:MM:SS");
    }
    CivilTime time;
    time.year = static_cast<int>(numberIn(when.substr(0, 4), 2000, 2255, "clock year"));
    time.month = static_cast<int>(numberIn(when.substr(5, 2), 1, 12, "clock month"));
    time.day = static_cast<int>(numberIn(when.substr(8, 2), 1, 31, "clock day"));
    time.hour = static_cast<int>(numberIn(when.substr(11, 2), 0, 23, "clock hour"));
    time.minute = static_cast<int>(numberIn(when.substr(14, 2), 0, 59, "clock minute"));
    time.second = static_cast<int>(numberIn(when.substr(17, 2), 0, 59, "clock second"));
    using namespace std::chrono;
    if (!year_month_day{year{time.year}, month{static_cast<unsigned>(time.month)},
                        day{static_cast<unsigned>(time.day)}}
             .ok()) {
        fail("clock: " + quoted(text) + " is not a date");
    }
    setting.startSeconds = secondsOfCivil(time);
    return setting;
}

// KIND[:ARG][@FUNC[/INDEX]][+SKIP][#COUNT]
Fault parseFault(std::string_view text) {
    Fault fault;
    std::string_view rest = text;
    auto cutTail = [&rest](char mark) -> std::optional<std::string_view> {
        size_t at = rest.rfind(mark);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view tail = rest.substr(at + 1);
        rest = rest.substr(0, at);
        return tail;
    };
    if (auto count = cutTail('#')) {
        fault.count = static_cast<uint32_t>(numberIn(*count, 1, 1000000, "fault count"));
    }
    if (auto skip = cutTail('+')) {
        fault.skip = static_cast<uint32_t>(numberIn(*skip, 0, 1000000, "fault skip"));
    }
    if (auto scope = cutTail('@')) {
        size_t slash = scope->find('/');
        fault.function =
            static_cast<uint8_t>(numberIn(scope->substr(0, slash), 0, 255, "fault function"));
        if (slash != std::string_view::npos) {
            fault.index =
                static_cast<uint8_t>(numberIn(scope->substr(slash + 1), 0, 255, "fault index"));
        }
    }
    size_t colon = rest.find(':');
    std::string_view kind = rest.substr(0, colon);
    std::optional<std::string_view> argument;
    if (colon != std::string_view::npos) {
        argument = rest.substr(colon + 1);
    }
    struct KindInfo {
        const char* name;
        FaultKind kind;
        bool needsArgument;
        uint32_t defaultArgument;
        uint64_t low;
        uint64_t high;
    };
    static constexpr KindInfo kinds[] = {
        {"silent", FaultKind::Silent, false, 0, 0, 0},
        {"noise", FaultKind::Noise, false, 3, 1, 64},
        {"crc", FaultKind::Crc, false, 0, 0, 0},
        {"func", FaultKind::Function, false, 0, 0, 0},
        {"error", FaultKind::Error, false, 2, 0, 255},
        {"slow", FaultKind::Slow, true, 0, 1, 10000},
        {"delay", FaultKind::Delay, true, 0, 1, 600000},
        {"first", FaultKind::First, true, 0, 0, 1000000},
    };
    for (const KindInfo& info : kinds) {
        if (kind != info.name) {
            continue;
        }
        fault.kind = info.kind;
        if (argument) {
            if (info.high == 0) {
                fail("fault " + quoted(text) + ": " + info.name + " takes no argument");
            }
            fault.argument = static_cast<uint32_t>(
                numberIn(*argument, info.low, info.high, std::string("fault ") + info.name));
        } else if (info.needsArgument) {
            fail("fault " + quoted(text) + ": " + info.name + " needs :N");
        } else {
            fault.argument = info.defaultArgument;
        }
        return fault;
    }
    fail("fault " + quoted(text) +
         ": the kind is not one of silent, noise, crc, func, error, slow, delay, first");
}

DeviceConfig parseDevice(std::string_view text) {
    std::vector<std::pair<std::string_view, std::string_view>> pairs;
    std::optional<Model> model;
    for (std::string_view item : split(text, ',')) {
        size_t equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            fail("device: " + quoted(item) + " is not key=value");
        }
        std::string_view key = item.substr(0, equals);
        std::string_view value = item.substr(equals + 1);
        if (key == "model") {
            model = modelNamed(value);
        } else {
            pairs.emplace_back(key, value);
        }
    }
    if (!model) {
        fail("device: " + quoted(text) + " names no model=");
    }

    DeviceConfig config;
    config.model = *model;
    const ModelTraits& traits = traitsOf(config.model);
    config.channels = traits.maxChannels;
    config.nodes = traits.maxNodes;
    for (size_t n = 1; n <= kMostNodes; ++n) {
        if (n <= traits.maxChannels) {
            config.nodeSetups[n - 1].members[n] = true;
        }
    }
    for (size_t c = 1; c <= kMostChannels; ++c) {
        uint8_t bcd = static_cast<uint8_t>((c / 10) * 16 + c % 10);
        config.channelCodes[c - 1] = {bcd, 0x12, 0x34, 0x56};
    }
    config.version = {0x01, 0x00};
    uint8_t serial[2] = {0, 0};
    std::optional<uint32_t> seed;
    std::optional<std::array<uint8_t, 4>> identity;
    std::optional<uint8_t> variant;

    for (auto [key, value] : pairs) {
        if (key == "serial") {
            std::vector<uint8_t> bytes = hexBytes(value, 2, "serial");
            serial[0] = bytes[0];
            serial[1] = bytes[1];
        } else if (key == "address") {
            config.address = static_cast<uint8_t>(numberIn(value, 1, 255, "address"));
        } else if (key == "seed") {
            seed = static_cast<uint32_t>(numberIn(value, 0, 0xffffffffu, "seed"));
        } else if (key == "channels") {
            config.channels =
                static_cast<uint8_t>(numberIn(value, 0, traits.maxChannels, "channels"));
        } else if (key == "nodes") {
            config.nodes = static_cast<uint8_t>(numberIn(value, 0, traits.maxNodes, "nodes"));
        } else if (key.starts_with("node")) {
            uint64_t n = numberIn(key.substr(4), 1, traits.maxNodes, "node number");
            NodeSetup node;
            std::vector<std::string_view> parts = split(value, ':');
            if (parts.size() > 3) {
                fail(std::string(key) + ": " + quoted(value) + " is not TYPE[:MEMBERS[:SCALE]]");
            }
            uint64_t highestType = config.model == Model::Kmt ? 9
                                   : config.model == Model::KmtU || config.model == Model::KmtUV
                                       ? 255
                                       : 15;
            node.type = static_cast<uint8_t>(numberIn(parts[0], 0, highestType, "node type"));
            if (parts.size() > 1) {
                parseMembers(parts[1], node, traits.maxChannels);
            }
            if (parts.size() > 2) {
                if (config.model == Model::KmtV || config.model == Model::KmtUV) {
                    fail(std::string(key) + ": a " + traits.name + " reports no volume scale");
                }
                node.volumeScale = scaleOf(parts[2]);
            }
            config.nodeSetups[n - 1] = node;
        } else if (key.starts_with("chan")) {
            uint64_t c = numberIn(key.substr(4), 1, traits.maxChannels, "channel number");
            std::vector<uint8_t> bytes = hexBytes(value, 4, key);
            std::copy(bytes.begin(), bytes.end(), config.channelCodes[c - 1].begin());
        } else if (key == "ident") {
            std::vector<uint8_t> bytes = hexBytes(value, 4, "ident");
            identity = std::array<uint8_t, 4>{bytes[0], bytes[1], bytes[2], bytes[3]};
        } else if (key == "variant") {
            if (config.model != Model::KmtV) {
                fail("variant: only a KMT-V has a model variant");
            }
            variant = value.size() == 1 ? static_cast<uint8_t>(value[0])
                                        : static_cast<uint8_t>(numberIn(value, 0, 255, "variant"));
        } else if (key == "version") {
            std::vector<uint8_t> bytes = hexBytes(value, 2, "version");
            config.version = {bytes[0], bytes[1]};
        } else if (key == "clock") {
            config.clock = parseClock(value);
        } else if (key == "latency") {
            config.latencyMs = static_cast<uint32_t>(numberIn(value, 0, 60000, "latency"));
        } else if (key == "fault") {
            Fault fault = parseFault(value);
            if (fault.kind == FaultKind::Error && config.model == Model::Kmt) {
                fail("fault " + quoted(value) + ": a KMT sends no error replies");
            }
            config.faults.push_back(fault);
        } else {
            fail("device: unknown key " + quoted(key));
        }
    }
    if (config.model == Model::Kmt && (config.channels != 10 || config.nodes != 10)) {
        fail("channels, nodes: a KMT always reports 10 channels and 10 nodes");
    }
    config.seed = seed.value_or(config.address);
    config.identity = identity.value_or(std::array<uint8_t, 4>{0, 0, serial[0], serial[1]});
    if (variant) {
        config.identity[0] = *variant;
    }
    return config;
}

}  // namespace movra::sim
