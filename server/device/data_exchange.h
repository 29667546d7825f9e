// The exchange framework: the base of the five model protocols, the records they hand to the poll
// cycle, and the bounds-checked decoding of reply frames.
#pragma once

#include "common/com/result.h"
#include "platform/clock.h"
#include "platform/win.h"
#include "server/device/connection.h"
#include "platform/co_task_mem.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace movra {

// One value of a device. value holds the four reply bytes in the order received (the
// little-endian IEEE-754 single), or a 16-bit field zero-extended; quality 192 when taken from a
// reply, 0 when the model does not supply it (then value and timestamp are all zero too).
struct Reading {
    uint32_t value;
    uint16_t quality;
    SYSTEMTIME timestamp;
};

inline constexpr uint16_t kQualityGood = 192;
inline constexpr uint16_t kQualityBad = 0;

// Indexes of the readings within the blocks; the names are the published item names.
enum SystemReadingIndex : uint8_t { kSystemWord, kSystemPa, kSystemTx, kSystemTv };
enum ChannelReadingIndex : uint8_t {
    kChannelStatus,  // not published
    kChannelT,
    kChannelTo,
    kChannelP,
    kChannelQ,
    kChannelDP,
    kChannelV,
    kChannelG,
    kChannelM,
    kChannelQs,
    kChannelVs,
    kChannelN,
    kChannelNe,
    kChannelWe,
    kChannelWc,
};
enum NodeReadingIndex : uint8_t {
    kNodeWord,  // not published
    kNodeGy,
    kNodeMy,
    kNodeQy,
    kNodeVy,
    kNodeN,
    kNodeW,
    kNodeNe,
    kNodeWe,
    kNodeWm,
    kNodeWl,
};

struct SystemBlock {
    Reading readings[4];
};
struct ChannelBlock {
    Reading readings[15];
};
struct NodeBlock {
    Reading readings[11];
};

// Byte 0 is the model variant that ReadValues is given back.
struct DeviceIdentity {
    uint8_t bytes[9];
};
static_assert(sizeof(DeviceIdentity) == 9);

struct ChannelDescriptor {
    uint8_t code[8];        // model-specific
    uint32_t gasChannel;    // member of a node of type 7: its volumes are gas volumes
    uint32_t type9Channel;  // member of a node of type 9
};

struct NodeDescriptor {
    uint8_t nodeType;
    uint8_t members[20];  // members[c - 1] nonzero where K channel c belongs to the node
    float volumeScale;    // 1000.0 when the device keeps the node's volumes in thousands
    uint32_t isGasNode;   // nodeType 7
    uint32_t isType9Node;
    uint32_t scaleIs1000;
};

// What ReadValues is asked for: 30 flags. Flag 0 asks for every quantity; the poll cycle passes
// only that one. The single flags the models consult:
//   KMT     5 (status words; not part of kSelectAll)
//   KMT-V   none (the variant byte decides)
//   KMT-G   10
//   KMT-U   11-17, 1 2 4 5, 24-27, 20-23 28 29, 10 18 (one group per request)
//   KMT-UV  10 12 7 6 25 21 8 11 15 20 24 5 (one per request)
struct ReadSelection {
    uint32_t flags[30];

    bool has(size_t flag) const { return flag < 30 && flags[flag] != 0; }
    static ReadSelection all() {
        ReadSelection selection{};
        selection.flags[kSelectAll] = 1;
        return selection;
    }

    static constexpr size_t kSelectAll = 0;
    static constexpr size_t kSelectStatusWords = 5;
    static constexpr size_t kSelectChannelV = 10;
};

// Walks the data bytes of one reply. It never reads past them: a read that does not fit yields
// zeros and marks the reply as short, which fails the operation that decodes it.
class ReplyReader {
public:
    void reset(std::span<const uint8_t> data) {
        data_ = data;
        position_ = 0;
        short_ = false;
    }
    bool take(uint8_t* out, size_t count);
    uint8_t byte();
    // A 32-bit word sent most significant byte first.
    uint32_t wordMsbFirst();
    // count half-bytes, high half of each byte first; reads the bytes they need.
    void takeHalfBytes(uint8_t* out, size_t count);
    // Skipped bytes need not be there: only a later read past the end makes the reply short.
    void skip(size_t count);

    bool isShort() const { return short_; }
    size_t position() const { return position_; }

private:
    std::span<const uint8_t> data_;
    size_t position_ = 0;
    bool short_ = false;
};

// What a model of the newer family decodes in the shared identification scheme.
struct NewerFamilyDecoders {
    uint8_t nodeSelector;  // byte 4 of the node list requests
    void (*identity)(ReplyReader& reply, DeviceIdentity& identity);  // from data byte 12
    void (*channel)(ReplyReader& reply, ChannelDescriptor& channel);
    void (*node)(ReplyReader& reply, uint16_t reportedChannels, NodeDescriptor& node);
    // Marks the member channels after each node; null when the model marks none.
    void (*markChannels)(const NodeDescriptor& node, ChannelDescriptor* channels,
                         uint16_t channelCount);
};

// Base of the model protocols. One object per configured device, kept for the server's life and
// used only by the poll thread. The results of Identify and ReadValues are CoTaskMemAlloc'ed and
// belong to the caller on success, who frees them with CoTaskMemFree; on failure nothing is
// handed out (pointers null, counts 0) and linkError tells why.
//
// linkError of the protocols: the connection's value for a failed exchange (ERR_DEVICE ends
// only the channel and node lists of Identify); ERR_INCOMPLETE for a reply shorter than what the
// model decodes from it; ERR_PORT_SETUP when no connection was given; 0 for argument errors,
// E_OUTOFMEMORY and ReadValues before a successful Identify.
class CMovraDataExchange {
public:
    CMovraDataExchange(uint32_t requestSize, uint16_t maxChannels, uint16_t maxNodes,
                       platform::Clock& clock);
    virtual ~CMovraDataExchange();

    CMovraDataExchange(const CMovraDataExchange&) = delete;
    CMovraDataExchange& operator=(const CMovraDataExchange&) = delete;

    virtual HRESULT IsIdentified(uint32_t* identified) noexcept;
    // Not owned; the poll cycle gives each cycle's connection before using the object.
    virtual HRESULT SetConnection(CMovraDeviceConnection* connection) noexcept;
    virtual HRESULT SetTimestampSource(uint16_t source) noexcept;
    // channels has maxChannels entries and nodes maxNodes, of which the reported counts are the
    // device's.
    virtual HRESULT Identify(uint16_t* reportedChannels, uint16_t* reportedNodes,
                             DeviceIdentity** identity, ChannelDescriptor** channels,
                             NodeDescriptor** nodes, uint16_t* linkError) noexcept = 0;
    // variant: byte 0 of the device's identity. channels has maxChannels blocks and nodes
    // maxNodes; readings the model does not supply, and blocks beyond the reported counts, are
    // all zero.
    virtual HRESULT ReadValues(uint8_t variant, const ReadSelection* selection,
                               uint16_t* reportedChannels, uint16_t* reportedNodes,
                               SystemBlock** system, ChannelBlock** channels, NodeBlock** nodes,
                               uint16_t* linkError) noexcept = 0;

    uint32_t RequestSize() const { return requestSize; }
    uint16_t MaxChannels() const { return maxChannels; }
    uint16_t MaxNodes() const { return maxNodes; }

protected:
    struct IdentityArrays {
        platform::CoTaskMemPtr<DeviceIdentity> identity;
        platform::CoTaskMemPtr<ChannelDescriptor> channels;
        platform::CoTaskMemPtr<NodeDescriptor> nodes;
    };
    struct ReadingArrays {
        platform::CoTaskMemPtr<SystemBlock> system;
        platform::CoTaskMemPtr<ChannelBlock> channels;
        platform::CoTaskMemPtr<NodeBlock> nodes;
    };
    struct IdentifyOutputs {
        uint16_t* reportedChannels;
        uint16_t* reportedNodes;
        DeviceIdentity** identity;
        ChannelDescriptor** channels;
        NodeDescriptor** nodes;
        uint16_t* linkError;
    };
    struct ReadOutputs {
        uint16_t* reportedChannels;
        uint16_t* reportedNodes;
        SystemBlock** system;
        ChannelBlock** channels;
        NodeBlock** nodes;
        uint16_t* linkError;
    };

    // The common frame of Identify around a model's body, which fills the arrays and the
    // reported counts: the outputs are checked and cleared and the arrays allocated first; they
    // are handed out, and the counts kept, only when the body succeeds, else freed.
    template <typename Body>
    HRESULT RunIdentify(const IdentifyOutputs& out, Body&& body) {
        IdentityArrays arrays;
        HRESULT hr = BeginIdentify(out, arrays);
        if (FAILED(hr)) {
            return hr;
        }
        uint16_t channelCount = 0;
        uint16_t nodeCount = 0;
        hr = body(arrays, channelCount, nodeCount);
        return EndIdentify(hr, arrays, channelCount, nodeCount, out);
    }
    // The same for ReadValues, which also needs a successful Identify; the body fills the blocks.
    template <typename Body>
    HRESULT RunRead(const ReadOutputs& out, const ReadSelection* selection, Body&& body) {
        ReadingArrays readings;
        HRESULT hr = BeginRead(out, selection, readings);
        if (FAILED(hr)) {
            return hr;
        }
        hr = body(readings);
        return EndRead(hr, readings, out);
    }

    HRESULT BeginIdentify(const IdentifyOutputs& out, IdentityArrays& arrays);
    HRESULT EndIdentify(HRESULT hr, IdentityArrays& arrays, uint16_t channelCount,
                        uint16_t nodeCount, const IdentifyOutputs& out);
    HRESULT BeginRead(const ReadOutputs& out, const ReadSelection* selection,
                      ReadingArrays& arrays);
    HRESULT EndRead(HRESULT hr, ReadingArrays& arrays, const ReadOutputs& out);

    // The newer family's identification (KMT-V, KMT-G, KMT-U, KMT-UV): identity with selector
    // 4, then the channel and node lists, each ended by the device's error reply.
    HRESULT IdentifyNewerFamily(const NewerFamilyDecoders& decoders, IdentityArrays& arrays,
                                uint16_t& channelCount, uint16_t& nodeCount, uint16_t* linkError);

    // The current values of KMT-V and KMT-G, one 0x51 request: the clock, Pa, six quantities
    // per channel, four per node and the channel status words.
    HRESULT ReadGroupedValues(ReadingArrays& readings, uint16_t* linkError);

    // Sends request; on success the reply's data bytes are ready for the Take helpers.
    HRESULT DoExchange(uint16_t* linkError);
    // Frees the reply; fails with ERR_INCOMPLETE when the decoding ran past its data.
    HRESULT FinishReply(uint16_t* linkError);
    // Writes raw bytes (no address, no CRC, no reply).
    HRESULT SendRaw(uint32_t count, const uint8_t* bytes, uint16_t* linkError);
    void ClearRequest();
    void StampPcTime();
    static void InitReading(Reading& reading, uint16_t quality);
    void TakeReading(Reading& reading, bool twoBytes);
    void TakeRaw4(void* destination);
    void TakeDateTime(SYSTEMTIME& time, bool padded);
    static uint8_t DigitValue(uint8_t character, uint8_t low, uint8_t high);
    // A good reading's timestamp: the device clock or the PC clock, as configured.
    const SYSTEMTIME& ReadingTime() const;
    // The newer family's clock at the start of a reply (day, month, year, hour, minute,
    // second) into deviceTime, then the PC time is stamped.
    void TakeDeviceClock();
    // One value per reported channel (node) into reading index of each block, in order.
    void TakeEachChannel(ChannelBlock* blocks, uint8_t index, bool twoBytes = false);
    void TakeEachNode(NodeBlock* blocks, uint8_t index);
    // Reading to = a copy of reading from, in every reported channel (node).
    void CopyEachChannel(ChannelBlock* blocks, uint8_t to, uint8_t from) const;
    void CopyEachNode(NodeBlock* blocks, uint8_t to, uint8_t from) const;

    ReplyReader& Reply() { return replyReader; }

    // The fields of the protocol object.
    CMovraDeviceConnection* connection = nullptr;
    std::array<uint8_t, 10> request{};
    platform::CoTaskMemPtr<uint8_t> reply;
    uint32_t requestSize;
    uint32_t replySize = 0;
    uint16_t reportedChannels = 0;
    uint16_t reportedNodes = 0;
    uint16_t maxChannels;
    uint16_t maxNodes;
    SYSTEMTIME pcTime{};
    SYSTEMTIME deviceTime{};
    uint16_t timestampSource = 0;
    uint32_t identified = 0;

private:
    bool AllocIdentity(IdentityArrays& arrays);
    bool AllocReadings(ReadingArrays& arrays);

    ReplyReader replyReader;
    platform::Clock& clock;
};

// The protocol object of a device type: codes 1 to 5; null for any other code and when out of
// memory.
std::unique_ptr<CMovraDataExchange> createDataExchange(
    uint8_t deviceType, platform::Clock& clock = platform::realClock());

}  // namespace movra
