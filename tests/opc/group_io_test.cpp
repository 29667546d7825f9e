// The group's reads, refused writes and asynchronous requests, in process, against published
// readings of a KMT-U device.
#include "server/opc/opc_group.h"
#include "tests/opc/io_fixture.h"
#include "tests/support/file_time.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace movra::test {
namespace {

constexpr uint64_t kReadingTicks = 134168400000000000ull;  // what publish() stamps
constexpr uint64_t kNowTicks = 134168400000000000ull;      // the fake clock, unmoved

struct ReadResult {
    HRESULT hr;
    std::vector<OPCITEMSTATE> states;  // values kept as they came (VT_R4 or VT_EMPTY: no memory)
    std::vector<HRESULT> errors;
};

class GroupIo : public GroupIoTest {
protected:
    ReadResult read(OPCDATASOURCE source, std::vector<OPCHANDLE> which) {
        platform::CoTaskMemPtr<OPCITEMSTATE> states;
        platform::CoTaskMemPtr<HRESULT> errors;
        ReadResult result;
        result.hr = as<IOPCSyncIO>(group.get(), IID_IOPCSyncIO)
                        ->Read(source, static_cast<DWORD>(which.size()), which.data(), states.put(),
                               errors.put());
        if (SUCCEEDED(result.hr)) {
            result.states.assign(states.get(), states.get() + which.size());
            result.errors.assign(errors.get(), errors.get() + which.size());
        }
        return result;
    }
    ComPtr<IOPCAsyncIO2> async() { return as<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2); }

    HRESULT asyncRead(std::vector<OPCHANDLE> which, DWORD transaction, DWORD* cancel,
                      std::vector<HRESULT>* errorsOut = nullptr) {
        platform::CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = async()->Read(static_cast<DWORD>(which.size()), which.data(), transaction,
                                   cancel, errors.put());
        if (SUCCEEDED(hr) && errorsOut != nullptr) {
            errorsOut->assign(errors.get(), errors.get() + which.size());
        }
        return hr;
    }

    void setActive(BOOL active) {
        DWORD revised;
        ASSERT_EQ(group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr),
                  S_OK);
    }
    void setItemsActive(std::vector<OPCHANDLE> which, BOOL active) {
        platform::CoTaskMemPtr<HRESULT> errors;
        ASSERT_EQ(as<IOPCItemMgt>(group.get(), IID_IOPCItemMgt)
                      ->SetActiveState(static_cast<DWORD>(which.size()), which.data(), active,
                                       errors.put()),
                  S_OK);
    }
};

TEST_F(GroupIo, CacheReadGivesTheReadingsInTheCanonicalTypeAndRefusesUnknownHandles) {
    // Requested as text, still read as VT_R4.
    ComPtr<IOPCGroupStateMgt> texts;
    std::vector<OPCHANDLE> textHandles;
    addGroupWithItems(server.get(), "Texts", texts, textHandles, VT_BSTR);
    publish(0, 71.5f);
    publish(1, 2.25f, OPC_QUALITY_UNCERTAIN);
    group = texts;
    ReadResult result = read(OPC_DS_CACHE, {textHandles[0], 999, textHandles[1]});
    ASSERT_EQ(result.hr, S_FALSE);
    EXPECT_EQ(result.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    const OPCITEMSTATE& first = result.states[0];
    EXPECT_EQ(first.hClient, 101u);
    EXPECT_EQ(first.vDataValue.vt, VT_R4);
    EXPECT_EQ(first.vDataValue.fltVal, 71.5f);
    EXPECT_EQ(first.wQuality, OPC_QUALITY_GOOD);
    EXPECT_EQ(ticksOf(first.ftTimeStamp), kReadingTicks);
    EXPECT_EQ(result.states[2].wQuality, OPC_QUALITY_UNCERTAIN);
    EXPECT_EQ(result.states[2].vDataValue.fltVal, 2.25f);
    const OPCITEMSTATE& unknown = result.states[1];
    EXPECT_EQ(unknown.hClient, 0u);
    EXPECT_EQ(unknown.vDataValue.vt, VT_EMPTY);
    EXPECT_EQ(unknown.wQuality, 0);
}

TEST_F(GroupIo, CacheReadOfAnInactiveGroupOrItemIsOutOfServiceWithAZeroValue) {
    publishAll(50.0f);
    clock.advanceMs(5000);
    const uint64_t now = kNowTicks + 5000 * 10000;
    setItemsActive({handles[1]}, FALSE);
    ReadResult partly = read(OPC_DS_CACHE, {handles[0], handles[1]});
    ASSERT_EQ(partly.hr, S_OK);
    EXPECT_EQ(partly.states[0].vDataValue.fltVal, 50.0f);
    EXPECT_EQ(partly.states[1].wQuality, OPC_QUALITY_OUT_OF_SERVICE);

    setActive(FALSE);
    ReadResult inactive = read(OPC_DS_CACHE, handles);
    ASSERT_EQ(inactive.hr, S_OK);
    for (const OPCITEMSTATE& state : inactive.states) {
        EXPECT_EQ(state.wQuality, OPC_QUALITY_OUT_OF_SERVICE);
        EXPECT_EQ(state.vDataValue.vt, VT_R4);
        EXPECT_EQ(state.vDataValue.fltVal, 0.0f);
        EXPECT_EQ(ticksOf(state.ftTimeStamp), now);
    }
}

TEST_F(GroupIo, CallsWithoutWhatTheyNeedAreRefused) {
    OPCHANDLE one = handles[0];
    DWORD cancel = 5;
    platform::CoTaskMemPtr<OPCITEMSTATE> states;
    platform::CoTaskMemPtr<HRESULT> errors;
    auto sync = as<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    EXPECT_EQ(sync->Read(static_cast<OPCDATASOURCE>(3), 1, &one, states.put(), errors.put()),
              E_INVALIDARG);
    EXPECT_EQ(sync->Read(OPC_DS_CACHE, 0, &one, states.put(), errors.put()), E_INVALIDARG);
    EXPECT_EQ(sync->Read(OPC_DS_CACHE, 1, nullptr, states.put(), errors.put()), E_INVALIDARG);
    EXPECT_EQ(async()->Refresh2(static_cast<OPCDATASOURCE>(0), 1, &cancel), E_INVALIDARG);
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, nullptr), E_INVALIDARG);
    // Everything that needs a callback connection says so, and hands out no cancel ID.
    EXPECT_EQ(asyncRead({one}, 1, &cancel), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cancel, 0u);
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &cancel), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(async()->SetEnable(FALSE), CONNECT_E_NOCONNECTION);
    BOOL enabled = TRUE;
    EXPECT_EQ(async()->GetEnable(&enabled), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(enabled, FALSE);
    EXPECT_EQ(async()->GetEnable(nullptr), E_FAIL);
    EXPECT_EQ(async()->Cancel2(1), E_FAIL);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{});
}

TEST_F(GroupIo, EveryWriteIsRefusedItemByItem) {
    VARIANT values[2];
    for (VARIANT& value : values) {
        VariantInit(&value);
        value.vt = VT_R4;
        value.fltVal = 1.0f;
    }
    OPCHANDLE which[] = {handles[0], 999};
    platform::CoTaskMemPtr<HRESULT> errors;
    EXPECT_EQ(as<IOPCSyncIO>(group.get(), IID_IOPCSyncIO)->Write(2, which, values, errors.put()),
              S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);

    connect();
    DWORD cancel = 9;
    EXPECT_EQ(async()->Write(2, which, values, 5, &cancel, errors.put()), S_FALSE);
    EXPECT_EQ(cancel, 0u);
    EXPECT_EQ(errors[0], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    pass(false);
    ASSERT_EQ(sink->calls().size(), 1u) << "the new sink's first report, and no write answer";
    EXPECT_EQ(sink->calls()[0].kind, Callback::DataChange);
}

TEST_F(GroupIo, AsynchronousReadAsksForAPollAndIsPendingUntilCompletedOrCancelled) {
    connect();
    postedMessages();  // the pass that tells the new sink every item
    DWORD cancel = 0;
    std::vector<HRESULT> errors;
    // Every handle invalid: nothing pending, no poll asked for.
    EXPECT_EQ(asyncRead({998, 999}, 10, &cancel, &errors), S_FALSE);
    EXPECT_EQ(cancel, 0u);
    EXPECT_EQ(errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(postedMessages(), std::vector<UINT>{});

    EXPECT_EQ(asyncRead({handles[2], 999}, 11, &cancel, &errors), S_FALSE);
    EXPECT_EQ(cancel, 1u);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_POLL_REQUEST});
    // A second one waits beside it.
    DWORD second = 0;
    EXPECT_EQ(asyncRead({handles[0]}, 12, &second), S_OK);
    EXPECT_EQ(second, 2u);

    EXPECT_EQ(async()->Cancel2(cancel), S_OK);
    ASSERT_TRUE(sink->awaitCalls(1));
    EXPECT_EQ(sink->calls()[0].kind, Callback::CancelComplete);
    EXPECT_EQ(sink->calls()[0].transaction, 11u);
    EXPECT_EQ(sink->calls()[0].group, kGroupClientHandle);
    EXPECT_EQ(async()->Cancel2(cancel), E_FAIL);  // gone with the cancel
    setActive(FALSE);                             // no first report of the items in the way
    pass(true);
    ASSERT_EQ(sink->calls().size(), 2u) << "a cancelled read is never answered";
    EXPECT_EQ(sink->calls()[1].kind, Callback::ReadComplete);
    EXPECT_EQ(sink->calls()[1].transaction, 12u);
}

TEST_F(GroupIo, AsynchronousRequestsThatCannotAskForAPollAreWithdrawn) {
    connect();
    state.mainThreadId = goneThreadId();  // no main thread to post to
    DWORD cancel = 7;
    EXPECT_EQ(asyncRead({handles[0]}, 1, &cancel), E_FAIL);
    EXPECT_EQ(cancel, 0u);
    EXPECT_EQ(async()->Refresh2(OPC_DS_DEVICE, 2, &cancel), E_FAIL);
    EXPECT_EQ(cancel, 0u);
    // Withdrawn, so new ones are taken once the main thread is there.
    state.mainThreadId = GetCurrentThreadId();
    EXPECT_EQ(asyncRead({handles[0]}, 1, &cancel), S_OK);
    EXPECT_EQ(async()->Refresh2(OPC_DS_DEVICE, 2, &cancel), S_OK);
}

TEST_F(GroupIo, Refresh2NeedsAnActiveGroupWithActiveItems) {
    connect();
    DWORD cancel = 0;
    setActive(FALSE);
    postedMessages();
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &cancel), E_FAIL);
    setItemsActive(handles, FALSE);
    setActive(TRUE);
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &cancel), E_FAIL);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{});
    setItemsActive({handles[4]}, TRUE);
    postedMessages();  // the pass that reports the item made active

    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &cancel), S_OK);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS});
    EXPECT_EQ(async()->Cancel2(cancel), S_OK);
    EXPECT_EQ(async()->Refresh2(OPC_DS_DEVICE, 3, &cancel), S_OK);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_POLL_REQUEST});

    // During shutdown a cache refresh is taken but no pass is asked for.
    EXPECT_EQ(async()->Cancel2(cancel), S_OK);
    state.stopRequested = 1;
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 4, &cancel), S_OK);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{});
}

TEST_F(GroupIo, CancelIdsCountUpAcrossGroupsAndServers) {
    connect();
    OtherClient other = otherClient(1);
    auto otherAsync = as<IOPCAsyncIO2>(other.group.get(), IID_IOPCAsyncIO2);

    std::vector<DWORD> ids(4);
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &ids[0]), S_OK);
    EXPECT_EQ(otherAsync->Refresh2(OPC_DS_CACHE, 1, &ids[1]), S_OK);
    EXPECT_EQ(asyncRead({handles[0]}, 1, &ids[2]), S_OK);
    EXPECT_EQ(async()->Cancel2(ids[0]), S_OK);
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 1, &ids[3]), S_OK);
    EXPECT_EQ(ids, (std::vector<DWORD>{1, 2, 3, 4}));
    // A cancel ID is the group's own: another group does not know it.
    EXPECT_EQ(otherAsync->Cancel2(ids[3]), E_FAIL);

    // Hammered from two threads the counter never hands out one twice, and wraps past 0.
    state.lastCancelId = 0xFFFFFF00u;
    std::vector<DWORD> drawn[2];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < 20000; ++i) {
                drawn[t].push_back(state.NextCancelId());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<DWORD> all = drawn[0];
    all.insert(all.end(), drawn[1].begin(), drawn[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.front(), 1u) << "0 is skipped at the wrap";
    other = {};
}

TEST_F(GroupIo, EnableFlagNeedsAConnection) {
    connect();
    BOOL enabled = FALSE;
    EXPECT_EQ(async()->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, TRUE);
    EXPECT_EQ(async()->SetEnable(FALSE), S_OK);
    EXPECT_EQ(async()->GetEnable(&enabled), S_OK);
    EXPECT_EQ(enabled, FALSE);
}

TEST_F(GroupIo, DeviceReadWaitsForThePollCycleAndItsPass) {
    publishAll(10.0f);
    MainLoop loop(state, [&](UINT message, WPARAM) {
        if (message == WM_POLL_REQUEST) {
            publishAll(80.0f);  // the cycle's fresh readings
            pass(true);
        }
    });
    ReadResult result = read(OPC_DS_DEVICE, {handles[0], handles[3]});
    ASSERT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.states[0].vDataValue.fltVal, 80.0f);
    EXPECT_EQ(result.states[1].vDataValue.fltVal, 83.0f);
    EXPECT_EQ(result.states[1].wQuality, OPC_QUALITY_GOOD);
    // An inactive group is read from the device all the same.
    setActive(FALSE);
    EXPECT_EQ(read(OPC_DS_DEVICE, {handles[1]}).states[0].vDataValue.fltVal, 81.0f);
}

TEST_F(GroupIo, DeviceReadThatIsNotServedInTimeGivesBadQualityAfterTheBound) {
    publishAll(10.0f);
    context.deviceReadTimeoutMs = 300;
    {
        MainLoop silent(state, [](UINT, WPARAM) {});  // a poll cycle that never ends
        auto start = std::chrono::steady_clock::now();
        ReadResult result = read(OPC_DS_DEVICE, {handles[0], 999});
        auto waited = std::chrono::steady_clock::now() - start;
        // The bound set here, not the default of ten seconds.
        EXPECT_GE(waited, std::chrono::milliseconds(300));
        EXPECT_LT(waited, std::chrono::milliseconds(10000));
        ASSERT_EQ(result.hr, S_FALSE);
        EXPECT_EQ(result.errors[0], S_OK);
        EXPECT_EQ(result.states[0].wQuality, OPC_QUALITY_BAD);
        EXPECT_EQ(result.states[0].vDataValue.vt, VT_R4);
        EXPECT_EQ(result.states[0].vDataValue.fltVal, 0.0f);
        EXPECT_EQ(result.errors[1], OPC_E_INVALIDHANDLE);
    }
    // Without a main thread to ask, the read does not wait at all.
    state.mainThreadId = goneThreadId();
    context.deviceReadTimeoutMs = 60000;
    EXPECT_EQ(read(OPC_DS_DEVICE, {handles[0]}).states[0].wQuality, OPC_QUALITY_BAD);
}

// Reads, asynchronous requests and the pass on other threads while the items are removed, added
// and retyped: the sanitizer builds see any read of a freed item or a torn pending list.
TEST_F(GroupIo, IoRacesWithItemManagementAndThePassWithoutHarm) {
    connect();
    std::atomic<bool> stop{false};
    auto items = as<IOPCItemMgt>(group.get(), IID_IOPCItemMgt);
    auto sync = as<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    auto asyncIo = async();
    std::vector<OPCHANDLE> all = handles;
    std::thread manager([&] {
        std::vector<OPCHANDLE> mine;
        ComPtr<IOPCGroupStateMgt> unused;
        for (int round = 0; !stop; ++round) {
            if (round < 200) {
                std::vector<OPCHANDLE> fresh;
                addGroupWithItems(server.get(), "", unused, fresh);  // the server's list changes
            }
            platform::CoTaskMemPtr<HRESULT> errors;
            VARTYPE types[5] = {VT_BSTR, VT_I4, VT_R8, VT_BSTR, VT_UI1};
            items->SetDatatypes(5, all.data(), types, errors.put());
            items->RemoveItems(2, all.data() + 3, errors.put());
            std::vector<platform::WString> ids = {W(kItems[3]), W(kItems[4])};
            WCHAR path[1] = {0};
            OPCITEMDEF definitions[2] = {{path, ids[0].data(), TRUE, 104, 0, nullptr, VT_BSTR, 0},
                                         {path, ids[1].data(), TRUE, 105, 0, nullptr, VT_EMPTY, 0}};
            platform::CoTaskMemPtr<OPCITEMRESULT> results;
            items->AddItems(2, definitions, results.put(), errors.put());
            unused.reset();
        }
    });
    std::thread reader([&] {
        for (DWORD transaction = 1; !stop; ++transaction) {
            platform::CoTaskMemPtr<OPCITEMSTATE> states;
            platform::CoTaskMemPtr<HRESULT> errors;
            if (SUCCEEDED(sync->Read(OPC_DS_CACHE, 5, all.data(), states.put(), errors.put()))) {
                for (DWORD i = 0; i < 5; ++i) {
                    VariantClear(&states[i].vDataValue);
                }
            }
            DWORD cancel = 0;
            asyncIo->Read(5, all.data(), transaction, &cancel, errors.put());
            asyncIo->Refresh2(OPC_DS_CACHE, transaction, &cancel);
            asyncIo->Cancel2(cancel);
        }
    });
    for (int i = 0; i < 300; ++i) {
        publishAll(static_cast<float>(i));
        pass(i % 2 == 0);
    }
    stop = true;
    manager.join();
    reader.join();
    postedMessages();
    EXPECT_FALSE(sink->calls().empty());
}

}  // namespace
}  // namespace movra::test
