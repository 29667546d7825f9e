// What the tests of the OPC objects share: a context of their own (state, fake clock, a 1 s poll
// period), server objects made as the class factory makes them, client sinks, and a check that
// every task-allocator block handed out was freed by the end of the test.
#pragma once

#include "common/com/com_object.h"
#include "common/config/config_file.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"
#include "server/opc/catalogue.h"
#include "server/opc/opc_context.h"
#include "server/opc/opc_server.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_sinks.h"
#include "tests/support/task_mem_probe.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace movra::test {

using platform::ComPtr;

inline platform::WString W(const std::string& ascii) {
    return platform::widenAscii(ascii);
}

struct TestDevice {
    uint8_t type;
    uint16_t serial;
};

// A configuration of these devices with the channel and node counts the reader derives.
inline ServerConfiguration configurationOf(const std::vector<TestDevice>& devices) {
    ServerConfiguration configuration;
    configuration.pollPeriodMs = 1000;
    for (const TestDevice& device : devices) {
        DeviceRecord record;
        record.deviceType = device.type;
        record.serial[2] = static_cast<uint8_t>(device.serial >> 8);
        record.serial[3] = static_cast<uint8_t>(device.serial);
        configuration.devices.push_back(record);
        configuration.channelCounts.push_back(channelCountOf(device.type));
        configuration.nodeCounts.push_back(nodeCountOf(device.type));
    }
    return configuration;
}

// Devices of the given model codes with serials 0A01, 0A02, ... in that order.
inline ServerConfiguration configurationOfTypes(const std::vector<uint8_t>& types,
                                                uint32_t pollPeriodMs = 1000) {
    std::vector<TestDevice> devices;
    uint16_t serial = 0x0A00;
    for (uint8_t type : types) {
        devices.push_back({type, ++serial});
    }
    ServerConfiguration configuration = configurationOf(devices);
    configuration.pollPeriodMs = pollPeriodMs;
    return configuration;
}

class OpcObjectsTest : public ::testing::Test {
protected:
    void TearDown() override {
        releaseAll();
        if (blocksAtStart_ && LiveTaskMemBlocks()) {
            EXPECT_EQ(*LiveTaskMemBlocks(), *blocksAtStart_) << "task-allocator blocks leaked";
        }
    }

    // A server object in `slot`, as the class factory makes it.
    ComPtr<IOPCServer> newServer(uint32_t slot = 0) {
        auto* object = new CMovraOPCServer(context, slot);
        servers_.at(slot) = object;
        ComPtr<IOPCServer> server;
        EXPECT_EQ(object->QueryInterface(IID_IOPCServer, server.putVoid()), S_OK);
        return server;
    }

    // AddGroup with the defaults a client commonly gives; the group handle lands in *handle.
    HRESULT addGroup(IOPCServer* server, const std::string& name, ComPtr<IOPCGroupStateMgt>& group,
                     OPCHANDLE* handle = nullptr, DWORD rate = 1000, FLOAT* deadband = nullptr) {
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        LONG bias = 0;
        platform::WString wide = W(name);
        HRESULT hr = server->AddGroup(wide.c_str(), TRUE, rate, 77, &bias, deadband, 0,
                                      &serverHandle, &revised, IID_IOPCGroupStateMgt,
                                      reinterpret_cast<LPUNKNOWN*>(group.put()));
        if (handle != nullptr) {
            *handle = serverHandle;
        }
        return hr;
    }

    // What GetState gives; the name is "<GetState failed>" when it fails.
    struct GroupState {
        std::string name;
        OPCHANDLE serverHandle = 0;
    };
    static GroupState stateOf(IOPCGroupStateMgt* group) {
        DWORD rate;
        BOOL active;
        platform::CoTaskMemPtr<WCHAR> name;
        LONG bias;
        FLOAT deadband;
        DWORD lcid;
        OPCHANDLE client, server;
        if (group->GetState(&rate, &active, name.put(), &bias, &deadband, &lcid, &client,
                            &server) != S_OK) {
            return {"<GetState failed>", 0};
        }
        return {platform::wideToUtf8(name.get()), server};
    }
    static std::string nameOf(IOPCGroupStateMgt* group) { return stateOf(group).name; }

    DWORD groupCount(IOPCServer* server) {
        platform::CoTaskMemPtr<OPCSERVERSTATUS> status;
        EXPECT_EQ(server->GetStatus(status.put()), S_OK);
        platform::CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
        return status->dwGroupCount;
    }

    // Builds `catalogue` (the fixture's own or a test's) from the devices and hands it to the
    // context, as the program does before the first client comes.
    void useCatalogue(CMovraItem& catalogue, const std::vector<uint8_t>& types) {
        ASSERT_EQ(catalogue.BuildCatalogue(configurationOfTypes(types)), S_OK);
        context.catalogue = &catalogue;
    }

    // The object newServer made last in `slot`; the test holds a reference to it.
    CMovraOPCServer* serverIn(uint32_t slot) const { return servers_.at(slot); }

    // Tests release what they hold before the leak check.
    virtual void releaseAll() {}

    ServerState state;
    FakeClock clock;
    OpcContext context{state, clock, 1000, nullptr};

private:
    std::optional<long> blocksAtStart_ = LiveTaskMemBlocks();
    std::array<CMovraOPCServer*, kClientSlots> servers_{};
};

}  // namespace movra::test
