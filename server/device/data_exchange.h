// The exchange framework: the base of the model protocols. It checks and clears the outputs of
// Identify and ReadValues, allocates what they hand out and hands it out only on success, sends
// the requests that the request builder makes from the model's description, and decodes the field
// types that every model shares. ReadValues follows the model's read plan; Identify is the model's.
#pragma once

#include "common/com/result.h"
#include "common/config/byte_cursor.h"
#include "platform/clock.h"
#include "platform/co_task_mem.h"
#include "platform/win.h"
#include "server/device/connection.h"
#include "server/device/readings.h"
#include "server/device/request_builder.h"
#include "server/models/model.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace movra {

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
    CMovraDataExchange(const ModelDescription& model, platform::Clock& clock);
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
    // all zero. The requests are the rows of the model's read plan that the selection (or the
    // variant) asks for, in order.
    virtual HRESULT ReadValues(uint8_t variant, const ReadSelection* selection,
                               uint16_t* reportedChannels, uint16_t* reportedNodes,
                               SystemBlock** system, ChannelBlock** channels, NodeBlock** nodes,
                               uint16_t* linkError) noexcept;

    uint32_t RequestSize() const { return model.line.frameLength; }
    uint16_t MaxChannels() const { return maxChannels; }
    uint16_t MaxNodes() const { return maxNodes; }
    const ModelDescription& Model() const { return model; }

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

    // The common frame of Identify around a model's body, which fills the arrays and the
    // reported counts: the outputs are checked and cleared and the arrays allocated first; they
    // are handed out, and the counts kept, only when the body succeeds, else freed.
    template <typename Body>
    HRESULT RunIdentify(const IdentifyOutputs& out, Body&& body) {
        IdentityArrays arrays;
        RETURN_IF_FAILED(BeginIdentify(out, arrays));
        uint16_t channelCount = 0;
        uint16_t nodeCount = 0;
        const HRESULT hr = body(arrays, channelCount, nodeCount);
        return EndIdentify(hr, arrays, channelCount, nodeCount, out);
    }

    // Sends the request built from the description; on success the reply's data bytes are ready
    // for the Take helpers.
    HRESULT DoExchange(const Request& request, uint16_t* linkError);
    HRESULT DoExchange(uint8_t function, std::initializer_list<uint8_t> parameters,
                       uint16_t* linkError);
    // Frees the reply; fails with ERR_INCOMPLETE when the decoding ran past its data.
    HRESULT FinishReply(uint16_t* linkError);
    // The zero bytes some models need on the line before an operation (no address, no CRC, no
    // reply); nothing for the others.
    HRESULT SendZeroBytes(uint16_t* linkError);
    void StampPcTime();
    static void InitReading(Reading& reading, uint16_t quality);
    void TakeReading(Reading& reading, bool twoBytes);
    void TakeRaw4(void* destination);
    void TakeDateTime(SYSTEMTIME& time, bool padded);
    static uint8_t DigitValue(uint8_t character, uint8_t low, uint8_t high);
    // A good reading's timestamp: the device clock or the PC clock, as configured.
    const SYSTEMTIME& ReadingTime() const;

    // The data bytes of the reply in hand.
    ByteCursor& Reply() { return replyCursor; }

    // The fields of the protocol object.
    const ModelDescription& model;
    CMovraDeviceConnection* connection = nullptr;
    RequestFrame request;
    platform::CoTaskMemPtr<uint8_t> reply;
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
    HRESULT BeginIdentify(const IdentifyOutputs& out, IdentityArrays& arrays);
    HRESULT EndIdentify(HRESULT hr, IdentityArrays& arrays, uint16_t channelCount,
                        uint16_t nodeCount, const IdentifyOutputs& out);
    bool AllocIdentity(IdentityArrays& arrays);
    bool AllocReadings(ReadingArrays& arrays);

    // The read plan (read_plan.cpp).
    HRESULT RunReadPlan(uint8_t variant, const ReadSelection& selection, ReadingArrays& readings,
                        uint16_t* linkError);
    void TakeField(const Field& field, ReadingArrays& readings, uint16_t requestedChannel);

    ByteCursor replyCursor{{}};
    platform::Clock& clock;
};

// What a successful Identify handed out, owned.
struct DeviceIdentification {
    uint16_t reportedChannels = 0;
    uint16_t reportedNodes = 0;
    platform::CoTaskMemPtr<DeviceIdentity> identity;
    platform::CoTaskMemPtr<ChannelDescriptor> channels;  // MaxChannels() of the model
    platform::CoTaskMemPtr<NodeDescriptor> nodes;        // MaxNodes() of the model
};

// What a successful ReadValues of every reading handed out, owned.
struct DeviceReadings {
    uint16_t reportedChannels = 0;
    uint16_t reportedNodes = 0;
    platform::CoTaskMemPtr<SystemBlock> system;
    platform::CoTaskMemPtr<ChannelBlock> channels;
    platform::CoTaskMemPtr<NodeBlock> nodes;
};

// Identify and ReadValues (of everything) with what they hand out owned; a success that leaves
// an output out counts as E_FAIL. `out` is left as the call left it.
HRESULT takeIdentification(CMovraDataExchange& exchange, DeviceIdentification& out,
                           uint16_t* linkError);
HRESULT takeAllReadings(CMovraDataExchange& exchange, uint8_t variant, DeviceReadings& out,
                        uint16_t* linkError);

}  // namespace movra
