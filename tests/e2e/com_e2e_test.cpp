// The real server out of process under Wine, through real COM marshalling and MovraOPCProxy.dll:
// the client side of e2e_test.sh, which registers both first. The Server suite shares one server
// start (its client holds the server for the whole suite); Lifetime needs every client gone.
#include "common/com/com_object.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"
#include "tests/e2e/e2e_client.h"
#include "tests/platform/under_wine.h"
#include "tests/support/fake_sinks.h"
#include "tests/support/file_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace movra {
namespace {

using platform::ComPtr;
using platform::CoTaskMemPtr;
using test::ticksOf;
using namespace std::chrono_literals;

constexpr char kVendorText[] = "Company: MOVRA. Devices: KMT, KMT-V, KMT-G, KMT-U.";
// The poll period of the configuration e2e_test.sh writes beside the server: the 0 of an empty
// list. Groups are told that rate, as every item's scan-rate property tells it.
constexpr DWORD kPollPeriodMs = 0;
constexpr LCID kSystemDefaultLocale = 0x0800;
constexpr size_t kMaxClients = 10;

std::string text(const WCHAR* wide) {
    return wide == nullptr ? "(null)" : platform::wideToUtf8(platform::WStringView(wide));
}

platform::WString wide(const char* utf8) {
    return platform::utf8ToWide(utf8);
}

CLSID serverClassByProgId() {
    CLSID clsid{};
    HRESULT result = CLSIDFromProgID(wide(kVersionIndependentProgId).c_str(), &clsid);
    EXPECT_EQ(result, S_OK) << "is the server registered?";
    EXPECT_TRUE(IsEqualCLSID(clsid, kServerClsid));
    return clsid;
}

// A new client of the server, as an OPC client connects: by ProgID, out of process.
HRESULT activate(ComPtr<IOPCServer>& client) {
    return CoCreateInstance(serverClassByProgId(), nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            client.putVoid());
}

bool sameObject(IUnknown* first, IUnknown* second) {
    ComPtr<IUnknown> a;
    ComPtr<IUnknown> b;
    return SUCCEEDED(first->QueryInterface(IID_IUnknown, a.putVoid())) &&
           SUCCEEDED(second->QueryInterface(IID_IUnknown, b.putVoid())) && a.get() == b.get();
}

// Releases across processes arrive with the call that caused them; a little slack for Wine.
bool eventually(const std::function<bool()>& condition) {
    for (auto until = std::chrono::steady_clock::now() + 3s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
        if (condition()) {
            return true;
        }
    }
    return condition();
}

// The sinks live in this process; the server reaches them through COM's own proxies. Their
// reference counts show whether the server holds them.
using test::FakeSink;
using test::PlainObject;

// One connection point that takes a single sink of Sink's kind, checked the same way on the
// server object (IOPCShutdown) and on a group (IOPCDataCallback).
void checkSingleSinkConnection(IUnknown* owner, REFIID sinkIid) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(owner->QueryInterface(IID_IConnectionPointContainer, container.putVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(sinkIid, point.put()), S_OK);
    ASSERT_TRUE(point);
    IID connected{};
    EXPECT_EQ(point->GetConnectionInterface(&connected), S_OK);
    EXPECT_TRUE(IsEqualIID(connected, sinkIid));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_TRUE(sameObject(back.get(), owner));
    ComPtr<IConnectionPoint> wrong;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCServer, wrong.put()), CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(wrong);

    ComPtr<FakeSink> first(new FakeSink);
    ComPtr<FakeSink> second(new FakeSink);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(first->unknown(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(first->references(), 1) << "the server does not hold the sink";
    DWORD secondCookie = 77;
    EXPECT_EQ(point->Advise(second->unknown(), &secondCookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(secondCookie, 0u);
    EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_TRUE(eventually([&] { return first->references() == 1; }))
        << "the server kept " << first->references() - 1 << " references to the sink";
    EXPECT_TRUE(eventually([&] { return second->references() == 1; }));
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);

    ComPtr<PlainObject> plain(new PlainObject);
    EXPECT_EQ(point->Advise(plain->unknown(), &cookie), CONNECT_E_CANNOTCONNECT);
    // Free again for the next sink.
    ASSERT_EQ(point->Advise(second->unknown(), &cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

class Server : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        HRESULT result = activate(client);
        if (FAILED(result)) {
            std::fprintf(stderr, "activation of %s: 0x%08lX\n", kVersionIndependentProgId,
                         static_cast<unsigned long>(result));
        }
        if (result == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) {
            std::fprintf(stderr,
                         "under Wine: a server killed earlier stays registered with the "
                         "RPC service until the wineserver ends\n");
        }
    }
    static void TearDownTestSuite() { client.reset(); }

    void SetUp() override { ASSERT_TRUE(client) << "the server could not be activated"; }

    DWORD groupCount() {
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        EXPECT_EQ(client->GetStatus(status.put()), S_OK);
        if (!status) {
            return 0xFFFFFFFF;
        }
        CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
        return status->dwGroupCount;
    }

    static ComPtr<IOPCServer> client;
};

ComPtr<IOPCServer> Server::client;

TEST_F(Server, StatusCrossesWithTheVendorTextAndVersion) {
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    CoTaskMemPtr<OPCSERVERSTATUS> status;
    ASSERT_EQ(client->GetStatus(status.put()), S_OK);
    FILETIME after;
    GetSystemTimeAsFileTime(&after);
    ASSERT_TRUE(status);
    CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    EXPECT_EQ(text(vendor.get()), kVendorText);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->wMajorVersion, 1);
    EXPECT_EQ(status->wMinorVersion, 1);
    EXPECT_EQ(status->wBuildNumber, 1);
    EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
    // Same machine, same clock: the server's current time is taken during this call (to the
    // millisecond it carries), its start earlier.
    constexpr uint64_t kMillisecond = 10'000;
    EXPECT_LE(ticksOf(status->ftStartTime), ticksOf(status->ftCurrentTime));
    EXPECT_LE(ticksOf(status->ftLastUpdateTime), ticksOf(status->ftCurrentTime));
    EXPECT_GE(ticksOf(status->ftCurrentTime) + kMillisecond, ticksOf(before));
    EXPECT_LE(ticksOf(status->ftCurrentTime), ticksOf(after) + kMillisecond);
}

TEST_F(Server, ErrorTextsCrossThroughBothInterfaces) {
    struct Case {
        uint32_t code;
        const char* text;
    } cases[] = {
        {0xC0040007,
         "The item ID is not defined in the server address space or no longer exists in the "
         "server address space."},
        {0x0004000D,
         "The server does not support the requested data rate but will use the closest available "
         "rate."},
        {0x80040201, "Unknown error code."},
    };
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(client->QueryInterface(IID_IOPCCommon, common.putVoid()), S_OK);
    for (const Case& c : cases) {
        CoTaskMemPtr<WCHAR> viaServer;
        EXPECT_EQ(client->GetErrorString(static_cast<HRESULT>(c.code), kSystemDefaultLocale,
                                         viaServer.put()),
                  S_OK);
        EXPECT_EQ(text(viaServer.get()), c.text);
        CoTaskMemPtr<WCHAR> viaCommon;
        EXPECT_EQ(common->GetErrorString(static_cast<HRESULT>(c.code), viaCommon.put()), S_OK);
        EXPECT_EQ(text(viaCommon.get()), c.text);
    }
    // German is not offered: a failure, and no string to free.
    CoTaskMemPtr<WCHAR> german;
    EXPECT_EQ(client->GetErrorString(OPC_E_UNKNOWNITEMID, 1031, german.put()), E_INVALIDARG);
    EXPECT_FALSE(german);
    // Russian is, with the same English texts.
    EXPECT_EQ(common->SetLocaleID(1049), S_OK);
    LCID locale = 0;
    EXPECT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 1049u);
    CoTaskMemPtr<WCHAR> russian;
    EXPECT_EQ(common->GetErrorString(OPC_E_UNKNOWNITEMID, russian.put()), S_OK);
    EXPECT_EQ(text(russian.get()), cases[0].text);
    EXPECT_EQ(common->SetLocaleID(1031), E_INVALIDARG);
    EXPECT_EQ(common->SetLocaleID(0), S_OK);
}

TEST_F(Server, AGroupIsAddedFoundByNameAndTellsItsName) {
    const DWORD groupsBefore = groupCount();
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> group;
    EXPECT_EQ(client->AddGroup(wide("e2e group").c_str(), TRUE, 250, 41, nullptr, nullptr, 0x0409,
                               &handle, &revised, IID_IOPCGroupStateMgt,
                               reinterpret_cast<LPUNKNOWN*>(group.put())),
              OPC_S_UNSUPPORTEDRATE);
    ASSERT_TRUE(group);
    EXPECT_EQ(revised, kPollPeriodMs);
    EXPECT_NE(handle, 0u);

    OPCHANDLE exactHandle = 0;
    ComPtr<IUnknown> exact;
    EXPECT_EQ(client->AddGroup(wide("e2e at the period").c_str(), FALSE, kPollPeriodMs, 42, nullptr,
                               nullptr, 0, &exactHandle, &revised, IID_IUnknown, exact.put()),
              S_OK);
    EXPECT_EQ(revised, kPollPeriodMs);
    EXPECT_NE(exactHandle, handle);
    ComPtr<IUnknown> duplicate;
    OPCHANDLE unused = 0;
    EXPECT_EQ(client->AddGroup(wide("e2e group").c_str(), TRUE, 0, 43, nullptr, nullptr, 0, &unused,
                               &revised, IID_IUnknown, duplicate.put()),
              OPC_E_DUPLICATENAME);
    EXPECT_FALSE(duplicate);
    EXPECT_EQ(groupCount(), groupsBefore + 2);

    ComPtr<IOPCGroupStateMgt> found;
    ASSERT_EQ(client->GetGroupByName(wide("e2e group").c_str(), IID_IOPCGroupStateMgt,
                                     reinterpret_cast<LPUNKNOWN*>(found.put())),
              S_OK);
    ASSERT_TRUE(found);
    EXPECT_TRUE(sameObject(found.get(), group.get()));
    ComPtr<IUnknown> none;
    EXPECT_EQ(client->GetGroupByName(wide("E2E GROUP").c_str(), IID_IUnknown, none.put()),
              E_INVALIDARG);

    DWORD rate = 0;
    BOOL active = FALSE;
    CoTaskMemPtr<WCHAR> name;
    LONG bias = 0;
    FLOAT deadband = -1;
    LCID lcid = 0;
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 0;
    ASSERT_EQ(found->GetState(&rate, &active, name.put(), &bias, &deadband, &lcid, &clientHandle,
                              &serverHandle),
              S_OK);
    EXPECT_EQ(text(name.get()), "e2e group");
    EXPECT_EQ(rate, kPollPeriodMs);
    EXPECT_TRUE(active);
    EXPECT_EQ(deadband, 0.0f);
    EXPECT_EQ(clientHandle, 41u);
    EXPECT_EQ(serverHandle, handle);

    // Still referenced here: it leaves the list at once and refuses calls until released.
    EXPECT_EQ(client->RemoveGroup(handle, FALSE), OPC_S_INUSE);
    CoTaskMemPtr<WCHAR> gone;
    EXPECT_EQ(found->GetState(&rate, &active, gone.put(), &bias, &deadband, &lcid, &clientHandle,
                              &serverHandle),
              E_FAIL);
    EXPECT_FALSE(gone);
    exact.reset();
    EXPECT_EQ(client->RemoveGroup(exactHandle, FALSE), S_OK);
    EXPECT_EQ(groupCount(), groupsBefore);
    EXPECT_EQ(client->GetGroupByName(wide("e2e group").c_str(), IID_IUnknown, none.put()),
              E_INVALIDARG);
}

// A forced removal while the client holds the group: the client's proxy goes on working (every
// call fails) and its last Release reaches a group that is still there.
TEST_F(Server, AForcedRemovalLeavesTheClientsReferenceSafe) {
    const DWORD groupsBefore = groupCount();
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt> group;
    ASSERT_EQ(client->AddGroup(wide("e2e forced").c_str(), TRUE, kPollPeriodMs, 7, nullptr, nullptr,
                               0, &handle, &revised, IID_IOPCGroupStateMgt,
                               reinterpret_cast<LPUNKNOWN*>(group.put())),
              S_OK);
    EXPECT_EQ(client->RemoveGroup(handle, TRUE), S_OK);
    EXPECT_EQ(groupCount(), groupsBefore);
    EXPECT_EQ(group->SetName(wide("still here").c_str()), E_FAIL);
    ComPtr<IUnknown> clone;
    EXPECT_EQ(group->CloneGroup(wide("clone").c_str(), IID_IUnknown, clone.put()), E_FAIL);
    group.reset();
    EXPECT_EQ(groupCount(), groupsBefore) << "the server serves on after the last Release";
}

TEST_F(Server, TheShutdownConnectionTakesOneSink) {
    checkSingleSinkConnection(client.get(), IID_IOPCShutdown);
}

TEST_F(Server, AGroupsDataConnectionTakesOneSink) {
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    ASSERT_TRUE(
        SUCCEEDED(client->AddGroup(wide("e2e callbacks").c_str(), TRUE, kPollPeriodMs, 1, nullptr,
                                   nullptr, 0, &handle, &revised, IID_IUnknown, group.put())));
    checkSingleSinkConnection(group.get(), IID_IOPCDataCallback);
    group.reset();
    EXPECT_EQ(client->RemoveGroup(handle, FALSE), S_OK);
}

TEST_F(Server, AClientThatLeavesGivesBackTheSinkItHeld) {
    ComPtr<IOPCServer> other;
    ASSERT_EQ(activate(other), S_OK);
    EXPECT_FALSE(sameObject(other.get(), client.get()));
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(other->QueryInterface(IID_IConnectionPointContainer, container.putVoid()), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    ComPtr<FakeSink> sink(new FakeSink);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    point.reset();
    container.reset();
    other.reset();
    EXPECT_TRUE(eventually([&] { return sink->references() == 1; }))
        << "the server object kept the sink after its client left";
}

TEST_F(Server, TenClientsAreServedAndTheEleventhIsRefused) {
    // The suite's client is the first of the ten.
    std::vector<ComPtr<IOPCServer>> others(kMaxClients - 1);
    for (ComPtr<IOPCServer>& other : others) {
        ASSERT_EQ(activate(other), S_OK);
    }
    for (size_t i = 0; i < others.size(); ++i) {
        EXPECT_FALSE(sameObject(others[i].get(), client.get())) << i;
        EXPECT_FALSE(sameObject(others[i].get(), others[(i + 1) % others.size()].get())) << i;
    }
    ComPtr<IOPCServer> eleventh;
    EXPECT_EQ(activate(eleventh), E_FAIL);
    EXPECT_FALSE(eleventh);
    // A client that leaves frees its place.
    others[4].reset();
    ASSERT_EQ(activate(others[4]), S_OK);
    EXPECT_EQ(activate(eleventh), E_FAIL);
    CoTaskMemPtr<OPCSERVERSTATUS> status;
    ASSERT_EQ(others[4]->GetStatus(status.put()), S_OK);
    CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    EXPECT_EQ(text(vendor.get()), kVendorText);
}

// Run alone, with no other client: the server must outlive its last client while locked.
TEST(Lifetime, ALockedServerOutlivesItsLastClient) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(serverClassByProgId(), CLSCTX_LOCAL_SERVER, nullptr,
                               IID_IClassFactory, factory.putVoid()),
              S_OK);
    HRESULT locked = factory->LockServer(TRUE);
    if (locked == E_NOTIMPL && test::runningUnderWine()) {
        GTEST_SKIP() << "Wine's IClassFactory proxy answers LockServer itself with E_NOTIMPL: "
                        "the call never reaches the server";
    }
    ASSERT_EQ(locked, S_OK);
    {
        ComPtr<IOPCServer> only;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, only.putVoid()), S_OK);
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        EXPECT_EQ(only->GetStatus(status.put()), S_OK);
        CoTaskMemPtr<WCHAR> vendor(status ? status->szVendorInfo : nullptr);
    }
    // Unlocked, the server would end 5 s after its last client; this factory proxy reaches the
    // process it came from and no other.
    std::this_thread::sleep_for(7s);
    ComPtr<IOPCServer> later;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, later.putVoid()), S_OK)
        << "the locked server ended";
    later.reset();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
}

}  // namespace
}  // namespace movra

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return movra::e2e::runTests();
}
