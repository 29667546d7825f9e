#include "server/opc/notification_pass.h"

#include "platform/unique_variant.h"
#include "server/core/log.h"
#include "server/opc/catalogue.h"
#include "server/opc/opc_group.h"
#include "server/opc/server_groups.h"

#include <algorithm>
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

bool Delivery::allocate(DWORD entries) {
    handles = platform::CoTaskMemPtr<OPCHANDLE>::allocate(entries);
    values = platform::CoTaskMemPtr<VARIANT>::allocate(entries);  // all VT_EMPTY
    qualities = platform::CoTaskMemPtr<WORD>::allocate(entries);
    timestamps = platform::CoTaskMemPtr<FILETIME>::allocate(entries);
    errors = platform::CoTaskMemPtr<HRESULT>::allocate(entries);
    count = entries;
    return handles && values && qualities && timestamps && errors;
}

void Delivery::keepOnly(const std::vector<bool>& keep) {
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
    count = to;
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

std::vector<size_t> activePositions(const ItemList& items) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items.at(i).attributes.bActive) {
            positions.push_back(i);
        }
    }
    return positions;
}

// A read's items in list order, each once also when named twice, whatever their active flag;
// those removed since are left out.
std::vector<size_t> readPositions(const ItemList& items, const std::vector<OPCHANDLE>& handles) {
    std::vector<bool> named(items.size(), false);
    for (OPCHANDLE handle : handles) {
        const size_t position = items.positionOf(handle);
        if (position != ItemList::kNoPosition) {
            named[position] = true;
        }
    }
    std::vector<size_t> positions;
    for (size_t i = 0; i < items.size(); ++i) {
        if (named[i]) {
            positions.push_back(i);
        }
    }
    return positions;
}

}  // namespace

GroupDeliveries CMovraOPCGroup::CollectDeliveries(bool periodic) {
    GroupDeliveries batch;
    std::lock_guard lock(core_->groupLock);
    platform::ComPtr<IOPCDataCallback> sink = sinkLocked();
    // Without a sink nothing is told, so nothing is recorded as told either: the transactions
    // wait for the next connection, which hears every item in full.
    if (!core_->open || !sink) {
        return batch;
    }
    ItemList& items = core_->items;

    // First everything that may fail, with nothing changed yet: what is answered, the arrays,
    // the calls, the callback thread.
    constexpr size_t kDataChange = SIZE_MAX;
    struct Planned {
        std::shared_ptr<Delivery> delivery;
        std::vector<size_t> positions;
        std::vector<bool> keep;
        size_t answers;  // the position of the transaction in the queue, or kDataChange
    };
    std::vector<Planned> plan;
    auto planDelivery = [&](Delivery::Kind kind, DWORD transactionId, std::vector<size_t> positions,
                            size_t answers) {
        auto delivery = std::make_shared<Delivery>();
        if (!delivery->allocate(static_cast<DWORD>(positions.size()))) {
            throw std::bad_alloc();
        }
        delivery->kind = kind;
        delivery->transactionId = transactionId;
        delivery->clientGroupHandle = clientGroupHandle_;
        delivery->sink = sink;
        std::vector<bool> keep(positions.size(), answers != kDataChange);
        plan.push_back({std::move(delivery), std::move(positions), std::move(keep), answers});
    };
    // Answers of one pass share a bound on their entries, so a full queue of a huge group does
    // not take all its arrays at once: what is left is answered by a pass asked for at once.
    size_t entries = 0;
    bool leftDue = false;
    for (size_t queued = 0; queued < pending_.size(); ++queued) {
        const Transaction& transaction = pending_[queued];
        if (!dueLocked(transaction)) {
            break;  // answers keep the order asked: the later ones wait for it
        }
        if (entries >= server_->context().answerEntriesPerPass) {
            leftDue = true;
            break;
        }
        const bool read = transaction.kind == Transaction::Read;
        std::vector<size_t> positions = read      ? readPositions(items, transaction.handles)
                                        : active_ ? activePositions(items)
                                                  : std::vector<size_t>{};
        // An inactive group answers no refresh; a read stays when none of its items is left.
        // Either keeps its place in the queue, and what follows it is answered.
        if (!positions.empty()) {
            entries += positions.size();
            planDelivery(read ? Delivery::Kind::ReadComplete : Delivery::Kind::DataChange,
                         transaction.transactionId, std::move(positions), queued);
        }
    }
    if (active_ && updateEnabled_) {
        std::vector<size_t> positions = activePositions(items);
        const bool anyInFull = std::any_of(positions.begin(), positions.end(),
                                           [&](size_t i) { return items.at(i).reportInFull; });
        if (!positions.empty() && (periodic || anyInFull)) {
            planDelivery(Delivery::Kind::DataChange, 0, std::move(positions), kDataChange);
        }
    }
    if (plan.empty()) {
        return batch;
    }
    batch.groupName = name_;
    CallbackCaller& caller = server_->callbackCaller();
    caller.start();
    CallbackCaller::Calls calls;
    for (const Planned& planned : plan) {
        calls.emplace_back([delivery = planned.delivery] {
            delivery->result = delivery->send();
            delivery->sink.reset();  // released on this thread, as the arrays may be
            return delivery->result;
        });
    }
    batch.posted.reserve(plan.size());

    // From here on nothing fails: what is recorded as told is handed over below.
    // Percent × 0.01 in 32-bit arithmetic: 10 % gives a threshold just below 0.1, so a change of
    // exactly a tenth is reported.
    const float threshold = percentDeadband_ * 0.01f;
    CMovraItem* const source = catalogue();
    auto call = calls.begin();
    for (Planned& planned : plan) {
        Delivery& delivery = *planned.delivery;
        // A transaction is answered whole; the data change carries the changed items of a
        // periodic pass and those to be reported in full.
        const bool whole = planned.answers != kDataChange;
        std::vector<bool>& keep = planned.keep;
        for (DWORD k = 0; k < delivery.count; ++k) {
            GroupItem& item = items.at(planned.positions[k]);
            OPCITEMSTATE& told = item.state;
            delivery.handles[k] = item.attributes.hClient;
            SlotValue fresh{};
            const bool known = source != nullptr && source->readSlot(item.slot, &fresh);
            bool changed = false;
            if (known) {
                VARIANT canonical;
                canonical.vt = VT_R4;
                canonical.fltVal = fresh.value();
                VariantChangeType(&delivery.values[k], &canonical, 0,
                                  item.attributes.vtRequestedDataType);
                const float last =
                    lastReported(told.vDataValue, item.attributes.vtCanonicalDataType);
                changed = hasChanged(fresh.quality, fresh.value(), told.wQuality, last,
                                     percentDeadband_, threshold);
                delivery.errors[k] = S_OK;
            } else {
                delivery.errors[k] = E_FAIL;  // the value stays VT_EMPTY
            }
            if (!whole) {
                keep[k] = item.reportInFull || (periodic && changed);
                item.reportInFull = item.reportInFull && !keep[k];
            }
            if (keep[k] && known) {
                if (changed) {
                    // Its own copy: a text value must not be shared with the array the client
                    // gets. Without memory for it the item keeps what it last told, so the
                    // change is reported by a later pass rather than lost.
                    platform::UniqueVariant copy;
                    if (SUCCEEDED(VariantCopy(copy.get(), &delivery.values[k]))) {
                        VariantClear(&told.vDataValue);
                        copy.release(&told.vDataValue);
                        told.wQuality = fresh.quality;
                    }
                }
                told.ftTimeStamp = fresh.lastUpdate;
            }
            delivery.qualities[k] = told.wQuality;
            delivery.timestamps[k] = told.ftTimeStamp;
        }
        if (!whole) {
            delivery.keepOnly(keep);
        }
        if (delivery.count == 0) {
            call = calls.erase(call);  // a periodic pass without changes sends nothing
            continue;
        }
        batch.posted.push_back({planned.delivery, 0});
        ++call;
    }
    const uint64_t last = caller.post(calls);
    uint64_t ticket = last - batch.posted.size();
    for (GroupDeliveries::Posted& posted : batch.posted) {
        posted.ticket = ++ticket;
    }
    // The answered transactions leave the queue; the cancel ID of the last one of each kind
    // stays, for a late Cancel2. They are taken out from the last, so the positions hold.
    for (const Planned& planned : plan) {
        if (planned.answers != kDataChange) {
            const Transaction& answered = pending_[planned.answers];
            lastAnsweredCancelId_[answered.kind] = answered.cancelId;
        }
    }
    for (auto planned = plan.rbegin(); planned != plan.rend(); ++planned) {
        if (planned->answers != kDataChange) {
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(planned->answers));
        }
    }
    if (leftDue) {
        state().RequestRefreshPass();
    }
    return batch;
}

void NotificationPass::NotifyClients(bool periodic) {
    ServerState& state = context_.state;
    state.notifyRunning = 1;
    for (uint32_t slot = 0; slot < kClientSlots; ++slot) {
        if (std::shared_ptr<ServerGroups> server = state.clients.at(slot)) {
            serveClient(*server, periodic);
        }
    }
    state.notifyRunning = 0;
}

void NotificationPass::serveClient(ServerGroups& server, bool periodic) {
    CallbackCaller& caller = server.callbackCaller();
    // The groups as they are now, each held: one removed meanwhile (by a callback, or by another
    // thread during a wait) neither shifts the others out of this pass nor goes under it.
    std::vector<GroupHold> groups;
    platform::WString clientName;
    try {
        std::lock_guard lock(server.serverMutex());
        clientName = server.clientNameLocked();
        groups.reserve(server.countLocked());
        for (size_t index = 0; index < server.countLocked(); ++index) {
            groups.emplace_back(server.groupLocked(index));
        }
    } catch (const std::bad_alloc&) {
        groups.clear();  // nothing was changed: the next pass tries again
    }
    for (GroupHold& group : groups) {
        // A client still inside a callback it was waited for in vain is left alone: its groups
        // keep what they last told it, and the pass asked for when it returns tells the rest.
        if (caller.stalled()) {
            break;
        }
        GroupDeliveries batch;
        try {
            batch = group->CollectDeliveries(periodic);
        } catch (...) {
            continue;  // nothing was changed: the next pass tries again
        }
        bool waiting = true;
        for (const GroupDeliveries::Posted& posted : batch.posted) {
            const bool read = posted.delivery->kind == Delivery::Kind::ReadComplete;
            log_.WriteClientGroup(
                read ? logtext::kOnReadCompleteCall.c_str() : logtext::kOnDataChangeCall.c_str(),
                clientName.c_str(), batch.groupName.c_str());
            // The calls follow one another on the client's thread: once one has not returned
            // in time, the rest are not waited for either.
            const bool returned = waiting && caller.wait(posted.ticket, context_.callbackWaitMs);
            if (waiting && !returned) {
                waiting = false;
                ServerState& state = context_.state;
                caller.whenIdle([&state] { state.RequestRefreshPass(); });
            }
            // A call that has not returned in time is logged as failed.
            log_.Write(returned && SUCCEEDED(posted.delivery->result) ? logtext::kOk.c_str()
                                                                      : logtext::kError.c_str(),
                       2, false);
        }
        if (!batch.posted.empty()) {
            std::lock_guard lock(server.serverMutex());
            server.statusLocked().ftLastUpdateTime = CurrentFileTime(context_.clock);
        }
    }
    server.DeviceReadServed();
}

}  // namespace movra
