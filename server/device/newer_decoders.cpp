// What each model of the newer family packs into its identification replies.
#include "server/device/newer_family.h"
#include "server/device/reply_fields.h"

namespace movra {

using namespace reply;

namespace {

// Identity bytes 4 and 5: the halves of data byte 12 (KMT-V, KMT-UV).
void identityOneByte(ByteCursor& cursor, DeviceIdentity& identity) {
    const uint8_t byte12 = byte(cursor);
    identity.bytes[4] = high(byte12);
    identity.bytes[5] = low(byte12);
}

// KMT-G: then the high half of data byte 13 as byte 6; KMT-U: its low half as byte 8 as well.
void identityKmtG(ByteCursor& cursor, DeviceIdentity& identity) {
    identityOneByte(cursor, identity);
    identity.bytes[6] = high(byte(cursor));
}
void identityKmtU(ByteCursor& cursor, DeviceIdentity& identity) {
    identityOneByte(cursor, identity);
    const uint8_t byte13 = byte(cursor);
    identity.bytes[6] = high(byte13);
    identity.bytes[8] = low(byte13);
}

// KMT-V and KMT-UV: two bytes spread over the code with a 4 in byte 1.
void channelTwoBytes(ByteCursor& cursor, ChannelDescriptor& channel) {
    const uint8_t byte0 = byte(cursor);
    const uint8_t byte1 = byte(cursor);
    channel.code[0] = high(byte0);
    channel.code[1] = 4;
    channel.code[2] = low(byte0);
    channel.code[5] = high(byte1);
    channel.code[6] = low(byte1);
}

void channelKmtG(ByteCursor& cursor, ChannelDescriptor& channel) {
    takeHalfBytes(cursor, channel.code, 7);
}

// A decimal first byte, then the six half-bytes of data bytes 1 to 3.
void channelKmtU(ByteCursor& cursor, ChannelDescriptor& channel) {
    uint8_t bytes[4];
    take(cursor, bytes, sizeof bytes);
    channel.code[0] = static_cast<uint8_t>(10 * high(bytes[0]) + low(bytes[0]));
    for (size_t k = 0; k < 6; ++k) {
        channel.code[1 + k] = halfByteAt(bytes + 1, k);
    }
}

// KMT-V: the type, then one half-byte per reported channel. Never gas nodes.
void nodeKmtV(ByteCursor& cursor, uint16_t reportedChannels, NodeDescriptor& node) {
    uint8_t halves[1 + 20] = {};
    if (reportedChannels > 20) {
        reportedChannels = 20;
    }
    takeHalfBytes(cursor, halves, 1 + reportedChannels);
    node.nodeType = halves[0];
    for (uint16_t j = 0; j < reportedChannels; ++j) {
        node.members[j] = halves[1 + j];
    }
}

void setScale(ByteCursor& cursor, NodeDescriptor& node) {
    node.volumeScale = takeFloat(cursor);
    node.scaleIs1000 = node.volumeScale == 1000.0f;
    node.isGasNode = node.nodeType == 7;
}

// KMT-G: data bytes 0 to 3 the type and one half-byte per reported channel; 4 to 7 the scale.
void nodeKmtG(ByteCursor& cursor, uint16_t reportedChannels, NodeDescriptor& node) {
    uint8_t head[4];
    take(cursor, head, sizeof head);
    node.nodeType = halfByteAt(head, 0);
    for (uint16_t j = 0; j < reportedChannels && j + 1u < 2 * sizeof head; ++j) {
        node.members[j] = halfByteAt(head, 1 + j);
    }
    setScale(cursor, node);
}

// KMT-U: the type byte, 3 bytes not used, two packed words (channels 1-10, 11-20), the scale.
void nodeKmtU(ByteCursor& cursor, uint16_t /*reportedChannels*/, NodeDescriptor& node) {
    node.nodeType = byte(cursor);
    cursor.skip(3);
    const uint32_t channels1To10 = wordMsbFirst(cursor);
    const uint32_t channels11To20 = wordMsbFirst(cursor);
    unpackMembers(channels1To10, node.members);
    unpackMembers(channels11To20, node.members + 10);
    setScale(cursor, node);
    node.isType9Node = node.nodeType == 9;
}

// KMT-UV: the type byte, 3 bytes not used, one packed word. Never gas nodes: no scale, no flags.
void nodeKmtUV(ByteCursor& cursor, uint16_t /*reportedChannels*/, NodeDescriptor& node) {
    node.nodeType = byte(cursor);
    cursor.skip(3);
    unpackMembers(wordMsbFirst(cursor), node.members);
}

// A channel in several nodes keeps the flags of the last of them.
void markGasChannels(const NodeDescriptor& node, ChannelDescriptor* channels,
                     uint16_t channelCount) {
    for (uint16_t j = 0; j < channelCount && j < 20; ++j) {
        if (node.members[j] != 0) {
            channels[j].gasChannel = node.isGasNode;
        }
    }
}
void markGasAndType9Channels(const NodeDescriptor& node, ChannelDescriptor* channels,
                             uint16_t channelCount) {
    for (uint16_t j = 0; j < channelCount && j < 20; ++j) {
        if (node.members[j] != 0) {
            channels[j].gasChannel = node.isGasNode;
            channels[j].type9Channel = node.isType9Node;
        }
    }
}

constexpr NewerFamilyDecoders kDecoders[] = {
    {kTypeKmtV, identityOneByte, channelTwoBytes, nodeKmtV, nullptr},
    {kTypeKmtG, identityKmtG, channelKmtG, nodeKmtG, markGasChannels},
    {kTypeKmtU, identityKmtU, channelKmtU, nodeKmtU, markGasAndType9Channels},
    {kTypeKmtUV, identityOneByte, channelTwoBytes, nodeKmtUV, nullptr},
};

}  // namespace

const NewerFamilyDecoders* newerFamilyDecoders(uint8_t deviceType) {
    for (const NewerFamilyDecoders& decoders : kDecoders) {
        if (decoders.type == deviceType) {
            return &decoders;
        }
    }
    return nullptr;
}

}  // namespace movra
