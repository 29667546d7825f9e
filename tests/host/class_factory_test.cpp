// The class factory: ten client slots under the lowest-free rule, also when activations race,
// server locks, and the quit message after the last client.
#include "server/host/class_factory.h"

#include "common/opc/opc_ids.h"
#include "platform/com_ptr.h"
#include "server/opc/opc_server.h"
#include "tests/support/fake_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace movra {
namespace {

using platform::ComPtr;

class ClassFactory : public ::testing::Test {
protected:
    void SetUp() override {
        state.mainThreadId = GetCurrentThreadId();
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue receives WM_QUIT
        drainQuit();
    }

    ComPtr<IOPCServer> activate(HRESULT expected = S_OK) {
        ComPtr<IOPCServer> server;
        EXPECT_EQ(factory.CreateInstance(nullptr, IID_IOPCServer, server.putVoid()), expected);
        return server;
    }

    // The WM_QUIT messages posted to this thread since the last call.
    int drainQuit() {
        int quits = 0;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            quits += msg.message == WM_QUIT ? 1 : 0;
        }
        return quits;
    }

    static uint32_t slotOf(IOPCServer* server) {
        return static_cast<CMovraOPCServer*>(server)->slotIndex();
    }

    ServerState state;
    test::FakeClock clock;
    OpcContext context{state, clock, 1000, nullptr};
    MovraOPCServerClassFactory factory{context};
};

TEST_F(ClassFactory, ServesTenClientsAndGivesAFreedSlotToTheNext) {
    std::vector<ComPtr<IOPCServer>> clients;
    for (uint32_t slot = 0; slot < kClientSlots; ++slot) {
        clients.push_back(activate());
        ASSERT_TRUE(clients.back());
        EXPECT_EQ(slotOf(clients.back().get()), slot);
    }
    EXPECT_EQ(state.clients.count(), 10);
    EXPECT_FALSE(activate(E_FAIL)) << "an eleventh client is refused";

    clients[3].reset();
    clients[7].reset();
    EXPECT_EQ(state.clients.at(3), nullptr);
    ComPtr<IOPCServer> next = activate();
    ASSERT_TRUE(next);
    EXPECT_EQ(slotOf(next.get()), 3u);
    EXPECT_EQ(platform::wideToUtf8(static_cast<CMovraOPCServer*>(next.get())->clientName()),
              "Default Client 4");
    clients.clear();
    next.reset();
    EXPECT_EQ(state.clients.count(), 0);
}

TEST_F(ClassFactory, KeepsNoSlotForAnInterfaceTheServerDoesNotOffer) {
    void* out = this;
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IOPCGroupStateMgt, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(state.clients.claim(), 0u) << "the slot was kept";
    state.clients.leave(0);
    EXPECT_EQ(state.clients.count(), 0);
    EXPECT_EQ(factory.CreateInstance(nullptr, IID_IOPCServer, nullptr), E_INVALIDARG);
    // An aggregation request is served as a plain creation.
    ComPtr<IUnknown> plain, aggregated;
    ASSERT_EQ(factory.CreateInstance(nullptr, IID_IUnknown, plain.putVoid()), S_OK);
    EXPECT_EQ(factory.CreateInstance(plain.get(), IID_IUnknown, aggregated.putVoid()), S_OK);
}

TEST_F(ClassFactory, GivesSimultaneousActivationsDifferentSlots) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> ready{0};
        std::vector<ComPtr<IOPCServer>> servers(kClientSlots + 2);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < servers.size(); ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < static_cast<int>(servers.size())) {
                }
                factory.CreateInstance(nullptr, IID_IOPCServer, servers[i].putVoid());
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        std::set<uint32_t> slots;
        size_t served = 0;
        for (auto& server : servers) {
            if (server) {
                ++served;
                slots.insert(slotOf(server.get()));
            }
        }
        ASSERT_EQ(served, kClientSlots) << "round " << round;
        ASSERT_EQ(slots.size(), kClientSlots) << "two clients shared a slot";
    }
    EXPECT_EQ(state.clients.count(), 0);
}

TEST_F(ClassFactory, PostsQuitAfterTheLastClientUnlessTheServerIsLocked) {
    ComPtr<IOPCServer> a = activate(), b = activate();
    a.reset();
    EXPECT_EQ(drainQuit(), 0) << "a client is left";
    b.reset();
    EXPECT_EQ(drainQuit(), 1);

    ComPtr<IOPCServer> c = activate();
    EXPECT_EQ(factory.LockServer(TRUE), S_OK);
    c.reset();
    EXPECT_EQ(drainQuit(), 0) << "a lock keeps the server";
    EXPECT_EQ(factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(drainQuit(), 0) << "unlocking alone never ends the process";
    EXPECT_EQ(state.serverLockCount.load(), 0);

    // An unbalanced unlock leaves the count at zero, so the next last client still ends it.
    EXPECT_EQ(factory.LockServer(FALSE), S_OK);
    EXPECT_EQ(state.serverLockCount.load(), 0);
    activate().reset();
    EXPECT_EQ(drainQuit(), 1);
}

TEST_F(ClassFactory, AnswersOnlyIUnknownAndIClassFactoryAndNeverGoes) {
    ComPtr<IClassFactory> asked;
    EXPECT_EQ(factory.QueryInterface(IID_IClassFactory, asked.putVoid()), S_OK);
    EXPECT_EQ(asked.get(), &factory);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(factory.QueryInterface(IID_IUnknown, unknown.putVoid()), S_OK);
    void* out = this;
    EXPECT_EQ(factory.QueryInterface(IID_IOPCServer, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    asked.reset();
    unknown.reset();
    EXPECT_TRUE(activate()) << "the factory serves on at a count of 0";
}

}  // namespace
}  // namespace movra
