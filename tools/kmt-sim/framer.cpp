#include "tools/kmt-sim/framer.h"

#include "tools/kmt-sim/frame.h"

#include <span>
#include <utility>

namespace movra::sim {

namespace {

constexpr size_t kShortRequest = 8;
constexpr size_t kLongRequest = 10;

}  // namespace

Framer::Framer(std::vector<Station> stations, int64_t quietUs)
    : stations_(std::move(stations)), quietUs_(quietUs) {}

void Framer::push(const uint8_t* bytes, size_t count, int64_t nowUs) {
    bytes_.insert(bytes_.end(), bytes, bytes + count);
    arrivals_.insert(arrivals_.end(), count, nowUs);
    lastArrivalUs_ = nowUs;
}

std::optional<size_t> Framer::stationOf(uint8_t address) const {
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (stations_[i].address == address) {
            return i;
        }
    }
    return std::nullopt;
}

// Whether a frame starts at `offset`: a request for one of ours (its own length only), or any
// request or reply of another station.
Framer::Match Framer::matchAt(size_t offset, size_t& length, std::optional<size_t>& station) const {
    const size_t available = bytes_.size() - offset;
    std::span<const uint8_t> at(bytes_.data() + offset, available);
    station = stationOf(at[0]);
    if (station) {
        length = stations_[*station].requestLength;
        if (available < length) {
            return Match::Partial;
        }
        return crcHolds(at.first(length)) ? Match::Frame : Match::None;
    }
    bool partial = false;
    for (size_t candidate : {kShortRequest, kLongRequest}) {
        if (available < candidate) {
            partial = true;
        } else if (crcHolds(at.first(candidate))) {
            length = candidate;
            return Match::Frame;
        }
    }
    if (available < 3) {
        return Match::Partial;
    }
    size_t replyLength = size_t{at[2]} + 5;
    if (available < replyLength) {
        partial = true;
    } else if (crcHolds(at.first(replyLength))) {
        length = replyLength;
        return Match::Frame;
    }
    return partial ? Match::Partial : Match::None;
}

LineEvent Framer::take(LineEvent::Kind kind, size_t count, std::optional<size_t> station) {
    LineEvent event;
    event.kind = kind;
    event.station = station.value_or(0);
    event.firstByteUs = arrivals_.front();
    event.bytes.assign(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    arrivals_.erase(arrivals_.begin(), arrivals_.begin() + static_cast<std::ptrdiff_t>(count));
    return event;
}

// Garbage reaches up to the next byte that could begin something of ours: one of our addresses
// or a zero byte.
size_t Framer::nextPlausibleStart() const {
    for (size_t k = 1; k < bytes_.size(); ++k) {
        if (bytes_[k] == 0 || stationOf(bytes_[k])) {
            return k;
        }
    }
    return bytes_.size();
}

std::optional<LineEvent> Framer::next(int64_t nowUs) {
    if (bytes_.empty()) {
        return std::nullopt;
    }
    if (bytes_[0] == 0 && !stationOf(0)) {
        size_t zeros = 1;
        while (zeros < bytes_.size() && bytes_[zeros] == 0) {
            ++zeros;
        }
        return take(LineEvent::Kind::Filler, zeros, std::nullopt);
    }
    size_t length = 0;
    std::optional<size_t> station;
    Match match = matchAt(0, length, station);
    if (match == Match::Frame) {
        return take(station ? LineEvent::Kind::Request : LineEvent::Kind::Foreign, length, station);
    }
    // A whole request of ours further on means everything before it is garbage: do not wait
    // for the quiet time to find out.
    for (size_t offset = 1; offset < bytes_.size(); ++offset) {
        if (!stationOf(bytes_[offset])) {
            continue;
        }
        size_t laterLength = 0;
        std::optional<size_t> laterStation;
        if (matchAt(offset, laterLength, laterStation) == Match::Frame) {
            return take(LineEvent::Kind::Garbage, offset, std::nullopt);
        }
    }
    if (match == Match::Partial && nowUs < lastArrivalUs_ + quietUs_) {
        return std::nullopt;
    }
    return take(LineEvent::Kind::Garbage, nextPlausibleStart(), std::nullopt);
}

std::optional<int64_t> Framer::deadline() const {
    if (bytes_.empty()) {
        return std::nullopt;
    }
    return lastArrivalUs_ + quietUs_;
}

}  // namespace movra::sim
