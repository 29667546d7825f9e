// Cuts the byte stream of a line into request frames for the simulated devices. A real bus also
// carries other stations' requests and replies, the zero bytes a KMT master sends before its
// operations, and noise; the framer finds frames by their CRC and resynchronises on garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace movra::sim {

struct Station {
    uint8_t address;
    size_t requestLength;
};

struct LineEvent {
    enum class Kind {
        Request,  // a whole request for station `station`
        Foreign,  // a whole frame for, or from, another station
        Filler,   // zero bytes between frames
        Garbage,  // bytes that belong to no frame
    };
    Kind kind = Kind::Garbage;
    size_t station = 0;
    std::vector<uint8_t> bytes;
    int64_t firstByteUs = 0;  // when the first byte arrived
};

class Framer {
public:
    // `quietUs`: how long the line must stay quiet before an unfinished frame counts as garbage.
    Framer(std::vector<Station> stations, int64_t quietUs);

    void push(const uint8_t* bytes, size_t count, int64_t nowUs);
    // The next event, or nothing while the bytes at hand may still become a frame.
    std::optional<LineEvent> next(int64_t nowUs);
    // When waiting bytes turn into garbage if nothing else arrives; nothing when none wait.
    std::optional<int64_t> deadline() const;

private:
    enum class Match { Frame, Partial, None };
    Match matchAt(size_t offset, size_t& length, std::optional<size_t>& station) const;
    std::optional<size_t> stationOf(uint8_t address) const;
    LineEvent take(LineEvent::Kind kind, size_t count, std::optional<size_t> station);
    size_t nextPlausibleStart() const;

    std::vector<Station> stations_;
    int64_t quietUs_;
    std::vector<uint8_t> bytes_;
    std::vector<int64_t> arrivals_;
    int64_t lastArrivalUs_ = 0;
};

}  // namespace movra::sim
