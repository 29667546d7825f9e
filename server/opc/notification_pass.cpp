#include "server/opc/notification_pass.h"

#include "platform/unique_variant.h"
#include "server/core/log.h"
#include "server/opc/catalogue.h"
#include "server/opc/opc_group.h"
#include "server/opc/server_groups.h"

#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace movra {

Delivery::~Delivery() {
    for (DWORD i = 0; values && i < count; ++i) {
        VariantClear(&values[i]);
    }
}

Delivery& Delivery::operator=(Delivery&& other) noexcept {
    if (this != &other) {
        this->~Delivery();
        new (this) Delivery(std::move(other));
    }
    return *this;
}

bool Delivery::allocate(DWORD entries) {
    handles = platform::CoTaskMemPtr<OPCHANDLE>::allocate(entries);
    values = platform::CoTaskMemPtr<VARIANT>::allocate(entries);  // all VT_EMPTY
    qualities = platform::CoTaskMemPtr<WORD>::allocate(entries);
    timestamps = platform::CoTaskMemPtr<FILETIME>::allocate(entries);
    errors = platform::CoTaskMemPtr<HRESULT>::allocate(entries);
    count = entries;
    return handles && values && qualities && timestamps && errors;
}

void Delivery::keepOnly(const bool* keep, DWORD kept) {
    DWORD to = 0;
    for (DWORD from = 0; from < count; ++from) {
        if (!keep[from]) {
            VariantClear(&values[from]);
            continue;
        }
        handles[to] = handles[from];
        values[to] = values[from];  // moved: the entry left behind is not cleared again
        qualities[to] = qualities[from];
        timestamps[to] = timestamps[from];
        errors[to] = errors[from];
        ++to;
    }
    count = kept;
}

HRESULT Delivery::send() const {
    bool allGood = true;
    bool allOk = true;
    for (DWORD i = 0; i < count; ++i) {
        allGood = allGood && qualities[i] == OPC_QUALITY_GOOD;
        allOk = allOk && errors[i] == S_OK;
    }
    const HRESULT masterQuality = allGood ? S_OK : S_FALSE;
    const HRESULT masterError = allOk ? S_OK : S_FALSE;
    if (kind == Kind::ReadComplete) {
        return sink->OnReadComplete(transactionId, clientGroupHandle, masterQuality, masterError,
                                    count, handles.get(), values.get(), qualities.get(),
                                    timestamps.get(), errors.get());
    }
    return sink->OnDataChange(transactionId, clientGroupHandle, masterQuality, masterError, count,
                              handles.get(), values.get(), qualities.get(), timestamps.get(),
                              errors.get());
}

namespace {

// The change test between the fresh reading and what the client was last told.
bool hasChanged(WORD freshQuality, float fresh, WORD lastQuality, float last, FLOAT deadband,
                float threshold) {
    if (freshQuality != lastQuality) {
        return true;
    }
    if (deadband == 0.0f || last == 0.0f) {
        return fresh != last;
    }
    return std::fabs((static_cast<double>(fresh) - last) / last) > threshold;
}

// The value last reported, in the canonical type; a value that no longer converts counts as 0.
float lastReported(VARIANT& stored, VARTYPE canonical) {
    platform::UniqueVariant copy;
    if (FAILED(VariantChangeType(copy.get(), &stored, 0, canonical)) || copy->vt != VT_R4) {
        return 0.0f;
    }
    return copy->fltVal;
}

}  // namespace

Delivery CMovraOPCGroup::CollectDelivery(bool periodic) {
    Delivery delivery;
    std::lock_guard lock(core_->groupLock);
    const bool readPending = pendingRead_.transactionId != 0;
    const bool refreshPending = pendingRefresh_.transactionId != 0;
    // A read and a refresh are answered whole, with their transaction: a client that asked for
    // values must get every one of them. A refresh from the device is due in the pass after the
    // poll cycle it asked for, which is a periodic one.
    const bool refreshDue = refreshPending && active_ && (!periodic || pendingRefresh_.fromDevice);
    const bool changesOnly = periodic && !readPending && !refreshDue;
    if (!core_->open ||
        !(readPending || (refreshPending && active_) || (periodic && active_ && updateEnabled_))) {
        return delivery;
    }
    ItemList& items = core_->items;
    // Which items go out, in list order: the requested ones of a pending read (each once, also
    // when named twice; whatever their active flag), else the active ones.
    std::vector<bool> selected(items.size(), false);
    DWORD selectedCount = 0;
    if (readPending) {
        for (OPCHANDLE handle : pendingReadHandles_) {
            size_t position = items.positionOf(handle);
            if (position != ItemList::kNoPosition && !selected[position]) {
                selected[position] = true;
                ++selectedCount;
            }
        }
    } else {
        for (size_t i = 0; i < items.size(); ++i) {
            if (items.at(i).attributes.bActive) {
                selected[i] = true;
                ++selectedCount;
            }
        }
    }
    if (selectedCount == 0) {
        return delivery;
    }
    if (!delivery.allocate(selectedCount)) {
        throw std::bad_alloc();
    }
    std::unique_ptr<bool[]> changed(new bool[selectedCount]());
    // Percent × 0.01 in 32-bit arithmetic: 10 % gives a threshold just below 0.1, so a change of
    // exactly a tenth is reported.
    const float threshold = percentDeadband_ * 0.01f;
    CMovraItem* const source = catalogue();
    DWORD k = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!selected[i]) {
            continue;
        }
        GroupItem& item = items.at(i);
        OPCITEMSTATE& told = item.state;
        delivery.handles[k] = item.attributes.hClient;
        SlotValue fresh{};
        if (source == nullptr || !source->readSlot(item.slot, &fresh)) {
            delivery.errors[k] = E_FAIL;  // the value stays VT_EMPTY
        } else {
            VARIANT canonical;
            canonical.vt = VT_R4;
            canonical.fltVal = fresh.value();
            VariantChangeType(&delivery.values[k], &canonical, 0,
                              item.attributes.vtRequestedDataType);
            const float last = lastReported(told.vDataValue, item.attributes.vtCanonicalDataType);
            if (hasChanged(fresh.quality, fresh.value(), told.wQuality, last, percentDeadband_,
                           threshold)) {
                // Its own copy: a text value must not be shared with the array the client gets.
                // Without memory for it the item keeps what it last told, so the change is
                // reported by a later pass rather than lost.
                platform::UniqueVariant copy;
                if (SUCCEEDED(VariantCopy(copy.get(), &delivery.values[k]))) {
                    changed[k] = true;
                    VariantClear(&told.vDataValue);
                    copy.release(&told.vDataValue);
                    told.wQuality = fresh.quality;
                }
            }
            told.ftTimeStamp = fresh.lastUpdate;
            delivery.errors[k] = S_OK;
        }
        delivery.qualities[k] = told.wQuality;
        delivery.timestamps[k] = told.ftTimeStamp;
        ++k;
    }
    if (changesOnly) {
        DWORD changedCount = 0;
        for (DWORD j = 0; j < k; ++j) {
            changedCount += changed[j] ? 1 : 0;
        }
        delivery.keepOnly(changed.get(), changedCount);
    }
    // The reported state above is updated whether or not anyone is told.
    delivery.sink = sinkLocked();
    if (!delivery.sink || delivery.count == 0) {
        delivery.sink.reset();
        return delivery;
    }
    delivery.clientGroupHandle = clientGroupHandle_;
    delivery.groupName = name_;
    if (readPending) {
        delivery.kind = Delivery::Kind::ReadComplete;
        delivery.transactionId = pendingRead_.transactionId;
        pendingRead_.transactionId = 0;  // the cancel ID stays, for a late Cancel2
        // A group gets one call a pass: a refresh due now waits for the next one.
        askForMissedRefreshLocked();
    } else {
        delivery.kind = Delivery::Kind::DataChange;
        if (refreshDue) {
            delivery.transactionId = pendingRefresh_.transactionId;
            pendingRefresh_.transactionId = 0;
        }
    }
    return delivery;
}

void NotificationPass::NotifyClients(bool periodic) {
    ServerState& state = context_.state;
    state.notifyRunning = 1;
    for (uint32_t slot = 0; slot < kClientSlots; ++slot) {
        if (std::shared_ptr<ServerGroups> server = context_.clients.at(slot)) {
            serveClient(*server, periodic);
        }
    }
    state.notifyRunning = 0;
}

void NotificationPass::serveClient(ServerGroups& server, bool periodic) {
    CallbackCaller& caller = server.callbackCaller();
    // One group at a time, each under serverMutex and its group lock only while it is gathered:
    // the call itself is made with no lock held, so the client may call back into the server.
    for (size_t index = 0;; ++index) {
        // A client still inside an earlier callback is left alone: its groups keep what they
        // last told it, and the next pass after it returns reports everything since.
        if (caller.busy()) {
            break;
        }
        std::shared_ptr<Delivery> shared;
        platform::WString clientName;
        {
            std::lock_guard lock(server.serverMutex());
            if (index >= server.countLocked()) {
                break;
            }
            try {
                // Everything that may fail comes before the group's reported state changes.
                shared = std::make_shared<Delivery>();
                clientName = server.clientNameLocked();
                *shared = server.groupLocked(index)->CollectDelivery(periodic);
            } catch (const std::bad_alloc&) {
                continue;  // nothing was changed: the next pass tries again
            }
            if (shared->kind == Delivery::Kind::None) {
                continue;
            }
        }
        const bool read = shared->kind == Delivery::Kind::ReadComplete;
        log_.WriteClientGroup(
            read ? logtext::kOnReadCompleteCall.c_str() : logtext::kOnDataChangeCall.c_str(),
            clientName.c_str(), shared->groupName.c_str());
        std::optional<HRESULT> result;
        try {
            result = caller.run(
                [shared]() mutable {
                    HRESULT sent = shared->send();
                    shared.reset();  // the arrays and the sink reference go on the caller's thread
                    return sent;
                },
                context_.callbackWaitMs);
        } catch (...) {
            result = E_FAIL;  // no thread for the call: reported like a failed call
        }
        {
            std::lock_guard lock(server.serverMutex());
            server.statusLocked().ftLastUpdateTime = CurrentFileTime(context_.clock);
        }
        if (!result) {
            // Passes leave this client out until the call returns; a refresh from the cache it
            // asked for meanwhile is answered only by a pass that is not periodic, so one is
            // asked for then.
            ServerState& state = context_.state;
            caller.whenIdle([&state] { state.RequestRefreshPass(); });
        }
        // A call that has not returned in time is logged as failed; the client is left out
        // until it returns.
        log_.Write(result && SUCCEEDED(*result) ? logtext::kOk.c_str() : logtext::kError.c_str(), 2,
                   false);
    }
    server.DeviceReadServed();
}

}  // namespace movra
