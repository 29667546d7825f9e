#include "common/config/config_file.h"

#include "common/config/byte_cursor.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace movra {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads at most kMaxFileBytes; the buffer grows with what the file really holds, never with what
// a field claims. False only when the file cannot be opened; a read error ends the bytes early,
// and the decoder then finds them short.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return false;
    }
    bytes.clear();
    constexpr size_t kChunk = 64 * 1024;
    while (bytes.size() < kMaxFileBytes) {
        size_t want = std::min(kChunk, kMaxFileBytes - bytes.size());
        size_t had = bytes.size();
        bytes.resize(had + want);
        size_t got = std::fread(bytes.data() + had, 1, want, file.get());
        bytes.resize(had + got);
        if (got < want) {
            break;
        }
    }
    return true;
}

struct Header {
    float formatVersion = 0;
    uint32_t deviceCount = 0;
    uint32_t periodSec = 0;
};

bool readHeader(ByteCursor& cursor, Header& header) {
    cursor.read(header.formatVersion);
    cursor.read(header.deviceCount);
    cursor.read(header.periodSec);
    return !cursor.failed();
}

bool hasStartDelay(float formatVersion) {
    return formatVersion >= kStartDelayVersion;
}

// One record into `record`, which is changed only when the record is whole.
bool readRecord(ByteCursor& cursor, bool withStartDelay, DeviceRecord& record) {
    DeviceRecord next;
    uint32_t length = 0;
    cursor.read(length);
    cursor.read(next.description, length);
    cursor.read(next.serial);
    cursor.read(next.deviceType);
    cursor.read(next.linkType);
    cursor.read(next.baudCode);
    cursor.read(next.comPort);
    cursor.read(next.rs485Address);
    cursor.read(next.energyUnit);
    cursor.read(next.gasVolumeUnit);
    cursor.read(next.timestampSource);
    cursor.read(next.viaRiAdapter);
    cursor.read(next.reserved1);
    cursor.read(next.reserved2);
    cursor.read(next.reserved3);
    cursor.read(next.reserved4);
    if (withStartDelay) {
        cursor.read(next.startDelayMs);
    }
    if (cursor.failed()) {
        return false;
    }
    record = std::move(next);
    return true;
}

void writeRecord(ByteWriter& out, const DeviceRecord& record) {
    out.write(static_cast<uint32_t>(record.description.size()));
    out.write(record.description);
    out.write(std::span<const uint8_t>(record.serial));
    out.write(record.deviceType);
    out.write(record.linkType);
    out.write(record.baudCode);
    out.write(record.comPort);
    out.write(record.rs485Address);
    out.write(record.energyUnit);
    out.write(record.gasVolumeUnit);
    out.write(record.timestampSource);
    out.write(record.viaRiAdapter);
    out.write(record.reserved1);
    out.write(std::span<const uint8_t>(record.reserved2));
    out.write(std::span<const uint8_t>(record.reserved3));
    out.write(std::span<const uint8_t>(record.reserved4));
    out.write(record.startDelayMs);
}

}  // namespace

int decodeServerConfiguration(std::span<const uint8_t> bytes, ServerConfiguration& config) {
    config = ServerConfiguration{};
    ByteCursor cursor(bytes);
    Header header;
    if (!readHeader(cursor, header) || header.deviceCount > kMaxDevices ||
        header.periodSec > kMaxPollPeriodSec) {
        return 0;
    }
    ServerConfiguration read;
    read.pollPeriodMs = header.periodSec * 1000;
    read.devices.resize(header.deviceCount);
    for (DeviceRecord& record : read.devices) {
        if (!readRecord(cursor, hasStartDelay(header.formatVersion), record)) {
            return 0;
        }
        read.channelCounts.push_back(channelCountOf(record.deviceType));
        read.nodeCounts.push_back(nodeCountOf(record.deviceType));
    }
    read.riRs485DeviceCount = riRs485DeviceCount(read.devices);
    config = std::move(read);
    return 1;
}

int ReadConfiguration(const std::string& path, ServerConfiguration& config) {
    config = ServerConfiguration{};
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes)) {
        return 0;
    }
    return decodeServerConfiguration(bytes, config);
}

LoadResult decodeConfiguratorFile(std::span<const uint8_t> bytes, ConfiguratorTable& table) {
    table = ConfiguratorTable{};
    LoadResult result;
    result.outcome = LoadOutcome::Damaged;
    ByteCursor cursor(bytes);
    Header header;
    if (!readHeader(cursor, header)) {
        return result;
    }
    table.periodSec = header.periodSec;
    result.recordsDeclared = header.deviceCount;
    uint32_t fitting = std::min<uint32_t>(header.deviceCount, kMaxDevices);
    while (table.count < fitting) {
        if (!readRecord(cursor, hasStartDelay(header.formatVersion), table.records[table.count])) {
            break;
        }
        ++table.count;
    }
    result.recordsRead = table.count;
    if (table.count == header.deviceCount) {
        result.outcome = LoadOutcome::Loaded;
    }
    return result;
}

LoadResult loadConfiguratorFile(const std::string& path, ConfiguratorTable& table) {
    table = ConfiguratorTable{};
    std::vector<uint8_t> bytes;
    if (!readFileBytes(path, bytes)) {
        return LoadResult{};
    }
    return decodeConfiguratorFile(bytes, table);
}

bool encodeConfiguratorFile(const ConfiguratorTable& table, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (table.count > kMaxDevices) {
        return false;
    }
    ByteWriter out(bytes);
    out.write(kFormatVersion);
    out.write(table.count);
    out.write(table.periodSec);
    for (uint32_t i = 0; i < table.count; ++i) {
        if (table.records[i].description.size() > UINT32_MAX) {
            bytes.clear();
            return false;
        }
        writeRecord(out, table.records[i]);
    }
    return true;
}

bool saveConfiguratorFile(const std::string& path, const ConfiguratorTable& table) {
    std::vector<uint8_t> bytes;
    if (!encodeConfiguratorFile(table, bytes)) {
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    // A short write (a full disk) is a failed save, not a success with a cut file.
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    bool closed = std::fclose(file) == 0;
    return written && closed;
}

}  // namespace movra
