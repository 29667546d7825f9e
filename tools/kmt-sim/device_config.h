// The setup of one simulated metering computer, as given by a --device option.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movra::sim {

enum class Model : uint8_t { Kmt, KmtV, KmtG, KmtU, KmtUV };

struct ModelTraits {
    const char* name;
    uint8_t maxChannels;
    uint8_t maxNodes;
    uint8_t requestLength;  // bytes of a request frame
};

const ModelTraits& traitsOf(Model model);

inline constexpr size_t kMostChannels = 20;
inline constexpr size_t kMostNodes = 16;

struct NodeSetup {
    uint8_t type = 1;
    std::array<bool, kMostChannels + 1> members{};  // entry j: channel j (1 based) belongs
    float volumeScale = 1.0f;
};

enum class FaultKind { Silent, Noise, Crc, Function, Error, Slow, Delay, First };

// One injected misbehaviour. It looks at the requests that match its scope (all, or one function
// code, optionally with one index byte), counts them, and acts on the matching requests from the
// (skip + 1)-th on, `count` times or for good.
struct Fault {
    FaultKind kind = FaultKind::Silent;
    uint32_t argument = 0;  // noise bytes, milliseconds, error code or frames answered
    std::optional<uint8_t> function;
    std::optional<uint8_t> index;
    uint32_t skip = 0;
    std::optional<uint32_t> count;
};

struct ClockSetting {
    enum class Mode { Offset, Start, Fixed };
    Mode mode = Mode::Offset;
    int64_t offsetSeconds = 0;  // Offset: added to the PC's local time
    int64_t startSeconds = 0;   // Start, Fixed: a civil date and time as seconds since 1970-01-01
};

struct DeviceConfig {
    Model model = Model::Kmt;
    uint8_t address = 254;
    uint32_t seed = 254;
    uint8_t channels = 10;                                             // reported channels
    uint8_t nodes = 10;                                                // reported nodes
    std::array<NodeSetup, kMostNodes> nodeSetups{};                    // node n at n - 1
    std::array<std::array<uint8_t, 4>, kMostChannels> channelCodes{};  // channel c at c - 1
    std::array<uint8_t, 4> identity{};  // identity bytes 0 to 3 as a server decodes them
    std::array<uint8_t, 2> version{};   // the four version half-bytes, high half first
    ClockSetting clock;
    uint32_t latencyMs = 0;
    std::vector<Fault> faults;

    std::string label() const;  // e.g. "KMT-U@1"
};

// Parse errors throw std::invalid_argument with a message that names the offending part.
DeviceConfig parseDevice(std::string_view text);
Fault parseFault(std::string_view text);
ClockSetting parseClock(std::string_view text);

// Seconds since 1970-01-01 00:00:00 of a civil date and time, and back (no time zone involved).
struct CivilTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 6;  // 1 Monday .. 7 Sunday
};
int64_t secondsOfCivil(const CivilTime& time);
CivilTime civilOfSeconds(int64_t seconds);

}  // namespace movra::sim
