// The protocols of the five KMT models. The poll cycle makes them with createDataExchange.
#pragma once

#include "server/device/data_exchange.h"

namespace movra {

// KMT (device type 1): 8-byte requests, always 10 channels and 10 nodes.
class CKMT_DataExchange : public CMovraDataExchange {
public:
    explicit CKMT_DataExchange(platform::Clock& clock);
    ~CKMT_DataExchange() override;

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;
    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channelCountOut,
                       uint16_t* nodeCountOut, SystemBlock** system, ChannelBlock** channels,
                       NodeBlock** nodes, uint16_t* linkError) noexcept override;

private:
    HRESULT IdentifyDevice(IdentityArrays& arrays, uint16_t* linkError);
    HRESULT ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                       uint16_t* linkError);
    HRESULT SendZeroBytes(uint16_t* linkError);
    HRESULT Request(uint8_t function, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t p5,
                    uint16_t* linkError);
};

// KMT-V (device type 2): up to 5 channels and 2 nodes; variant "F" also has channel volumes.
class CKMT_V_DataExchange : public CMovraDataExchange {
public:
    explicit CKMT_V_DataExchange(platform::Clock& clock);

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;
    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channelCountOut,
                       uint16_t* nodeCountOut, SystemBlock** system, ChannelBlock** channels,
                       NodeBlock** nodes, uint16_t* linkError) noexcept override;

private:
    HRESULT ReadDevice(uint8_t variant, ReadingArrays& readings, uint16_t* linkError);
};

// KMT-G (device type 3): up to 3 channels and 3 nodes, gas nodes with a volume scale.
class CKMT_G_DataExchange : public CMovraDataExchange {
public:
    explicit CKMT_G_DataExchange(platform::Clock& clock);

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;
    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channelCountOut,
                       uint16_t* nodeCountOut, SystemBlock** system, ChannelBlock** channels,
                       NodeBlock** nodes, uint16_t* linkError) noexcept override;

private:
    HRESULT ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                       uint16_t* linkError);
};

// KMT-U (device type 4): up to 20 channels and 16 nodes, values in six requests.
class CKMT_U_DataExchange : public CMovraDataExchange {
public:
    explicit CKMT_U_DataExchange(platform::Clock& clock);

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;
    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channelCountOut,
                       uint16_t* nodeCountOut, SystemBlock** system, ChannelBlock** channels,
                       NodeBlock** nodes, uint16_t* linkError) noexcept override;

private:
    HRESULT ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                       uint16_t* linkError);
    // A 0x51 or 0x58 request whose reply starts with the device clock; the values follow.
    HRESULT RequestWithClock(uint8_t function, uint8_t index, uint16_t* linkError);
};

// KMT-UV (device type 5): up to 10 channels and 6 nodes, one request per quantity.
class CKMT_UV_DataExchange : public CMovraDataExchange {
public:
    explicit CKMT_UV_DataExchange(platform::Clock& clock);

    HRESULT Identify(uint16_t* channelCountOut, uint16_t* nodeCountOut, DeviceIdentity** identity,
                     ChannelDescriptor** channels, NodeDescriptor** nodes,
                     uint16_t* linkError) noexcept override;
    HRESULT ReadValues(uint8_t variant, const ReadSelection* selection, uint16_t* channelCountOut,
                       uint16_t* nodeCountOut, SystemBlock** system, ChannelBlock** channels,
                       NodeBlock** nodes, uint16_t* linkError) noexcept override;

private:
    HRESULT ReadDevice(const ReadSelection& selection, ReadingArrays& readings,
                       uint16_t* linkError);
};

}  // namespace movra
