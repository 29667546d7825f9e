// The server object as a client sees it in process: interfaces, locales, error texts, status,
// the group list with its handle, name, deadband and rate rules, group enumerators and the
// shutdown connection point.
#include "server/opc/group_enumerators.h"
#include "tests/opc/opc_fixture.h"

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace movra::test {
namespace {

using ServerObject = OpcObjectsTest;

TEST_F(ServerObject, AnswersItsSixInterfacesAndOneIdentity) {
    ComPtr<IOPCServer> server = newServer();
    const IID* answered[] = {&IID_IUnknown,
                             &IID_IOPCCommon,
                             &IID_IOPCServer,
                             &IID_IOPCItemProperties,
                             &IID_IOPCBrowseServerAddressSpace,
                             &IID_IConnectionPoint,
                             &IID_IConnectionPointContainer};
    ComPtr<IUnknown> identity;
    ASSERT_EQ(server->QueryInterface(IID_IUnknown, identity.putVoid()), S_OK);
    for (const IID* iid : answered) {
        ComPtr<IUnknown> asked;
        EXPECT_EQ(server->QueryInterface(*iid, asked.putVoid()), S_OK);
        ComPtr<IUnknown> back;
        ASSERT_EQ(asked->QueryInterface(IID_IUnknown, back.putVoid()), S_OK);
        EXPECT_EQ(back.get(), identity.get()) << "every interface leads to the one IUnknown";
    }
    for (const IID* iid : {&IID_IOPCGroupStateMgt, &IID_IClassFactory, &IID_IEnumString}) {
        void* out = this;
        EXPECT_EQ(server->QueryInterface(*iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(server->QueryInterface(IID_IOPCServer, nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, OffersSevenLocalesAndKeepsOnlyThose) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.queryInterface(IID_IOPCCommon, common), S_OK);

    DWORD count = 0;
    platform::CoTaskMemPtr<LCID> locales;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, locales.put()), S_OK);
    ASSERT_EQ(count, 7u);
    std::vector<LCID> listed(locales.get(), locales.get() + count);
    EXPECT_EQ(listed, (std::vector<LCID>{0, 9, 2048, 1024, 1033, 1049, 25}));
    EXPECT_EQ(common->QueryAvailableLocaleIDs(nullptr, locales.put()), E_INVALIDARG);

    LCID locale = 99;
    ASSERT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0u);
    EXPECT_EQ(common->SetLocaleID(1049), S_OK);
    EXPECT_EQ(common->SetLocaleID(1031), E_INVALIDARG);
    ASSERT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 1049u) << "a refused locale leaves the last one";
    EXPECT_EQ(common->GetLocaleID(nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, GivesTheEnglishTextOfACodeInEveryOfferedLocale) {
    ComPtr<IOPCServer> server = newServer();
    struct Case {
        HRESULT code;
        LCID locale;
        const char* text;
    };
    const Case cases[] = {
        {OPC_E_UNKNOWNITEMID, 1049,
         "The item ID is not defined in the server address space or no longer exists in the "
         "server address space."},
        {S_OK, 0, "The operation successed."},
        {OPC_S_INUSE, 25,
         "The operation cannot be performed because the object is bering referenced."},
        {E_INVALIDARG, 2048, "One or more arguments are invalid."},
        {CONNECT_E_ADVISELIMIT, 1033, "Unknown error code."},
        {static_cast<HRESULT>(0x12345678), 9, "Unknown error code."},
    };
    for (const Case& c : cases) {
        platform::CoTaskMemPtr<WCHAR> text;
        ASSERT_EQ(server->GetErrorString(c.code, c.locale, text.put()), S_OK) << c.text;
        EXPECT_EQ(platform::wideToUtf8(text.get()), c.text);
    }
    LPWSTR untouched = reinterpret_cast<LPWSTR>(this);
    EXPECT_EQ(server->GetErrorString(OPC_E_UNKNOWNITEMID, 1031, &untouched), E_INVALIDARG);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(server->GetErrorString(S_OK, 0, nullptr), E_INVALIDARG);

    // IOPCCommon's variant uses the object's locale.
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(server.queryInterface(IID_IOPCCommon, common), S_OK);
    platform::CoTaskMemPtr<WCHAR> text;
    ASSERT_EQ(common->GetErrorString(OPC_E_DUPLICATENAME, text.put()), S_OK);
    EXPECT_EQ(platform::wideToUtf8(text.get()), "Duplicate name not allowed.");
}

TEST_F(ServerObject, ReportsItsStatusWithTheVendorTextAndTheTimeOfEachCall) {
    ComPtr<IOPCServer> server = newServer();
    clock.advanceMs(2500);
    platform::CoTaskMemPtr<OPCSERVERSTATUS> status;
    ASSERT_EQ(server->GetStatus(status.put()), S_OK);
    platform::CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    EXPECT_EQ(platform::wideToUtf8(vendor.get()),
              "Company: MOVRA. Devices: KMT, KMT-V, KMT-G, KMT-U.");
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwBandWidth, 0xFFFFFFFFu);
    EXPECT_EQ(status->wMajorVersion, 1);
    EXPECT_EQ(status->wMinorVersion, 1);
    EXPECT_EQ(status->wBuildNumber, 1);
    EXPECT_EQ(status->dwGroupCount, 0u);
    auto ticks = [](const FILETIME& t) {
        return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    };
    EXPECT_EQ(ticks(status->ftCurrentTime) - ticks(status->ftStartTime), 2500u * 10000u);
    EXPECT_EQ(ticks(status->ftLastUpdateTime), ticks(status->ftStartTime));
    EXPECT_EQ(server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, GivesTheSmallestFreeHandleAndItsDefaultName) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> groups[3];
    for (OPCHANDLE expected = 1; expected <= 3; ++expected) {
        OPCHANDLE handle = 0;
        ASSERT_EQ(addGroup(server.get(), "", groups[expected - 1], &handle), S_OK);
        EXPECT_EQ(handle, expected);
        EXPECT_EQ(nameOf(groups[expected - 1].get()),
                  "MovraOPCServer_Group_" + std::to_string(expected));
    }
    EXPECT_EQ(groupCount(server.get()), 3u);
    groups[1].reset();
    ASSERT_EQ(server->RemoveGroup(2, FALSE), S_OK);
    EXPECT_EQ(groupCount(server.get()), 2u);
    ComPtr<IOPCGroupStateMgt> again;
    OPCHANDLE handle = 0;
    ASSERT_EQ(addGroup(server.get(), "", again, &handle), S_OK);
    EXPECT_EQ(handle, 2u);
    EXPECT_EQ(nameOf(again.get()), "MovraOPCServer_Group_2");
}

TEST_F(ServerObject, RefusesBadGroupArgumentsAndLeavesTheListAsItWas) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> first;
    ASSERT_EQ(addGroup(server.get(), "Boiler", first), S_OK);

    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::string name;
        std::optional<float> deadband;
        HRESULT expected;
    };
    const Case cases[] = {
        {"Boiler", std::nullopt, OPC_E_DUPLICATENAME},
        {"boiler", std::nullopt, S_OK},  // names compare case-sensitively
        {std::string(1001, 'x'), std::nullopt, E_INVALIDARG},
        {std::string(1000, 'y'), std::nullopt, S_OK},
        {"Full", 100.0f, S_OK},
        {"Zero", 0.0f, S_OK},
        {"Above", 100.5f, E_INVALIDARG},
        {"Below", -0.1f, E_INVALIDARG},
        {"NaN", nan, E_INVALIDARG},
    };
    DWORD expectedCount = 1;
    for (const Case& c : cases) {
        ComPtr<IOPCGroupStateMgt> group;
        float deadband = c.deadband.value_or(0.0f);
        HRESULT hr =
            addGroup(server.get(), c.name, group, nullptr, 1000, c.deadband ? &deadband : nullptr);
        EXPECT_EQ(hr, c.expected) << c.name.substr(0, 20);
        EXPECT_EQ(static_cast<bool>(group), SUCCEEDED(hr));
        expectedCount += SUCCEEDED(hr) ? 1 : 0;
        EXPECT_EQ(groupCount(server.get()), expectedCount);
    }

    OPCHANDLE handle = 5;
    DWORD revised = 5;
    ComPtr<IUnknown> group;
    EXPECT_EQ(server->AddGroup(nullptr, TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                               IID_IUnknown, group.put()),
              E_INVALIDARG);
    // A group that cannot give the asked interface is not kept, and its handle stays free.
    EXPECT_EQ(server->AddGroup(W("Old").c_str(), TRUE, 1000, 0, nullptr, nullptr, 0, &handle,
                               &revised, IID_IOPCAsyncIO, group.put()),
              E_NOINTERFACE);
    EXPECT_FALSE(group);
    EXPECT_EQ(groupCount(server.get()), expectedCount);
}

TEST_F(ServerObject, RevisesEveryRateToThePollPeriod) {
    ComPtr<IOPCServer> server = newServer();
    for (DWORD requested : {DWORD{1000}, DWORD{250}, DWORD{0}, DWORD{60000}}) {
        ComPtr<IUnknown> group;
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        LONG bias = -180;
        HRESULT hr = server->AddGroup(W("").c_str(), FALSE, requested, 9, &bias, nullptr, 1049,
                                      &handle, &revised, IID_IUnknown, group.put());
        EXPECT_EQ(hr, requested == 1000 ? S_OK : OPC_S_UNSUPPORTEDRATE) << requested;
        EXPECT_EQ(revised, 1000u);
    }
}

TEST_F(ServerObject, TakesTheTimeZoneBiasWhenTheClientGivesNone) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> group;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ASSERT_EQ(
        server->AddGroup(W("Local").c_str(), TRUE, 1000, 0, nullptr, nullptr, 0, &handle, &revised,
                         IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(group.put())),
        S_OK);
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    DWORD rate, lcid;
    BOOL active;
    platform::CoTaskMemPtr<WCHAR> name;
    LONG bias = 12345;
    FLOAT deadband;
    OPCHANDLE client, serverHandle;
    ASSERT_EQ(group->GetState(&rate, &active, name.put(), &bias, &deadband, &lcid, &client,
                              &serverHandle),
              S_OK);
    EXPECT_EQ(bias, zone.Bias);
}

TEST_F(ServerObject, AcceptsAThousandGroupsAndRefusesTheNext) {
    ComPtr<IOPCServer> server = newServer();
    std::vector<ComPtr<IOPCGroupStateMgt>> groups(1000);
    for (auto& group : groups) {
        ASSERT_EQ(addGroup(server.get(), "", group), S_OK);
    }
    ComPtr<IOPCGroupStateMgt> extra;
    EXPECT_EQ(addGroup(server.get(), "One too many", extra), E_FAIL);
    EXPECT_EQ(groupCount(server.get()), 1000u);
}

TEST_F(ServerObject, FindsAGroupByItsExactName) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> boiler;
    ASSERT_EQ(addGroup(server.get(), "Boiler", boiler), S_OK);
    ComPtr<IOPCGroupStateMgt> found;
    ASSERT_EQ(server->GetGroupByName(W("Boiler").c_str(), IID_IOPCGroupStateMgt,
                                     reinterpret_cast<LPUNKNOWN*>(found.put())),
              S_OK);
    EXPECT_EQ(found.get(), boiler.get());
    ComPtr<IUnknown> none;
    EXPECT_EQ(server->GetGroupByName(W("BOILER").c_str(), IID_IUnknown, none.put()), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(W("Boiler").c_str(), IID_IOPCAsyncIO, none.put()),
              E_NOINTERFACE);
    EXPECT_EQ(server->GetGroupByName(nullptr, IID_IUnknown, none.put()), E_INVALIDARG);
    EXPECT_EQ(server->GetGroupByName(W("Boiler").c_str(), IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, RemovesAGroupTheClientStillHoldsOnlyFromTheList) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> held, forced;
    OPCHANDLE heldHandle = 0, forcedHandle = 0;
    ASSERT_EQ(addGroup(server.get(), "Held", held, &heldHandle), S_OK);
    ASSERT_EQ(addGroup(server.get(), "Forced", forced, &forcedHandle), S_OK);

    EXPECT_EQ(server->RemoveGroup(heldHandle, FALSE), OPC_S_INUSE);
    // A forced removal frees the group's list entry at once; the object waits for the client.
    EXPECT_EQ(server->RemoveGroup(forcedHandle, TRUE), S_OK);
    EXPECT_EQ(groupCount(server.get()), 0u);
    EXPECT_EQ(server->RemoveGroup(heldHandle, FALSE), E_INVALIDARG) << "already gone";

    for (IOPCGroupStateMgt* group : {held.get(), forced.get()}) {
        ComPtr<IUnknown> found;
        EXPECT_EQ(server->GetGroupByName(W("Held").c_str(), IID_IUnknown, found.put()),
                  E_INVALIDARG);
        DWORD revised = 0;
        EXPECT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr),
                  E_FAIL);
        EXPECT_EQ(group->SetName(W("Again").c_str()), E_FAIL);
        void* out = nullptr;
        EXPECT_EQ(group->QueryInterface(IID_IUnknown, &out), E_FAIL);
    }
    EXPECT_EQ(held.detach()->Release(), 0u);
    EXPECT_EQ(forced.detach()->Release(), 0u);
}

TEST_F(ServerObject, KeepsAGroupWithoutClientReferencesFindable) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCGroupStateMgt> group;
    OPCHANDLE handle = 0;
    ASSERT_EQ(addGroup(server.get(), "Kept", group, &handle), S_OK);
    EXPECT_EQ(group.detach()->Release(), 0u);
    ComPtr<IOPCGroupStateMgt> found;
    ASSERT_EQ(server->GetGroupByName(W("Kept").c_str(), IID_IOPCGroupStateMgt,
                                     reinterpret_cast<LPUNKNOWN*>(found.put())),
              S_OK);
    EXPECT_EQ(nameOf(found.get()), "Kept");
    found.reset();
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), S_OK) << "no client reference left";
}

// Enumerators over groups: the S_FALSE rules, live views and clones.
class GroupEnumerators : public OpcObjectsTest {
protected:
    void SetUp() override {
        server = newServer();
        for (const char* name : {"A", "B", "C"}) {
            groups.emplace_back();
            ASSERT_EQ(addGroup(server.get(), name, groups.back()), S_OK);
        }
    }
    void releaseAll() override {
        groups.clear();
        server.reset();
    }

    template <typename Enum>
    HRESULT create(OPCENUMSCOPE scope, REFIID riid, ComPtr<Enum>& out) {
        return server->CreateGroupEnumerator(scope, riid, reinterpret_cast<LPUNKNOWN*>(out.put()));
    }

    // Next(celt) of an IEnumString as names; the result code in *hr.
    static std::vector<std::string> next(IEnumString* names, ULONG celt, HRESULT* hr) {
        std::vector<LPOLESTR> got(celt + 1, nullptr);
        ULONG fetched = 99;
        *hr = names->Next(celt, got.data(), &fetched);
        std::vector<std::string> result;
        for (ULONG i = 0; i < fetched; ++i) {
            result.push_back(platform::wideToUtf8(got[i]));
            CoTaskMemFree(got[i]);
        }
        EXPECT_EQ(got[fetched], nullptr) << "nothing beyond the fetched entries";
        return result;
    }

    ComPtr<IOPCServer> server;
    std::vector<ComPtr<IOPCGroupStateMgt>> groups;
};

TEST_F(GroupEnumerators, GiveGroupsInListOrderWithSFalseWhenShort) {
    ComPtr<IEnumUnknown> all;
    ASSERT_EQ(create(OPC_ENUM_ALL, IID_IEnumUnknown, all), S_OK);
    IUnknown* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    ComPtr<IUnknown> a = ComPtr<IUnknown>::attach(got[0]), b = ComPtr<IUnknown>::attach(got[1]);
    ComPtr<IUnknown> firstGroup;
    ASSERT_EQ(groups[0].queryInterface(IID_IUnknown, firstGroup), S_OK);
    EXPECT_EQ(a.get(), firstGroup.get());
    EXPECT_EQ(all->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    ComPtr<IUnknown> c = ComPtr<IUnknown>::attach(got[0]);
    EXPECT_EQ(got[1], nullptr);
    EXPECT_EQ(all->Next(2, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(all->Next(0, nullptr, nullptr), S_OK);
    EXPECT_EQ(all->Next(1, nullptr, nullptr), E_INVALIDARG);

    EXPECT_EQ(all->Reset(), S_OK);
    EXPECT_EQ(all->Next(3, got, nullptr), S_OK);
    for (IUnknown* group : got) {
        ComPtr<IUnknown>::attach(group);
    }
    EXPECT_EQ(all->Reset(), S_OK);
    EXPECT_EQ(all->Skip(5), S_FALSE);
    EXPECT_EQ(all->Next(1, got, &fetched), S_FALSE) << "Skip past the end stops at the end";
    EXPECT_EQ(fetched, 0u);
}

TEST_F(GroupEnumerators, NamesFollowTheListAndClonesStartAtTheFirst) {
    ComPtr<IEnumString> names;
    ASSERT_EQ(create(OPC_ENUM_PRIVATE, IID_IEnumString, names), S_OK);
    HRESULT hr;
    EXPECT_EQ(next(names.get(), 2, &hr), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(hr, S_OK);

    ComPtr<IEnumString> clone;
    ASSERT_EQ(names->Clone(clone.put()), S_OK);
    EXPECT_EQ(next(clone.get(), 5, &hr), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(names->Clone(nullptr), E_INVALIDARG);

    // A group removed between two calls shortens what the next call can give.
    groups[2].reset();
    ASSERT_EQ(server->RemoveGroup(3, FALSE), S_OK);
    EXPECT_EQ(next(names.get(), 2, &hr), std::vector<std::string>{});
    EXPECT_EQ(hr, S_FALSE);
    ASSERT_EQ(names->Reset(), S_OK);
    EXPECT_EQ(next(names.get(), 5, &hr), (std::vector<std::string>{"A", "B"}));
}

TEST_F(GroupEnumerators, AreEmptyForPublicScopesAndRefuseOtherScopesAndInterfaces) {
    for (OPCENUMSCOPE scope : {OPC_ENUM_PUBLIC, OPC_ENUM_PUBLIC_CONNECTIONS}) {
        ComPtr<IEnumString> names;
        ASSERT_EQ(create(scope, IID_IEnumString, names), S_FALSE);
        HRESULT hr;
        EXPECT_TRUE(next(names.get(), 1, &hr).empty());
        EXPECT_EQ(hr, S_FALSE);
    }
    for (OPCENUMSCOPE scope :
         {OPC_ENUM_PRIVATE_CONNECTIONS, OPC_ENUM_ALL_CONNECTIONS, OPC_ENUM_PRIVATE, OPC_ENUM_ALL}) {
        ComPtr<IEnumUnknown> all;
        EXPECT_EQ(create(scope, IID_IEnumUnknown, all), S_OK) << scope;
    }
    ComPtr<IUnknown> refused;
    EXPECT_EQ(create(static_cast<OPCENUMSCOPE>(0), IID_IEnumString, refused), E_INVALIDARG);
    EXPECT_EQ(create(static_cast<OPCENUMSCOPE>(7), IID_IEnumString, refused), E_INVALIDARG);
    EXPECT_EQ(create(OPC_ENUM_ALL, IID_IOPCServer, refused), E_INVALIDARG);
    EXPECT_FALSE(refused);
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr), E_INVALIDARG);
}

TEST_F(GroupEnumerators, OfAServerThatIsGoneGiveNothingNotTheNextServerInItsSlot) {
    ComPtr<IEnumString> names;
    ASSERT_EQ(create(OPC_ENUM_ALL, IID_IEnumString, names), S_OK);
    groups.clear();
    server.reset();
    ComPtr<IOPCServer> successor = newServer(0);
    ComPtr<IOPCGroupStateMgt> other;
    ASSERT_EQ(addGroup(successor.get(), "Successor's", other), S_OK);
    HRESULT hr;
    EXPECT_TRUE(next(names.get(), 3, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(names->Skip(1), S_FALSE);
}

TEST_F(GroupEnumerators, EmptyServerGivesSFalse) {
    ComPtr<IOPCServer> empty = newServer(1);
    ComPtr<IEnumUnknown> all;
    EXPECT_EQ(empty->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown,
                                           reinterpret_cast<LPUNKNOWN*>(all.put())),
              S_FALSE);
    EXPECT_TRUE(all);
}

TEST_F(ServerObject, NamesItsClientAfterItsSlotUntilTheClientSaysOtherwise) {
    ComPtr<IOPCServer> first = newServer(0), fourth = newServer(3);
    auto* object = serverIn(3);
    EXPECT_EQ(platform::wideToUtf8(serverIn(0)->clientName()), "Default Client 1");
    EXPECT_EQ(platform::wideToUtf8(object->clientName()), "Default Client 4");
    ComPtr<IOPCCommon> common;
    ASSERT_EQ(fourth.queryInterface(IID_IOPCCommon, common), S_OK);
    EXPECT_EQ(common->SetClientName(W("SCADA").c_str()), S_OK);
    EXPECT_EQ(platform::wideToUtf8(object->clientName()), "SCADA");
    EXPECT_EQ(common->SetClientName(nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, WithoutACatalogueBrowsesNothingAndKnowsNoItem) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(server.queryInterface(IID_IOPCBrowseServerAddressSpace, browse), S_OK);
    ASSERT_EQ(server.queryInterface(IID_IOPCItemProperties, properties), S_OK);
    ComPtr<IEnumString> names;
    EXPECT_EQ(browse->BrowseOPCItemIDs(OPC_FLAT, W("").c_str(), VT_EMPTY, 0, names.put()), S_OK);
    ASSERT_TRUE(names);
    LPOLESTR name = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(names->Next(1, &name, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, W("PKE12AB").c_str()), E_FAIL);
    LPWSTR id = reinterpret_cast<LPWSTR>(this);
    platform::WString data = W("T");
    EXPECT_EQ(browse->GetItemID(data.data(), &id), E_FAIL);
    EXPECT_EQ(id, nullptr);
    DWORD count = 5;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(
        properties->QueryAvailableProperties(data.data(), &count, &ids, &descriptions, &types),
        OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(count, 0u);
}

// The IOPCShutdown connection point: one sink, cookies, the container and its enumerator.
TEST_F(ServerObject, HoldsOneShutdownSinkUnderItsCookie) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.put()), S_OK);
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, other.put()),
              CONNECT_E_NOCONNECTION);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, nullptr), E_POINTER);
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), container.get());

    ComPtr<FakeSink> sink(new FakeSink);
    ComPtr<PlainObject> plain(new PlainObject);
    DWORD cookie = 1;
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(point->Advise(sink->unknown(), nullptr), E_POINTER);
    EXPECT_EQ(point->Advise(plain->unknown(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(sink->references(), 2) << "the server holds the sink";
    DWORD second = 0;
    EXPECT_EQ(point->Advise(sink->unknown(), &second), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(cookie + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink->references(), 1);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION) << "a stale cookie";
    ASSERT_EQ(point->Advise(sink->unknown(), &second), S_OK);
    EXPECT_NE(second, cookie);

    IEnumConnections* connections = reinterpret_cast<IEnumConnections*>(this);
    EXPECT_EQ(point->EnumConnections(&connections), E_NOTIMPL);
    EXPECT_EQ(connections, nullptr);
    EXPECT_EQ(point->EnumConnections(nullptr), E_NOTIMPL);

    // The server object's end gives the sink back.
    point.reset();
    back.reset();
    container.reset();
    server.reset();
    EXPECT_EQ(sink->references(), 1);
}

TEST_F(ServerObject, EnumeratesItsOneConnectionPoint) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(server.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    ComPtr<IConnectionPoint> own;
    ASSERT_EQ(server.queryInterface(IID_IConnectionPoint, own), S_OK);
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(ComPtr<IConnectionPoint>::attach(got[0]).get(), own.get());
    EXPECT_EQ(points->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    ComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(points->Clone(clone.put()), S_OK);
    EXPECT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(ComPtr<IConnectionPoint>::attach(got[0]).get(), own.get());
    EXPECT_EQ(container->EnumConnectionPoints(nullptr), E_POINTER);
}

// Two Advise calls at the same instant: the check and the store are one step, so exactly one
// connection is made.
TEST_F(ServerObject, LetsOnlyOneOfTwoSimultaneousAdviseCallsConnect) {
    ComPtr<IOPCServer> server = newServer();
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(server.queryInterface(IID_IConnectionPoint, point), S_OK);
    ComPtr<FakeSink> sinks[2] = {ComPtr<FakeSink>(new FakeSink), ComPtr<FakeSink>(new FakeSink)};
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> ready{0};
        DWORD cookies[2] = {};
        HRESULT results[2] = {};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < 2) {
                }
                results[i] = point->Advise(sinks[i]->unknown(), &cookies[i]);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        ASSERT_EQ((results[0] == S_OK) + (results[1] == S_OK), 1) << "round " << round;
        ASSERT_EQ(results[0] == S_OK ? results[1] : results[0], CONNECT_E_ADVISELIMIT);
        ASSERT_EQ(point->Unadvise(cookies[0] != 0 ? cookies[0] : cookies[1]), S_OK);
    }
    EXPECT_EQ(sinks[0]->references() + sinks[1]->references(), 2);
}

}  // namespace
}  // namespace movra::test
