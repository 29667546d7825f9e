// The group's reads, writes and asynchronous requests (IOPCSyncIO, IOPCAsyncIO2). Every item is
// read-only; data for asynchronous requests is sent later by the notification pass.
#include "server/opc/opc_group.h"

#include "platform/co_task_mem.h"
#include "platform/unique_variant.h"
#include "server/opc/catalogue.h"

#include <algorithm>

namespace movra {

namespace {

bool isDataSource(OPCDATASOURCE source) {
    return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}

// What a read reports for an item it does not take from the catalogue: the zero of the canonical
// type, stamped now.
void fillUnread(OPCITEMSTATE& state, VARTYPE canonical, WORD quality, FILETIME now) {
    state.ftTimeStamp = now;
    state.wQuality = quality;
    VariantInit(&state.vDataValue);
    VariantChangeType(&state.vDataValue, &state.vDataValue, 0, canonical);
}

}  // namespace

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount,
                                               OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                                               HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppItemValues, ppErrors);
        if (!isDataSource(dwSource) || dwCount == 0 || phServer == nullptr ||
            ppItemValues == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto states = platform::CoTaskMemPtr<OPCITEMSTATE>::allocate(dwCount);
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!states || !errors) {
            return E_OUTOFMEMORY;
        }
        // Before the group lock: the wait lets the main thread run the poll and the pass.
        const bool fromDevice = dwSource == OPC_DS_DEVICE;
        const bool completed = fromDevice && server_->AwaitDeviceRead();
        const FILETIME now = CurrentFileTime(server_->context().clock);
        // The items are read under the group lock, so a RemoveItems or SetDatatypes of another
        // thread cannot free one under the read.
        std::lock_guard lock(core_->groupLock);
        if (!core_->open) {
            return E_FAIL;
        }
        for (DWORD i = 0; i < dwCount; ++i) {
            OPCITEMSTATE& state = states[i];
            GroupItem* item = nullptr;
            if (FAILED(FindItemByHandle(phServer[i], &item))) {
                errors[i] = OPC_E_INVALIDHANDLE;
                fillUnread(state, VT_EMPTY, OPC_QUALITY_BAD, now);
                continue;
            }
            state.hClient = item->attributes.hClient;
            const bool live = fromDevice ? completed : active_ && item->attributes.bActive;
            SlotValue value{};
            if (!live) {
                errors[i] = S_OK;
                fillUnread(state, item->attributes.vtCanonicalDataType,
                           fromDevice ? OPC_QUALITY_BAD : OPC_QUALITY_OUT_OF_SERVICE, now);
            } else if (catalogue()->readSlot(item->slot, &value)) {
                // The canonical type, whatever the client asked for.
                errors[i] = S_OK;
                state.ftTimeStamp = value.lastUpdate;
                state.wQuality = value.quality;
                state.vDataValue.vt = VT_R4;
                state.vDataValue.fltVal = value.value();
            } else {
                errors[i] = E_FAIL;
                fillUnread(state, VT_EMPTY, OPC_QUALITY_BAD, now);
            }
        }
        *ppItemValues = states.release();  // the caller frees it
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT CMovraOPCGroup::RefuseWrites(DWORD count, const OPCHANDLE* handles,
                                     platform::CoTaskMemPtr<HRESULT>& errors) {
    std::lock_guard lock(core_->groupLock);
    if (!core_->open) {
        return E_FAIL;
    }
    for (DWORD i = 0; i < count; ++i) {
        GroupItem* item = nullptr;
        if (FAILED(FindItemByHandle(handles[i], &item))) {
            errors[i] = OPC_E_INVALIDHANDLE;
        } else {
            HRESULT known = catalogue()->ValidateItemID(item->attributes.szItemID);
            errors[i] = FAILED(known) ? known : OPC_E_BADRIGHTS;
        }
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer,
                                                VARIANT* pItemValues, HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppErrors);
        if (dwCount == 0 || phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!errors) {
            return E_OUTOFMEMORY;
        }
        RETURN_IF_FAILED(RefuseWrites(dwCount, phServer, errors));
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer,
                                               DWORD dwTransactionID, DWORD* pdwCancelID,
                                               HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(pdwCancelID, ppErrors);
        if (dwCount == 0 || phServer == nullptr || pdwCancelID == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!errors) {
            return E_OUTOFMEMORY;
        }
        std::vector<OPCHANDLE> valid;
        valid.reserve(dwCount);
        // The queue is changed under the group lock, where the pass reads it.
        std::lock_guard lock(core_->groupLock);
        if (!core_->open) {
            return E_FAIL;
        }
        if (!connectedLocked()) {
            return CONNECT_E_NOCONNECTION;
        }
        if (dwTransactionID != 0 && pending_.size() >= kMaxPendingTransactions) {
            return CONNECT_E_ADVISELIMIT;
        }
        for (DWORD i = 0; i < dwCount; ++i) {
            GroupItem* item = nullptr;
            errors[i] = FindItemByHandle(phServer[i], &item);
            if (SUCCEEDED(errors[i])) {
                errors[i] = catalogue()->ValidateItemID(item->attributes.szItemID);
            }
            if (errors[i] == S_OK) {
                valid.push_back(phServer[i]);
            }
        }
        if (!valid.empty()) {
            RETURN_IF_FAILED(acceptLocked(
                {Transaction::Read, dwTransactionID, 0, true, 0, std::move(valid)}, pdwCancelID));
        }
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer,
                                                VARIANT* pItemValues, DWORD, DWORD* pdwCancelID,
                                                HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(pdwCancelID, ppErrors);
        if (dwCount == 0 || phServer == nullptr || pItemValues == nullptr ||
            pdwCancelID == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        {
            std::lock_guard lock(core_->groupLock);
            if (!connectedLocked()) {
                return CONNECT_E_NOCONNECTION;
            }
        }
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!errors) {
            return E_OUTOFMEMORY;
        }
        // Nothing becomes pending: every item is refused, so no OnWriteComplete ever follows.
        RETURN_IF_FAILED(RefuseWrites(dwCount, phServer, errors));
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                                   DWORD* pdwCancelID) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        if (!isDataSource(dwSource) || pdwCancelID == nullptr) {
            return E_INVALIDARG;
        }
        *pdwCancelID = 0;
        std::lock_guard lock(core_->groupLock);
        if (!core_->open || !active_) {
            return E_FAIL;
        }
        const ItemList& items = core_->items;
        bool anyActive = false;
        for (size_t i = 0; i < items.size() && !anyActive; ++i) {
            anyActive = items.at(i).attributes.bActive != FALSE;
        }
        if (!anyActive) {
            return E_FAIL;
        }
        if (!connectedLocked()) {
            return CONNECT_E_NOCONNECTION;
        }
        if (dwTransactionID != 0 && pending_.size() >= kMaxPendingTransactions) {
            return CONNECT_E_ADVISELIMIT;
        }
        return acceptLocked(
            {Transaction::Refresh, dwTransactionID, 0, dwSource == OPC_DS_DEVICE, 0, {}},
            pdwCancelID);
    });
}

HRESULT CMovraOPCGroup::acceptLocked(Transaction transaction, DWORD* pdwCancelID) {
    ServerState& shared = state();
    transaction.cancelId = shared.NextCancelId();
    // Counted before the poll is asked for: the cycle it starts is a later one.
    transaction.cyclesBegun = shared.pollCyclesBegun.load();
    const DWORD cancelId = transaction.cancelId;
    const bool fromDevice = transaction.fromDevice;
    const bool neverAnswered = transaction.transactionId == 0;
    DWORD& lastOfKind = lastAnsweredCancelId_[transaction.kind];
    const DWORD lastBefore = lastOfKind;
    if (neverAnswered) {
        lastOfKind = cancelId;  // blocks nothing, but Cancel2 still finds it
    } else {
        pending_.push_back(std::move(transaction));
    }
    if (!fromDevice) {
        // Whatever the post does: a pass that cannot come now is asked for again by the events
        // that let the group take it.
        shared.RequestRefreshPass();
    } else if (!shared.RequestPoll()) {
        if (neverAnswered) {
            lastOfKind = lastBefore;
        } else {
            pending_.pop_back();
        }
        return E_FAIL;
    }
    *pdwCancelID = cancelId;
    return S_OK;
}

bool CMovraOPCGroup::dueLocked(const Transaction& transaction) const {
    return !transaction.fromDevice || state().lastPollCycleEnded.load() > transaction.cyclesBegun;
}

void CMovraOPCGroup::askForPassLocked(bool markedActive) {
    if (!connectedLocked()) {
        return;
    }
    bool tellNow = !pending_.empty() && dueLocked(pending_.front());
    const ItemList& items = core_->items;
    if (active_ && updateEnabled_) {
        tellNow = tellNow || markedActive;
        for (size_t i = 0; i < items.size() && !tellNow; ++i) {
            tellNow = items.at(i).reportInFull && items.at(i).attributes.bActive;
        }
    }
    if (tellNow) {
        state().RequestRefreshPass();
    }
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Cancel2(DWORD dwCancelID) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        std::lock_guard lock(core_->groupLock);
        platform::ComPtr<IOPCDataCallback> sink = sinkLocked();
        if (dwCancelID == 0 || !sink) {
            return E_FAIL;
        }
        auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [&](const Transaction& t) { return t.cancelId == dwCancelID; });
        DWORD* answered = nullptr;
        for (DWORD& last : lastAnsweredCancelId_) {
            answered = last == dwCancelID ? &last : answered;
        }
        if (found == pending_.end() && answered == nullptr) {
            return E_FAIL;
        }
        // Through the client's callback thread, behind what was handed to it before: a sink
        // gets one call at a time, and no answer already on its way is overtaken.
        const DWORD transactionId = found != pending_.end() ? found->transactionId : 0;
        const OPCHANDLE clientGroup = clientGroupHandle_;
        CallbackCaller& caller = server_->callbackCaller();
        caller.start();
        CallbackCaller::Calls calls;
        calls.emplace_back([sink, transactionId, clientGroup]() mutable {
            HRESULT result = sink->OnCancelComplete(transactionId, clientGroup);
            sink.reset();
            return result;
        });
        if (found != pending_.end()) {
            pending_.erase(found);
        } else {
            *answered = 0;
        }
        caller.post(calls);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetEnable(BOOL bEnable) noexcept {
    RETURN_IF_FAILED(queryGuard());
    std::lock_guard lock(core_->groupLock);
    if (!connectedLocked()) {
        return CONNECT_E_NOCONNECTION;
    }
    const bool enabled = !updateEnabled_ && bEnable;
    updateEnabled_ = bEnable;
    if (enabled) {
        askForPassLocked();  // items waiting to be reported in full
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::GetEnable(BOOL* pbEnable) noexcept {
    RETURN_IF_FAILED(queryGuard());
    if (pbEnable == nullptr) {
        return E_FAIL;
    }
    *pbEnable = FALSE;
    std::lock_guard lock(core_->groupLock);
    if (!connectedLocked()) {
        return CONNECT_E_NOCONNECTION;
    }
    *pbEnable = updateEnabled_;
    return S_OK;
}

}  // namespace movra
