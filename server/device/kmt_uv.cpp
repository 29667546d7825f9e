// The KMT-UV protocol: one 0x51 request per quantity, selected by the index in byte 2.
#include "server/device/kmt_models.h"
#include "server/device/newer_family.h"

namespace movra {

using namespace newer_family;

namespace {

void decodeIdentity(ReplyReader& reply, DeviceIdentity& identity) {
    const uint8_t byte12 = reply.byte();
    identity.bytes[4] = high(byte12);
    identity.bytes[5] = low(byte12);
}

void decodeChannel(ReplyReader& reply, ChannelDescriptor& channel) {
    const uint8_t byte0 = reply.byte();
    const uint8_t byte1 = reply.byte();
    channel.code[0] = high(byte0);
    channel.code[1] = 4;
    channel.code[2] = low(byte0);
    channel.code[5] = high(byte1);
    channel.code[6] = low(byte1);
}

// KMT-UV nodes are never gas nodes: no scale, no flags.
void decodeNode(ReplyReader& reply, uint16_t /*reportedChannels*/, NodeDescriptor& node) {
    node.nodeType = reply.byte();
    reply.skip(3);
    unpackMembers(reply.wordMsbFirst(), node.members);
}

constexpr NewerFamilyDecoders kDecoders{2, decodeIdentity, decodeChannel, decodeNode, nullptr};

struct ValueRow {
    uint8_t index;    // byte 2 of the request
    bool perNode;     // one value per reported node, else per reported channel
    uint8_t reading;  // index of the reading within the block
    size_t flag;      // selection flag that asks for the row
};

// In request order; the status words come last and are 2 bytes each.
constexpr ValueRow kRows[] = {
    {1, false, kChannelV, 10}, {2, false, kChannelM, 12}, {3, false, kChannelP, 7},
    {4, false, kChannelT, 6},  {5, true, kNodeW, 25},     {7, true, kNodeMy, 21},
    {8, false, kChannelQ, 8},  {9, false, kChannelG, 11}, {10, false, kChannelN, 15},
    {12, true, kNodeGy, 20},   {13, true, kNodeN, 24},    {100, false, kChannelStatus, 5},
};

}  // namespace

CKMT_UV_DataExchange::CKMT_UV_DataExchange(platform::Clock& clock)
    : CMovraDataExchange(10, 10, 6, clock) {}

HRESULT CKMT_UV_DataExchange::Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                       DeviceIdentity** identity, ChannelDescriptor** channels,
                                       NodeDescriptor** nodes, uint16_t* linkError) noexcept {
    return RunIdentify({channelCountOut, nodeCountOut, identity, channels, nodes, linkError},
                       [&](IdentityArrays& arrays, uint16_t& channelCount, uint16_t& nodeCount) {
                           return IdentifyNewerFamily(kDecoders, arrays, channelCount, nodeCount,
                                                      linkError);
                       });
}

HRESULT CKMT_UV_DataExchange::ReadValues(uint8_t /*variant*/, const ReadSelection* selection,
                                         uint16_t* channelCountOut, uint16_t* nodeCountOut,
                                         SystemBlock** system, ChannelBlock** channels,
                                         NodeBlock** nodes, uint16_t* linkError) noexcept {
    return RunRead(
        {channelCountOut, nodeCountOut, system, channels, nodes, linkError}, selection,
        [&](ReadingArrays& readings) { return ReadDevice(*selection, readings, linkError); });
}

HRESULT CKMT_UV_DataExchange::ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                                         uint16_t* linkError) {
    // The device expects index 0 first; its reply carries nothing the server uses.
    ClearRequest();
    request[1] = kValuesFunction;
    HRESULT hr = DoExchange(linkError);
    RETURN_IF_FAILED(hr);
    hr = FinishReply(linkError);
    RETURN_IF_FAILED(hr);

    for (const ValueRow& row : kRows) {
        if (!selection.has(ReadSelection::kSelectAll) && !selection.has(row.flag)) {
            continue;
        }
        request[2] = row.index;
        hr = DoExchange(linkError);
        RETURN_IF_FAILED(hr);
        TakeDeviceClock();
        Reply().skip(1);
        if (row.perNode) {
            TakeEachNode(readings.nodes.get(), row.reading);
        } else {
            TakeEachChannel(readings.channels.get(), row.reading, row.reading == kChannelStatus);
        }
        hr = FinishReply(linkError);
        RETURN_IF_FAILED(hr);
    }
    return S_OK;
}

}  // namespace movra
