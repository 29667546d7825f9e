// read and watch: a group of the items named on the command line, read once or subscribed to.
#include "common/com/com_object.h"
#include "platform/unique_variant.h"
#include "platform/wide.h"
#include "tools/opc-client/commands.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace movra::client::detail {
namespace {

constexpr DWORD kRequestedUpdateRateMs = 1000;
constexpr OPCHANDLE kClientGroupHandle = 1;
constexpr DWORD kRefreshTransaction = 1;
constexpr WCHAR kServerNamesGroup[] = {0};

struct QueuedLine {
    bool error;
    std::string text;
};

// Lines from the callback threads to the thread that prints, whole lines only.
class LineQueue {
public:
    void push(std::vector<QueuedLine> lines) {
        {
            std::lock_guard lock(mutex_);
            for (QueuedLine& line : lines) {
                lines_.push_back(std::move(line));
            }
        }
        arrived_.notify_all();
    }

    // Waits at most `ms` for a line; returns at once when one is queued.
    void waitFor(uint32_t ms) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !lines_.empty(); });
    }

    std::deque<QueuedLine> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<QueuedLine> lines_;
};

// The client's IOPCDataCallback. It is called on the server's (or COM's) threads, so it only
// formats and queues; the waiting loop prints. It may outlive the command when a server holds
// it past Unadvise, hence the shared queue.
class DataSink final : public com::ComObject<DataSink, IOPCDataCallback> {
public:
    DataSink(std::shared_ptr<LineQueue> queue, platform::Clock& clock,
             std::vector<std::string> itemIds)
        : queue_(std::move(queue)),
          clock_(clock),
          itemIds_(std::move(itemIds)),
          width_(idWidth(itemIds_)) {}

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                                           OPCHANDLE* phClientItems, VARIANT* pvValues,
                                           WORD* pwQualities, FILETIME* pftTimeStamps,
                                           HRESULT* pErrors) noexcept override {
        return describe("OnDataChange", dwCount, phClientItems, pvValues, pwQualities,
                        pftTimeStamps, pErrors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount,
                                             OPCHANDLE* phClientItems, VARIANT* pvValues,
                                             WORD* pwQualities, FILETIME* pftTimeStamps,
                                             HRESULT* pErrors) noexcept override {
        return describe("OnReadComplete", dwCount, phClientItems, pvValues, pwQualities,
                        pftTimeStamps, pErrors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) noexcept override { return S_OK; }

private:
    friend class com::ComObject<DataSink, IOPCDataCallback>;
    ~DataSink() override = default;

    HRESULT describe(const char* call, DWORD count, const OPCHANDLE* handles, const VARIANT* values,
                     const WORD* qualities, const FILETIME* times, const HRESULT* errors) noexcept
        try {
        const std::string received = timeOfDayText(clock_.localTime()) + "  ";
        std::vector<QueuedLine> lines;
        if (count > 0 && (handles == nullptr || values == nullptr || qualities == nullptr ||
                          times == nullptr || errors == nullptr)) {
            lines.push_back({true, received + call + " came with " + std::to_string(count) +
                                       " items but without their arrays"});
            queue_->push(std::move(lines));
            return E_INVALIDARG;
        }
        std::lock_guard lock(mutex_);
        for (DWORD i = 0; i < count; ++i) {
            const std::string id = handles[i] < itemIds_.size()
                                       ? itemIds_[handles[i]]
                                       : "client handle " + std::to_string(handles[i]);
            const bool failed = FAILED(errors[i]);
            std::string text = failed ? id + ": " + resultText(errors[i])
                                      : itemLine(id, width_, values[i], qualities[i], times[i]);
            // A server that reports every item to a new subscription answers a refresh asked
            // for at once with the same readings: an item is shown again only when it changed.
            std::string& last = lastShown_[handles[i]];
            if (text != last) {
                last = text;
                lines.push_back({failed, received + text});
            }
        }
        queue_->push(std::move(lines));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    const std::shared_ptr<LineQueue> queue_;
    platform::Clock& clock_;
    const std::vector<std::string> itemIds_;
    const size_t width_;
    std::mutex mutex_;
    std::map<OPCHANDLE, std::string> lastShown_;  // what was shown last of each item
};

void print(Context& context, std::deque<QueuedLine> lines) {
    // Flushed per line: the output is often piped into another program that shows it live.
    for (const QueuedLine& line : lines) {
        (line.error ? context.err : context.out) << line.text << std::endl;
    }
}

struct WatchOptions {
    std::vector<std::string> items;
    FLOAT deadband = 0.0f;
    bool refresh = false;
    uint32_t seconds = 0;  // 0: until stopped
};

// Items and options in any order; false (printed) on a mistake.
bool parseWatch(Context& context, Arguments arguments, WatchOptions& options) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--refresh") {
            options.refresh = true;
            continue;
        }
        if (argument != "--deadband" && argument != "--seconds") {
            if (argument.starts_with("--")) {
                context.err << "opc-client: watch has no option " << argument << "\n";
                return false;
            }
            options.items.push_back(argument);
            continue;
        }
        if (i + 1 == arguments.size()) {
            context.err << "opc-client: " << argument << " needs a value\n";
            return false;
        }
        const std::string& value = arguments[++i];
        const char* end = value.data() + value.size();
        if (argument == "--deadband") {
            auto [stop, error] = std::from_chars(value.data(), end, options.deadband);
            if (error != std::errc() || stop != end || !(options.deadband >= 0.0f) ||
                options.deadband > 100.0f) {
                context.err << "opc-client: --deadband takes a percentage from 0 to 100, not "
                            << value << "\n";
                return false;
            }
        } else {
            auto [stop, error] = std::from_chars(value.data(), end, options.seconds);
            if (error != std::errc() || stop != end || options.seconds == 0) {
                context.err << "opc-client: --seconds takes a whole number of seconds above 0, "
                               "not "
                            << value << "\n";
                return false;
            }
        }
    }
    if (options.items.empty()) {
        context.err << "opc-client: watch takes at least one item ID\n";
        return false;
    }
    return true;
}

}  // namespace

size_t idWidth(const std::vector<std::string>& itemIds) {
    size_t width = 0;
    for (const std::string& id : itemIds) {
        width = std::max(width, id.size());
    }
    return width;
}

ExitCode ClientGroup::open(const std::vector<std::string>& itemIds, FLOAT percentDeadband) {
    DWORD revisedRate = 0;
    HRESULT result =
        server_->AddGroup(kServerNamesGroup, TRUE, kRequestedUpdateRateMs, kClientGroupHandle,
                          nullptr, &percentDeadband, 0, &groupHandle_, &revisedRate,
                          IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items_.put()));
    if (FAILED(result) || !items_) {
        items_.detach();
        context_.err << kVersionIndependentProgId
                     << ": AddGroup failed: " << resultText(FAILED(result) ? result : E_POINTER)
                     << "\n";
        return ExitCode::CallFailed;
    }
    groupAdded_ = true;

    std::vector<platform::WString> wideIds;
    for (const std::string& id : itemIds) {
        wideIds.push_back(platform::utf8ToWide(id));
    }
    WCHAR noAccessPath[] = {0};
    std::vector<OPCITEMDEF> definitions(itemIds.size());
    for (size_t i = 0; i < itemIds.size(); ++i) {
        definitions[i] = {};
        definitions[i].szAccessPath = noAccessPath;
        definitions[i].szItemID = wideIds[i].data();
        definitions[i].bActive = TRUE;
        definitions[i].hClient = static_cast<OPCHANDLE>(i);
        definitions[i].vtRequestedDataType = VT_EMPTY;
    }
    const DWORD count = static_cast<DWORD>(definitions.size());
    CoTaskMemPtr<OPCITEMRESULT> results;
    CoTaskMemPtr<HRESULT> errors;
    result = items_->AddItems(count, definitions.data(), results.put(), errors.put());
    if (FAILED(result)) {
        forgetAfterFailure(results);
        forgetAfterFailure(errors);
        context_.err << kVersionIndependentProgId << ": AddItems failed: " << resultText(result)
                     << "\n";
        return ExitCode::CallFailed;
    }
    for (DWORD i = 0; results && i < count; ++i) {
        CoTaskMemPtr<BYTE> blob(results[i].pBlob);
    }
    if (!results || !errors) {
        context_.err << kVersionIndependentProgId << ": AddItems succeeded without results\n";
        return ExitCode::CallFailed;
    }
    ExitCode outcome = ExitCode::Done;
    for (DWORD i = 0; i < count; ++i) {
        if (FAILED(errors[i])) {
            context_.err << itemIds[i] << ": cannot be added: " << resultText(errors[i]) << "\n";
            outcome = ExitCode::CallFailed;
            continue;
        }
        added_.push_back(i);
        serverHandles_.push_back(results[i].hServer);
    }
    return outcome;
}

ExitCode ClientGroup::close() {
    ExitCode outcome = ExitCode::Done;
    if (items_ && !serverHandles_.empty()) {
        CoTaskMemPtr<HRESULT> errors;
        HRESULT result = items_->RemoveItems(static_cast<DWORD>(serverHandles_.size()),
                                             serverHandles_.data(), errors.put());
        if (FAILED(result)) {
            forgetAfterFailure(errors);
            context_.err << kVersionIndependentProgId
                         << ": RemoveItems failed: " << resultText(result) << "\n";
            outcome = ExitCode::CallFailed;
        }
    }
    serverHandles_.clear();
    added_.clear();
    // The group goes only when the client holds no reference to it any more.
    items_.reset();
    if (groupAdded_) {
        groupAdded_ = false;
        HRESULT result = server_->RemoveGroup(groupHandle_, FALSE);
        if (FAILED(result)) {
            context_.err << kVersionIndependentProgId
                         << ": RemoveGroup failed: " << resultText(result) << "\n";
            outcome = ExitCode::CallFailed;
        }
    }
    return outcome;
}

ExitCode runRead(Context& context, Arguments arguments) {
    std::vector<std::string> itemIds;
    bool device = false;
    for (const std::string& argument : arguments) {
        if (argument == "--device") {
            device = true;
        } else if (argument.starts_with("--")) {
            context.err << "opc-client: read has no option " << argument << "\n";
            return ExitCode::Usage;
        } else {
            itemIds.push_back(argument);
        }
    }
    if (itemIds.empty()) {
        context.err << "opc-client: read takes at least one item ID\n";
        return ExitCode::Usage;
    }
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, kVersionIndependentProgId, server);
        failure != ExitCode::Done) {
        return failure;
    }
    ClientGroup group(context, server);
    ExitCode outcome = group.open(itemIds, 0.0f);
    if (group.added().empty()) {
        return worse(outcome, group.close());
    }
    ComPtr<IOPCSyncIO> sync;
    if (ExitCode failure = queryServer(context, group.items(), IID_IOPCSyncIO, "IOPCSyncIO", sync);
        failure != ExitCode::Done) {
        return worse(failure, group.close());
    }
    const DWORD count = static_cast<DWORD>(group.added().size());
    CoTaskMemPtr<OPCITEMSTATE> states;
    CoTaskMemPtr<HRESULT> errors;
    HRESULT result = sync->Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, count,
                                group.serverHandles().data(), states.put(), errors.put());
    if (FAILED(result)) {
        forgetAfterFailure(states);
        forgetAfterFailure(errors);
        context.err << kVersionIndependentProgId << ": Read failed: " << resultText(result) << "\n";
        sync.reset();
        return worse(ExitCode::CallFailed, group.close());
    }
    // Each value may hold a string of its own.
    std::vector<platform::UniqueVariant> values(states ? count : 0);
    for (size_t i = 0; i < values.size(); ++i) {
        *values[i].get() = states[i].vDataValue;
    }
    if (!states || !errors) {
        context.err << kVersionIndependentProgId << ": Read succeeded without values\n";
        outcome = ExitCode::CallFailed;
    } else {
        const size_t width = idWidth(itemIds);
        for (DWORD i = 0; i < count; ++i) {
            const std::string& id = itemIds[group.added()[i]];
            if (FAILED(errors[i])) {
                context.err << id << ": cannot be read: " << resultText(errors[i]) << "\n";
                outcome = ExitCode::CallFailed;
                continue;
            }
            context.out << itemLine(id, width, *values[i].get(), states[i].wQuality,
                                    states[i].ftTimeStamp)
                        << "\n";
        }
    }
    sync.reset();
    return worse(outcome, group.close());
}

ExitCode runWatch(Context& context, Arguments arguments) {
    WatchOptions options;
    if (!parseWatch(context, arguments, options)) {
        return ExitCode::Usage;
    }
    ComPtr<IOPCServer> server;
    if (ExitCode failure = connect(context, kVersionIndependentProgId, server);
        failure != ExitCode::Done) {
        return failure;
    }
    ClientGroup group(context, server);
    ExitCode outcome = group.open(options.items, options.deadband);
    if (group.added().empty()) {
        return worse(outcome, group.close());
    }
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (ExitCode failure = queryServer(context, group.items(), IID_IConnectionPointContainer,
                                       "IConnectionPointContainer", container);
        failure != ExitCode::Done) {
        return worse(failure, group.close());
    }
    HRESULT result = container->FindConnectionPoint(IID_IOPCDataCallback, point.put());
    container.reset();
    if (FAILED(result) || !point) {
        point.detach();
        context.err << kVersionIndependentProgId << ": the group has no IOPCDataCallback point: "
                    << resultText(FAILED(result) ? result : E_POINTER) << "\n";
        return worse(ExitCode::CallFailed, group.close());
    }

    auto queue = std::make_shared<LineQueue>();
    ComPtr<IUnknown> sink;
    result = com::createInstance<DataSink>(IID_IUnknown, sink.putVoid(), queue,
                                           context.session.clock, options.items);
    if (FAILED(result)) {
        context.err << "opc-client: the callback object cannot be made: " << resultText(result)
                    << "\n";
        point.reset();
        return worse(ExitCode::CallFailed, group.close());
    }
    DWORD cookie = 0;
    result = point->Advise(sink.get(), &cookie);
    if (FAILED(result)) {
        context.err << kVersionIndependentProgId << ": Advise failed: " << resultText(result)
                    << "\n";
        point.reset();
        return worse(ExitCode::CallFailed, group.close());
    }

    if (options.refresh) {
        ComPtr<IOPCAsyncIO2> async;
        outcome = worse(
            outcome, queryServer(context, group.items(), IID_IOPCAsyncIO2, "IOPCAsyncIO2", async));
        DWORD cancelId = 0;
        if (async) {
            result = async->Refresh2(OPC_DS_CACHE, kRefreshTransaction, &cancelId);
            if (FAILED(result)) {
                context.err << kVersionIndependentProgId
                            << ": Refresh2 failed: " << resultText(result) << "\n";
                outcome = ExitCode::CallFailed;
            }
        }
    }

    platform::Clock& clock = context.session.clock;
    const uint64_t start = clock.nowMs();
    const uint64_t limitMs = uint64_t{options.seconds} * 1000;
    for (;;) {
        print(context, queue->take());
        if (context.session.stopRequested()) {
            break;
        }
        const uint64_t elapsed = clock.nowMs() - start;
        if (limitMs != 0 && elapsed >= limitMs) {
            break;
        }
        uint64_t slice = context.session.waitSliceMs;
        if (limitMs != 0) {
            slice = std::min(slice, limitMs - elapsed);
        }
        queue->waitFor(static_cast<uint32_t>(slice));
    }

    result = point->Unadvise(cookie);
    if (FAILED(result)) {
        context.err << kVersionIndependentProgId << ": Unadvise failed: " << resultText(result)
                    << "\n";
        outcome = ExitCode::CallFailed;
    }
    point.reset();
    sink.reset();
    // What came before Unadvise returned is still shown.
    print(context, queue->take());
    return worse(outcome, group.close());
}

}  // namespace movra::client::detail
