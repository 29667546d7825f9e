#include "server/opc/opc_group.h"

#include "platform/co_task_mem.h"
#include "platform/unique_variant.h"
#include "server/opc/catalogue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace movra {

namespace {

// What a clone needs of one item, read under the group lock.
struct ItemCopy {
    platform::WString itemId;
    BOOL active;
    OPCHANDLE clientHandle;
    VARTYPE requestedType;
};

}  // namespace

CMovraOPCGroup* CMovraOPCGroup::Create(std::shared_ptr<ServerGroups> server,
                                       GroupSettings settings) {
    try {
        return new CMovraOPCGroup(std::move(server), std::move(settings));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CMovraOPCGroup::CMovraOPCGroup(std::shared_ptr<ServerGroups> server, GroupSettings settings)
    : server_(std::move(server)),
      core_(std::make_shared<GroupCore>()),
      name_(std::move(settings.name)),
      active_(settings.active),
      requestedUpdateRate_(settings.requestedUpdateRate),
      revisedUpdateRate_(settings.revisedUpdateRate),
      clientGroupHandle_(settings.clientGroupHandle),
      serverGroupHandle_(settings.serverGroupHandle),
      timeBias_(settings.timeBias),
      percentDeadband_(settings.percentDeadband) {}

CMovraOPCGroup::~CMovraOPCGroup() {
    ItemList items;
    std::lock_guard lock(core_->groupLock);
    core_->open = false;
    std::swap(items, core_->items);
}

ULONG STDMETHODCALLTYPE CMovraOPCGroup::AddRef() noexcept {
    return static_cast<ULONG>(clientReferencesOf(lifetime_ += 2));
}

ULONG STDMETHODCALLTYPE CMovraOPCGroup::Release() noexcept {
    int64_t current = lifetime_.load();
    for (;;) {
        if (clientReferencesOf(current) == 0) {
            return 0;  // a client's extra Release never takes the list's hold
        }
        if (lifetime_.compare_exchange_weak(current, current - 2)) {
            break;
        }
    }
    const int64_t now = current - 2;
    if (now == 0) {
        delete this;
    }
    return static_cast<ULONG>(clientReferencesOf(now));
}

void CMovraOPCGroup::Unlist() {
    if ((lifetime_.fetch_and(~int64_t{1}) & ~int64_t{1}) == 0) {
        delete this;
    }
}

void CMovraOPCGroup::Unhold() {
    if ((lifetime_ -= kHoldUnit) == 0) {
        delete this;
    }
}

void CMovraOPCGroup::ReleaseHeld() {
    platform::ComPtr<IOPCDataCallback> sink;
    ItemList items;  // freed after the lock is given up
    std::deque<Transaction> pending;
    {
        std::lock_guard lock(core_->groupLock);
        sink = disconnectLocked();
        core_->open = false;
        std::swap(items, core_->items);
        pending.swap(pending_);
    }
}

void CMovraOPCGroup::sinkConnectedLocked() {
    ItemList& items = core_->items;
    for (size_t i = 0; i < items.size(); ++i) {
        items.at(i).reportInFull = true;
    }
    askForPassLocked();
}

HRESULT CMovraOPCGroup::FindItemByHandle(OPCHANDLE hServer, GroupItem** item) {
    *item = core_->items.find(hServer);
    return *item != nullptr ? S_OK : OPC_E_INVALIDHANDLE;
}

HRESULT CMovraOPCGroup::ReturnErrors(DWORD count, HRESULT** ppErrors,
                                     platform::CoTaskMemPtr<HRESULT>& errors) {
    bool anyFailed = std::any_of(errors.get(), errors.get() + count,
                                 [](HRESULT error) { return FAILED(error); });
    *ppErrors = errors.release();  // the caller frees it
    return anyFailed ? S_FALSE : S_OK;
}

template <typename PerItem>
HRESULT CMovraOPCGroup::ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors,
                                      PerItem perItem) {
    auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(count);
    if (!errors) {
        return E_OUTOFMEMORY;
    }
    {
        std::lock_guard lock(core_->groupLock);
        if (!core_->open) {
            return E_FAIL;
        }
        for (DWORD i = 0; i < count; ++i) {
            GroupItem* item = nullptr;
            errors[i] = FAILED(FindItemByHandle(handles[i], &item)) ? OPC_E_INVALIDHANDLE
                                                                    : perItem(*item, i);
        }
    }
    return ReturnErrors(count, ppErrors, errors);
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive,
                                                   LPWSTR* ppName, LONG* pTimeBias,
                                                   FLOAT* pPercentDeadband, DWORD* pLCID,
                                                   OPCHANDLE* phClientGroup,
                                                   OPCHANDLE* phServerGroup) noexcept {
    RETURN_IF_FAILED(queryGuard());
    if (pUpdateRate == nullptr || pActive == nullptr || ppName == nullptr || pTimeBias == nullptr ||
        pPercentDeadband == nullptr || pLCID == nullptr || phClientGroup == nullptr ||
        phServerGroup == nullptr) {
        com::clearOuts(pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID,
                       phClientGroup, phServerGroup);
        return E_INVALIDARG;
    }
    com::clearOuts(pUpdateRate, pActive, ppName, pTimeBias, pPercentDeadband, pLCID, phClientGroup,
                   phServerGroup);
    std::lock_guard lock(core_->groupLock);
    auto name = platform::CoTaskMemPtr<WCHAR>::allocate(name_.size() + 1);
    if (!name) {
        return E_OUTOFMEMORY;
    }
    std::copy(name_.begin(), name_.end(), name.get());
    *pUpdateRate = revisedUpdateRate_;
    *pActive = active_;
    *pTimeBias = timeBias_;
    *pPercentDeadband = percentDeadband_;
    *pLCID = 0;
    *phClientGroup = clientGroupHandle_;
    *phServerGroup = serverGroupHandle_;
    *ppName = name.release();  // the caller frees it
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetState(DWORD* pRequestedUpdateRate,
                                                   DWORD* pRevisedUpdateRate, BOOL* pActive,
                                                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD*,
                                                   OPCHANDLE* phClientGroup) noexcept {
    RETURN_IF_FAILED(queryGuard());
    if (pRevisedUpdateRate == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(core_->groupLock);
    if (pRequestedUpdateRate != nullptr) {
        requestedUpdateRate_ = *pRequestedUpdateRate;
        revisedUpdateRate_ = server_->context().pollPeriodMs;
    }
    *pRevisedUpdateRate = revisedUpdateRate_;
    if (pActive != nullptr) {
        const bool activated = !active_ && *pActive;
        active_ = *pActive;
        if (activated) {
            ItemList& items = core_->items;
            for (size_t i = 0; i < items.size(); ++i) {
                items.at(i).reportInFull = true;
            }
            askForPassLocked();
        }
    }
    if (pTimeBias != nullptr) {
        timeBias_ = *pTimeBias;
    }
    if (pPercentDeadband != nullptr) {
        percentDeadband_ = *pPercentDeadband;  // unlike AddGroup, no range check
    }
    if (phClientGroup != nullptr) {
        clientGroupHandle_ = *phClientGroup;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetName(LPCWSTR szName) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        if (szName == nullptr) {
            return E_INVALIDARG;
        }
        platform::WString name =
            szName[0] == 0 ? DefaultGroupName(serverGroupHandle_) : platform::WString(szName);
        if (szName[0] != 0 && name.size() > kMaxGroupNameLength) {
            return E_INVALIDARG;
        }
        // serverMutex first: the other groups' names are read under it, and the notification
        // pass takes it before any group lock.
        std::lock_guard serverLock(server_->serverMutex());
        std::lock_guard lock(core_->groupLock);
        RETURN_IF_FAILED(queryGuard());
        if (szName[0] != 0 && server_->nameTakenLocked(name, this)) {
            return OPC_E_DUPLICATENAME;
        }
        name_.swap(name);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid,
                                                     LPUNKNOWN* ppUnk) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        DWORD rate;
        OPCHANDLE clientHandle;
        LONG timeBias;
        FLOAT deadband;
        std::vector<ItemCopy> items;
        {
            // Read under the group lock, then let go: AddGroup takes serverMutex, which must
            // never be awaited while a group lock is held.
            std::lock_guard lock(core_->groupLock);
            rate = revisedUpdateRate_;
            clientHandle = clientGroupHandle_;
            timeBias = timeBias_;
            deadband = percentDeadband_;
            items.reserve(core_->items.size());
            for (size_t i = 0; i < core_->items.size(); ++i) {
                const OPCITEMATTRIBUTES& item = core_->items.at(i).attributes;
                items.push_back(
                    {item.szItemID, item.bActive, item.hClient, item.vtRequestedDataType});
            }
        }
        OPCHANDLE cloneHandle = 0;
        DWORD revised = 0;
        HRESULT hr = server_->AddGroup(szName, FALSE, rate, clientHandle, &timeBias, &deadband,
                                       &cloneHandle, &revised, riid, ppUnk);
        RETURN_IF_FAILED(hr);
        if (items.empty()) {
            return S_OK;
        }
        // The clone is reached through the reference just handed out, not as the list's last
        // group: another client thread may have added one meanwhile.
        platform::ComPtr<IOPCItemMgt> clone;
        WCHAR emptyPath[1] = {0};
        std::vector<OPCITEMDEF> definitions(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            definitions[i].szAccessPath = emptyPath;
            definitions[i].szItemID = items[i].itemId.data();
            definitions[i].bActive = items[i].active;
            definitions[i].hClient = items[i].clientHandle;
            definitions[i].vtRequestedDataType = items[i].requestedType;
        }
        // One call adds them in list order, so they get handles 1, 2, 3 ... as one call per item
        // would. An item refused alone (S_FALSE) fails the clone too: it would be lost silently.
        platform::CoTaskMemPtr<OPCITEMRESULT> results;
        platform::CoTaskMemPtr<HRESULT> errors;
        hr = (*ppUnk)->QueryInterface(IID_IOPCItemMgt, clone.putVoid());
        if (SUCCEEDED(hr)) {
            hr = clone->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                                 results.put(), errors.put());
        }
        if (hr != S_OK) {
            clone.reset();
            platform::ComPtr<IUnknown>::attach(*ppUnk);
            *ppUnk = nullptr;
            server_->RemoveGroup(cloneHandle, TRUE);
            return E_FAIL;
        }
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::GetState(BOOL* pPublic) noexcept {
    RETURN_IF_FAILED(queryGuard());
    if (pPublic == nullptr) {
        return E_INVALIDARG;
    }
    *pPublic = FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::MoveToPublic() noexcept {
    return E_FAIL;  // this server has no public groups
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                                        OPCITEMRESULT** ppValidationResults,
                                                        HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppValidationResults, ppErrors);
        if (dwCount == 0 || pItemArray == nullptr || ppValidationResults == nullptr ||
            ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto results = platform::CoTaskMemPtr<OPCITEMRESULT>::allocate(dwCount);
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!results || !errors) {
            return E_OUTOFMEMORY;
        }
        {
            std::lock_guard lock(core_->groupLock);
            if (!core_->open) {
                return E_FAIL;
            }
            for (DWORD i = 0; i < dwCount; ++i) {
                uint32_t slot;
                errors[i] = ValidateItem(catalogue(), pItemArray[i], results[i], &slot);
            }
        }
        *ppValidationResults = results.release();  // the caller frees it
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                                   OPCITEMRESULT** ppAddResults,
                                                   HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppAddResults, ppErrors);
        if (dwCount == 0 || pItemArray == nullptr || ppAddResults == nullptr ||
            ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto results = platform::CoTaskMemPtr<OPCITEMRESULT>::allocate(dwCount);
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!results || !errors) {
            return E_OUTOFMEMORY;
        }
        const FILETIME now = CurrentFileTime(server_->context().clock);
        std::vector<GroupItem> fresh;
        std::lock_guard lock(core_->groupLock);
        if (!core_->open) {
            return E_FAIL;
        }
        // Every allocation comes before the first item joins the list: a call that fails adds
        // nothing.
        for (DWORD i = 0; i < dwCount; ++i) {
            uint32_t slot;
            errors[i] = ValidateItem(catalogue(), pItemArray[i], results[i], &slot);
            if (SUCCEEDED(errors[i])) {
                fresh.push_back(MakeGroupItem(*catalogue(), pItemArray[i], results[i], slot, now));
            }
        }
        core_->items.reserve(fresh.size());
        auto next = fresh.begin();
        bool anyActive = false;
        for (DWORD i = 0; i < dwCount; ++i) {
            if (SUCCEEDED(errors[i])) {
                anyActive = anyActive || next->attributes.bActive;
                results[i].hServer = core_->items.append(std::move(*next++));
            }
        }
        askForPassLocked(anyActive);
        *ppAddResults = results.release();  // the caller frees it
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                                      HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppErrors);
        if (dwCount == 0 || phServer == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
        if (!errors) {
            return E_OUTOFMEMORY;
        }
        {
            std::lock_guard lock(core_->groupLock);
            if (!core_->open) {
                return E_FAIL;
            }
            core_->items.remove(phServer, dwCount, errors.get());
        }
        return ReturnErrors(dwCount, ppErrors, errors);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer,
                                                         BOOL bActive,
                                                         HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppErrors);
        if (dwCount == 0 || phServer == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        bool activated = false;
        HRESULT hr =
            ForEachHandle(dwCount, phServer, ppErrors, [&](GroupItem& item, DWORD) -> HRESULT {
                if (bActive && !item.attributes.bActive) {
                    item.reportInFull = true;
                    activated = true;
                }
                item.attributes.bActive = bActive;
                return S_OK;
            });
        if (activated) {
            std::lock_guard lock(core_->groupLock);
            askForPassLocked(true);
        }
        return hr;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                                           OPCHANDLE* phClient,
                                                           HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppErrors);
        if (dwCount == 0 || phServer == nullptr || phClient == nullptr || ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        return ForEachHandle(dwCount, phServer, ppErrors, [&](GroupItem& item, DWORD i) -> HRESULT {
            item.attributes.hClient = phClient[i];
            item.state.hClient = phClient[i];
            return S_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                                       VARTYPE* pRequestedDatatypes,
                                                       HRESULT** ppErrors) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        com::clearOuts(ppErrors);
        if (dwCount == 0 || phServer == nullptr || pRequestedDatatypes == nullptr ||
            ppErrors == nullptr) {
            return E_INVALIDARG;
        }
        return ForEachHandle(dwCount, phServer, ppErrors, [&](GroupItem& item, DWORD i) -> HRESULT {
            const VARTYPE requested = pRequestedDatatypes[i];
            const VARTYPE canonical = item.attributes.vtCanonicalDataType;
            // The type is judged against the canonical type, as at AddItems: the last reported
            // value may be one that no longer converts (an empty text into a number), which must
            // not lock the item into its old type.
            RETURN_IF_FAILED(CheckRequestedType(canonical, requested));
            platform::UniqueVariant value;
            if (FAILED(VariantChangeType(value.get(), &item.state.vDataValue, 0, requested))) {
                // What a new item of that type starts with; the next pass reports afresh.
                value.reset();
                VariantChangeType(value.get(), value.get(), 0, requested);
            }
            VariantClear(&item.state.vDataValue);
            value.release(&item.state.vDataValue);
            item.attributes.vtRequestedDataType = requested == VT_EMPTY ? canonical : requested;
            return S_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        RETURN_IF_FAILED(queryGuard());
        if (ppUnk == nullptr) {
            return E_INVALIDARG;
        }
        *ppUnk = nullptr;
        std::lock_guard lock(core_->groupLock);
        if (!core_->open) {
            return E_FAIL;
        }
        if (!IsEqualIID(riid, IID_IEnumOPCItemAttributes)) {
            return E_INVALIDARG;
        }
        // A QueryInterface that fails frees the enumerator again (its count goes back to 0).
        HRESULT hr = com::createInstance<CMovraEnumItemAttributes>(
            riid, reinterpret_cast<void**>(ppUnk), ItemAttributesSource(core_));
        if (FAILED(hr)) {
            return hr == E_OUTOFMEMORY ? hr : E_FAIL;
        }
        return core_->items.size() == 0 ? S_FALSE : S_OK;
    });
}

}  // namespace movra
