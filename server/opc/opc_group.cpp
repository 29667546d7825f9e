#include "server/opc/opc_group.h"

#include "platform/co_task_mem.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace movra {

namespace {

// TODO(#9): items, reads, writes and refreshes come with the item management of the group.
constexpr HRESULT kNotYet = E_NOTIMPL;

}  // namespace

CMovraOPCGroup* CMovraOPCGroup::Create(std::shared_ptr<ServerGroups> server,
                                       GroupSettings settings) {
    return new (std::nothrow) CMovraOPCGroup(std::move(server), std::move(settings));
}

CMovraOPCGroup::CMovraOPCGroup(std::shared_ptr<ServerGroups> server, GroupSettings settings)
    : server_(std::move(server)),
      name_(std::move(settings.name)),
      active_(settings.active),
      requestedUpdateRate_(settings.requestedUpdateRate),
      revisedUpdateRate_(settings.revisedUpdateRate),
      clientGroupHandle_(settings.clientGroupHandle),
      serverGroupHandle_(settings.serverGroupHandle),
      timeBias_(settings.timeBias),
      percentDeadband_(settings.percentDeadband) {}

CMovraOPCGroup::~CMovraOPCGroup() = default;

ULONG STDMETHODCALLTYPE CMovraOPCGroup::AddRef() noexcept {
    return static_cast<ULONG>((lifetime_ += 2) >> 1);
}

ULONG STDMETHODCALLTYPE CMovraOPCGroup::Release() noexcept {
    LONG current = lifetime_.load();
    for (;;) {
        if ((current >> 1) == 0) {
            return 0;  // a client's extra Release never takes the list's hold
        }
        if (lifetime_.compare_exchange_weak(current, current - 2)) {
            break;
        }
    }
    LONG now = current - 2;
    if (now == 0) {
        delete this;
    }
    return static_cast<ULONG>(now >> 1);
}

void CMovraOPCGroup::Unlist() {
    if ((lifetime_.fetch_and(~1) & ~1) == 0) {
        delete this;
    }
}

void CMovraOPCGroup::ReleaseHeld() {
    platform::ComPtr<IOPCDataCallback> sink;
    {
        std::lock_guard lock(groupLock_);
        sink = disconnectLocked();
    }
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
    std::lock_guard lock(groupLock_);
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
    std::lock_guard lock(groupLock_);
    if (pRequestedUpdateRate != nullptr) {
        requestedUpdateRate_ = *pRequestedUpdateRate;
        revisedUpdateRate_ = server_->context().pollPeriodMs;
    }
    *pRevisedUpdateRate = revisedUpdateRate_;
    if (pActive != nullptr) {
        active_ = *pActive;
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
        std::lock_guard lock(groupLock_);
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
        {
            // Read under the group lock, then let go: AddGroup takes serverMutex, which must
            // never be awaited while a group lock is held.
            std::lock_guard lock(groupLock_);
            rate = revisedUpdateRate_;
            clientHandle = clientGroupHandle_;
            timeBias = timeBias_;
            deadband = percentDeadband_;
        }
        OPCHANDLE cloneHandle = 0;
        DWORD revised = 0;
        HRESULT hr = server_->AddGroup(szName, FALSE, rate, clientHandle, &timeBias, &deadband,
                                       &cloneHandle, &revised, riid, ppUnk);
        RETURN_IF_FAILED(hr);
        // TODO(#9): copy the items; a clone that cannot take them all is removed again.
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

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::AddItems(DWORD, OPCITEMDEF*, OPCITEMRESULT** ppAddResults,
                                                   HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppAddResults, ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::ValidateItems(DWORD, OPCITEMDEF*, BOOL,
                                                        OPCITEMRESULT** ppValidationResults,
                                                        HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppValidationResults, ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::RemoveItems(DWORD, OPCHANDLE*,
                                                      HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetActiveState(DWORD, OPCHANDLE*, BOOL,
                                                         HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*,
                                                           HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*,
                                                       HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::CreateEnumerator(REFIID, LPUNKNOWN* ppUnk) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppUnk);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Read(OPCDATASOURCE, DWORD, OPCHANDLE*,
                                               OPCITEMSTATE** ppItemValues,
                                               HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppItemValues, ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Write(DWORD, OPCHANDLE*, VARIANT*,
                                                HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Read(DWORD, OPCHANDLE*, DWORD, DWORD* pdwCancelID,
                                               HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(pdwCancelID, ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Write(DWORD, OPCHANDLE*, VARIANT*, DWORD,
                                                DWORD* pdwCancelID, HRESULT** ppErrors) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(pdwCancelID, ppErrors);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Refresh2(OPCDATASOURCE, DWORD,
                                                   DWORD* pdwCancelID) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(pdwCancelID);
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::Cancel2(DWORD) noexcept {
    RETURN_IF_FAILED(queryGuard());
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::SetEnable(BOOL) noexcept {
    RETURN_IF_FAILED(queryGuard());
    return kNotYet;
}

HRESULT STDMETHODCALLTYPE CMovraOPCGroup::GetEnable(BOOL* pbEnable) noexcept {
    RETURN_IF_FAILED(queryGuard());
    com::clearOuts(pbEnable);
    return kNotYet;
}

}  // namespace movra
