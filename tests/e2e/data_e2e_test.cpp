// The client side of data_e2e_test.sh: the real server under Wine, started by COM, polling
// simulated devices on three lines. Two of these programs run at once, each a client with a group
// of its own; the script kills the second while it is subscribed and cuts a line on request.
//   data_e2e_test.exe --role=first|second --flags=FOLDER [gtest options]
// FOLDER (a Windows path) holds the flag files the two sides exchange: the program writes
// second-subscribed, cut-line and restore-line; the script writes second-killed, line-cut and
// line-restored.
#include "common/com/com_object.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"
#include "tests/e2e/e2e_client.h"
#include "tests/support/recording_sink.h"
#include "tests/support/file_time.h"
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using e2e::text;
using e2e::wide;
using platform::ComPtr;
using platform::CoTaskMemPtr;
using sim::Quantity;
using test::Callback;
using test::Entry;
using test::nowTicks;
using test::RecordingSink;
using test::ticksOf;
using namespace std::chrono_literals;

// The poll period of the configuration the script writes.
constexpr int kPeriodMs = 1000;
// No run of this test reaches this many read cycles of a simulator.
constexpr uint32_t kMaxCycle = 400;
constexpr uint64_t kTicksPerMs = 10'000;

std::string role = "first";
std::string flagFolder;

// One device of the script's configuration: its seed in the simulator and its line.
struct Device {
    const char* serial;
    uint32_t seed;
    const char* line;
};
constexpr Device kDevices[] = {
    {"0A01", 11, "COM21"},  // KMT, RS-232
    {"0A02", 12, "COM22"},  // KMT-U, RS-232: the line that is cut
    {"0A03", 13, "COM23"},  // KMT-V, RS-485 address 1
    {"0A04", 14, "COM23"},  // KMT-G, RS-485 address 2
};
constexpr size_t kCutDevice = 1;

// The items the clients subscribe to and the simulator quantity behind each, in the units the
// configuration asks for (GJ, m3: no conversion). Every device has a total, which gives away the
// read cycle; its other items must then show the same cycle.
struct ItemCase {
    const char* id;
    size_t device;
    Quantity quantity;
    uint32_t index;
};
constexpr ItemCase kItems[] = {
    {"PKE0A01.K01.T", 0, Quantity::ChannelT, 1}, {"PKE0A01.K02.P", 0, Quantity::ChannelP, 2},
    {"PKE0A01.K01.M", 0, Quantity::ChannelM, 1}, {"PKE0A02.SYS.Tv", 1, Quantity::Tv, 0},
    {"PKE0A02.K01.T", 1, Quantity::ChannelT, 1}, {"PKE0A02.U02.W", 1, Quantity::NodeW, 2},
    {"PKE0A03.K01.G", 2, Quantity::ChannelG, 1}, {"PKE0A03.K01.M", 2, Quantity::ChannelM, 1},
    {"PKE0A04.SYS.Pa", 3, Quantity::Pa, 0},      {"PKE0A04.K02.M", 3, Quantity::ChannelM, 2},
};
constexpr size_t kItemCount = std::size(kItems);
constexpr OPCHANDLE kFirstClientHandle = 100;
constexpr OPCHANDLE kGroupClient = 7;

size_t itemOf(OPCHANDLE clientHandle) {
    return clientHandle - kFirstClientHandle;
}

// --- flags shared with the script --------------------------------------------------------------

std::string flagPath(const char* name) {
    return flagFolder + "/" + name;
}

void raiseFlag(const char* name, const std::string& content = "") {
    std::FILE* file = std::fopen(flagPath(name).c_str(), "w");
    ASSERT_NE(file, nullptr) << flagPath(name);
    std::fputs(content.c_str(), file);
    std::fclose(file);
}

bool awaitFlag(const char* name, std::chrono::milliseconds timeout) {
    for (auto until = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
        if (std::FILE* file = std::fopen(flagPath(name).c_str(), "r")) {
            std::fclose(file);
            return true;
        }
    }
    return false;
}

// --- what the simulator predicts -----------------------------------------------------------------

bool isGood(const Entry& entry) {
    return entry.quality == OPC_QUALITY_GOOD && entry.error == S_OK;
}

// The read cycle in which every good entry of `device` shows the simulator's value; -1 when no
// cycle fits them all, -2 when the device has no good entry. A pass reads the catalogue while the
// next cycle may be publishing, so a device's items may also come from two reads in a row: then
// the later one is given.
int cycleOf(const std::vector<Entry>& entries, size_t device) {
    auto matches = [&](const Entry& entry, uint32_t cycle) {
        const ItemCase& item = kItems[itemOf(entry.client)];
        return entry.type == VT_R4 &&
               entry.value == sim::value(kDevices[device].seed, item.quantity, item.index, cycle);
    };
    std::vector<const Entry*> own;
    for (const Entry& entry : entries) {
        if (kItems[itemOf(entry.client)].device == device && isGood(entry)) {
            own.push_back(&entry);
        }
    }
    if (own.empty()) {
        return -2;
    }
    for (uint32_t span : {0u, 1u}) {
        for (uint32_t cycle = span; cycle <= kMaxCycle; ++cycle) {
            if (std::all_of(own.begin(), own.end(), [&](const Entry* entry) {
                    return matches(*entry, cycle) || matches(*entry, cycle - span);
                })) {
                return static_cast<int>(cycle);
            }
        }
    }
    return -1;
}

// Checks entries that should all be good, fresh and the simulator's; gives each device's cycle.
// `now` is when the entries were received.
std::vector<int> expectPredicted(const std::vector<Entry>& entries, uint64_t maxAgeMs,
                                 const std::string& what, uint64_t now = nowTicks()) {
    for (const Entry& entry : entries) {
        EXPECT_LT(itemOf(entry.client), kItemCount) << what;
        if (itemOf(entry.client) >= kItemCount) {
            return {};
        }
        const char* id = kItems[itemOf(entry.client)].id;
        EXPECT_EQ(entry.error, S_OK) << what << ": " << id;
        EXPECT_EQ(entry.quality, OPC_QUALITY_GOOD) << what << ": " << id;
        EXPECT_EQ(entry.type, VT_R4) << what << ": " << id;
        // Same machine, same clock: stamped by the server's last poll, not in the future.
        EXPECT_LE(ticksOf(entry.time), now + 1000 * kTicksPerMs) << what << ": " << id;
        EXPECT_GE(ticksOf(entry.time) + maxAgeMs * kTicksPerMs, now) << what << ": " << id;
    }
    std::vector<int> cycles;
    for (size_t device = 0; device < std::size(kDevices); ++device) {
        const int cycle = cycleOf(entries, device);
        EXPECT_NE(cycle, -1) << what << ": the values of PKE" << kDevices[device].serial
                             << " are no read cycle's of the simulator";
        cycles.push_back(cycle);
    }
    return cycles;
}

// --- the client ---------------------------------------------------------------------------------

// One client of the server with one active group of every item and a recording sink on it, shared
// by the whole suite as a real client keeps its connection.
class Client : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (FAILED(e2e::activate(server))) {
            return;
        }
        DWORD revised = 0;
        HRESULT result = server->AddGroup(
            wide("data " + role).c_str(), TRUE, kPeriodMs, kGroupClient, nullptr, nullptr, 0,
            &groupHandle, &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.put()));
        if (FAILED(result)) {
            std::fprintf(stderr, "AddGroup: 0x%08lX\n", static_cast<unsigned long>(result));
            return;
        }
        std::vector<std::string> ids;
        for (const ItemCase& item : kItems) {
            ids.push_back(item.id);
        }
        ids.push_back("PKE0A09.K01.T");
        addResult = e2e::addItems(items.get(), ids, kFirstClientHandle, &added);
        for (size_t i = 0; i < kItemCount && i < added.size(); ++i) {
            serverHandles.push_back(added[i].server);
        }
        sink = ComPtr<RecordingSink>(new RecordingSink);
        adviseResult = e2e::advise(items.get(), sink->unknown(), &cookie);
        // Under Wine two activations at the same moment may start two server processes; the
        // script starts the second client only after this.
        if (std::FILE* file = std::fopen(flagPath(("activated-" + role).c_str()).c_str(), "w")) {
            std::fclose(file);
        }
    }
    static void TearDownTestSuite() {
        items.reset();
        server.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(server) << "the server could not be activated";
        ASSERT_TRUE(items) << "no group";
        ASSERT_EQ(serverHandles.size(), kItemCount) << "AddItems: 0x" << std::hex << addResult;
        ASSERT_EQ(adviseResult, S_OK);
    }

    template <typename Interface>
    ComPtr<Interface> as(IUnknown* object, REFIID iid) {
        ComPtr<Interface> result;
        EXPECT_EQ(object->QueryInterface(iid, result.putVoid()), S_OK);
        return result;
    }

    // Waits for the first data change with every item good: the server's first cycle only
    // identifies the devices.
    static bool awaitLiveData() {
        return sink->awaitCall(
            [](const std::vector<Callback>& calls) {
                return std::any_of(calls.begin(), calls.end(), [](const Callback& call) {
                    return call.kind == Callback::DataChange &&
                           std::all_of(call.entries.begin(), call.entries.end(), isGood) &&
                           call.entries.size() == kItemCount;
                });
            },
            60000);
    }

    std::vector<Entry> syncRead(OPCDATASOURCE source) {
        ComPtr<IOPCSyncIO> io = as<IOPCSyncIO>(items.get(), IID_IOPCSyncIO);
        CoTaskMemPtr<OPCITEMSTATE> states;
        CoTaskMemPtr<HRESULT> errors;
        std::vector<OPCHANDLE> handles = serverHandles;
        EXPECT_EQ(io->Read(source, static_cast<DWORD>(handles.size()), handles.data(), states.put(),
                           errors.put()),
                  S_OK);
        std::vector<Entry> entries;
        for (size_t i = 0; states && errors && i < handles.size(); ++i) {
            OPCITEMSTATE& state = states[i];
            EXPECT_EQ(state.hClient, kFirstClientHandle + i);
            entries.push_back({state.hClient, state.vDataValue.vt,
                               state.vDataValue.vt == VT_R4 ? state.vDataValue.fltVal : -1.0,
                               state.wQuality, state.ftTimeStamp, errors[i]});
            VariantClear(&state.vDataValue);
        }
        return entries;
    }

    // The periodic data changes (transaction 0) that arrive within `wait` from now.
    // The next `count` periodic reports, however slowly a busy machine lets them come, and at
    // most one more for every period that passed meanwhile and every cycle a device read of
    // either client may have asked for.
    static std::vector<Callback> nextPeriodicChanges(size_t count) {
        const size_t before = sink->calls().size();
        const auto start = std::chrono::steady_clock::now();
        auto periodicSince = [before](const std::vector<Callback>& calls) {
            std::vector<Callback> periodic;
            for (size_t i = before; i < calls.size(); ++i) {
                if (calls[i].kind == Callback::DataChange && calls[i].transaction == 0) {
                    periodic.push_back(calls[i]);
                }
            }
            return periodic;
        };
        EXPECT_TRUE(sink->awaitCall(
            [&](const std::vector<Callback>& calls) {
                return periodicSince(calls).size() >= count;
            },
            60 * kPeriodMs))
            << "fewer than " << count << " periodic reports in a minute";
        const std::vector<Callback> periodic = periodicSince(sink->calls());
        const auto periods = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count() /
                             kPeriodMs;
        EXPECT_LE(periodic.size(), static_cast<size_t>(periods) + 1 + 4);
        return periodic;
    }

    static std::vector<Callback>::const_iterator find(const std::vector<Callback>& calls,
                                                      Callback::Kind kind, DWORD transaction) {
        return std::find_if(calls.begin(), calls.end(), [&](const Callback& call) {
            return call.kind == kind && call.transaction == transaction;
        });
    }
    static bool awaitTransaction(Callback::Kind kind, DWORD transaction, int timeoutMs) {
        return sink->awaitCall(
            [&](const std::vector<Callback>& calls) {
                return find(calls, kind, transaction) != calls.end();
            },
            timeoutMs);
    }

    using Added = e2e::Added;
    static ComPtr<IOPCServer> server;
    static ComPtr<IOPCItemMgt> items;
    static ComPtr<RecordingSink> sink;
    static OPCHANDLE groupHandle;
    static HRESULT addResult;
    static HRESULT adviseResult;
    static DWORD cookie;
    static std::vector<Added> added;
    static std::vector<OPCHANDLE> serverHandles;
};

ComPtr<IOPCServer> Client::server;
ComPtr<IOPCItemMgt> Client::items;
ComPtr<RecordingSink> Client::sink;
OPCHANDLE Client::groupHandle = 0;
HRESULT Client::addResult = E_FAIL;
HRESULT Client::adviseResult = E_FAIL;
DWORD Client::cookie = 0;
std::vector<Client::Added> Client::added;
std::vector<OPCHANDLE> Client::serverHandles;

std::vector<std::string> browse(IOPCBrowseServerAddressSpace* space, OPCBROWSETYPE type) {
    ComPtr<IEnumString> names;
    EXPECT_EQ(space->BrowseOPCItemIDs(type, U16(""), VT_EMPTY, 0, names.put()), S_OK);
    std::vector<std::string> result;
    for (LPOLESTR name = nullptr; names && names->Next(1, &name, nullptr) == S_OK;) {
        result.push_back(text(name));
        CoTaskMemFree(name);
    }
    return result;
}

TEST_F(Client, TheAddressSpaceHoldsTheConfiguredDevicesAndTheirItems) {
    ComPtr<IOPCBrowseServerAddressSpace> space =
        as<IOPCBrowseServerAddressSpace>(server.get(), IID_IOPCBrowseServerAddressSpace);
    ASSERT_TRUE(space);
    OPCNAMESPACETYPE organization{};
    EXPECT_EQ(space->QueryOrganization(&organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(browse(space.get(), OPC_BRANCH),
              (std::vector<std::string>{"PKE0A01", "PKE0A02", "PKE0A03", "PKE0A04"}));
    ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_DOWN, U16("PKE0A02")), S_OK);
    const std::vector<std::string> sections = browse(space.get(), OPC_BRANCH);
    EXPECT_NE(std::find(sections.begin(), sections.end(), "U02"), sections.end());
    ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_DOWN, U16("U02")), S_OK);
    const std::vector<std::string> leaves = browse(space.get(), OPC_LEAF);
    EXPECT_NE(std::find(leaves.begin(), leaves.end(), "W"), leaves.end());
    CoTaskMemPtr<WCHAR> id;
    ASSERT_EQ(space->GetItemID(const_cast<LPWSTR>(U16("W")), id.put()), S_OK);
    EXPECT_EQ(text(id.get()), "PKE0A02.U02.W");
    ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, U16("")), S_OK);
    const std::vector<std::string> flat = browse(space.get(), OPC_FLAT);
    for (const ItemCase& item : kItems) {
        EXPECT_NE(std::find(flat.begin(), flat.end(), item.id), flat.end()) << item.id;
    }
    // A KMT has no system values.
    EXPECT_EQ(std::find(flat.begin(), flat.end(), "PKE0A01.SYS.Pa"), flat.end());
}

TEST_F(Client, ItemsAreAddedReadOnlyAsFloatsAndAnUnknownOneIsRefused) {
    EXPECT_EQ(addResult, S_FALSE);
    ASSERT_EQ(added.size(), kItemCount + 1);
    for (size_t i = 0; i < kItemCount; ++i) {
        EXPECT_EQ(added[i].error, S_OK) << kItems[i].id;
        EXPECT_EQ(added[i].canonical, VT_R4) << kItems[i].id;
        EXPECT_EQ(added[i].rights, DWORD{OPC_READABLE}) << kItems[i].id;
        for (size_t j = 0; j < i; ++j) {
            EXPECT_NE(added[i].server, added[j].server) << kItems[i].id;
        }
    }
    EXPECT_EQ(added[kItemCount].error, OPC_E_UNKNOWNITEMID);
}

TEST_F(Client, ReadsFromTheCacheAndTheDeviceGiveTheSimulatorsValues) {
    ASSERT_TRUE(awaitLiveData()) << "no data change with every item good";
    const std::vector<int> cached = expectPredicted(syncRead(OPC_DS_CACHE), 3 * kPeriodMs, "cache");
    // A device read waits for a cycle (one it waited too long for gives bad quality); nothing
    // comes from before the cached one.
    const std::vector<int> device =
        expectPredicted(syncRead(OPC_DS_DEVICE), 2 * kPeriodMs, "device");
    ASSERT_EQ(cached.size(), device.size());
    for (size_t i = 0; i < cached.size(); ++i) {
        EXPECT_GE(device[i], cached[i]) << kDevices[i].serial;
    }
}

// Periodic reports: each carries what changed since the one before, with the simulator's values
// of later and later reads; every item is in some report.
void expectPeriodicReports(const std::vector<Callback>& changes, const std::string& what) {
    std::vector<int> last(std::size(kDevices), -1);
    std::vector<bool> reported(kItemCount, false);
    for (const Callback& change : changes) {
        EXPECT_EQ(change.group, kGroupClient) << what;
        EXPECT_EQ(change.masterQuality, S_OK) << what;
        EXPECT_EQ(change.masterError, S_OK) << what;
        EXPECT_FALSE(change.entries.empty()) << what;
        for (const Entry& entry : change.entries) {
            if (itemOf(entry.client) < kItemCount) {
                reported[itemOf(entry.client)] = true;
            }
        }
        const std::vector<int> cycles =
            expectPredicted(change.entries, 2 * kPeriodMs, what, ticksOf(change.arrived));
        for (size_t i = 0; i < cycles.size(); ++i) {
            if (cycles[i] >= 0) {
                EXPECT_GT(cycles[i], last[i]) << what << ": " << kDevices[i].serial;
                last[i] = cycles[i];
            }
        }
    }
    for (size_t i = 0; i < kItemCount; ++i) {
        EXPECT_TRUE(reported[i]) << what << ": " << kItems[i].id << " was never reported";
    }
}

TEST_F(Client, DataChangesArriveEveryPollPeriodWithTheNextCycles) {
    ASSERT_TRUE(awaitLiveData());
    const std::vector<Callback> changes = nextPeriodicChanges(3);
    expectPeriodicReports(changes, "change");
}

TEST_F(Client, ARefreshFromTheCacheCompletesWithItsTransactionAndEveryActiveItem) {
    ComPtr<IOPCAsyncIO2> io = as<IOPCAsyncIO2>(items.get(), IID_IOPCAsyncIO2);
    const DWORD transaction = role == "first" ? 0x1001 : 0x2001;
    DWORD cancel = 0;
    ASSERT_EQ(io->Refresh2(OPC_DS_CACHE, transaction, &cancel), S_OK);
    EXPECT_NE(cancel, 0u);
    ASSERT_TRUE(awaitTransaction(Callback::DataChange, transaction, 3 * kPeriodMs));
    const std::vector<Callback> calls = sink->calls();
    const Callback& refresh = *find(calls, Callback::DataChange, transaction);
    EXPECT_EQ(refresh.group, kGroupClient);
    std::vector<OPCHANDLE> clients = refresh.clients();
    std::sort(clients.begin(), clients.end());
    std::vector<OPCHANDLE> all;
    for (size_t i = 0; i < kItemCount; ++i) {
        all.push_back(kFirstClientHandle + static_cast<OPCHANDLE>(i));
    }
    EXPECT_EQ(clients, all);
    expectPredicted(refresh.entries, 3 * kPeriodMs, "refresh", ticksOf(refresh.arrived));
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [&](const Callback& call) { return call.transaction == transaction; }),
              1);
}

TEST_F(Client, AnAsynchronousReadCompletesWithItsTransaction) {
    ComPtr<IOPCAsyncIO2> io = as<IOPCAsyncIO2>(items.get(), IID_IOPCAsyncIO2);
    const DWORD transaction = role == "first" ? 0x1002 : 0x2002;
    // Three items of two lines.
    OPCHANDLE wanted[] = {serverHandles[0], serverHandles[5], serverHandles[9]};
    DWORD cancel = 0;
    CoTaskMemPtr<HRESULT> errors;
    ASSERT_EQ(io->Read(3, wanted, transaction, &cancel, errors.put()), S_OK);
    ASSERT_TRUE(errors);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(errors[i], S_OK);
    }
    EXPECT_NE(cancel, 0u);
    ASSERT_TRUE(awaitTransaction(Callback::ReadComplete, transaction, 4 * kPeriodMs));
    const std::vector<Callback> calls = sink->calls();
    const Callback& read = *find(calls, Callback::ReadComplete, transaction);
    EXPECT_EQ(read.group, kGroupClient);
    EXPECT_EQ(read.masterQuality, S_OK);
    // The cycle it asked for brings new values of all three.
    EXPECT_EQ(read.clients(),
              (std::vector<OPCHANDLE>{kFirstClientHandle + 0, kFirstClientHandle + 5,
                                      kFirstClientHandle + 9}));
    expectPredicted(read.entries, 2 * kPeriodMs, "asynchronous read", ticksOf(read.arrived));
}

TEST_F(Client, CancelOfAPendingRefreshIsAnsweredByOnCancelComplete) {
    ComPtr<IOPCAsyncIO2> io = as<IOPCAsyncIO2>(items.get(), IID_IOPCAsyncIO2);
    const DWORD transaction = role == "first" ? 0x1003 : 0x2003;
    // A refresh from the device waits for the next poll cycle's pass; cancelled before it, its
    // OnCancelComplete carries its transaction. Should the pass come first (the cancel follows
    // within milliseconds, but may lose that race), the refresh is completed whole and the
    // cancel, which still finds it by its cancel ID, carries 0.
    DWORD cancel = 0;
    ASSERT_EQ(io->Refresh2(OPC_DS_DEVICE, transaction, &cancel), S_OK);
    ASSERT_NE(cancel, 0u);
    EXPECT_EQ(io->Cancel2(cancel), S_OK);
    ASSERT_TRUE(sink->awaitCall(
        [&](const std::vector<Callback>& calls) {
            return find(calls, Callback::CancelComplete, transaction) != calls.end() ||
                   find(calls, Callback::CancelComplete, 0) != calls.end();
        },
        2 * kPeriodMs));
    std::vector<Callback> calls = sink->calls();
    const bool cancelledFirst = find(calls, Callback::CancelComplete, transaction) != calls.end();
    if (cancelledFirst) {
        EXPECT_EQ(find(calls, Callback::CancelComplete, transaction)->group, kGroupClient);
    } else {
        EXPECT_NE(find(calls, Callback::DataChange, transaction), calls.end());
    }
    EXPECT_EQ(io->Cancel2(cancel), E_FAIL) << "cancelled once";
    // Free again: the next refresh is taken and completes.
    DWORD refused = 0;
    ASSERT_EQ(io->Refresh2(OPC_DS_CACHE, transaction + 2, &refused), S_OK);
    EXPECT_TRUE(awaitTransaction(Callback::DataChange, transaction + 2, 3 * kPeriodMs));
    calls = sink->calls();
    if (cancelledFirst) {
        EXPECT_EQ(find(calls, Callback::DataChange, transaction), calls.end())
            << "the cancelled refresh was completed all the same";
    }
}

// The second client stays subscribed until the script kills its process.
TEST_F(Client, SecondStaysSubscribedUntilKilled) {
    if (role != "second") {
        GTEST_SKIP() << "the second client's part";
    }
    const int failed = ::testing::UnitTest::GetInstance()->failed_test_count();
    raiseFlag("second-subscribed", failed == 0 ? "ok" : std::to_string(failed) + " failed");
    std::this_thread::sleep_for(60s);
    ADD_FAILURE() << "the second client was not killed";
}

TEST_F(Client, FirstGetsDataChangesAfterTheSecondIsKilled) {
    if (role != "first") {
        GTEST_SKIP() << "the first client's part";
    }
    ASSERT_TRUE(awaitFlag("second-killed", 60s)) << "the second client was never killed";
    // The server's next calls into the dead client fail; this client is served on.
    const std::vector<Callback> changes = nextPeriodicChanges(2);
    expectPeriodicReports(changes, "after the kill");
}

TEST_F(Client, FirstSeesACutLineGoBadAndComeBack) {
    if (role != "first") {
        GTEST_SKIP() << "the first client's part";
    }
    auto ofCutDevice = [](const Entry& entry) {
        return kItems[itemOf(entry.client)].device == kCutDevice;
    };
    // The first report after `from` in which the cut device's items are all good or all bad.
    auto awaitState = [&](size_t from, bool good, int timeoutMs) -> std::optional<Callback> {
        Callback found{};
        const bool seen = sink->awaitCall(
            [&](const std::vector<Callback>& calls) {
                for (size_t i = from; i < calls.size(); ++i) {
                    const Callback& call = calls[i];
                    size_t matching = 0;
                    size_t cut = 0;
                    for (const Entry& entry : call.entries) {
                        if (ofCutDevice(entry)) {
                            ++cut;
                            matching += isGood(entry) == good ? 1 : 0;
                        }
                    }
                    if (call.kind == Callback::DataChange && cut > 0 && matching == cut) {
                        found = call;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return seen ? std::optional<Callback>(found) : std::nullopt;
    };

    raiseFlag("cut-line");
    ASSERT_TRUE(awaitFlag("line-cut", 10s));
    const auto cutAt = std::chrono::steady_clock::now();
    const std::optional<Callback> bad = awaitState(sink->calls().size(), false, 10 * kPeriodMs);
    ASSERT_TRUE(bad) << "the items of " << kDevices[kCutDevice].line
                     << " did not turn bad within ten periods";
    std::printf("items of the cut line bad after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - cutAt)
                                           .count()));
    EXPECT_EQ(bad->masterQuality, S_FALSE);
    std::vector<Entry> others;
    for (const Entry& entry : bad->entries) {
        if (ofCutDevice(entry)) {
            EXPECT_EQ(entry.quality, OPC_QUALITY_BAD) << kItems[itemOf(entry.client)].id;
            EXPECT_EQ(entry.value, 0.0) << kItems[itemOf(entry.client)].id;
        } else {
            others.push_back(entry);
        }
    }
    expectPredicted(others, 2 * kPeriodMs, "the other lines", ticksOf(bad->arrived));
    for (const Entry& entry : syncRead(OPC_DS_CACHE)) {
        EXPECT_EQ(isGood(entry), !ofCutDevice(entry)) << kItems[itemOf(entry.client)].id;
    }

    raiseFlag("restore-line");
    ASSERT_TRUE(awaitFlag("line-restored", 10s));
    const auto restoredAt = std::chrono::steady_clock::now();
    const std::optional<Callback> good = awaitState(sink->calls().size(), true, 10 * kPeriodMs);
    ASSERT_TRUE(good) << "the items of " << kDevices[kCutDevice].line
                      << " did not come back within ten periods";
    std::printf("items of the restored line good after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - restoredAt)
                                           .count()));
    std::vector<Entry> cutItems;
    for (const Entry& entry : good->entries) {
        if (ofCutDevice(entry)) {
            cutItems.push_back(entry);
        }
    }
    // The restarted simulator counts its cycles from 0 again.
    expectPredicted(cutItems, 2 * kPeriodMs, "after the restart", ticksOf(good->arrived));
    EXPECT_LE(cycleOf(cutItems, kCutDevice), 10);
}

}  // namespace
}  // namespace movra

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--role=", 0) == 0) {
            movra::role = argument.substr(7);
        } else if (argument.rfind("--flags=", 0) == 0) {
            movra::flagFolder = argument.substr(8);
        }
    }
    return movra::e2e::runTests();
}
