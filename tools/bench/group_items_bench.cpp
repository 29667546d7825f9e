// Figures of a group's item management at the largest configuration: every offered item of 100
// KMT-U devices (42,200) added to one group in one AddItems call and one item per call, removed
// again, enumerated, and the heap each group item holds; then one notification pass over ten
// clients with 10,000 active items each, a tenth of them changed; then 1,000 refreshes from the
// cache of one group of 100 items, queued as many at a time as a group keeps (256) and each queue
// answered by one pass.
//
//   group_items_bench [rounds]     (default 5; the best round is reported)

#include "common/opc/opc_ids.h"
#include "platform/clock.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "server/core/server_state.h"
#include "server/opc/catalogue.h"
#include "server/opc/opc_context.h"
#include "server/core/log.h"
#include "server/opc/notification_pass.h"
#include "server/opc/opc_group.h"
#include "server/opc/opc_server.h"
#include "tools/bench/bench_support.h"
#include "tools/bench/counted_heap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using movra::bench::Clock;
using platform::ComPtr;
using platform::CoTaskMemPtr;

using movra::bench::millisecondsSince;

void check(HRESULT hr, HRESULT expected, const char* what) {
    if (hr != expected) {
        std::fprintf(stderr, "%s: 0x%08X\n", what, static_cast<unsigned>(hr));
        std::exit(1);
    }
}

// A client's sink that only counts what it is told.
class CountingSink final : public movra::com::ComObject<CountingSink, IOPCDataCallback> {
public:
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE, HRESULT, HRESULT,
                                           DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                           HRESULT*) noexcept override {
        items += count;
        answers += transaction != 0 ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*,
                                             HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) noexcept override { return S_OK; }

    std::atomic<size_t> items{0};
    std::atomic<size_t> answers{0};  // refreshes answered

private:
    friend class movra::com::ComObject<CountingSink, IOPCDataCallback>;
    ~CountingSink() override = default;
};

void publish(movra::CMovraItem& catalogue, uint32_t slot, float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    catalogue.writeSlot(slot, bits, OPC_QUALITY_GOOD, nullptr);
}

// Ten clients, each with one group of the first 10,000 items and a sink; the pass is timed after
// a tenth of the items' readings changed. Returns the best time; *reported is what the sinks got.
double timeNotificationPass(movra::OpcContext& context, movra::CMovraItem& catalogue,
                            const std::vector<OPCITEMDEF>& defs, int rounds, size_t* reported) {
    constexpr DWORD kItemsPerGroup = 10000;
    constexpr uint32_t kClients = 10;
    movra::CMovraLog log(platform::realClock());  // not opened: the pass's lines cost nothing here
    movra::NotificationPass pass(context, log);
    std::vector<ComPtr<IOPCServer>> servers;
    std::vector<ComPtr<IOPCItemMgt>> groups;
    std::vector<ComPtr<CountingSink>> sinks;
    for (uint32_t client = 0; client < kClients; ++client) {
        auto* object = new movra::CMovraOPCServer(context, client);
        servers.emplace_back();
        check(object->QueryInterface(IID_IOPCServer, servers.back().putVoid()), S_OK, "server");
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        groups.emplace_back();
        check(servers.back()->AddGroup(U16("Watch"), TRUE, 1000, client, nullptr, nullptr, 0,
                                       &handle, &revised, IID_IOPCItemMgt,
                                       reinterpret_cast<LPUNKNOWN*>(groups.back().put())),
              S_OK, "AddGroup");
        CoTaskMemPtr<OPCITEMRESULT> results;
        CoTaskMemPtr<HRESULT> errors;
        check(groups.back()->AddItems(kItemsPerGroup, const_cast<OPCITEMDEF*>(defs.data()),
                                      results.put(), errors.put()),
              S_OK, "AddItems");
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        check(groups.back()->QueryInterface(IID_IConnectionPointContainer, container.putVoid()),
              S_OK, "container");
        check(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK, "point");
        sinks.emplace_back(new CountingSink);
        DWORD cookie = 0;
        check(point->Advise(sinks.back()->unknown(), &cookie), S_OK, "Advise");
    }
    std::vector<uint32_t> slots;
    for (DWORD i = 0; i < kItemsPerGroup; ++i) {
        slots.push_back(catalogue.findSlot(defs[i].szItemID));
        publish(catalogue, slots.back(), 1.0f);
    }
    pass.NotifyClients(true);  // everyone is told the first readings
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        for (auto& sink : sinks) {
            sink->items = 0;
        }
        for (DWORD i = static_cast<DWORD>(round); i < kItemsPerGroup; i += 10) {
            publish(catalogue, slots[i], 2.0f + static_cast<float>(round));
        }
        Clock::time_point start = Clock::now();
        pass.NotifyClients(true);
        best = std::min(best, millisecondsSince(start));
        *reported = 0;
        for (auto& sink : sinks) {
            *reported += sink->items;
        }
    }
    groups.clear();
    servers.clear();
    return best;
}

struct QueueFigures {
    double allMs = 1e300;        // the passes that answered all of them
    double fullQueueMs = 1e300;  // the slowest of those passes
    int passes = 0;
    size_t answers = 0;
};

// One client, one group of the first 100 items and a sink; 1,000 refreshes from the cache are
// queued up to the group's limit and each queue is answered by one pass, timed; the best round.
QueueFigures timeQueuedRefreshes(movra::OpcContext& context, const std::vector<OPCITEMDEF>& defs,
                                 int rounds) {
    constexpr DWORD kItemsPerGroup = 100;
    constexpr DWORD kRefreshes = 1000;
    movra::CMovraLog log(platform::realClock());
    movra::NotificationPass pass(context, log);
    auto* object = new movra::CMovraOPCServer(context, 0);
    ComPtr<IOPCServer> server;
    check(object->QueryInterface(IID_IOPCServer, server.putVoid()), S_OK, "server");
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> group;
    check(server->AddGroup(U16("Queue"), TRUE, 1000, 1, nullptr, nullptr, 0, &handle, &revised,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(group.put())),
          S_OK, "AddGroup");
    CoTaskMemPtr<OPCITEMRESULT> results;
    CoTaskMemPtr<HRESULT> errors;
    check(group->AddItems(kItemsPerGroup, const_cast<OPCITEMDEF*>(defs.data()), results.put(),
                          errors.put()),
          S_OK, "AddItems");
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    check(group->QueryInterface(IID_IConnectionPointContainer, container.putVoid()), S_OK,
          "container");
    check(container->FindConnectionPoint(IID_IOPCDataCallback, point.put()), S_OK, "point");
    ComPtr<CountingSink> sink(new CountingSink);
    DWORD cookie = 0;
    check(point->Advise(sink->unknown(), &cookie), S_OK, "Advise");
    ComPtr<IOPCAsyncIO2> io;
    check(group->QueryInterface(IID_IOPCAsyncIO2, io.putVoid()), S_OK, "IOPCAsyncIO2");
    pass.NotifyClients(false);  // the first report of every item
    QueueFigures best;
    for (int round = 0; round < rounds; ++round) {
        QueueFigures figures{0.0, 0.0, 0, 0};
        sink->answers = 0;
        DWORD asked = 0;
        while (asked < kRefreshes) {
            for (size_t queued = 0; queued < movra::kMaxPendingTransactions && asked < kRefreshes;
                 ++queued) {
                DWORD cancel = 0;
                check(io->Refresh2(OPC_DS_CACHE, ++asked, &cancel), S_OK, "Refresh2");
            }
            Clock::time_point start = Clock::now();
            pass.NotifyClients(false);
            const double ms = millisecondsSince(start);
            figures.allMs += ms;
            figures.fullQueueMs = std::max(figures.fullQueueMs, ms);
            ++figures.passes;
        }
        figures.answers = sink->answers;
        if (figures.allMs < best.allMs) {
            best = figures;
        }
    }
    io.reset();
    group.reset();
    server.reset();
    return best;
}

struct Figures {
    double addOneCallMs = 1e300;
    double addPerItemMs = 1e300;
    double removeMs = 1e300;
    double enumerateMs = 1e300;
    size_t bytesPerItem = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    movra::ServerState state;
    movra::CMovraItem catalogue(platform::realClock());
    if (catalogue.BuildCatalogue(movra::bench::hundredKmtU(1000)) != S_OK) {
        return 1;
    }
    movra::OpcContext context{state, platform::realClock(), 1000, &catalogue};
    auto* object = new movra::CMovraOPCServer(context, 0);
    ComPtr<IOPCServer> server;
    check(object->QueryInterface(IID_IOPCServer, server.putVoid()), S_OK, "server");

    std::vector<platform::WString> ids;
    for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
        if (catalogue.offersItem(slot)) {
            ids.emplace_back(catalogue.itemIdAt(slot));
        }
    }
    const DWORD count = static_cast<DWORD>(ids.size());
    std::vector<OPCITEMDEF> defs(count);
    for (DWORD i = 0; i < count; ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = i;
    }

    Figures best;
    for (int round = 0; round < rounds; ++round) {
        OPCHANDLE groupHandle = 0;
        DWORD revised = 0;
        ComPtr<IOPCItemMgt> items;
        check(
            server->AddGroup(U16("Bench"), TRUE, 1000, 1, nullptr, nullptr, 0, &groupHandle,
                             &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.put())),
            S_OK, "AddGroup");

        // One call with every item; the group's heap growth is what the items hold.
        const size_t before = liveBytes.load();
        Clock::time_point start = Clock::now();
        {
            CoTaskMemPtr<OPCITEMRESULT> results;
            CoTaskMemPtr<HRESULT> errors;
            check(items->AddItems(count, defs.data(), results.put(), errors.put()), S_OK,
                  "AddItems");
        }
        best.addOneCallMs = std::min(best.addOneCallMs, millisecondsSince(start));
        best.bytesPerItem = (liveBytes.load() - before) / count;

        start = Clock::now();
        {
            ComPtr<IEnumOPCItemAttributes> enumerator;
            check(items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                          reinterpret_cast<LPUNKNOWN*>(enumerator.put())),
                  S_OK, "CreateEnumerator");
            OPCITEMATTRIBUTES* array = nullptr;
            ULONG fetched = 0;
            check(enumerator->Next(count, &array, &fetched), S_OK, "Next");
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(array[i].szAccessPath);
                CoTaskMemFree(array[i].szItemID);
            }
            CoTaskMemFree(array);
        }
        best.enumerateMs = std::min(best.enumerateMs, millisecondsSince(start));

        std::vector<OPCHANDLE> handles(count);
        for (DWORD i = 0; i < count; ++i) {
            handles[i] = i + 1;
        }
        start = Clock::now();
        {
            CoTaskMemPtr<HRESULT> errors;
            check(items->RemoveItems(count, handles.data(), errors.put()), S_OK, "RemoveItems");
        }
        best.removeMs = std::min(best.removeMs, millisecondsSince(start));

        items.reset();
        check(server->RemoveGroup(groupHandle, TRUE), S_OK, "RemoveGroup");

        // As a client that adds one item per call does, into a new group.
        check(
            server->AddGroup(U16("Bench"), TRUE, 1000, 1, nullptr, nullptr, 0, &groupHandle,
                             &revised, IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.put())),
            S_OK, "AddGroup");
        start = Clock::now();
        for (DWORD i = 0; i < count; ++i) {
            CoTaskMemPtr<OPCITEMRESULT> results;
            CoTaskMemPtr<HRESULT> errors;
            check(items->AddItems(1, &defs[i], results.put(), errors.put()), S_OK, "AddItems(1)");
        }
        best.addPerItemMs = std::min(best.addPerItemMs, millisecondsSince(start));
        items.reset();
        check(server->RemoveGroup(groupHandle, TRUE), S_OK, "RemoveGroup");
    }
    server.reset();
    size_t idBytes = 0;
    for (const platform::WString& id : ids) {
        idBytes += (id.size() + 1) * sizeof(WCHAR);
    }
    size_t reported = 0;
    const double passMs = timeNotificationPass(context, catalogue, defs, rounds, &reported);
    const QueueFigures queue = timeQueuedRefreshes(context, defs, rounds);

    std::printf("group items of 100 KMT-U devices (%u items), best of %d rounds\n",
                static_cast<unsigned>(count), rounds);
    std::printf("  %-44s %11.3f ms\n", "AddItems, all in one call", best.addOneCallMs);
    std::printf("  %-44s %11.3f ms\n", "AddItems, one call per item", best.addPerItemMs);
    std::printf("  %-44s %11.3f ms\n", "CreateEnumerator and Next of all", best.enumerateMs);
    std::printf("  %-44s %11.3f ms\n", "RemoveItems, all in one call", best.removeMs);
    std::printf("  %-44s %14zu\n", "heap bytes per group item", best.bytesPerItem);
    std::printf("  %-44s %14zu\n", "  of which beyond the item ID",
                best.bytesPerItem - idBytes / count);
    std::printf("  %-44s %14zu\n", "heap bytes of the catalogue", catalogue.memoryBytes());
    std::printf("notification pass, 10 clients x 10,000 active items, 10 %% changed\n");
    std::printf("  %-44s %11.3f ms\n", "one periodic pass", passMs);
    std::printf("  %-44s %14zu\n", "items reported in that pass", reported);
    std::printf(
        "1,000 refreshes from the cache, 1 group x 100 active items, %zu queued at a time\n",
        movra::kMaxPendingTransactions);
    std::printf("  %-44s %11.3f ms\n", "all answered", queue.allMs);
    std::printf("  %-44s %14d\n", "  in passes", queue.passes);
    std::printf("  %-44s %11.3f ms\n", "  the slowest pass (a full queue)", queue.fullQueueMs);
    std::printf("  %-44s %14zu\n", "answers the sink got", queue.answers);
    return 0;
}
