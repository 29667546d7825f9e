// The client side of client_habits_test.sh: three habits of OPC clients written by others, against
// the real server under Wine, started by COM and reached out of process through the proxy/stub. The
// server polls a simulated KMT-U on COM31 and a KMT whose line is not there (COM32) once an hour,
// so between the cycles a client asks for the values stand still.
//   - Add items, wait past a poll cycle, then Advise: every item comes once, unchanged as it is.
//   - Eleven Refresh2 from the device in a row, the sixth cancelled: ten answers in the order
//   asked.
//   - A flat browse, then GetItemID of each name: every name is its own fully qualified ID.
// The tests run in this order on one connection, as one client's session.
#include "common/com/com_object.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"
#include "tests/e2e/e2e_client.h"
#include "tests/support/file_time.h"
#include "tests/support/recording_sink.h"
#include "tools/kmt-sim/values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
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
using test::RecordingSink;
using test::ticksOf;
using namespace std::chrono_literals;

// The configuration client_habits_test.sh writes: a period of one hour.
constexpr DWORD kPeriodMs = 3600 * 1000;
constexpr uint32_t kSeed = 21;  // of the simulated KMT-U 0B01
constexpr OPCHANDLE kFirstClientHandle = 100;
constexpr OPCHANDLE kGroupClient = 5;

struct ItemCase {
    const char* id;
    bool simulated;  // on COM31; else on the missing COM32
    Quantity quantity;
    uint32_t index;
};
constexpr ItemCase kItems[] = {
    {"PKE0B01.SYS.Tv", true, Quantity::Tv, 0},
    {"PKE0B01.K01.T", true, Quantity::ChannelT, 1},
    {"PKE0B01.K02.T", true, Quantity::ChannelT, 2},
    {"PKE0B01.U02.W", true, Quantity::NodeW, 2},
    {"PKE0B02.K01.T", false, Quantity::ChannelT, 1},
    {"PKE0B02.K02.P", false, Quantity::ChannelP, 2},
};
constexpr size_t kItemCount = std::size(kItems);

const ItemCase& itemOf(const Entry& entry) {
    return kItems[std::min<size_t>(entry.client - kFirstClientHandle, kItemCount - 1)];
}

bool isGood(const Entry& entry) {
    return entry.quality == OPC_QUALITY_GOOD && entry.error == S_OK;
}

// The simulator's read cycle that every entry of the KMT-U shows, or -1 when none fits them all.
int cycleOf(const std::vector<Entry>& entries) {
    for (uint32_t cycle = 0; cycle < 200; ++cycle) {
        if (std::all_of(entries.begin(), entries.end(), [&](const Entry& entry) {
                const ItemCase& item = itemOf(entry);
                return !item.simulated ||
                       entry.value == sim::value(kSeed, item.quantity, item.index, cycle);
            })) {
            return static_cast<int>(cycle);
        }
    }
    return -1;
}

// Every item once, the simulated ones good and the others bad; the cycle they show.
int expectEveryItem(const std::vector<Entry>& entries, const std::string& what) {
    std::vector<OPCHANDLE> clients;
    for (const Entry& entry : entries) {
        clients.push_back(entry.client);
        EXPECT_EQ(entry.error, S_OK) << what << ": " << itemOf(entry).id;
        EXPECT_EQ(entry.type, VT_R4) << what << ": " << itemOf(entry).id;
        if (itemOf(entry).simulated) {
            EXPECT_EQ(entry.quality, OPC_QUALITY_GOOD) << what << ": " << itemOf(entry).id;
        } else {
            EXPECT_EQ(entry.quality & OPC_QUALITY_MASK, OPC_QUALITY_BAD)
                << what << ": " << itemOf(entry).id;
        }
    }
    std::vector<OPCHANDLE> all;
    for (size_t i = 0; i < kItemCount; ++i) {
        all.push_back(kFirstClientHandle + static_cast<OPCHANDLE>(i));
    }
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients, all) << what;
    const int cycle = cycleOf(entries);
    EXPECT_GE(cycle, 0) << what << ": the values are no read cycle's of the simulator";
    return cycle;
}

class Habits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (FAILED(e2e::activate(server))) {
            return;
        }
        HRESULT result = server->AddGroup(
            wide("habits").c_str(), TRUE, kPeriodMs, kGroupClient, nullptr, nullptr, 0,
            &groupHandle, &revisedRate, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.put()));
        if (FAILED(result)) {
            std::fprintf(stderr, "AddGroup: 0x%08lX\n", static_cast<unsigned long>(result));
            return;
        }
        std::vector<std::string> ids;
        for (const ItemCase& item : kItems) {
            ids.push_back(item.id);
        }
        std::vector<e2e::Added> added;
        addResult = e2e::addItems(items.get(), ids, kFirstClientHandle, &added);
        for (const e2e::Added& item : added) {
            serverHandles.push_back(item.server);
        }
    }
    static void TearDownTestSuite() {
        items.reset();
        server.reset();
        sink.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(server) << "the server could not be activated";
        ASSERT_TRUE(items) << "no group";
        ASSERT_EQ(addResult, S_OK);
    }

    template <typename Interface>
    static ComPtr<Interface> as(IUnknown* object, REFIID iid) {
        ComPtr<Interface> result;
        EXPECT_EQ(object->QueryInterface(iid, result.putVoid()), S_OK);
        return result;
    }

    static std::vector<Entry> cacheRead() {
        CoTaskMemPtr<OPCITEMSTATE> states;
        CoTaskMemPtr<HRESULT> errors;
        std::vector<OPCHANDLE> handles = serverHandles;
        std::vector<Entry> entries;
        if (as<IOPCSyncIO>(items.get(), IID_IOPCSyncIO)
                ->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(),
                       states.put(), errors.put()) != S_OK) {
            return entries;
        }
        for (size_t i = 0; i < handles.size(); ++i) {
            OPCITEMSTATE& state = states[i];
            entries.push_back({state.hClient, state.vDataValue.vt,
                               state.vDataValue.vt == VT_R4 ? state.vDataValue.fltVal : -1.0,
                               state.wQuality, state.ftTimeStamp, errors[i]});
            VariantClear(&state.vDataValue);
        }
        return entries;
    }

    // Connects the sink once, as the first habit does after its wait.
    static void advise() {
        if (sink) {
            return;
        }
        sink = ComPtr<RecordingSink>(new RecordingSink);
        DWORD cookie = 0;
        EXPECT_EQ(e2e::advise(items.get(), sink->unknown(), &cookie), S_OK);
    }

    static ComPtr<IOPCServer> server;
    static ComPtr<IOPCItemMgt> items;
    static ComPtr<RecordingSink> sink;
    static OPCHANDLE groupHandle;
    static DWORD revisedRate;
    static HRESULT addResult;
    static std::vector<OPCHANDLE> serverHandles;
};

ComPtr<IOPCServer> Habits::server;
ComPtr<IOPCItemMgt> Habits::items;
ComPtr<RecordingSink> Habits::sink;
OPCHANDLE Habits::groupHandle = 0;
DWORD Habits::revisedRate = 0;
HRESULT Habits::addResult = E_FAIL;
std::vector<OPCHANDLE> Habits::serverHandles;

TEST_F(Habits, ItemsAddedBeforeTheSinkAreEachReportedOnceAfterAdviseThoughNothingChanges) {
    // The group is told the rate that every item's scan-rate property gives.
    EXPECT_EQ(revisedRate, kPeriodMs);
    DWORD scanRate = 6;
    CoTaskMemPtr<VARIANT> properties;
    CoTaskMemPtr<HRESULT> errors;
    ASSERT_EQ(as<IOPCItemProperties>(server.get(), IID_IOPCItemProperties)
                  ->GetItemProperties(const_cast<LPWSTR>(wide(kItems[1].id).c_str()), 1, &scanRate,
                                      properties.put(), errors.put()),
              S_OK);
    EXPECT_EQ(properties[0].vt, VT_R4);
    EXPECT_EQ(properties[0].fltVal, static_cast<float>(kPeriodMs));

    // Past the poll cycle that read the devices: the cache shows the KMT-U's readings.
    std::vector<Entry> cached;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        cached = cacheRead();
        if (cached.size() == kItemCount && isGood(cached[0])) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(cached.size() == kItemCount && isGood(cached[0])) << "no poll cycle read COM31";
    const int cycle = expectEveryItem(cached, "the cache");

    const auto advisedAt = std::chrono::steady_clock::now();
    advise();
    ASSERT_TRUE(sink->awaitCalls(1, 5000)) << "nothing came after Advise";
    const auto waited = std::chrono::steady_clock::now() - advisedAt;
    std::printf("every item reported %lld ms after Advise\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    std::this_thread::sleep_for(1500ms);  // and nothing more, for nothing changes
    const std::vector<Callback> calls = sink->calls();
    ASSERT_EQ(calls.size(), 1u);
    const Callback& first = calls[0];
    EXPECT_EQ(first.kind, Callback::DataChange);
    EXPECT_EQ(first.transaction, 0u);
    EXPECT_EQ(first.group, kGroupClient);
    EXPECT_EQ(first.masterQuality, S_FALSE) << "the KMT on COM32 never answered";
    EXPECT_EQ(expectEveryItem(first.entries, "the first report"), cycle);
    // Exactly what the cache held, which has not moved since.
    const std::vector<Entry> after = cacheRead();
    ASSERT_EQ(after.size(), kItemCount);
    const std::vector<Entry>* const reads[] = {&cached, &after};
    for (const Entry& entry : first.entries) {
        for (const std::vector<Entry>* read : reads) {
            const Entry& held = (*read)[entry.client - kFirstClientHandle];
            EXPECT_EQ(entry.value, held.value) << itemOf(entry).id;
            EXPECT_EQ(entry.quality, held.quality) << itemOf(entry).id;
            EXPECT_EQ(ticksOf(entry.time), ticksOf(held.time)) << itemOf(entry).id;
        }
    }
}

TEST_F(Habits, ElevenRefreshesFromTheDeviceAreAnsweredInOrderAndTheCancelledOneIsNot) {
    advise();
    ComPtr<IOPCAsyncIO2> io = as<IOPCAsyncIO2>(items.get(), IID_IOPCAsyncIO2);
    const size_t before = sink->calls().size();
    constexpr DWORD kFirst = 0x4001;
    std::vector<DWORD> cancels;
    for (DWORD i = 0; i < 11; ++i) {
        DWORD cancel = 0;
        ASSERT_EQ(io->Refresh2(OPC_DS_DEVICE, kFirst + i, &cancel), S_OK) << i;
        EXPECT_EQ(std::count(cancels.begin(), cancels.end(), cancel), 0) << i;
        cancels.push_back(cancel);
    }
    // The cancel follows at once; the answers wait for a poll cycle of at least a KMT-U's read.
    const DWORD cancelled = kFirst + 5;
    ASSERT_EQ(io->Cancel2(cancels[5]), S_OK);
    std::vector<DWORD> expected;
    for (DWORD i = 0; i < 11; ++i) {
        if (kFirst + i != cancelled) {
            expected.push_back(kFirst + i);
        }
    }
    auto answers = [&](const std::vector<Callback>& calls) {
        std::vector<const Callback*> found;
        for (size_t i = before; i < calls.size(); ++i) {
            if (calls[i].kind == Callback::DataChange && calls[i].transaction != 0) {
                found.push_back(&calls[i]);
            }
        }
        return found;
    };
    ASSERT_TRUE(sink->awaitCall(
        [&](const std::vector<Callback>& calls) {
            return answers(calls).size() >= expected.size();
        },
        20000))
        << "ten answers did not come";
    std::this_thread::sleep_for(500ms);  // nothing more should follow
    const std::vector<Callback> calls = sink->calls();
    std::vector<DWORD> order;
    int lastCycle = 0;
    for (const Callback* answer : answers(calls)) {
        order.push_back(answer->transaction);
        EXPECT_EQ(answer->group, kGroupClient);
        const int cycle =
            expectEveryItem(answer->entries, "answer " + std::to_string(answer->transaction));
        EXPECT_GT(cycle, 0) << "from a read after the request";
        EXPECT_GE(cycle, lastCycle);
        lastCycle = cycle;
    }
    EXPECT_EQ(order, expected);
    const auto cancelCompletes = std::count_if(
        calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end(), [&](const Callback& c) {
            return c.kind == Callback::CancelComplete && c.transaction == cancelled;
        });
    EXPECT_EQ(cancelCompletes, 1);
    // Across processes the calls arrive on COM's threads of this process, never two at once.
    EXPECT_FALSE(sink->overlapped);

    // The last one answered keeps its cancel ID, answered with transaction 0; the others do not.
    EXPECT_EQ(io->Cancel2(cancels[0]), E_FAIL);
    EXPECT_EQ(io->Cancel2(cancels[5]), E_FAIL);
    const size_t now = sink->calls().size();
    EXPECT_EQ(io->Cancel2(cancels[10]), S_OK);
    ASSERT_TRUE(sink->awaitCalls(now + 1));
    EXPECT_EQ(sink->calls().back().kind, Callback::CancelComplete);
    EXPECT_EQ(sink->calls().back().transaction, 0u);
}

std::vector<std::string> browseFlat(IOPCBrowseServerAddressSpace* space) {
    ComPtr<IEnumString> names;
    EXPECT_EQ(space->BrowseOPCItemIDs(OPC_FLAT, U16(""), VT_EMPTY, 0, names.put()), S_OK);
    std::vector<std::string> result;
    for (LPOLESTR name = nullptr; names && names->Next(1, &name, nullptr) == S_OK;) {
        result.push_back(text(name));
        CoTaskMemFree(name);
    }
    return result;
}

// GetItemID's answer, or the failure in hex.
std::string itemIdOf(IOPCBrowseServerAddressSpace* space, const std::string& name) {
    platform::WString asked = wide(name);
    CoTaskMemPtr<WCHAR> id;
    const HRESULT hr = space->GetItemID(asked.data(), id.put());
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        return code;
    }
    return text(id.get());
}

TEST_F(Habits, EveryNameOfAFlatBrowseIsItsOwnFullyQualifiedId) {
    ComPtr<IOPCBrowseServerAddressSpace> space =
        as<IOPCBrowseServerAddressSpace>(server.get(), IID_IOPCBrowseServerAddressSpace);
    ASSERT_TRUE(space);
    const std::vector<std::string> flat = browseFlat(space.get());
    for (const ItemCase& item : kItems) {
        EXPECT_NE(std::find(flat.begin(), flat.end(), item.id), flat.end()) << item.id;
    }
    // At the root, as such a client asks, and below it, where names are qualified as before.
    for (const char* position : {"", "PKE0B01.K01"}) {
        ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, wide(position).c_str()), S_OK);
        size_t own = 0;
        for (const std::string& name : flat) {
            const std::string id = itemIdOf(space.get(), name);
            EXPECT_EQ(id, name) << "at '" << position << "'";
            own += id == name ? 1 : 0;
        }
        std::printf("at '%s': %zu of %zu flat names are their own item ID\n", position, own,
                    flat.size());
    }
    EXPECT_EQ(itemIdOf(space.get(), "T"), "PKE0B01.K01.T");
}

}  // namespace
}  // namespace movra

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return movra::e2e::runTests();
}
