// The group object: interfaces, state, names, clones, lifetime and its data-callback connection
// point, in process.
#include "server/opc/opc_group.h"
#include "tests/opc/opc_fixture.h"

#include <chrono>
#include <thread>

namespace movra::test {
namespace {

class Group : public OpcObjectsTest {
protected:
    void SetUp() override {
        server = newServer();
        for (const char* name : {"First", "Second", "Third"}) {
            groups.emplace_back();
            ASSERT_EQ(addGroup(server.get(), name, groups.back()), S_OK);
        }
        group = groups[2];  // server handle 3
    }
    void releaseAll() override {
        group.reset();
        groups.clear();
        server.reset();
    }

    struct State {
        DWORD rate = 0;
        BOOL active = 0;
        std::string name;
        LONG bias = 0;
        FLOAT deadband = 0;
        DWORD lcid = 99;
        OPCHANDLE client = 0, server = 0;
    };
    static State stateOf(IOPCGroupStateMgt* g) {
        State s;
        platform::CoTaskMemPtr<WCHAR> name;
        EXPECT_EQ(g->GetState(&s.rate, &s.active, name.put(), &s.bias, &s.deadband, &s.lcid,
                              &s.client, &s.server),
                  S_OK);
        s.name = name ? platform::wideToUtf8(name.get()) : "";
        return s;
    }

    ComPtr<IOPCServer> server;
    std::vector<ComPtr<IOPCGroupStateMgt>> groups;
    ComPtr<IOPCGroupStateMgt> group;
};

TEST_F(Group, AnswersTheDataAccessTwoInterfacesOnly) {
    for (const IID* iid : {&IID_IUnknown, &IID_IOPCItemMgt, &IID_IOPCGroupStateMgt,
                           &IID_IOPCPublicGroupStateMgt, &IID_IOPCSyncIO, &IID_IOPCAsyncIO2,
                           &IID_IConnectionPoint, &IID_IConnectionPointContainer}) {
        ComPtr<IUnknown> asked;
        EXPECT_EQ(group->QueryInterface(*iid, asked.putVoid()), S_OK);
    }
    for (const IID* iid : {&IID_IOPCAsyncIO, &IID_IDataObject, &IID_IOPCServer}) {
        void* out = this;
        EXPECT_EQ(group->QueryInterface(*iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(group->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST_F(Group, ReportsItsStateWithLocaleZeroAndNeedsEveryPointer) {
    State s = stateOf(group.get());
    EXPECT_EQ(s.rate, 1000u);
    EXPECT_EQ(s.active, TRUE);
    EXPECT_EQ(s.name, "Third");
    EXPECT_EQ(s.lcid, 0u);
    EXPECT_EQ(s.client, 77u);
    EXPECT_EQ(s.server, 3u);

    DWORD rate, lcid;
    BOOL active;
    LPWSTR name = nullptr;
    LONG bias;
    FLOAT deadband;
    OPCHANDLE client, handle;
    EXPECT_EQ(group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(group->GetState(&rate, nullptr, &name, &bias, &deadband, &lcid, &client, &handle),
              E_INVALIDARG);
    EXPECT_EQ(name, nullptr) << "nothing allocated for a refused call";
}

TEST_F(Group, SetStateRevisesTheRateToThePeriodAndTakesAnyDeadband) {
    DWORD revised = 0;
    ASSERT_EQ(group->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(revised, 1000u);
    State before = stateOf(group.get());

    DWORD requested = 1;
    BOOL inactive = FALSE;
    LONG bias = -120;
    FLOAT deadband = 250.0f;
    DWORD lcid = 1049;
    OPCHANDLE client = 4242;
    ASSERT_EQ(group->SetState(&requested, &revised, &inactive, &bias, &deadband, &lcid, &client),
              S_OK);
    EXPECT_EQ(revised, 1000u);
    State after = stateOf(group.get());
    EXPECT_EQ(after.rate, 1000u);
    EXPECT_EQ(after.active, FALSE);
    EXPECT_EQ(after.bias, -120);
    EXPECT_EQ(after.deadband, 250.0f);
    EXPECT_EQ(after.lcid, 0u);
    EXPECT_EQ(after.client, 4242u);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(group->SetState(&requested, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
}

TEST_F(Group, RenamesWithinTheServersNameRules) {
    struct Case {
        std::string name;
        HRESULT expected;
        std::string result;
    };
    const Case cases[] = {
        {"", S_OK, "MovraOPCServer_Group_3"},
        {"MovraOPCServer_Group_3", S_OK, "MovraOPCServer_Group_3"},  // its own name
        {"Second", OPC_E_DUPLICATENAME, "MovraOPCServer_Group_3"},
        {std::string(1001, 'n'), E_INVALIDARG, "MovraOPCServer_Group_3"},
        {std::string(1000, 'n'), S_OK, std::string(1000, 'n')},
        {"second", S_OK, "second"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(group->SetName(W(c.name).c_str()), c.expected) << c.name.substr(0, 20);
        EXPECT_EQ(stateOf(group.get()).name, c.result);
    }
    EXPECT_EQ(group->SetName(nullptr), E_INVALIDARG);
    ComPtr<IUnknown> found;
    EXPECT_EQ(server->GetGroupByName(W("second").c_str(), IID_IUnknown, found.put()), S_OK);
}

TEST_F(Group, ClonesAsAnInactiveGroupWithTheSameSettings) {
    FLOAT deadband = 12.5f;
    LONG bias = 60;
    DWORD revised;
    ASSERT_EQ(group->SetState(nullptr, &revised, nullptr, &bias, &deadband, nullptr, nullptr),
              S_OK);
    ComPtr<IOPCGroupStateMgt> clone;
    ASSERT_EQ(group->CloneGroup(W("Copy").c_str(), IID_IOPCGroupStateMgt,
                                reinterpret_cast<LPUNKNOWN*>(clone.put())),
              S_OK);
    State s = stateOf(clone.get());
    EXPECT_EQ(s.name, "Copy");
    EXPECT_EQ(s.active, FALSE);
    EXPECT_EQ(s.server, 4u);
    EXPECT_EQ(s.client, 77u);
    EXPECT_EQ(s.bias, 60);
    EXPECT_EQ(s.deadband, 12.5f);
    EXPECT_EQ(groupCount(server.get()), 4u);

    ComPtr<IUnknown> refused;
    EXPECT_EQ(group->CloneGroup(W("First").c_str(), IID_IUnknown, refused.put()),
              OPC_E_DUPLICATENAME);
    EXPECT_FALSE(refused);
    ComPtr<IOPCGroupStateMgt> unnamed;
    ASSERT_EQ(group->CloneGroup(W("").c_str(), IID_IOPCGroupStateMgt,
                                reinterpret_cast<LPUNKNOWN*>(unnamed.put())),
              S_OK);
    EXPECT_EQ(stateOf(unnamed.get()).name, "MovraOPCServer_Group_5");
}

TEST_F(Group, IsNeverPublic) {
    ComPtr<IOPCPublicGroupStateMgt> publicState;
    ASSERT_EQ(group.queryInterface(IID_IOPCPublicGroupStateMgt, publicState), S_OK);
    BOOL isPublic = TRUE;
    EXPECT_EQ(publicState->GetState(&isPublic), S_OK);
    EXPECT_EQ(isPublic, FALSE);
    EXPECT_EQ(publicState->GetState(nullptr), E_INVALIDARG);
    EXPECT_EQ(publicState->MoveToPublic(), E_FAIL);
}

TEST_F(Group, HoldsOneDataCallbackSink) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(group.queryInterface(IID_IConnectionPointContainer, container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK);
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCDataCallback));
    EXPECT_EQ(point->GetConnectionInterface(nullptr), E_POINTER);
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(container->FindConnectionPoint(IID_IUnknown, other.put()), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, other.put()),
              CONNECT_E_NOCONNECTION);

    ComPtr<FakeSink> sink(new FakeSink);
    ComPtr<PlainObject> plain(new PlainObject);
    DWORD cookie = 0, second = 0;
    EXPECT_EQ(point->Advise(plain->unknown(), &cookie), CONNECT_E_CANNOTCONNECT);
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(point->Advise(sink->unknown(), &second), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    ASSERT_EQ(point->Advise(sink->unknown(), &second), S_OK) << "advise again after unadvise";

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(ComPtr<IConnectionPoint>::attach(got[0]).get(), point.get());

    // Removal gives the sink back at once and every method of the point fails.
    EXPECT_EQ(sink->references(), 2);
    ASSERT_EQ(server->RemoveGroup(3, TRUE), S_OK);
    EXPECT_EQ(sink->references(), 1);
    EXPECT_EQ(point->Unadvise(second), E_FAIL);
    EXPECT_EQ(point->Advise(sink->unknown(), &second), E_FAIL);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, other.put()), E_FAIL);
    EXPECT_EQ(points->Next(1, got, &fetched), S_FALSE) << "the enumerator keeps its point";
}

TEST_F(Group, OutlivesItsServerObjectAsARemovedGroup) {
    ComPtr<FakeSink> sink(new FakeSink);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(group.queryInterface(IID_IConnectionPoint, point), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink->unknown(), &cookie), S_OK);
    groups.clear();
    server.reset();
    EXPECT_EQ(sink->references(), 1) << "the server's end releases its groups' sinks";
    EXPECT_EQ(group->SetName(W("Orphan").c_str()), E_FAIL);
    ComPtr<IUnknown> clone;
    EXPECT_EQ(group->CloneGroup(W("Orphan").c_str(), IID_IUnknown, clone.put()), E_FAIL);
}

// The notification pass takes serverMutex and then a group lock; CloneGroup and SetName must not
// wait for them the other way round.
TEST_F(Group, CloneAndRenameNeverInvertTheLockOrder) {
    auto* object = static_cast<CMovraOPCGroup*>(static_cast<IOPCGroupStateMgt*>(group.get()));
    std::mutex& serverMutex = serverIn(0)->connectionLock();
    std::atomic<bool> done{false};
    std::thread pass([&] {
        while (!done) {
            std::lock_guard first(serverMutex);
            std::lock_guard second(object->connectionLock());
        }
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 300 && std::chrono::steady_clock::now() < deadline; ++i) {
        ComPtr<IUnknown> clone;
        ASSERT_EQ(group->CloneGroup(W("").c_str(), IID_IUnknown, clone.put()), S_OK);
        ComPtr<IOPCGroupStateMgt> cloneState;
        ASSERT_EQ(clone.queryInterface(IID_IOPCGroupStateMgt, cloneState), S_OK);
        OPCHANDLE handle = stateOf(cloneState.get()).server;
        ASSERT_EQ(group->SetName(W(i % 2 ? "Odd" : "Even").c_str()), S_OK);
        clone.reset();
        cloneState.reset();
        ASSERT_EQ(server->RemoveGroup(handle, FALSE), S_OK);
    }
    done = true;
    pass.join();
}

}  // namespace
}  // namespace movra::test
