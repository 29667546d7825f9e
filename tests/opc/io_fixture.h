// What the tests of the group's I/O and of the notification pass share: a KMT-U device 0A01 whose
// readings the test publishes, one active group with five of its items, a sink that records every
// callback, and a log file to read back.
#pragma once

#include "platform/unique_variant.h"
#include "server/core/log.h"
#include "server/opc/notification_pass.h"
#include "tests/opc/opc_fixture.h"
#include "tests/support/recording_sink.h"
#include "tests/support/test_support.h"

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace movra::test {

// The main thread of a server for the tests that need one to answer: each message is handed to
// `handle` on that thread.
class MainLoop {
public:
    MainLoop(ServerState& state, std::function<void(UINT message, WPARAM wParam)> handle)
        : thread_([this, &state, handle = std::move(handle)] {
              MSG msg;
              PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
              {
                  std::lock_guard lock(mutex_);
                  threadId_ = GetCurrentThreadId();
                  state.mainThreadId = threadId_;
              }
              started_.notify_all();
              while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                  handle(msg.message, msg.wParam);
              }
          }) {
        std::unique_lock lock(mutex_);
        started_.wait(lock, [&] { return threadId_ != 0; });
    }
    ~MainLoop() {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable started_;
    DWORD threadId_ = 0;
    std::thread thread_;
};

inline constexpr const char* kItems[] = {"PKE0A01.K01.T", "PKE0A01.K01.P", "PKE0A01.K01.Q",
                                         "PKE0A01.K01.V", "PKE0A01.K01.G"};
inline constexpr OPCHANDLE kGroupClientHandle = 77;  // what addGroup gives every group

class GroupIoTest : public OpcObjectsTest {
protected:
    void SetUp() override {
        useCatalogue(catalogue, {kTypeKmtU});
        ASSERT_EQ(log.Open(folder.file("MovraOPCServer.exe").c_str()), 1);
        // Posts from the group land in this thread's queue.
        state.mainThreadId = GetCurrentThreadId();
        postedMessages();  // what earlier tests on this thread left, such as a last client's quit
        server = newServer();
        addGroupWithItems(server.get(), "Plant", group, handles);
    }
    void releaseAll() override {
        group.reset();
        server.reset();
        sink.reset();
    }

    // A group with the five items, client handles 101..105, each requested as `type`.
    void addGroupWithItems(IOPCServer* owner, const std::string& name,
                           ComPtr<IOPCGroupStateMgt>& target, std::vector<OPCHANDLE>& serverHandles,
                           VARTYPE type = VT_EMPTY, FLOAT* deadband = nullptr) {
        ASSERT_EQ(addGroup(owner, name, target, nullptr, 1000, deadband), S_OK);
        std::vector<platform::WString> ids;
        std::vector<OPCITEMDEF> definitions;
        WCHAR path[1] = {0};
        for (const char* id : kItems) {
            ids.push_back(W(id));
        }
        for (size_t i = 0; i < ids.size(); ++i) {
            definitions.push_back(
                {path, ids[i].data(), TRUE, static_cast<OPCHANDLE>(101 + i), 0, nullptr, type, 0});
        }
        ComPtr<IOPCItemMgt> items;
        ASSERT_EQ(target.queryInterface(IID_IOPCItemMgt, items), S_OK);
        platform::CoTaskMemPtr<OPCITEMRESULT> results;
        platform::CoTaskMemPtr<HRESULT> errors;
        ASSERT_EQ(items->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                                  results.put(), errors.put()),
                  S_OK);
        serverHandles.clear();
        for (size_t i = 0; i < definitions.size(); ++i) {
            serverHandles.push_back(results[i].hServer);
        }
    }

    // Connects a fresh recording sink to the group; the cookie is returned.
    DWORD connect(IOPCGroupStateMgt* target, ComPtr<RecordingSink>& recorder) {
        recorder = ComPtr<RecordingSink>(new RecordingSink);
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        EXPECT_EQ(target->QueryInterface(IID_IConnectionPointContainer, container.putVoid()), S_OK);
        EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK);
        EXPECT_EQ(point->Advise(recorder->unknown(), &cookie), S_OK);
        return cookie;
    }
    void connect() { connect(group.get(), sink); }

    // A second client in `slot` with its own group "Other" of the five items and its own sink.
    struct OtherClient {
        ComPtr<IOPCServer> server;
        ComPtr<IOPCGroupStateMgt> group;
        std::vector<OPCHANDLE> handles;
        ComPtr<RecordingSink> sink;
    };
    OtherClient otherClient(uint32_t slot) {
        OtherClient client;
        client.server = newServer(slot);
        addGroupWithItems(client.server.get(), "Other", client.group, client.handles);
        connect(client.group.get(), client.sink);
        return client;
    }

    // A reading of item `index` of kItems, stamped `ticks` (FILETIME units).
    void publish(size_t index, float value, WORD quality = OPC_QUALITY_GOOD,
                 uint64_t ticks = 134168400000000000ull) {
        uint32_t slot = catalogue.findSlot(W(kItems[index]).c_str());
        DWORD bits;
        std::memcpy(&bits, &value, sizeof bits);
        SlotTime time{0.0, {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}};
        ASSERT_TRUE(catalogue.writeSlot(slot, bits, quality, &time));
    }
    void publishAll(float value, WORD quality = OPC_QUALITY_GOOD) {
        for (size_t i = 0; i < std::size(kItems); ++i) {
            publish(i, value + static_cast<float>(i), quality);
        }
    }

    // A periodic pass follows a poll cycle, counted as the poll thread counts it.
    void pass(bool periodic) {
        if (periodic) {
            state.EndPollCycle(state.BeginPollCycle());
        }
        notifier.NotifyClients(periodic);
    }

    // The messages posted to this thread so far, oldest first.
    std::vector<UINT> postedMessages() {
        std::vector<UINT> messages;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            messages.push_back(msg.message);
        }
        return messages;
    }

    template <typename Interface>
    ComPtr<Interface> as(IUnknown* object, REFIID iid) {
        ComPtr<Interface> result;
        EXPECT_EQ(object->QueryInterface(iid, result.putVoid()), S_OK);
        return result;
    }

    // A thread that has ended: nothing can be posted to it (Wine, unlike Windows, takes posts to
    // thread 0).
    static DWORD goneThreadId() {
        DWORD id = 0;
        std::thread([&] { id = GetCurrentThreadId(); }).join();
        return id;
    }

    std::string logText() { return ReadFileBytes(folder.file("log.txt")); }

    CMovraItem catalogue{clock};
    TempDir folder;
    CMovraLog log{clock};
    NotificationPass notifier{context, log};
    ComPtr<IOPCServer> server;
    ComPtr<IOPCGroupStateMgt> group;
    std::vector<OPCHANDLE> handles;
    ComPtr<RecordingSink> sink;
};

}  // namespace movra::test
