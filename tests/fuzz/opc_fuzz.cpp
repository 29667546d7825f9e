// The OPC surface as clients drive it: server objects over a small catalogue, their groups, items,
// reads, refreshes, connections and browsing, called in a fuzzed order with fuzzed arguments while
// a main loop runs the notification passes and simulated poll cycles. Every block the server hands
// out is freed here, so after each sequence the task allocator must hold as many blocks as before.
#include "tests/fuzz/fuzz_input.h"
#include "tests/opc/io_fixture.h"

#include <unistd.h>

#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>

namespace {

using namespace movra;
using namespace movra::test;
using fuzz::FuzzInput;
using platform::CoTaskMemPtr;
using platform::WString;

constexpr UINT WM_FUZZ_DRAIN = 0x0400 + 50;

// A sink that reads everything it is given, so a bad array shows under the sanitizers.
class TouchingSink final : public com::ComObject<TouchingSink, IOPCDataCallback, IOPCShutdown> {
public:
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                           FILETIME* times, HRESULT* errors) noexcept override {
        return touch(count, clients, values, qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                             OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                             FILETIME* times, HRESULT* errors) noexcept override {
        return touch(count, clients, values, qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) noexcept override {
        fuzz::checkFailed("a write was completed: every write is refused", __FILE__, __LINE__);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) noexcept override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) noexcept override {
        return reason != nullptr ? S_OK : E_POINTER;
    }

private:
    friend class com::ComObject<TouchingSink, IOPCDataCallback, IOPCShutdown>;
    ~TouchingSink() override = default;

    static HRESULT touch(DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                         FILETIME* times, HRESULT* errors) {
        FUZZ_CHECK(count > 0 && clients && values && qualities && times && errors);
        volatile uint32_t sum = 0;
        for (DWORD i = 0; i < count; ++i) {
            platform::UniqueVariant copy;
            FUZZ_CHECK(SUCCEEDED(VariantCopy(copy.get(), &values[i])));
            sum = sum + clients[i] + qualities[i] + times[i].dwLowDateTime +
                  static_cast<uint32_t>(errors[i]);
        }
        return S_OK;
    }
};

std::filesystem::path scratchFolder;  // the log's folder, removed at exit

// What lives as long as the process: the catalogue, the context and the main loop that answers
// poll requests with a published cycle and runs the passes.
struct Environment {
    Environment() {
        const auto folder =
            std::filesystem::temp_directory_path() / ("movra-opc-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        scratchFolder = folder;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder, ignored);
        });
        logPath = (folder / "log.txt").string();
        log.Open((folder / "MovraOPCServer.exe").string().c_str());
        FUZZ_CHECK(catalogue.BuildCatalogue(configurationOfTypes({kTypeKmtV, kTypeKmtG})) == S_OK);
        context.catalogue = &catalogue;
        context.deviceReadTimeoutMs = 2000;
        // A lock of the class factory: the last server object leaving must not end the loop.
        state.LockServerCount(true);
        loop = std::make_unique<MainLoop>(
            state, [this](UINT message, WPARAM wParam) { handle(message, wParam); });
    }

    void handle(UINT message, WPARAM wParam) {
        if (message == WM_POLL_REQUEST) {
            publishCycle();
            notifier.NotifyClients(true);
        } else if (message == WM_NOTIFY_CLIENTS) {
            notifier.NotifyClients(wParam != 0);
        } else if (message == WM_FUZZ_DRAIN) {
            std::lock_guard lock(mutex);
            ++drained;
            drainedChanged.notify_all();
        }
    }

    // Every slot gets a new value; every third one is bad, as a device that did not answer.
    void publishCycle() {
        ++cycle;
        for (uint32_t slot = 0; slot < catalogue.slotCount(); ++slot) {
            const float value = static_cast<float>(cycle * 1.5 + slot);
            DWORD bits;
            std::memcpy(&bits, &value, sizeof bits);
            const WORD quality = (slot + cycle) % 3 == 0 ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD;
            catalogue.writeSlot(slot, bits, quality, nullptr);
        }
    }

    // Waits until the loop has handled everything posted before.
    void drain() {
        std::unique_lock lock(mutex);
        const uint64_t target = drained + 1;
        PostThreadMessageA(state.mainThreadId, WM_FUZZ_DRAIN, 0, 0);
        drainedChanged.wait(lock, [&] { return drained >= target; });
    }

    ServerState state;
    FakeClock clock;
    CMovraItem catalogue{clock};
    OpcContext context{state, clock, 1000, nullptr};
    CMovraLog log{clock};
    std::string logPath;
    NotificationPass notifier{context, log};
    uint64_t cycle = 0;
    std::mutex mutex;
    std::condition_variable drainedChanged;
    uint64_t drained = 0;
    std::unique_ptr<MainLoop> loop;
};

Environment& environment() {
    static Environment* env = new Environment;  // kept to the end: the loop thread uses it
    return *env;
}

void clearVariants(VARIANT* values, size_t count) {
    for (size_t i = 0; values != nullptr && i < count; ++i) {
        VariantClear(&values[i]);
    }
}

template <typename T>
void freeEach(T** items, size_t count) {
    for (size_t i = 0; items != nullptr && i < count; ++i) {
        CoTaskMemFree(items[i]);
    }
}

// A per-item call: a failure hands out no arrays; a success hands out the error array, and it is
// S_FALSE exactly when an item failed.
void checkPerItem(HRESULT hr, DWORD count, const HRESULT* errors, const void* results = nullptr) {
    if (FAILED(hr)) {
        FUZZ_CHECK(errors == nullptr && results == nullptr);
        return;
    }
    FUZZ_CHECK(count > 0 && errors != nullptr);
    bool anyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        anyFailed = anyFailed || FAILED(errors[i]);
    }
    FUZZ_CHECK(hr == (anyFailed ? S_FALSE : S_OK));
}

// An enumerator's Next: S_OK exactly when all that was asked for came.
void checkNext(HRESULT hr, ULONG asked, ULONG fetched) {
    FUZZ_CHECK(FAILED(hr) || fetched <= asked);
    FUZZ_CHECK(FAILED(hr) || (hr == S_OK) == (fetched == asked));
}

// One fuzzed sequence against up to three clients.
class Session {
public:
    explicit Session(FuzzInput& input) : in(input), env(environment()) {}

    ~Session() {
        for (auto& enumerator : strings) {
            enumerator.reset();
        }
        groups.clear();
        browsers.clear();
        for (auto& server : servers) {
            server.reset();
        }
    }

    void run() {
        for (int step = 0; step < 64 && !in.empty(); ++step) {
            this->step(in.pick(36));
        }
    }

private:
    // Arguments.
    IOPCServer* server() {
        const size_t slot = in.pick(servers.size());
        if (!servers[slot]) {
            auto* object = new CMovraOPCServer(env.context, static_cast<uint32_t>(slot));
            FUZZ_CHECK(object->QueryInterface(IID_IOPCServer, servers[slot].putVoid()) == S_OK);
        }
        return servers[slot].get();
    }
    IOPCGroupStateMgt* group() {
        if (groups.empty()) {
            return nullptr;
        }
        return groups[in.pick(groups.size())].get();
    }
    template <typename Interface>
    ComPtr<Interface> groupAs(REFIID iid) {
        ComPtr<Interface> result;
        // A removed group answers no QueryInterface, which leaves result empty.
        if (IOPCGroupStateMgt* target = group()) {
            target->QueryInterface(iid, result.putVoid());
        }
        return result;
    }

    // An item ID of the catalogue, a branch, a fuzzed text, "" or none.
    const WCHAR* text() {
        static const char* kBranches[] = {"PKE0A01", "PKE0A02",     "K01", "U01",
                                          "SYS",     "PKE0A01.K01", "..",  ".",
                                          "*",       "PKE*",        "?",   "PKE0A01.SYS.Pa"};
        WString& slot = texts[textIndex++ % texts.size()];
        switch (in.pick(7)) {
            case 0:
            case 1:
                slot = WString(env.catalogue.itemIdAt(in.u16() % env.catalogue.slotCount()));
                break;
            case 2:
                slot = W(kBranches[in.pick(std::size(kBranches))]);
                break;
            case 3: {
                slot.clear();
                const size_t length = in.pick(20);
                for (size_t i = 0; i < length; ++i) {
                    const uint8_t unit = in.u8();
                    slot.push_back(unit >= 0xF0 ? static_cast<WCHAR>(in.u16()) : unit);
                }
                std::erase(slot, WCHAR{0});
                break;
            }
            case 4:
                slot.clear();
                break;
            case 5: {
                // An item ID with more behind it, up to far beyond any buffer for an ID.
                slot = WString(env.catalogue.itemIdAt(in.u16() % env.catalogue.slotCount()));
                const size_t extra = in.u16() % 4000;
                const WCHAR unit = static_cast<WCHAR>(in.u8() | 1);
                slot.append(extra, unit);
                break;
            }
            default:
                return nullptr;
        }
        return slot.c_str();
    }
    WCHAR* mutableText() { return const_cast<WCHAR*>(text()); }

    OPCHANDLE handle(const std::vector<OPCHANDLE>& known) {
        const uint8_t mode = in.u8();
        if (mode < 200 && !known.empty()) {
            return known[mode % known.size()];
        }
        return mode < 230 ? in.u32() : 0;
    }
    std::vector<OPCHANDLE> handles(const std::vector<OPCHANDLE>& known) {
        std::vector<OPCHANDLE> result(1 + in.pick(6));
        for (OPCHANDLE& h : result) {
            h = handle(known);
        }
        return result;
    }
    DWORD count(size_t size) {
        // Mostly the array's size; sometimes 0, or more than the array holds is never sent.
        return in.pick(8) == 0 ? 0 : static_cast<DWORD>(size);
    }
    VARTYPE vartype() {
        static const VARTYPE kTypes[] = {
            VT_EMPTY, VT_R4,   VT_R8,   VT_I2,    VT_I4,      VT_UI1,     VT_BOOL,
            VT_BSTR,  VT_DATE, VT_CY,   VT_I1,    VT_UI2,     VT_UI4,     VT_I8,
            VT_UI8,   VT_INT,  VT_UINT, VT_ERROR, VT_VARIANT, VT_DECIMAL, VT_ARRAY | VT_R4,
            VT_NULL};
        const uint8_t mode = in.u8();
        return mode < 240 ? kTypes[mode % std::size(kTypes)] : in.u16();
    }
    FLOAT* deadband() {
        static const float kValues[] = {0.0f,
                                        0.5f,
                                        10.0f,
                                        100.0f,
                                        -1.0f,
                                        100.5f,
                                        std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::infinity()};
        const uint8_t mode = in.u8();
        if (mode < 40) {
            return nullptr;
        }
        if (mode < 240) {
            deadbandValue = kValues[mode % std::size(kValues)];
        } else {
            const uint32_t bits = in.u32();
            std::memcpy(&deadbandValue, &bits, sizeof bits);
        }
        return &deadbandValue;
    }
    DWORD source() {
        static const DWORD kSources[] = {OPC_DS_CACHE, OPC_DS_DEVICE, 0, 3};
        return kSources[in.pick(std::size(kSources))];
    }
    std::vector<DWORD> propertyIds() {
        std::vector<DWORD> ids(1 + in.pick(8));
        for (DWORD& id : ids) {
            const uint8_t mode = in.u8();
            id = mode < 200 ? mode % 8 : (mode < 230 ? 5000 + mode : in.u32());
        }
        return ids;
    }
    const IID& groupIid() {
        static const IID* kIids[] = {&IID_IOPCGroupStateMgt, &IID_IOPCItemMgt, &IID_IOPCSyncIO,
                                     &IID_IOPCAsyncIO2,      &IID_IUnknown,    &IID_IOPCServer,
                                     &IID_IEnumString};
        return *kIids[in.pick(std::size(kIids))];
    }
    void keepGroup(ComPtr<IUnknown>& unknown) {
        ComPtr<IOPCGroupStateMgt> state;
        if (unknown && unknown.queryInterface(IID_IOPCGroupStateMgt, state) == S_OK &&
            groups.size() < 8) {
            groups.push_back(std::move(state));
        }
    }
    IOPCBrowseServerAddressSpace* browser() {
        IOPCServer* owner = server();
        ComPtr<IOPCBrowseServerAddressSpace> browse;
        FUZZ_CHECK(owner->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid()) ==
                   S_OK);
        browsers.push_back(browse);
        return browse.get();
    }

    // Calls and the freeing of what they return.
    void freeItemResults(OPCITEMRESULT* results, size_t count) {
        for (size_t i = 0; results != nullptr && i < count; ++i) {
            CoTaskMemFree(results[i].pBlob);
        }
    }
    void addItems(bool validate) {
        auto items = groupAs<IOPCItemMgt>(IID_IOPCItemMgt);
        if (!items) {
            return;
        }
        std::vector<OPCITEMDEF> definitions(1 + in.pick(6));
        for (OPCITEMDEF& definition : definitions) {
            definition = OPCITEMDEF{};
            definition.szAccessPath = mutableText();
            definition.szItemID = mutableText();
            definition.bActive = in.flag();
            definition.hClient = in.u32();
            definition.vtRequestedDataType = vartype();
        }
        CoTaskMemPtr<OPCITEMRESULT> results;
        CoTaskMemPtr<HRESULT> errors;
        const DWORD n = count(definitions.size());
        HRESULT hr;
        if (validate) {
            hr =
                items->ValidateItems(n, definitions.data(), in.flag(), results.put(), errors.put());
        } else {
            hr = items->AddItems(n, definitions.data(), results.put(), errors.put());
        }
        checkPerItem(hr, n, errors.get(), results.get());
        if (results && errors) {
            for (DWORD i = 0; i < n; ++i) {
                if (SUCCEEDED(errors[i]) && !validate && itemHandles.size() < 64) {
                    itemHandles.push_back(results[i].hServer);
                }
            }
        }
        freeItemResults(results.get(), n);
    }
    void itemCall(size_t which) {
        auto items = groupAs<IOPCItemMgt>(IID_IOPCItemMgt);
        if (!items) {
            return;
        }
        std::vector<OPCHANDLE> targets = handles(itemHandles);
        const DWORD n = count(targets.size());
        CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = E_FAIL;
        switch (which) {
            case 0:
                hr = items->RemoveItems(n, targets.data(), errors.put());
                break;
            case 1:
                hr = items->SetActiveState(n, targets.data(), in.flag(), errors.put());
                break;
            case 2: {
                std::vector<OPCHANDLE> clients = handles({});
                clients.resize(targets.size());
                hr = items->SetClientHandles(n, targets.data(), clients.data(), errors.put());
                break;
            }
            default: {
                std::vector<VARTYPE> types(targets.size());
                for (VARTYPE& type : types) {
                    type = vartype();
                }
                hr = items->SetDatatypes(n, targets.data(), types.data(), errors.put());
                break;
            }
        }
        checkPerItem(hr, n, errors.get());
    }
    void itemEnumerator() {
        auto items = groupAs<IOPCItemMgt>(IID_IOPCItemMgt);
        if (!items) {
            return;
        }
        ComPtr<IEnumOPCItemAttributes> enumerator;
        if (items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                    reinterpret_cast<LPUNKNOWN*>(enumerator.put())) != S_OK) {
            return;
        }
        for (int i = 0; i < 3; ++i) {
            switch (in.pick(4)) {
                case 0: {
                    CoTaskMemPtr<OPCITEMATTRIBUTES> attributes;
                    ULONG fetched = 0;
                    const ULONG asked = in.pick(10);
                    const HRESULT hr = enumerator->Next(asked, attributes.put(), &fetched);
                    checkNext(hr, asked, fetched);
                    for (ULONG k = 0; attributes && k < fetched; ++k) {
                        CoTaskMemFree(attributes[k].szAccessPath);
                        CoTaskMemFree(attributes[k].szItemID);
                        CoTaskMemFree(attributes[k].pBlob);
                        VariantClear(&attributes[k].vEUInfo);
                    }
                    break;
                }
                case 1:
                    enumerator->Skip(in.pick(10));
                    break;
                case 2:
                    enumerator->Reset();
                    break;
                default: {
                    ComPtr<IEnumOPCItemAttributes> clone;
                    enumerator->Clone(clone.put());
                    if (clone) {
                        enumerator = clone;
                    }
                    break;
                }
            }
        }
    }
    void syncRead() {
        auto io = groupAs<IOPCSyncIO>(IID_IOPCSyncIO);
        if (!io) {
            return;
        }
        std::vector<OPCHANDLE> targets = handles(itemHandles);
        const DWORD n = count(targets.size());
        CoTaskMemPtr<OPCITEMSTATE> states;
        CoTaskMemPtr<HRESULT> errors;
        if (in.pick(4) == 0) {
            std::vector<VARIANT> values(targets.size());
            for (VARIANT& value : values) {
                VariantInit(&value);
                value.vt = VT_R4;
                value.fltVal = 1.0f;
            }
            const HRESULT hr = io->Write(n, targets.data(), values.data(), errors.put());
            checkPerItem(hr, n, errors.get());
            return;
        }
        const HRESULT hr = io->Read(static_cast<OPCDATASOURCE>(source()), n, targets.data(),
                                    states.put(), errors.put());
        checkPerItem(hr, n, errors.get(), states.get());
        for (DWORD i = 0; states && i < n; ++i) {
            VariantClear(&states[i].vDataValue);
        }
    }
    void asyncCall(size_t which) {
        auto io = groupAs<IOPCAsyncIO2>(IID_IOPCAsyncIO2);
        if (!io) {
            return;
        }
        DWORD cancelId = 0;
        CoTaskMemPtr<HRESULT> errors;
        switch (which) {
            case 0: {
                std::vector<OPCHANDLE> targets = handles(itemHandles);
                const DWORD n = count(targets.size());
                const DWORD transaction = in.u32();
                const HRESULT hr =
                    io->Read(n, targets.data(), transaction, &cancelId, errors.put());
                checkPerItem(hr, n, errors.get());
                break;
            }
            case 1: {
                const DWORD from = source();
                io->Refresh2(static_cast<OPCDATASOURCE>(from), in.u32(), &cancelId);
            } break;
            case 2:
                io->Cancel2(in.flag() && !cancelIds.empty() ? cancelIds[in.pick(cancelIds.size())]
                                                            : in.u32());
                break;
            case 3:
                io->SetEnable(in.flag());
                break;
            default: {
                BOOL enabled = FALSE;
                io->GetEnable(&enabled);
                std::vector<OPCHANDLE> targets = handles(itemHandles);
                std::vector<VARIANT> values(targets.size());
                for (VARIANT& value : values) {
                    VariantInit(&value);
                }
                const DWORD n = count(targets.size());
                const HRESULT hr =
                    io->Write(n, targets.data(), values.data(), in.u32(), &cancelId, errors.put());
                checkPerItem(hr, n, errors.get());
                break;
            }
        }
        if (cancelId != 0 && cancelIds.size() < 16) {
            cancelIds.push_back(cancelId);
        }
    }
    void connection(bool advise, bool shutdown) {
        ComPtr<IConnectionPointContainer> container;
        if (shutdown) {
            server()->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
        } else if (IOPCGroupStateMgt* target = group()) {
            target->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
        }
        if (!container) {
            return;
        }
        ComPtr<IConnectionPoint> point;
        if (container->FindConnectionPoint(shutdown ? IID_IOPCShutdown : IID_IOPCDataCallback,
                                           point.put()) != S_OK) {
            return;
        }
        if (advise) {
            ComPtr<TouchingSink> sink(new TouchingSink);
            DWORD cookie = 0;
            if (point->Advise(sink->unknown(), &cookie) == S_OK && cookies.size() < 16) {
                cookies.push_back(cookie);
            }
        } else {
            point->Unadvise(!cookies.empty() && in.flag() ? cookies[in.pick(cookies.size())]
                                                          : in.u32());
        }
    }
    void browse(size_t which) {
        IOPCBrowseServerAddressSpace* space = browser();
        switch (which) {
            case 0: {
                OPCNAMESPACETYPE type;
                space->QueryOrganization(&type);
                static const int kDirections[] = {OPC_BROWSE_UP, OPC_BROWSE_DOWN, OPC_BROWSE_TO, 0,
                                                  7};
                const int direction = kDirections[in.pick(std::size(kDirections))];
                space->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(direction), text());
                break;
            }
            case 1: {
                ComPtr<IEnumString> names;
                static const int kTypes[] = {OPC_BRANCH, OPC_LEAF, OPC_FLAT, 0, 9};
                const int type = kTypes[in.pick(std::size(kTypes))];
                const WCHAR* filter = text();
                const VARTYPE dataType = vartype();
                space->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(type), filter, dataType,
                                        in.pick(4), names.put());
                if (names) {
                    walk(names);
                }
                break;
            }
            case 2: {
                CoTaskMemPtr<WCHAR> id;
                space->GetItemID(mutableText(), id.put());
                break;
            }
            default: {
                ComPtr<IEnumString> paths;
                space->BrowseAccessPaths(text(), paths.put());
                if (paths) {
                    walk(paths);
                }
                break;
            }
        }
    }
    void walk(ComPtr<IEnumString>& names) {
        for (int i = 0; i < 3; ++i) {
            switch (in.pick(4)) {
                case 0: {
                    std::array<LPOLESTR, 8> got{};
                    ULONG fetched = 0;
                    const ULONG wanted = 1 + in.pick(got.size());
                    ULONG* fetchedArgument = wanted == 1 && in.flag() ? nullptr : &fetched;
                    const HRESULT hr = names->Next(wanted, got.data(), fetchedArgument);
                    if (fetchedArgument != nullptr) {
                        checkNext(hr, wanted, fetched);
                    }
                    for (LPOLESTR name : got) {
                        CoTaskMemFree(name);
                    }
                    break;
                }
                case 1:
                    names->Skip(in.pick(300));
                    break;
                case 2:
                    names->Reset();
                    break;
                default: {
                    ComPtr<IEnumString> clone;
                    names->Clone(clone.put());
                    if (clone && strings.size() < 8) {
                        strings.push_back(clone);
                    }
                    break;
                }
            }
        }
    }
    void properties(size_t which) {
        ComPtr<IOPCItemProperties> props;
        FUZZ_CHECK(server()->QueryInterface(IID_IOPCItemProperties, props.putVoid()) == S_OK);
        std::vector<DWORD> ids = propertyIds();
        const DWORD n = count(ids.size());
        CoTaskMemPtr<HRESULT> errors;
        switch (which) {
            case 0: {
                DWORD available = 0;
                CoTaskMemPtr<DWORD> availableIds;
                CoTaskMemPtr<LPWSTR> descriptions;
                CoTaskMemPtr<VARTYPE> types;
                props->QueryAvailableProperties(mutableText(), &available, availableIds.put(),
                                                descriptions.put(), types.put());
                freeEach(descriptions.get(), available);
                break;
            }
            case 1: {
                CoTaskMemPtr<VARIANT> values;
                const HRESULT hr = props->GetItemProperties(mutableText(), n, ids.data(),
                                                            values.put(), errors.put());
                checkPerItem(hr, n, errors.get(), values.get());
                clearVariants(values.get(), n);
                break;
            }
            default: {
                CoTaskMemPtr<LPWSTR> newIds;
                const HRESULT hr =
                    props->LookupItemIDs(mutableText(), n, ids.data(), newIds.put(), errors.put());
                checkPerItem(hr, n, errors.get(), newIds.get());
                freeEach(newIds.get(), n);
                break;
            }
        }
    }
    void addGroup() {
        IOPCServer* owner = server();
        LONG bias = static_cast<LONG>(in.u16()) - 1000;
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        ComPtr<IUnknown> unknown;
        static const DWORD kRates[] = {0, 1, 500, 1000, 1500, 60000, 0xFFFFFFFF};
        const IID& iid = groupIid();
        // Arguments are taken in a fixed order: the replay build evaluates a call's arguments in
        // another order than libFuzzer's.
        const WCHAR* name = text();
        const BOOL active = in.flag();
        const DWORD rate = kRates[in.pick(std::size(kRates))];
        const OPCHANDLE client = in.u32();
        LONG* biasArgument = in.flag() ? &bias : nullptr;
        FLOAT* band = deadband();
        const DWORD lcid = in.flag() ? 0x419 : in.u32();
        const HRESULT hr = owner->AddGroup(name, active, rate, client, biasArgument, band, lcid,
                                           &serverHandle, &revised, iid, unknown.put());
        if (SUCCEEDED(hr)) {
            FUZZ_CHECK(static_cast<bool>(unknown));
            if (groupHandles.size() < 16) {
                groupHandles.push_back(serverHandle);
            }
        } else {
            FUZZ_CHECK(!unknown);
        }
        keepGroup(unknown);
    }
    void groupState(size_t which) {
        IOPCGroupStateMgt* target = group();
        if (target == nullptr) {
            return;
        }
        switch (which) {
            case 0: {
                DWORD rate, lcid;
                BOOL active;
                CoTaskMemPtr<WCHAR> name;
                LONG bias;
                FLOAT band;
                OPCHANDLE client, serverHandle;
                target->GetState(&rate, &active, name.put(), &bias, &band, &lcid, &client,
                                 &serverHandle);
                break;
            }
            case 1: {
                DWORD rate = in.u32(), revised = 0, lcid = in.u32();
                BOOL active = in.flag();
                LONG bias = static_cast<LONG>(in.u32());
                OPCHANDLE client = in.u32();
                DWORD* rateArgument = in.flag() ? &rate : nullptr;
                BOOL* activeArgument = in.flag() ? &active : nullptr;
                LONG* biasArgument = in.flag() ? &bias : nullptr;
                FLOAT* band = deadband();
                DWORD* lcidArgument = in.flag() ? &lcid : nullptr;
                OPCHANDLE* clientArgument = in.flag() ? &client : nullptr;
                target->SetState(rateArgument, &revised, activeArgument, biasArgument, band,
                                 lcidArgument, clientArgument);
                break;
            }
            case 2:
                target->SetName(text());
                break;
            case 3: {
                ComPtr<IUnknown> unknown;
                const WCHAR* name = text();
                target->CloneGroup(name, groupIid(), unknown.put());
                keepGroup(unknown);
                break;
            }
            default: {
                ComPtr<IOPCPublicGroupStateMgt> pub;
                if (target->QueryInterface(IID_IOPCPublicGroupStateMgt, pub.putVoid()) == S_OK) {
                    BOOL isPublic = FALSE;
                    pub->GetState(&isPublic);
                    pub->MoveToPublic();
                }
                break;
            }
        }
    }
    void serverCall(size_t which) {
        IOPCServer* owner = server();
        switch (which) {
            case 0: {
                const OPCHANDLE target = handle(groupHandles);
                owner->RemoveGroup(target, in.flag());
            } break;
            case 1: {
                ComPtr<IUnknown> unknown;
                const WCHAR* name = text();
                owner->GetGroupByName(name, groupIid(), unknown.put());
                keepGroup(unknown);
                break;
            }
            case 2: {
                CoTaskMemPtr<OPCSERVERSTATUS> status;
                if (owner->GetStatus(status.put()) == S_OK) {
                    CoTaskMemFree(status->szVendorInfo);
                }
                break;
            }
            case 3: {
                static const HRESULT kCodes[] = {S_OK, E_FAIL, OPC_E_INVALIDHANDLE,
                                                 OPC_E_UNKNOWNITEMID, E_OUTOFMEMORY};
                const HRESULT code =
                    in.flag() ? kCodes[in.pick(std::size(kCodes))] : static_cast<HRESULT>(in.u32());
                CoTaskMemPtr<WCHAR> message;
                owner->GetErrorString(code, in.flag() ? 0x419 : in.u32(), message.put());
                ComPtr<IOPCCommon> common;
                FUZZ_CHECK(owner->QueryInterface(IID_IOPCCommon, common.putVoid()) == S_OK);
                CoTaskMemPtr<WCHAR> again;
                common->GetErrorString(code, again.put());
                break;
            }
            case 4: {
                ComPtr<IOPCCommon> common;
                FUZZ_CHECK(owner->QueryInterface(IID_IOPCCommon, common.putVoid()) == S_OK);
                LCID lcid = 0;
                common->SetLocaleID(in.flag() ? 0x419 : in.u32());
                common->GetLocaleID(&lcid);
                DWORD n = 0;
                CoTaskMemPtr<LCID> lcids;
                common->QueryAvailableLocaleIDs(&n, lcids.put());
                common->SetClientName(text());
                break;
            }
            default: {
                static const IID* kIids[] = {&IID_IEnumUnknown, &IID_IEnumString, &IID_IOPCServer};
                ComPtr<IUnknown> enumerator;
                const auto scope = static_cast<OPCENUMSCOPE>(in.pick(8));
                owner->CreateGroupEnumerator(scope, *kIids[in.pick(std::size(kIids))],
                                             enumerator.put());
                ComPtr<IEnumUnknown> unknowns;
                ComPtr<IEnumString> names;
                if (enumerator.queryInterface(IID_IEnumUnknown, unknowns) == S_OK) {
                    std::array<IUnknown*, 4> got{};
                    ULONG fetched = 0;
                    const HRESULT hr = unknowns->Next(got.size(), got.data(), &fetched);
                    checkNext(hr, got.size(), fetched);
                    for (ULONG i = 0; i < fetched; ++i) {
                        got[i]->Release();
                    }
                } else if (enumerator.queryInterface(IID_IEnumString, names) == S_OK) {
                    walk(names);
                }
                break;
            }
        }
    }
    void pass() {
        switch (in.pick(4)) {
            case 0:
                PostThreadMessageA(env.state.mainThreadId, WM_NOTIFY_CLIENTS, 1, 0);
                break;
            case 1:
                PostThreadMessageA(env.state.mainThreadId, WM_NOTIFY_CLIENTS, 0, 0);
                break;
            case 2:
                PostThreadMessageA(env.state.mainThreadId, WM_POLL_REQUEST, 0, 0);
                break;
            default:
                env.drain();
                break;
        }
    }
    void release() {
        switch (in.pick(3)) {
            case 0:
                if (!groups.empty()) {
                    groups.erase(groups.begin() +
                                 static_cast<std::ptrdiff_t>(in.pick(groups.size())));
                }
                break;
            case 1:
                servers[in.pick(servers.size())].reset();
                break;
            default:
                browsers.clear();
                strings.clear();
                break;
        }
    }

    void step(size_t op) {
        switch (op) {
            case 0:
            case 1:
                addGroup();
                break;
            case 2:
            case 3:
            case 4:
                addItems(false);
                break;
            case 5:
                addItems(true);
                break;
            case 6:
            case 7:
            case 8:
            case 9:
                itemCall(op - 6);
                break;
            case 10:
                itemEnumerator();
                break;
            case 11:
            case 12:
                syncRead();
                break;
            case 13:
            case 14:
            case 15:
            case 16:
            case 17:
                asyncCall(op - 13);
                break;
            case 18:
            case 19:
                connection(true, false);
                break;
            case 20:
                connection(false, in.flag());
                break;
            case 21:
                connection(true, true);
                break;
            case 22:
            case 23:
            case 24:
            case 25:
                browse(op - 22);
                break;
            case 26:
            case 27:
                properties(in.pick(3));
                break;
            case 28:
            case 29:
                groupState(in.pick(5));
                break;
            case 30:
            case 31:
                serverCall(in.pick(6));
                break;
            case 32:
            case 33:
                pass();
                break;
            default:
                release();
                break;
        }
    }

    FuzzInput& in;
    Environment& env;
    std::array<ComPtr<IOPCServer>, 3> servers;
    std::vector<ComPtr<IOPCGroupStateMgt>> groups;
    std::vector<ComPtr<IOPCBrowseServerAddressSpace>> browsers;
    std::vector<ComPtr<IEnumString>> strings;
    std::vector<OPCHANDLE> groupHandles;
    std::vector<OPCHANDLE> itemHandles;
    std::vector<DWORD> cancelIds;
    std::vector<DWORD> cookies;
    std::array<WString, 16> texts;
    size_t textIndex = 0;
    float deadbandValue = 0.0f;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Environment& env = environment();
    env.drain();
    std::filesystem::resize_file(env.logPath, 0);
    const std::optional<long> before = LiveTaskMemBlocks();
    {
        FuzzInput input(data, size);
        Session session(input);
        session.run();
    }
    // Passes and cycles still queued run to their end before the count is taken.
    env.drain();
    env.drain();
    FUZZ_CHECK(before && LiveTaskMemBlocks() == before);
    return 0;
}
