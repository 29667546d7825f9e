// The notification pass, in process: what each group's client is told after a poll cycle, after a
// refresh and for a pending read, what the log says, and that a client's callbacks can neither
// hang the server nor hold up the other clients.
#include "server/opc/opc_group.h"
#include "tests/opc/io_fixture.h"

#include <atomic>
#include <chrono>
#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <limits>
#include <system_error>
#include <thread>
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
    // The client handles of the one callback of this kind and transaction.
    std::vector<OPCHANDLE> callWith(Callback::Kind kind, DWORD transaction) {
        std::vector<Callback> calls = sink->calls();
        auto found = std::find_if(calls.begin(), calls.end(), [&](const Callback& call) {
            return call.kind == kind && call.transaction == transaction;
        });
        if (found == calls.end()) {
            ADD_FAILURE() << "no callback of kind " << kind << " with transaction " << transaction;
            return {};
        }
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [&](const Callback& call) {
                                    return call.kind == kind && call.transaction == transaction;
                                }),
                  1);
        return found->clients();
    }
    DWORD refresh(OPCDATASOURCE source, DWORD transaction) {
        DWORD cancel = 0;
        EXPECT_EQ(async()->Refresh2(source, transaction, &cancel), S_OK) << transaction;
        return cancel;
    }
    DWORD read(std::vector<OPCHANDLE> which, DWORD transaction) {
        DWORD cancel = 0;
        platform::CoTaskMemPtr<HRESULT> errors;
        EXPECT_EQ(async()->Read(static_cast<DWORD>(which.size()), which.data(), transaction,
                                &cancel, errors.put()),
                  S_OK);
        return cancel;
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

    // Two of five change: only they are sent, in list order; a quality other than plain good
    // shows in the master, also a good one overridden locally.
    publish(3, 1.0f);
    publish(1, 1.0f, OPC_QUALITY_LOCAL_OVERRIDE);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 0), (std::vector<OPCHANDLE>{102, 104}));
    EXPECT_EQ(sink->calls().back().masterQuality, S_FALSE);
}

// A client that connects, adds or activates hears every item once in full (transaction 0) in the
// pass that the event asks for at once, whatever the values; afterwards only changes.
TEST_F(Pass, EveryItemIsReportedOnceInFullAfterItIsAddedConnectedOrActivated) {
    ComPtr<IOPCGroupStateMgt> clone;
    ComPtr<RecordingSink> cloneSink;
    struct Case {
        const char* what;
        std::function<void()> before;  // with the group's state told by a periodic pass after it
        std::function<void()> event;
        ComPtr<RecordingSink>* observed;
        std::vector<OPCHANDLE> reported;
    } cases[] = {
        {"a sink connected after the values were read", [] {}, [&] { connect(); }, &sink,
         kAllClients},
        {"items added to a connected group",
         [&] { connect(); },
         [&] {
             WCHAR path[1] = {0};
             platform::WString id = W(kItems[2]);
             OPCITEMDEF definition{path, id.data(), TRUE, 201, 0, nullptr, VT_EMPTY, 0};
             platform::CoTaskMemPtr<OPCITEMRESULT> results;
             platform::CoTaskMemPtr<HRESULT> errors;
             ASSERT_EQ(items()->AddItems(1, &definition, results.put(), errors.put()), S_OK);
         },
         &sink,
         {201}},
        {"items made active",
         [&] {
             connect();
             setItemsActive({handles[1], handles[3]}, FALSE);
         },
         [&] {
             setItemsActive({handles[1], handles[3], handles[4]}, TRUE);
         },
         &sink,
         {102, 104}},
        {"the group made active",
         [&] {
             connect();
             setActive(FALSE);
         },
         [&] { setActive(TRUE); }, &sink, kAllClients},
        {"a clone made active",
         [&] {
             ASSERT_EQ(group->CloneGroup(U16("Clone"), IID_IOPCGroupStateMgt,
                                         reinterpret_cast<LPUNKNOWN*>(clone.put())),
                       S_OK);
             connect(clone.get(), cloneSink);
         },
         [&] {
             BOOL active = TRUE;
             DWORD revised;
             ASSERT_EQ(
                 clone->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr),
                 S_OK);
         },
         &cloneSink, kAllClients},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        addGroupWithItems(server.get(), "Habit", group, handles);
        publishAll(20.0f);
        c.before();
        pass(true);
        const size_t before = *c.observed ? (*c.observed)->calls().size() : 0;
        postedMessages();
        c.event();
        EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS}) << "a pass at once";
        pass(false);
        ASSERT_TRUE(*c.observed);
        std::vector<Callback> calls = (*c.observed)->calls();
        ASSERT_EQ(calls.size(), before + 1);
        EXPECT_EQ(calls.back().kind, Callback::DataChange);
        EXPECT_EQ(calls.back().transaction, 0u);
        EXPECT_EQ(calls.back().clients(), c.reported);
        EXPECT_EQ(calls.back().entries[0].quality, OPC_QUALITY_GOOD);
        pass(true);
        pass(false);
        EXPECT_EQ((*c.observed)->calls().size(), before + 1) << "once, and nothing changed since";
        for (ComPtr<IOPCGroupStateMgt>* leaving : {&group, &clone}) {
            if (*leaving) {
                ASSERT_EQ(server->RemoveGroup(stateOf(leaving->get()).serverHandle, TRUE), S_OK);
                leaving->reset();
            }
        }
        sink.reset();
        cloneSink.reset();
    }
}

// An item whose device has never answered is reported all the same, with what the catalogue
// holds for it, and again only when that changes.
TEST_F(Pass, AnItemNeverReadIsReportedOnceWithItsCurrentQuality) {
    connect();
    pass(true);
    ASSERT_EQ(lastCall(Callback::DataChange, 0), kAllClients);
    const Entry unread = sink->calls().back().entries[0];
    EXPECT_EQ(unread.quality, OPC_QUALITY_BAD);
    EXPECT_EQ(sink->calls().back().masterQuality, S_FALSE);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 1u);
    publish(3, 4.0f);
    pass(true);
    EXPECT_EQ(lastCall(Callback::DataChange, 0), std::vector<OPCHANDLE>{104});
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
        {50.0f, -10.0f, -15.0f, OPC_QUALITY_GOOD, false},  // exactly the deadband
        {50.0f, -10.0f, -16.0f, OPC_QUALITY_GOOD, true},
        {10.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(), OPC_QUALITY_GOOD, true},
        {0.0f, 100.0f, 100.0f, OPC_QUALITY_LOCAL_OVERRIDE, true},  // the sub-status alone
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
    postedMessages();
    const DWORD cancel = refresh(OPC_DS_CACHE, 55);
    EXPECT_EQ(postedMessages(), std::vector<UINT>{WM_NOTIFY_CLIENTS});
    pass(false);
    EXPECT_EQ(lastCall(Callback::DataChange, 55), (std::vector<OPCHANDLE>{101, 103, 105}));
    pass(false);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 2u) << "answered once";
    // Cancel2 of the refresh last answered still answers, with transaction 0, once.
    EXPECT_EQ(async()->Cancel2(cancel), S_OK);
    ASSERT_TRUE(sink->awaitCalls(3));
    EXPECT_EQ(lastCall(Callback::CancelComplete, 0), std::vector<OPCHANDLE>{});
    EXPECT_EQ(async()->Cancel2(cancel), E_FAIL);
}

// The habit of a client that keeps several transactions in flight: eleven refreshes from the
// device in a row, one cancelled in the middle, and ten answers in the order asked.
TEST_F(Pass, ElevenRefreshesAreAnsweredInOrderAndACancelTakesOnlyItsOwn) {
    connect();
    publishAll(40.0f);
    pass(true);
    postedMessages();
    std::vector<DWORD> cancels;
    for (DWORD transaction = 1001; transaction <= 1011; ++transaction) {
        cancels.push_back(refresh(OPC_DS_DEVICE, transaction));
    }
    EXPECT_EQ(postedMessages(), std::vector<UINT>(11, WM_POLL_REQUEST));
    ASSERT_EQ(async()->Cancel2(cancels[5]), S_OK);
    ASSERT_TRUE(sink->awaitCalls(2));
    EXPECT_EQ(lastCall(Callback::CancelComplete, 1006), std::vector<OPCHANDLE>{});
    pass(false);
    EXPECT_EQ(sink->calls().size(), 2u) << "answers from the device wait for a poll cycle";
    pass(true);
    std::vector<Callback> calls = sink->calls();
    std::vector<DWORD> answered;
    for (size_t i = 2; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].kind, Callback::DataChange);
        EXPECT_EQ(calls[i].clients(), kAllClients) << "whole";
        answered.push_back(calls[i].transaction);
    }
    EXPECT_EQ(answered,
              (std::vector<DWORD>{1001, 1002, 1003, 1004, 1005, 1007, 1008, 1009, 1010, 1011}));
    struct CancelCase {
        DWORD cancelId;
        HRESULT result;
    } const cancelCases[] = {
        {cancels[5], E_FAIL},   // cancelled already
        {cancels[0], E_FAIL},   // answered, but not the last one answered
        {cancels[10], S_OK},    // the last answered: transaction 0
        {cancels[10], E_FAIL},  // only once
        {0, E_FAIL},
    };
    for (const CancelCase& c : cancelCases) {
        EXPECT_EQ(async()->Cancel2(c.cancelId), c.result) << c.cancelId;
    }
    ASSERT_TRUE(sink->awaitCalls(calls.size() + 1));
    EXPECT_EQ(lastCall(Callback::CancelComplete, 0), std::vector<OPCHANDLE>{});
}

// Answers keep the order asked across kinds and sources; one from the device waits for a poll
// cycle begun after it was asked, and those behind it wait with it.
TEST_F(Pass, AnswersKeepTheOrderAskedAndDeviceOnesWaitForTheirCycle) {
    connect();
    publishAll(36.0f);
    pass(true);
    const uint64_t running = state.BeginPollCycle();  // begun before the requests
    read({handles[2]}, 50);
    refresh(OPC_DS_CACHE, 51);
    refresh(OPC_DS_DEVICE, 52);
    refresh(OPC_DS_CACHE, 53);
    pass(false);
    state.EndPollCycle(running);
    notifier.NotifyClients(true);
    EXPECT_EQ(sink->calls().size(), 1u) << "the cycle running when asked answers nothing";
    pass(true);
    std::vector<Callback> calls = sink->calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[1].kind, Callback::ReadComplete);
    EXPECT_EQ(calls[1].transaction, 50u);
    EXPECT_EQ(calls[1].clients(), std::vector<OPCHANDLE>{103});
    for (DWORD i = 2; i < 5; ++i) {
        EXPECT_EQ(calls[i].kind, Callback::DataChange);
        EXPECT_EQ(calls[i].transaction, 49 + i);
        EXPECT_EQ(calls[i].clients(), kAllClients);
    }
}

// Up to 256 transactions wait per group, reads and refreshes together; requests with transaction
// ID 0 are never answered and block nothing.
TEST_F(Pass, TheQueueTakes256TransactionsAndIsFreeAgainOnceTheyAreAnswered) {
    connect();
    pass(true);
    for (DWORD transaction = 1; transaction <= kMaxPendingTransactions; ++transaction) {
        DWORD cancel = transaction % 2 == 0 ? read({handles[0]}, transaction)
                                            : refresh(OPC_DS_CACHE, transaction);
        ASSERT_NE(cancel, 0u);
    }
    DWORD refused = 7;
    EXPECT_EQ(async()->Refresh2(OPC_DS_CACHE, 999, &refused), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(refused, 0u);
    platform::CoTaskMemPtr<HRESULT> errors;
    EXPECT_EQ(async()->Read(1, &handles[0], 999, &refused, errors.put()), CONNECT_E_ADVISELIMIT);
    const DWORD silent = refresh(OPC_DS_CACHE, 0);
    EXPECT_NE(silent, 0u);
    pass(true);
    EXPECT_EQ(sink->calls().size(), 1u + kMaxPendingTransactions) << "no answer for transaction 0";
    refresh(OPC_DS_CACHE, 999);
    // The silent one's cancel ID gave way to the last refresh answered.
    EXPECT_EQ(async()->Cancel2(silent), E_FAIL);
}

// A pass answers a group's transactions up to a bound on their entries and asks for the next
// pass at once for the rest, in order.
TEST_F(Pass, AnswersBeyondWhatOnePassTakesComeInTheNextAskedForAtOnce) {
    context.answerEntriesPerPass = 2 * std::size(kItems);
    connect();
    pass(true);
    for (DWORD transaction = 71; transaction <= 75; ++transaction) {
        refresh(OPC_DS_CACHE, transaction);
    }
    postedMessages();
    std::vector<DWORD> answered;
    for (const size_t expected : {2u, 2u, 1u}) {
        const size_t before = sink->calls().size();
        pass(false);
        std::vector<Callback> calls = sink->calls();
        EXPECT_EQ(calls.size() - before, expected);
        for (size_t i = before; i < calls.size(); ++i) {
            answered.push_back(calls[i].transaction);
        }
        EXPECT_EQ(postedMessages(),
                  std::vector<UINT>(answered.size() < 5 ? 1 : 0, WM_NOTIFY_CLIENTS));
    }
    EXPECT_EQ(answered, (std::vector<DWORD>{71, 72, 73, 74, 75}));
}

// Without a sink the queue waits for the next one; removing the group frees it.
TEST_F(Pass, UnadviseKeepsTheQueueAndRemovalFreesIt) {
    DWORD cookie = connect(group.get(), sink);
    publishAll(3.0f);
    pass(true);
    const DWORD cancel = refresh(OPC_DS_CACHE, 61);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(as<IConnectionPointContainer>(group.get(), IID_IConnectionPointContainer)
                  ->FindConnectionPoint(IID_IOPCDataCallback, point.put()),
              S_OK);
    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    pass(false);
    EXPECT_EQ(sink->calls().size(), 1u);
    connect();
    pass(false);
    EXPECT_EQ(callWith(Callback::DataChange, 61), kAllClients);
    EXPECT_EQ(callWith(Callback::DataChange, 0), kAllClients) << "a new sink hears everything";
    EXPECT_EQ(async()->Cancel2(cancel), S_OK);  // the last answered

    refresh(OPC_DS_CACHE, 62);
    read({handles[1]}, 63);
    const size_t before = sink->calls().size() + 1;
    ComPtr<IOPCAsyncIO2> io = async();
    ASSERT_EQ(server->RemoveGroup(stateOf(group.get()).serverHandle, TRUE), S_OK);
    pass(true);
    EXPECT_EQ(io->Cancel2(cancel), E_FAIL);
    EXPECT_LE(sink->calls().size(), before);
    for (const Callback& call : sink->calls()) {
        EXPECT_TRUE(call.transaction != 62 && call.transaction != 63) << call.transaction;
    }
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
    pass(true);
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
    EXPECT_EQ(callWith(Callback::DataChange, 8), kAllClients);
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

// The faults the pass must not have: a group skipped because another left the list during the
// pass, an answer recorded as told that never went out, and two calls into one sink at once.

// Three groups of one client; during the pass one callback removes a group, which must neither
// leave a later group out of that pass nor go away under the pass.
TEST_F(Pass, AGroupRemovedDuringThePassLeavesNoOtherOut) {
    struct Case {
        const char* what;
        size_t remover;  // whose callback removes
        size_t removed;
        std::vector<size_t> served;
    } const cases[] = {
        {"the first removes itself", 0, 0, {1, 1, 1}},
        {"the first removes the second", 0, 1, {1, 0, 1}},
        {"the second removes the first", 1, 0, {1, 1, 1}},
        {"the second removes itself", 1, 1, {1, 1, 1}},
    };
    publishAll(12.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<IOPCGroupStateMgt> groups[3];
        ComPtr<RecordingSink> sinks[3];
        OPCHANDLE serverHandles[3];
        for (size_t i = 0; i < 3; ++i) {
            std::vector<OPCHANDLE> unused;
            addGroupWithItems(server.get(), "G" + std::to_string(i), groups[i], unused);
            connect(groups[i].get(), sinks[i]);
            serverHandles[i] = stateOf(groups[i].get()).serverHandle;
        }
        IOPCServer* owner = server.get();
        const OPCHANDLE removed = serverHandles[c.removed];
        sinks[c.remover]->inside = [owner, removed](const Callback&) {
            EXPECT_EQ(owner->RemoveGroup(removed, TRUE), S_OK);
            return S_OK;
        };
        groups[c.removed].reset();  // the pass's hold is what keeps it now
        pass(true);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(sinks[i]->calls().size(), c.served[i]) << "group " << i;
        }
        for (size_t i = 0; i < 3; ++i) {
            if (groups[i]) {
                server->RemoveGroup(serverHandles[i], TRUE);
            }
        }
    }
}

// The callback thread cannot be started: nothing of the pass or of a Cancel2 is recorded as
// told or taken out of the queue, and everything goes out once the thread starts.
TEST_F(Pass, NothingIsRecordedAsToldWhenTheCallbackThreadCannotStart) {
    std::atomic<int> refusals{2};
    context.startCallbackThread = [&refusals](std::function<void()> body) {
        if (refusals-- > 0) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        std::thread(std::move(body)).detach();
    };
    OtherClient client = otherClient(1);  // made after the starter is set
    auto io = as<IOPCAsyncIO2>(client.group.get(), IID_IOPCAsyncIO2);
    publishAll(8.0f);
    DWORD cancel = 0;
    ASSERT_EQ(io->Refresh2(OPC_DS_CACHE, 31, &cancel), S_OK);
    pass(true);
    EXPECT_EQ(io->Cancel2(cancel), E_FAIL) << "its OnCancelComplete could not be sent";
    EXPECT_TRUE(client.sink->calls().empty());
    EXPECT_EQ(occurrences(logText(), cp1251(logtext::kOnDataChangeCall)), 0u);
    pass(false);
    std::vector<Callback> calls = client.sink->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].transaction, 31u);
    EXPECT_EQ(calls[0].clients(), kAllClients);
    EXPECT_EQ(calls[1].transaction, 0u);
    EXPECT_EQ(calls[1].clients(), kAllClients) << "the first report, in full";
    client = {};
}

// Cancel2 does not call the sink itself: its OnCancelComplete follows, on the client's callback
// thread, the answer already on its way, and never runs beside another call into that sink.
TEST_F(Pass, OnCancelCompleteFollowsTheAnswersOnTheirWayOnTheClientsThread) {
    context.callbackWaitMs = 100;
    connect();
    publishAll(1.0f);
    pass(true);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    sink->inside = [released](const Callback& call) {
        if (call.kind == Callback::ReadComplete) {
            released.wait();
        }
        return S_OK;
    };
    const DWORD readCancel = read({handles[0]}, 21);
    refresh(OPC_DS_CACHE, 22);
    pass(true);  // the read is answered and does not return; the refresh's answer waits behind
    const DWORD pendingCancel = refresh(OPC_DS_DEVICE, 23);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(async()->Cancel2(readCancel), S_OK);
    EXPECT_EQ(async()->Cancel2(pendingCancel), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(sink->calls().size(), 1u) << "a cancel overtook the answers on their way";
    release.set_value();
    ASSERT_TRUE(sink->awaitCalls(5));
    std::vector<Callback> calls = sink->calls();
    const std::pair<Callback::Kind, DWORD> expected[] = {{Callback::DataChange, 0},
                                                         {Callback::ReadComplete, 21},
                                                         {Callback::DataChange, 22},
                                                         {Callback::CancelComplete, 0},
                                                         {Callback::CancelComplete, 23}};
    ASSERT_EQ(calls.size(), std::size(expected));
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].kind, expected[i].first) << i;
        EXPECT_EQ(calls[i].transaction, expected[i].second) << i;
    }
    for (const Callback& call : calls) {
        EXPECT_EQ(call.thread, calls[0].thread);
    }
    EXPECT_FALSE(sink->overlapped);
    postedMessages();
}

}  // namespace
}  // namespace movra::test
