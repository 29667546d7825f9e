// Ten clients at once against one server: the real main loop, the poll cycle reading a simulated
// KMT-U on a pseudo-terminal, the notification pass and the callback threads, while every client
// thread calls the group and server methods in random order. Checked: no thread stalls (a watchdog
// ends the run), every callback agrees with what its client asked for, and at the end every
// task-allocator block and every sink is given back. MOVRA_STRESS_SECONDS lengthens the run.
#include "common/com/com_object.h"
#include "common/config/config_file.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/unique_variant.h"
#include "platform/wide.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/host/class_factory.h"
#include "server/host/server_host.h"
#include "server/opc/catalogue.h"
#include "server/opc/notification_pass.h"
#include "server/poll/poll_cycle.h"
#include "tests/support/task_mem_probe.h"
#include "tests/support/file_time.h"
#include "tests/support/test_support.h"
#include "tools/kmt-sim/sim_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using test::nowTicks;
using test::ticksOf;

using platform::ComPtr;
using platform::CoTaskMemPtr;
using Steady = std::chrono::steady_clock;

constexpr uint32_t kClients = kClientSlots;
constexpr size_t kMaxGroupsPerClient = 4;
constexpr uint32_t kPollPeriodMs = 300;
// No thread may go this long without finishing a call: the longest honest wait is a device read
// (deviceReadTimeoutMs below) behind a poll cycle.
constexpr int kStallSeconds = 30;
constexpr VARTYPE kRequestedTypes[] = {VT_EMPTY, VT_R4, VT_R8, VT_BSTR};

int runSeconds() {
    if (const char* text = std::getenv("MOVRA_STRESS_SECONDS")) {
        return std::max(1, std::atoi(text));
    }
    return MOVRA_STRESS_DEFAULT_SECONDS;
}

// Faults seen on any thread, reported by the test's own thread at the end.
class Findings {
public:
    void add(const std::string& what) {
        std::lock_guard lock(mutex_);
        if (list_.size() < 50) {
            list_.push_back(what);
        }
        ++count_;
    }
    void report() {
        std::lock_guard lock(mutex_);
        for (const std::string& what : list_) {
            ADD_FAILURE() << what;
        }
        EXPECT_EQ(count_, 0u) << "faults seen";
    }

private:
    std::mutex mutex_;
    std::vector<std::string> list_;
    size_t count_ = 0;
};

// One callback as a sink saw it; the arrays are checked when the run is over.
struct Seen {
    enum Kind { DataChange, ReadComplete, CancelComplete } kind;
    DWORD transaction;
    OPCHANDLE group;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    struct Entry {
        OPCHANDLE client;
        VARTYPE type;
        bool converts;  // to VT_R8
        WORD quality;
        uint64_t ticks;
        HRESULT error;
    };
    std::vector<Entry> entries;
    uint64_t arrived = 0;
};

// What one sink saw. Only its callback thread writes it while the run goes on: the client reads
// it at the end, so the test's own bookkeeping adds no ordering between the client's threads and
// the server's that could hide a race from ThreadSanitizer.
struct SinkLog {
    std::mutex mutex;
    std::vector<Seen> calls;
};

// What a client knows of one of its groups, written by its own thread only. Entries are made
// before the call that may lead to a callback and never taken back, so a callback can only name
// what the group had.
struct GroupRecord {
    std::set<OPCHANDLE> clientGroups;            // every client handle the group was given
    std::map<OPCHANDLE, VARTYPE> items;          // client handle -> requested type
    std::map<DWORD, std::set<OPCHANDLE>> reads;  // asynchronous read -> the items asked for
    std::set<DWORD> refreshes;
    std::map<DWORD, DWORD> cancelIds;            // cancel ID -> transaction, of requests accepted
    std::vector<std::shared_ptr<SinkLog>> logs;  // of every sink the group was given

    // How often each transaction was answered so far (callbacks and cancels).
    std::map<DWORD, int> answers() const {
        std::map<DWORD, int> count;
        for (const auto& log : logs) {
            std::lock_guard lock(log->mutex);
            for (const Seen& call : log->calls) {
                if (call.kind == Seen::ReadComplete || call.transaction != 0) {
                    ++count[call.transaction];
                }
            }
        }
        return count;
    }
};

// Every callback of the group against what its client asked for.
void verify(const GroupRecord& record, const std::string& where, Findings& findings) {
    const uint64_t day = 864000000000ull;
    for (const auto& [transaction, count] : record.answers()) {
        if (!record.reads.count(transaction) && !record.refreshes.count(transaction)) {
            findings.add(where + ": transaction " + std::to_string(transaction) +
                         " answered that the client never issued on this group");
        } else if (count > 1) {
            findings.add(where + ": transaction " + std::to_string(transaction) + " answered " +
                         std::to_string(count) + " times");
        }
    }
    for (const auto& log : record.logs) {
        std::lock_guard lock(log->mutex);
        for (const Seen& call : log->calls) {
            const bool read = call.kind == Seen::ReadComplete;
            const std::string how = where + (read ? " OnReadComplete" : " OnDataChange") +
                                    " (transaction " + std::to_string(call.transaction) + ")";
            if (!record.clientGroups.count(call.group)) {
                findings.add(how + ": client group handle " + std::to_string(call.group) +
                             " was never given");
            }
            if (call.kind == Seen::CancelComplete) {
                continue;
            }
            if (call.entries.empty()) {
                findings.add(how + ": no items");
            }
            const std::set<OPCHANDLE>* asked = nullptr;
            if (read) {
                auto found = record.reads.find(call.transaction);
                asked = found != record.reads.end() ? &found->second : nullptr;
                if (asked && call.entries.size() != asked->size()) {
                    findings.add(how + ": " + std::to_string(call.entries.size()) +
                                 " items for a read of " + std::to_string(asked->size()));
                }
            }
            std::set<OPCHANDLE> seen;
            bool allGood = true;
            bool allOk = true;
            for (const Seen::Entry& entry : call.entries) {
                const std::string at = how + " item " + std::to_string(entry.client) + ": ";
                auto item = record.items.find(entry.client);
                if (item == record.items.end()) {
                    findings.add(at + "not an item of the group");
                    continue;
                }
                if (asked && !asked->count(entry.client)) {
                    findings.add(at + "not asked for by the read");
                }
                if (!seen.insert(entry.client).second) {
                    findings.add(at + "twice in one call");
                }
                allGood = allGood && entry.quality == OPC_QUALITY_GOOD;
                allOk = allOk && entry.error == S_OK;
                if (entry.error != S_OK) {
                    continue;
                }
                const VARTYPE expected = item->second == VT_EMPTY ? VARTYPE{VT_R4} : item->second;
                if (entry.type != expected || !entry.converts) {
                    findings.add(at + "value of type " + std::to_string(entry.type) +
                                 " for a request of " + std::to_string(item->second));
                }
                if (entry.quality != OPC_QUALITY_GOOD &&
                    (entry.quality & OPC_QUALITY_MASK) != OPC_QUALITY_BAD) {
                    findings.add(at + "quality " + std::to_string(entry.quality));
                }
                if (entry.ticks + day < call.arrived || entry.ticks > call.arrived + day) {
                    findings.add(at + "timestamp a day or more from its arrival");
                }
            }
            if (call.masterQuality != (allGood ? S_OK : S_FALSE) ||
                call.masterError != (allOk ? S_OK : S_FALSE)) {
                findings.add(how + ": master quality or error does not match the items");
            }
        }
    }
}

class CheckingSink final : public com::ComObject<CheckingSink, IOPCDataCallback> {
public:
    // Now and then a callback calls back into `server`, as clients may: the pass holds no lock
    // meanwhile. The sink holds the server object until the client disconnects it.
    CheckingSink(std::shared_ptr<SinkLog> log, Findings& findings, ComPtr<IOPCServer> server)
        : log_(std::move(log)), findings_(findings), server_(std::move(server)) {
        live.fetch_add(1, std::memory_order_relaxed);
    }

    // Relaxed: counts, not an order between the threads.
    static inline std::atomic<long> live{0};
    static inline std::atomic<long> calls{0};

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality,
                                           HRESULT error, DWORD count, OPCHANDLE* clients,
                                           VARIANT* values, WORD* qualities, FILETIME* times,
                                           HRESULT* errors) noexcept override {
        return record({Seen::DataChange, transaction, group, quality, error}, count, clients,
                      values, qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality,
                                             HRESULT error, DWORD count, OPCHANDLE* clients,
                                             VARIANT* values, WORD* qualities, FILETIME* times,
                                             HRESULT* errors) noexcept override {
        return record({Seen::ReadComplete, transaction, group, quality, error}, count, clients,
                      values, qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE, HRESULT, DWORD,
                                              OPCHANDLE*, HRESULT*) noexcept override {
        findings_.add("OnWriteComplete " + std::to_string(transaction) + ": no write was asked");
        return S_OK;
    }
    // Transaction 0: a Cancel2 after its request was answered, which keeps its cancel ID.
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction,
                                               OPCHANDLE group) noexcept override {
        return record({Seen::CancelComplete, transaction, group}, 0, nullptr, nullptr, nullptr,
                      nullptr, nullptr);
    }

private:
    friend class com::ComObject<CheckingSink, IOPCDataCallback>;
    ~CheckingSink() override { live.fetch_sub(1, std::memory_order_relaxed); }

    HRESULT record(Seen call, DWORD count, const OPCHANDLE* clients, VARIANT* values,
                   const WORD* qualities, const FILETIME* times, const HRESULT* errors) {
        // Every call into a client's sinks comes from that client's callback thread, one at a
        // time, OnCancelComplete included.
        if (running_.fetch_add(1) != 0) {
            findings_.add("a sink was called while another call into it ran");
        }
        const HRESULT result =
            recordAlone(std::move(call), count, clients, values, qualities, times, errors);
        running_.fetch_sub(1);
        return result;
    }
    HRESULT recordAlone(Seen call, DWORD count, const OPCHANDLE* clients, VARIANT* values,
                        const WORD* qualities, const FILETIME* times, const HRESULT* errors) {
        if (calls.fetch_add(1, std::memory_order_relaxed) % 3 == 0) {
            callBack();
        }
        if (count != 0 && (!clients || !values || !qualities || !times || !errors)) {
            findings_.add("a callback without its arrays");
            return S_OK;
        }
        call.arrived = nowTicks();
        for (DWORD i = 0; i < count; ++i) {
            platform::UniqueVariant asDouble;
            const bool converts =
                SUCCEEDED(VariantChangeType(asDouble.get(), &values[i], 0, VT_R8));
            call.entries.push_back(
                {clients[i], values[i].vt, converts, qualities[i], ticksOf(times[i]), errors[i]});
        }
        std::lock_guard lock(log_->mutex);
        log_->calls.push_back(std::move(call));
        return S_OK;
    }

    void callBack() {
        CoTaskMemPtr<OPCSERVERSTATUS> status;
        if (server_->GetStatus(status.put()) != S_OK) {
            findings_.add("GetStatus from inside a callback failed");
            return;
        }
        CoTaskMemPtr<WCHAR> vendor(status->szVendorInfo);
    }

    const std::shared_ptr<SinkLog> log_;
    Findings& findings_;
    const ComPtr<IOPCServer> server_;
    std::atomic<int> running_{0};
};

// The server process in miniature: the configuration file, the simulator on COM1, the catalogue,
// the poll object and the host's main loop on a thread of its own, as the program wires them.
class StressServer {
public:
    StressServer() {
        ::setenv("MOVRA_MUTEX_DIR", dir.path().c_str(), 1);
        ::setenv("MOVRA_PORTS", dir.path().c_str(), 1);
        sim = std::make_unique<KmtSimLine>(
            KMT_SIM_PROGRAM, dir.path(), 1,
            std::vector<std::string>{"--baud", "19200", "--device", "model=KMT-U,serial=0A01"});
        ConfiguratorTable table;
        table.count = 1;
        table.periodSec = 1;
        DeviceRecord& device = table.records[0];
        device.deviceType = kTypeKmtU;
        device.linkType = kLinkRs232;
        device.baudCode = 4;  // 19200
        device.comPort = 1;
        device.rs485Address = 254;
        device.serial[2] = 0x0A;
        device.serial[3] = 0x01;
        saveConfiguratorFile(dir.file("MovraOPCServer.ini"), table);

        context.deviceReadTimeoutMs = 5000;
        HostHooks hooks;
        hooks.configured = [this](const ServerConfiguration& configuration) {
            catalogue.BuildCatalogue(configuration);
            poll.configure(configuration);
        };
        hooks.classObject = [this]() -> IUnknown* { return &factory; };
        hooks.runPollCycle = [this](HANDLE portMutex) {
            poll.RunPollCycle(portMutex);
            ++cycles;
        };
        hooks.notifyClients = [this](WPARAM periodic) {
            pass.NotifyClients(periodic != 0);
            ++passes;
        };
        HostTimes times;
        times.warmUpMs = 50;
        times.recheckMs = 50;
        times.quitGraceMs = 100;
        times.minimumPeriodMs = kPollPeriodMs;
        times.periodOverrideMs = kPollPeriodMs;
        host = std::make_unique<ServerHost>(log, state, std::move(hooks), times,
                                            platform::realClock());
        thread = std::thread([this] { host->runServer("", dir.file("MovraOPCServer.exe")); });
    }

    // Waits until the main loop is up and a poll cycle has read the device (the first one only
    // identifies it).
    bool awaitReadings(int timeoutMs) {
        const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
        while (Steady::now() < deadline) {
            if (cycles.load() >= 2 && state.mainThreadId.load() != 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The last client has gone: the host ends after its grace.
    void stop() {
        if (thread.joinable()) {
            PostThreadMessageA(state.mainThreadId, WM_QUIT, 0, 0);
            thread.join();
        }
    }
    ~StressServer() { stop(); }

    test::TempDir dir;
    std::unique_ptr<KmtSimLine> sim;
    CMovraLog log{platform::realClock()};
    CMovraItem catalogue{platform::realClock()};
    ServerState state;
    PollContext poll{log, catalogue, platform::realClock(), state.stopToken()};
    OpcContext context{state, platform::realClock(), kPollPeriodMs, &catalogue};
    MovraOPCServerClassFactory factory{context};
    NotificationPass pass{context, log};
    std::unique_ptr<ServerHost> host;
    std::thread thread;
    std::atomic<long> cycles{0};
    std::atomic<long> passes{0};
};

// One client: a server object from COM, its groups, and a random walk over the methods.
class StressClient {
public:
    StressClient(uint32_t index, const std::vector<platform::WString>& itemIds, Findings& findings,
                 uint32_t seed)
        : index_(index), itemIds_(itemIds), findings_(findings), random_(seed) {}

    std::atomic<int64_t> lastProgressMs{0};
    std::atomic<const char*> doing{"starting"};

    void run(Steady::time_point until) {
        progress("CoCreateInstance");
        if (CoCreateInstance(kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                             server_.putVoid()) != S_OK) {
            findings_.add("client " + std::to_string(index_) + ": no server object");
            return;
        }
        while (Steady::now() < until) {
            step();
        }
        settle();
        // Connected sinks hold the server object: disconnected, they let it go.
        for (Group& group : groups_) {
            if (group.sink) {
                unadvise(group);
            }
        }
        progress("releasing");
        groups_.clear();
        server_.reset();
        progress("done");
    }

    // Every callback the client's sinks saw, once no thread makes one any more.
    void verify() {
        for (size_t i = 0; i < records_.size(); ++i) {
            movra::verify(*records_[i],
                          "client " + std::to_string(index_) + " group " + std::to_string(i),
                          findings_);
        }
    }

    // The requests still unanswered at the end of the run, by kind.
    std::string unanswered;

private:
    struct Group {
        ComPtr<IOPCGroupStateMgt> object;
        OPCHANDLE serverHandle = 0;
        std::shared_ptr<GroupRecord> record = std::make_shared<GroupRecord>();
        std::vector<OPCHANDLE> serverItems;
        ComPtr<CheckingSink> sink;
        DWORD cookie = 0;
    };

    // Relaxed, like the sinks' counts: the watchdog must not order the clients' threads.
    void progress(const char* what) {
        doing.store(what, std::memory_order_relaxed);
        lastProgressMs.store(
            std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch())
                .count(),
            std::memory_order_relaxed);
    }
    void fault(const std::string& what) {
        findings_.add("client " + std::to_string(index_) + " " + doing.load() + ": " + what);
    }
    size_t pick(size_t count) {
        return std::uniform_int_distribution<size_t>(0, count - 1)(random_);
    }
    bool coin() { return pick(2) == 0; }
    OPCHANDLE nextClientHandle() { return (index_ + 1) << 24 | ++handles_; }
    DWORD nextTransaction() { return (index_ + 1) << 24 | ++transactions_; }

    template <typename Interface>
    ComPtr<Interface> as(Group& group, REFIID iid) {
        ComPtr<Interface> result;
        if (group.object->QueryInterface(iid, result.putVoid()) != S_OK) {
            fault("QueryInterface of a listed group failed");
        }
        return result;
    }

    void step() {
        if (groups_.empty()) {
            addGroup();
            return;
        }
        const size_t index = pick(groups_.size());
        Group& group = groups_[index];
        switch (pick(12)) {
            case 0:
                addGroup();
                break;
            case 1:
            case 2:
                addItems(group);
                break;
            case 3:
                syncRead(group, OPC_DS_CACHE);
                break;
            case 4:
                syncRead(group, coin() ? OPC_DS_DEVICE : OPC_DS_CACHE);
                break;
            case 5:
                refresh(group);
                break;
            case 6:
                asyncRead(group);
                break;
            case 7:
                cancel(group);
                break;
            case 8:
                group.sink ? unadvise(group) : advise(group);
                break;
            case 9:
                setState(group, coin());
                break;
            case 10:
                clone(group);
                break;
            default:
                remove(index);
                break;
        }
    }

    void addGroup() {
        if (groups_.size() >= kMaxGroupsPerClient) {
            return;
        }
        progress("AddGroup");
        Group group;
        const OPCHANDLE clientGroup = nextClientHandle();
        group.record->clientGroups.insert(clientGroup);
        FLOAT deadband = coin() ? 0.0f : 1.0f;
        DWORD revised = 0;
        const std::string name = "G" + std::to_string(++names_);
        HRESULT hr = server_->AddGroup(platform::widenAscii(name).c_str(), coin(), kPollPeriodMs,
                                       clientGroup, nullptr, &deadband, 0, &group.serverHandle,
                                       &revised, IID_IOPCGroupStateMgt,
                                       reinterpret_cast<LPUNKNOWN*>(group.object.put()));
        if (hr != S_OK || revised != kPollPeriodMs) {
            fault("AddGroup gave " + std::to_string(hr));
            return;
        }
        if (coin()) {
            advise(group);
        }
        records_.push_back(group.record);
        groups_.push_back(std::move(group));
    }

    void addItems(Group& group) {
        progress("AddItems");
        const size_t count = 1 + pick(3);
        std::vector<OPCITEMDEF> definitions(count);
        std::vector<platform::WString> ids(count);
        WCHAR path[1] = {0};
        {
            for (size_t i = 0; i < count; ++i) {
                // Now and then an ID that names nothing: refused alone, the others still added.
                ids[i] = pick(8) == 0 ? platform::widenAscii("PKE0A01.K99.T")
                                      : itemIds_[pick(itemIds_.size())];
                const VARTYPE type = kRequestedTypes[pick(std::size(kRequestedTypes))];
                definitions[i] = {path, ids[i].data(), TRUE, nextClientHandle(),
                                  0,    nullptr,       type, 0};
                group.record->items[definitions[i].hClient] = type;
            }
        }
        CoTaskMemPtr<OPCITEMRESULT> results;
        CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = as<IOPCItemMgt>(group, IID_IOPCItemMgt)
                         ->AddItems(static_cast<DWORD>(count), definitions.data(), results.put(),
                                    errors.put());
        if (FAILED(hr)) {
            fault("AddItems gave " + std::to_string(hr));
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            const bool known = ids[i] != platform::widenAscii("PKE0A01.K99.T");
            if (known != (errors[i] == S_OK)) {
                fault("AddItems of " + platform::wideToUtf8(ids[i]) + " gave " +
                      std::to_string(errors[i]));
            }
            if (errors[i] == S_OK) {
                group.serverItems.push_back(results[i].hServer);
                clientHandles_[{group.record.get(), results[i].hServer}] = definitions[i].hClient;
            }
            CoTaskMemFree(results[i].pBlob);
        }
    }

    // Up to four distinct items of the group.
    std::vector<OPCHANDLE> someItems(const Group& group) {
        std::vector<OPCHANDLE> chosen;
        for (size_t n = 1 + pick(4); n > 0 && chosen.size() < group.serverItems.size(); --n) {
            OPCHANDLE handle = group.serverItems[pick(group.serverItems.size())];
            if (std::find(chosen.begin(), chosen.end(), handle) == chosen.end()) {
                chosen.push_back(handle);
            }
        }
        return chosen;
    }

    void syncRead(Group& group, OPCDATASOURCE source) {
        std::vector<OPCHANDLE> handles = someItems(group);
        if (handles.empty()) {
            return;
        }
        progress(source == OPC_DS_DEVICE ? "Read from the device" : "Read from the cache");
        CoTaskMemPtr<OPCITEMSTATE> states;
        CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = as<IOPCSyncIO>(group, IID_IOPCSyncIO)
                         ->Read(source, static_cast<DWORD>(handles.size()), handles.data(),
                                states.put(), errors.put());
        if (FAILED(hr)) {
            fault("Read gave " + std::to_string(hr));
            return;
        }
        for (size_t i = 0; i < handles.size(); ++i) {
            if (errors[i] != S_OK || !group.record->items.count(states[i].hClient) ||
                states[i].vDataValue.vt != VT_R4) {
                fault("Read entry gave " + std::to_string(errors[i]) + " for client handle " +
                      std::to_string(states[i].hClient));
            }
            VariantClear(&states[i].vDataValue);
        }
    }

    void refresh(Group& group) {
        progress("Refresh2");
        const DWORD transaction = nextTransaction();
        { group.record->refreshes.insert(transaction); }
        DWORD cancelId = 0;
        HRESULT hr = as<IOPCAsyncIO2>(group, IID_IOPCAsyncIO2)
                         ->Refresh2(coin() ? OPC_DS_CACHE : OPC_DS_DEVICE, transaction, &cancelId);
        accepted(group, hr, transaction, cancelId);
    }

    void asyncRead(Group& group) {
        std::vector<OPCHANDLE> handles = someItems(group);
        if (handles.empty()) {
            return;
        }
        progress("asynchronous Read");
        const DWORD transaction = nextTransaction();
        {
            std::set<OPCHANDLE>& asked = group.record->reads[transaction];
            for (OPCHANDLE handle : handles) {
                asked.insert(clientHandleOf(group, handle));
            }
        }
        DWORD cancelId = 0;
        CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = as<IOPCAsyncIO2>(group, IID_IOPCAsyncIO2)
                         ->Read(static_cast<DWORD>(handles.size()), handles.data(), transaction,
                                &cancelId, errors.put());
        accepted(group, hr, transaction, cancelId);
    }

    // The client handle of an item, from the order items were added in.
    OPCHANDLE clientHandleOf(Group& group, OPCHANDLE serverHandle) {
        auto it = clientHandles_.find({group.record.get(), serverHandle});
        return it != clientHandles_.end() ? it->second : 0;
    }

    // A refused request (no sink, a full queue, an inactive group) is simply not outstanding.
    void accepted(Group& group, HRESULT hr, DWORD transaction, DWORD cancelId) {
        const bool refusal =
            hr == CONNECT_E_NOCONNECTION || hr == CONNECT_E_ADVISELIMIT || hr == E_FAIL;
        if (SUCCEEDED(hr) && cancelId != 0) {
            group.record->cancelIds[cancelId] = transaction;
        } else if (!refusal) {
            fault("request gave " + std::to_string(hr) + " with cancel ID " +
                  std::to_string(cancelId));
        }
    }

    void cancel(Group& group) {
        // Any accepted request, answered or not: a late Cancel2 still finds its cancel ID.
        const auto& accepted = group.record->cancelIds;
        if (accepted.empty()) {
            return;
        }
        const DWORD cancelId =
            std::next(accepted.begin(), static_cast<std::ptrdiff_t>(pick(accepted.size())))->first;
        progress("Cancel2");
        HRESULT hr = as<IOPCAsyncIO2>(group, IID_IOPCAsyncIO2)->Cancel2(cancelId);
        if (hr != S_OK && hr != E_FAIL) {
            fault("Cancel2 gave " + std::to_string(hr));
        }
    }

    void advise(Group& group) {
        progress("Advise");
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        auto log = std::make_shared<SinkLog>();
        group.record->logs.push_back(log);
        group.sink = ComPtr<CheckingSink>(new CheckingSink(log, findings_, server_));
        if (group.object->QueryInterface(IID_IConnectionPointContainer, container.putVoid()) !=
                S_OK ||
            container->FindConnectionPoint(IID_IOPCDataCallback, point.put()) != S_OK ||
            point->Advise(group.sink->unknown(), &group.cookie) != S_OK) {
            fault("Advise failed");
            group.sink.reset();
        }
    }

    void unadvise(Group& group) {
        progress("Unadvise");
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        if (group.object->QueryInterface(IID_IConnectionPointContainer, container.putVoid()) !=
                S_OK ||
            container->FindConnectionPoint(IID_IOPCDataCallback, point.put()) != S_OK ||
            point->Unadvise(group.cookie) != S_OK) {
            fault("Unadvise failed");
        }
        group.sink.reset();
    }

    void setState(Group& group, bool active) {
        progress("SetState");
        BOOL state = active ? TRUE : FALSE;
        FLOAT deadband = coin() ? 0.0f : 2.0f;
        OPCHANDLE clientGroup = nextClientHandle();
        { group.record->clientGroups.insert(clientGroup); }
        DWORD rate = kPollPeriodMs;
        DWORD revised = 0;
        HRESULT hr = group.object->SetState(&rate, &revised, &state, nullptr, &deadband, nullptr,
                                            &clientGroup);
        if (hr != S_OK || revised != kPollPeriodMs) {
            fault("SetState gave " + std::to_string(hr));
        }
    }

    void clone(Group& group) {
        if (groups_.size() >= kMaxGroupsPerClient) {
            return;
        }
        progress("CloneGroup");
        Group copy;
        {
            copy.record->items = group.record->items;
            copy.record->clientGroups = group.record->clientGroups;
        }
        const std::string name = "C" + std::to_string(++names_);
        HRESULT hr =
            group.object->CloneGroup(platform::widenAscii(name).c_str(), IID_IOPCGroupStateMgt,
                                     reinterpret_cast<LPUNKNOWN*>(copy.object.put()));
        if (hr != S_OK) {
            fault("CloneGroup gave " + std::to_string(hr));
            return;
        }
        // The clone's items, as its enumerator lists them.
        ComPtr<IEnumOPCItemAttributes> items;
        hr = as<IOPCItemMgt>(copy, IID_IOPCItemMgt)
                 ->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                    reinterpret_cast<LPUNKNOWN*>(items.put()));
        for (;;) {
            if (hr != S_OK) {
                break;
            }
            CoTaskMemPtr<OPCITEMATTRIBUTES> attributes;
            ULONG fetched = 0;
            hr = items->Next(1, attributes.put(), &fetched);
            if (fetched == 1) {
                copy.serverItems.push_back(attributes[0].hServer);
                clientHandles_[{copy.record.get(), attributes[0].hServer}] = attributes[0].hClient;
                CoTaskMemFree(attributes[0].szAccessPath);
                CoTaskMemFree(attributes[0].szItemID);
                CoTaskMemFree(attributes[0].pBlob);
                VariantClear(&attributes[0].vEUInfo);
            }
        }
        if (copy.serverItems.size() != group.serverItems.size()) {
            fault("the clone lists " + std::to_string(copy.serverItems.size()) + " items of " +
                  std::to_string(group.serverItems.size()));
        }
        {
            platform::CoTaskMemPtr<WCHAR> cloneName;
            DWORD rate;
            BOOL active;
            LONG bias;
            FLOAT deadband;
            DWORD lcid;
            OPCHANDLE client;
            if (copy.object->GetState(&rate, &active, cloneName.put(), &bias, &deadband, &lcid,
                                      &client, &copy.serverHandle) != S_OK ||
                active != FALSE) {
                fault("the clone's state is wrong");
            }
        }
        records_.push_back(copy.record);
        groups_.push_back(std::move(copy));
    }

    void remove(size_t index) {
        const bool force = coin();
        const bool releaseFirst = coin();
        progress(force ? "RemoveGroup forced" : "RemoveGroup");
        Group gone = std::move(groups_[index]);
        groups_.erase(groups_.begin() + static_cast<std::ptrdiff_t>(index));
        const OPCHANDLE handle = gone.serverHandle;
        if (releaseFirst) {
            gone.object.reset();
        }
        HRESULT hr = server_->RemoveGroup(handle, force);
        const HRESULT expected = releaseFirst || force ? S_OK : OPC_S_INUSE;
        if (hr != expected) {
            fault("RemoveGroup gave " + std::to_string(hr) + " instead of " +
                  std::to_string(expected));
        }
    }

    // Every request still outstanding gets its answer once the group is active and connected.
    void settle() {
        progress("settling");
        for (Group& group : groups_) {
            if (!group.sink) {
                advise(group);
            }
            setState(group, true);
        }
        const auto deadline = Steady::now() + std::chrono::seconds(kStallSeconds / 2);
        for (;;) {
            std::string outstanding;
            for (Group& group : groups_) {
                const std::map<DWORD, int> answers = group.record->answers();
                for (const auto& [id, transaction] : group.record->cancelIds) {
                    if (!answers.count(transaction)) {
                        outstanding +=
                            group.record->reads.count(transaction) ? " read" : " refresh";
                    }
                }
            }
            unanswered = outstanding;
            if (outstanding.empty() || Steady::now() > deadline) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            progress("settling");
        }
    }

    const uint32_t index_;
    const std::vector<platform::WString>& itemIds_;
    Findings& findings_;
    std::mt19937 random_;
    ComPtr<IOPCServer> server_;
    std::vector<Group> groups_;
    // Of every group the client had, removed ones too.
    std::vector<std::shared_ptr<GroupRecord>> records_;
    std::map<std::pair<const GroupRecord*, OPCHANDLE>, OPCHANDLE> clientHandles_;
    uint32_t handles_ = 0;
    DWORD transactions_ = 0;
    uint32_t names_ = 0;
};

TEST(ManyClientsStressTest, TenClientsCallEverythingAtOnceWhileTheDevicesArePolled) {
    const std::optional<long> blocksAtStart = test::LiveTaskMemBlocks();
    Findings findings;
    const int seconds = runSeconds();
    const uint32_t seed = static_cast<uint32_t>(Steady::now().time_since_epoch().count());
    std::printf("stress: %d s, seed %u\n", seconds, seed);
    long callbacks = 0;
    {
        StressServer server;
        ASSERT_TRUE(server.sim->ready());
        ASSERT_TRUE(server.awaitReadings(20000)) << "no poll cycle read the simulator";
        std::vector<platform::WString> itemIds;
        for (uint32_t slot = 0; slot < server.catalogue.slotCount(); ++slot) {
            if (server.catalogue.offersItem(slot)) {
                itemIds.emplace_back(server.catalogue.itemIdAt(slot));
            }
        }

        std::vector<std::unique_ptr<StressClient>> clients;
        for (uint32_t i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<StressClient>(i, itemIds, findings, seed + i));
        }
        const auto until = Steady::now() + std::chrono::seconds(seconds);
        std::atomic<bool> finished{false};
        std::vector<std::thread> threads;
        for (auto& client : clients) {
            client->lastProgressMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Steady::now().time_since_epoch())
                                         .count();
            threads.emplace_back([&client, until] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                client->run(until);
                CoUninitialize();
            });
        }
        // A deadlock shows as a client that finishes no call: the run is ended with what it was
        // doing, rather than left to the test's time-out.
        std::thread watchdog([&] {
            while (!finished) {
                const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                        Steady::now().time_since_epoch())
                                        .count();
                for (size_t i = 0; i < clients.size(); ++i) {
                    if (now - clients[i]->lastProgressMs.load(std::memory_order_relaxed) >
                        kStallSeconds * 1000) {
                        std::fprintf(stderr, "client %zu stalled in %s for %d s: deadlock\n", i,
                                     clients[i]->doing.load(std::memory_order_relaxed),
                                     kStallSeconds);
                        std::abort();
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        for (std::thread& thread : threads) {
            thread.join();
        }
        finished = true;
        watchdog.join();
        for (size_t i = 0; i < clients.size(); ++i) {
            EXPECT_EQ(clients[i]->unanswered, "") << "client " << i << ": requests never answered";
        }
        EXPECT_EQ(server.state.clients.count(), 0);
        server.stop();
        EXPECT_GE(server.cycles.load(), 3) << "the poll cycle hardly ran";
        EXPECT_GT(server.passes.load(), 0);
        callbacks = CheckingSink::calls.load();
        for (auto& client : clients) {
            client->verify();
        }
        std::printf("stress: %ld poll cycles, %ld passes, %ld callbacks\n", server.cycles.load(),
                    server.passes.load(), callbacks);
    }
    findings.report();
    EXPECT_GT(callbacks, 0) << "no callback was made";
    // The callback threads give back the last sinks and arrays on their own, soon after.
    const auto deadline = Steady::now() + std::chrono::seconds(10);
    while (Steady::now() < deadline &&
           (CheckingSink::live.load() != 0 ||
            (blocksAtStart && test::LiveTaskMemBlocks() != blocksAtStart))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(CheckingSink::live.load(), 0) << "sinks never released";
    if (blocksAtStart) {
        EXPECT_EQ(*test::LiveTaskMemBlocks(), *blocksAtStart) << "task-allocator blocks leaked";
    }
}

}  // namespace
}  // namespace movra
