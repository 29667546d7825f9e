// The notification pass, in process: what each group's client is told after a poll cycle, after a
// refresh and for a pending read, what the log says, and that a client's callbacks can neither
// hang the server nor hold up the other clients.
#include "server/opc/opc_group.h"
#include "tests/opc/io_fixture.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace movra::test {
namespace {

template <typename Text>
std::string cp1251(const Text& text) {
    return std::string(text.view());
}

// The log entry of one call: the text, the names, and the outcome on the same line.
template <typename Call, typename Outcome>
std::string callLine(const Call& call, const std::string& client, const std::string& group,
                     const Outcome& outcome) {
    return cp1251(call) + cp1251(logtext::kClientPrefix) + client + cp1251(logtext::kGroupPrefix) +
           group + cp1251(logtext::kClientGroupEnd) + cp1251(outcome) + "\r\n\r\n";
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class Pass : public GroupIoTest {
protected:
    ComPtr<IOPCAsyncIO2> async() { return as<IOPCAsyncIO2>(group.get(), IID_IOPCAsyncIO2); }
    ComPtr<IOPCItemMgt> items() { return as<IOPCItemMgt>(group.get(), IID_IOPCItemMgt); }

    void setItemsActive(std::vector<OPCHANDLE> which, BOOL active) {
        platform::CoTaskMemPtr<HRESULT> errors;
        ASSERT_EQ(items()->SetActiveState(static_cast<DWORD>(which.size()), which.data(), active,
                                          errors.put()),
                  S_OK);
    }
    void setActive(BOOL active) {
        DWORD revised;
        ASSERT_EQ(group->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr),
                  S_OK);
    }
    // The client handles of the last callback, and that it was of this kind and transaction.
    std::vector<OPCHANDLE> lastCall(Callback::Kind kind, DWORD transaction) {
        std::vector<Callback> calls = sink->calls();
        if (calls.empty()) {
            ADD_FAILURE() << "no callback";
            return {};
        }
        EXPECT_EQ(calls.back().kind, kind);
        EXPECT_EQ(calls.back().transaction, transaction);
        EXPECT_EQ(calls.back().group, kGroupClientHandle);
        return calls.back().clients();
    }
    // Publishes, passes, and tells whether item 0 was reported.
    bool reportedAfter(float value, WORD quality = OPC_QUALITY_GOOD) {
        size_t before = sink->calls().size();
        publish(0, value, quality);
        pass(true);
        return sink->calls().size() > before;
    }

    const std::vector<OPCHANDLE> kAllClients{101, 102, 103, 104, 105};
};

TEST_F(Pass, FirstPassReportsEveryActiveItemAndAQuietPassSendsNothing) {
    connect();
    publishAll(20.0f);
    pass(true);
    ASSERT_EQ(lastCall(Callback::DataChange, 0), kAllClients);
    const Callback first = sink->calls()[0];
    EXPECT_EQ(first.masterQuality, S_OK);
    EXPECT_EQ(first.masterError, S_OK);
    EXPECT_EQ(first.entries[2].value, 22.0);
    EXPECT_EQ(first.entries[2].type, VT_R4);
    EXPECT_EQ(first.entries[2].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(first.entries[2].time.dwLowDateTime,
              static_cast<DWORD>(134168400000000000ull & 0xFFFFFFFFu));
    EXPECT_EQ(logText(),
              "01.03.26" + cp1251(logtext::kYearMark) + "12:00:00\r\n" +
                  callLine(logtext::kOnDataChangeCall, "Default Client 1", "Plant", logtext::kOk));

    pass(true);
    EXPECT_EQ(sink->calls().size(), 1u);
    EXPECT_EQ(occurrences(logText(), cp1251(logtext::kOnDataChangeCall)), 1u);

    // Two of five change: only they are sent, in list order; a bad quality shows in the master.
    publish(3, 1.0f);
    publish(1, 1.0f, OPC_QUALITY_BAD);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 0), (std::vector<OPCHANDLE>{102, 104}));
    EXPECT_EQ(sink->calls().back().masterQuality, S_FALSE);
}

TEST_F(Pass, StateIsTrackedWithoutASinkAndALaterSinkHearsOnlyLaterChanges) {
    publishAll(20.0f);
    pass(true);
    connect();
    pass(true);
    EXPECT_TRUE(sink->calls().empty());
    publish(4, 5.0f);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 0), std::vector<OPCHANDLE>{105});
}

struct DeadbandCase {
    float deadband;
    float last;
    float fresh;
    WORD freshQuality;
    bool reported;
};

TEST_F(Pass, DeadbandDecidesWhatCountsAsAChange) {
    const DeadbandCase cases[] = {
        {10.0f, 100.0f, 109.0f, OPC_QUALITY_GOOD, false},
        {10.0f, 100.0f, 110.0f, OPC_QUALITY_GOOD, true},  // the float threshold is below 0.1
        {10.0f, 100.0f, 91.0f, OPC_QUALITY_GOOD, false},
        {10.0f, 100.0f, 100.0f, OPC_QUALITY_UNCERTAIN, true},
        {10.0f, 0.0f, 0.001f, OPC_QUALITY_GOOD, true},
        {10.0f, 0.0f, 0.0f, OPC_QUALITY_GOOD, false},
        {0.0f, 100.0f, 100.00001f, OPC_QUALITY_GOOD, true},
        {0.0f, 100.0f, 100.0f, OPC_QUALITY_GOOD, false},
        {50.0f, -10.0f, -14.0f, OPC_QUALITY_GOOD, false},
        {50.0f, -10.0f, -16.0f, OPC_QUALITY_GOOD, true},
    };
    for (const DeadbandCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.deadband << "% from " << c.last << " to " << c.fresh
                                          << " quality " << c.freshQuality);
        FLOAT deadband = c.deadband;
        std::vector<OPCHANDLE> unused;
        addGroupWithItems(server.get(), "Deadband", group, unused, VT_EMPTY, &deadband);
        connect();
        publish(0, c.last);
        pass(true);
        EXPECT_EQ(reportedAfter(c.fresh, c.freshQuality), c.reported);
        ASSERT_EQ(server->RemoveGroup(stateOf(group.get()).serverHandle, TRUE), S_OK);
        group.reset();
        sink.reset();
    }
}

TEST_F(Pass, AnIntegerRequestOfAFractionIsReportedEveryPass) {
    std::vector<OPCHANDLE> unused;
    addGroupWithItems(server.get(), "Integers", group, unused, VT_I4);
    connect();
    publishAll(12.3f);
    pass(true);
    ASSERT_EQ(sink->calls().size(), 1u);
    EXPECT_EQ(sink->calls()[0].entries[0].type, VT_I4);
    EXPECT_EQ(sink->calls()[0].entries[0].value, 12.0);
    pass(true);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 3u) << "the stored 12 never equals 12.3";
}

TEST_F(Pass, TextRequestsGetTheirOwnCopies) {
    std::vector<OPCHANDLE> unused;
    addGroupWithItems(server.get(), "Texts", group, unused, VT_BSTR);
    connect();
    publishAll(1.5f);
    pass(true);
    pass(true);
    ASSERT_EQ(sink->calls().size(), 1u) << "the stored text converts back to the same value";
    EXPECT_EQ(sink->calls()[0].entries[1].type, VT_BSTR);
    EXPECT_EQ(sink->calls()[0].entries[1].value, 2.5);
    // The pass frees its arrays' texts and the items their stored ones (the leak check and the
    // sanitizer build see a double free or a leak).
}

TEST_F(Pass, RefreshFromTheCacheSendsEveryActiveItemWithItsTransaction) {
    connect();
    publishAll(30.0f);
    pass(true);
    setItemsActive({handles[1], handles[3]}, FALSE);
    DWORD cancel = 0;
    ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, 55, &cancel), S_OK);
    pass(true);  // a periodic pass does not complete it
    EXPECT_EQ(sink->calls().size(), 1u);
    pass(false);
    EXPECT_EQ(lastCall(Callback::DataChange, 55), (std::vector<OPCHANDLE>{101, 103, 105}));
    pass(false);
    EXPECT_EQ(sink->calls().size(), 2u) << "completed once";
    // The refresh completed: a new one is taken, and Cancel2 of the old one still answers.
    EXPECT_EQ(async()->Cancel2(cancel), S_OK);
    EXPECT_EQ(lastCall(Callback::CancelComplete, 0), std::vector<OPCHANDLE>{});
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 56, &cancel), S_OK);
}

// A refresh from the cache whose pass found the group unable to take it is answered once the group
// can: connecting a sink or activating the group asks for the pass it missed, and only then.
TEST_F(Pass, AMissedCacheRefreshAsksForItsPassOnceTheGroupCanTakeIt) {
    publishAll(35.0f);
    DWORD cookie = 0;
    auto disconnect = [&] {
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(as<IConnectionPointContainer>(group.get(), IID_IConnectionPointContainer)
                      ->FindConnectionPoint(IID_IOPCDataCallback, point.put()),
                  S_OK);
        ASSERT_EQ(point->Unadvise(cookie), S_OK);
    };
    struct Case {
        const char* what;
        std::function<void()> hold;
        std::function<void()> release;
    } cases[] = {
        {"a sink connected again", disconnect, [&] { cookie = connect(group.get(), sink); }},
        {"the group activated again", [&] { setActive(FALSE); }, [&] { setActive(TRUE); }},
    };
    DWORD transaction = 40;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cookie = connect(group.get(), sink);
        DWORD cancel = 0;
        ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, ++transaction, &cancel), S_OK);
        c.hold();
        pass(false);  // the pass it asked for finds the group unable to take it
        EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS}) << "Refresh2's own";
        c.release();
        EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS});
        pass(false);
        EXPECT_EQ(lastCall(Callback::DataChange, transaction), kAllClients);
        c.hold();
        c.release();
        EXPECT_EQ(postedMessages(), std::vector<UINT>{}) << "nothing pending, nothing asked";
        disconnect();
    }
}

// One call a group a pass: a read and a refresh from the cache pending together are answered by
// two passes, the second asked for by the first.
TEST_F(Pass, ACacheRefreshBehindAReadGetsAPassOfItsOwn) {
    connect();
    publishAll(36.0f);
    DWORD cancel = 0;
    platform::CoTaskMemPtr<HRESULT> errors;
    ASSERT_EQ(async()->Read(1, &handles[2], 50, &cancel, errors.put()), S_OK);
    ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, 51, &cancel), S_OK);
    postedMessages();
    pass(false);
    EXPECT_EQ(lastCall(Callback::ReadComplete, 50), std::vector<OPCHANDLE>{103});
    EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS});
    pass(false);
    EXPECT_EQ(lastCall(Callback::DataChange, 51), kAllClients);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{});
}

// A refresh or read from the device is answered whole, by the pass after the poll cycle it asked
// for, even though that pass is a periodic one that otherwise reports changes only.
TEST_F(Pass, DeviceRefreshIsCompletedWholeByThePassAfterItsPoll) {
    connect();
    publishAll(40.0f);
    pass(true);
    DWORD cancel = 0;
    ASSERT_EQ(async()->Refresh2(OPC_DS_DEVICE, 66, &cancel), S_OK);
    EXPECT_EQ(async()->Refresh2(OPC_DS_DEVICE, 67, &cancel), CONNECT_E_ADVISELIMIT);
    publish(2, 1.0f);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 66), kAllClients);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 2u) << "completed once, and nothing changed since";
    EXPECT_EQ(async()->Refresh2(OPC_DS_DEVICE, 67, &cancel), S_OK);
}

TEST_F(Pass, PendingReadIsServedWhateverTheGroupAndItemStates) {
    connect();
    publishAll(50.0f);
    pass(true);
    setActive(FALSE);
    setItemsActive({handles[4]}, FALSE);
    DWORD cancel = 0;
    platform::CoTaskMemPtr<HRESULT> errors;
    OPCHANDLE wanted[] = {handles[4], handles[0], handles[4]};  // named twice, sent once
    ASSERT_EQ(async()->Read(3, wanted, 88, &cancel, errors.put()), S_OK);
    publish(4, 9.0f);
    publish(1, 9.0f);  // not requested
    pass(true);
    EXPECT_EQ(lastCall(Callback::ReadComplete, 88), (std::vector<OPCHANDLE>{101, 105}))
        << "every requested item, changed or not";
    EXPECT_EQ(sink->calls().back().entries[1].value, 9.0);
    // Completed: a pass with periodic FALSE sends nothing more for it.
    pass(false);
    EXPECT_EQ(sink->calls().size(), 2u);

    ASSERT_EQ(async()->Read(3, wanted, 89, &cancel, errors.put()), S_OK);
    pass(false);
    EXPECT_EQ(lastCall(Callback::ReadComplete, 89), (std::vector<OPCHANDLE>{101, 105}));
    EXPECT_NE(occurrences(logText(), callLine(logtext::kOnReadCompleteCall, "Default Client 1",
                                              "Plant", logtext::kOk)),
              0u);
}

TEST_F(Pass, DisabledOrInactiveGroupsGetNoPeriodicReports) {
    connect();
    publishAll(60.0f);
    ASSERT_EQ(async()->SetEnable(FALSE), S_OK);
    pass(true);
    EXPECT_TRUE(sink->calls().empty());
    DWORD cancel = 0;
    ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, 7, &cancel), S_OK);
    pass(false);
    EXPECT_EQ(lastCall(Callback::DataChange, 7), kAllClients) << "refreshes still complete";

    ASSERT_EQ(async()->SetEnable(TRUE), S_OK);
    ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, 8, &cancel), S_OK);
    setActive(FALSE);
    publishAll(61.0f);
    pass(true);
    pass(false);
    EXPECT_EQ(sink->calls().size(), 1u) << "an inactive group completes no refresh";
    setActive(TRUE);
    pass(false);
    EXPECT_EQ(lastCall(Callback::DataChange, 8), kAllClients);
}

TEST_F(Pass, AFailingSinkIsLoggedAndCalledAgainNextTime) {
    connect();
    sink->inside = [](const Callback&) { return E_FAIL; };
    publishAll(70.0f);
    pass(true);
    publish(0, 71.0f);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 2u);
    EXPECT_EQ(occurrences(logText(), callLine(logtext::kOnDataChangeCall, "Default Client 1",
                                              "Plant", logtext::kError)),
              2u);
}

TEST_F(Pass, ACallbackMayCallIntoItsOwnGroupAndServer) {
    connect();
    auto sync = as<IOPCSyncIO>(group.get(), IID_IOPCSyncIO);
    auto itemMgt = items();
    std::vector<HRESULT> inner;
    OPCHANDLE first = handles[0];
    sink->inside = [&](const Callback&) {
        platform::CoTaskMemPtr<OPCITEMSTATE> states;
        platform::CoTaskMemPtr<HRESULT> errors;
        inner.push_back(sync->Read(OPC_DS_CACHE, 1, &first, states.put(), errors.put()));
        inner.push_back(itemMgt->SetActiveState(1, &first, FALSE, errors.put()));
        platform::CoTaskMemPtr<OPCSERVERSTATUS> status;
        inner.push_back(server->GetStatus(status.put()));
        CoTaskMemFree(status->szVendorInfo);
        return S_OK;
    };
    publishAll(80.0f);
    pass(true);
    EXPECT_EQ(inner, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    // The call returned within the pass's wait: a callback stuck on a lock of the pass would be
    // logged as failed.
    EXPECT_EQ(occurrences(logText(), cp1251(logtext::kOk)), 1u);
    EXPECT_EQ(occurrences(logText(), cp1251(logtext::kError)), 0u);
    // The item set inactive from inside the callback is left out of the next report.
    publishAll(81.0f);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 0), (std::vector<OPCHANDLE>{102, 103, 104, 105}));
}

TEST_F(Pass, AClientThatNeverReturnsHoldsUpOnlyItself) {
    context.callbackWaitMs = 1000;
    connect();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    sink->inside = [released](const Callback&) {
        released.wait();
        return S_OK;
    };
    OtherClient other = otherClient(1);
    // Should a pass wait for the hung call after all, the call is let go after a minute, so that
    // the test fails instead of hanging.
    std::promise<void> watched;
    std::atomic<bool> rescued{false};
    std::thread watchdog([&rescued, &release, over = watched.get_future()] {
        if (over.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
            rescued = true;
            release.set_value();
        }
    });

    publishAll(90.0f);
    pass(true);  // waits for the hung call only up to the bound
    EXPECT_EQ(other.sink->calls().size(), 1u);
    publish(2, 1.0f);
    // The hung client is left out without waiting: a pass that waited for it would wait ten
    // minutes now.
    context.callbackWaitMs = 600000;
    pass(true);
    watched.set_value();
    watchdog.join();
    ASSERT_FALSE(rescued) << "a pass waited for the hung client";
    EXPECT_EQ(other.sink->calls().size(), 2u);
    EXPECT_EQ(occurrences(logText(), cp1251(logtext::kError)), 1u);

    // A refresh from the cache asked for meanwhile: its pass leaves the busy client out.
    DWORD cancel = 0;
    ASSERT_EQ(async()->Refresh2(OPC_DS_CACHE, 99, &cancel), S_OK);
    pass(false);
    postedMessages();

    // Once it returns it hears everything it missed, measured from what it was last told, and
    // a pass for the refresh is asked for.
    release.set_value();
    ASSERT_TRUE(sink->awaitCalls(1));
    std::vector<UINT> asked;
    for (int tries = 0; tries < 2000 && asked.empty(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        asked = postedMessages();
    }
    EXPECT_EQ(asked, std::vector<UINT>{WM_NOTIFY_CLIENTS});
    pass(false);
    ASSERT_EQ(sink->calls().size(), 2u);
    EXPECT_EQ(lastCall(Callback::DataChange, 99), kAllClients);
    publish(4, 2.0f);
    pass(true);
    ASSERT_EQ(sink->calls().size(), 3u);
    EXPECT_EQ(sink->calls()[2].clients(), std::vector<OPCHANDLE>{105});
    other = {};
}

}  // namespace
}  // namespace movra::test
