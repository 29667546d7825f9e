#include "server/opc/opc_server.h"

#include "platform/co_task_mem.h"
#include "server/opc/error_texts.h"
#include "server/opc/group_enumerators.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace movra {

namespace {

// An ASCII text as a UTF-16 string from the task allocator; empty when out of memory.
platform::CoTaskMemPtr<WCHAR> taskMemText(std::string_view text) {
    auto copy = platform::CoTaskMemPtr<WCHAR>::allocate(text.size() + 1);
    if (copy) {
        std::copy(text.begin(), text.end(), copy.get());
    }
    return copy;
}

}  // namespace

CMovraOPCServer::CMovraOPCServer(const OpcContext& context, uint32_t slotIndex)
    : context_(context),
      slotIndex_(slotIndex),
      groups_(std::make_shared<ServerGroups>(context, slotIndex)),
      browse_(std::make_shared<BrowsePosition>(context.catalogue)) {
    // Counted last: a construction that throws leaves the count as it was.
    context_.state.AddClient(slotIndex_, groups_);
}

CMovraOPCServer::~CMovraOPCServer() {
    ServerState& state = context_.state;
    state.clients.withdraw(slotIndex_);
    groups_->Close();
    platform::ComPtr<IOPCShutdown> sink;
    {
        std::lock_guard lock(groups_->serverMutex());
        sink = disconnectLocked();
    }
    sink.reset();
    state.RemoveClient(slotIndex_);
    if (!state.IsServerInUse()) {
        PostThreadMessageA(state.mainThreadId, WM_QUIT, 0, 0);
    }
}

platform::WString CMovraOPCServer::clientName() {
    std::lock_guard lock(groups_->serverMutex());
    return groups_->clientNameLocked();
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::SetLocaleID(LCID dwLcid) noexcept {
    if (!IsAvailableLocale(dwLcid)) {
        return E_INVALIDARG;
    }
    localeId_ = dwLcid;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetLocaleID(LCID* pdwLcid) noexcept {
    if (pdwLcid == nullptr) {
        return E_INVALIDARG;
    }
    *pdwLcid = localeId_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::QueryAvailableLocaleIDs(DWORD* pdwCount,
                                                                   LCID** pdwLcid) noexcept {
    if (pdwCount == nullptr || pdwLcid == nullptr) {
        return E_INVALIDARG;
    }
    *pdwCount = 0;
    *pdwLcid = nullptr;
    constexpr size_t kCount = std::size(kAvailableLocales);
    auto locales = platform::CoTaskMemPtr<LCID>::allocate(kCount);
    if (!locales) {
        return E_FAIL;
    }
    std::copy(std::begin(kAvailableLocales), std::end(kAvailableLocales), locales.get());
    *pdwCount = static_cast<DWORD>(kCount);
    *pdwLcid = locales.release();  // the caller frees it
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetErrorString(HRESULT dwError,
                                                          LPWSTR* ppString) noexcept {
    return GetErrorString(dwError, localeId_, ppString);
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::SetClientName(LPCWSTR szName) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        if (szName == nullptr) {
            return E_INVALIDARG;
        }
        platform::WString name(szName);
        std::lock_guard lock(groups_->serverMutex());
        groups_->clientNameLocked().swap(name);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::AddGroup(
    LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
    LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD, OPCHANDLE* phServerGroup,
    DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) noexcept {
    return com::comBoundary([&] {
        return groups_->AddGroup(szName, bActive, dwRequestedUpdateRate, hClientGroup, pTimeBias,
                                 pPercentDeadband, phServerGroup, pRevisedUpdateRate, riid, ppUnk);
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetErrorString(HRESULT dwError, LCID dwLocale,
                                                          LPWSTR* ppString) noexcept {
    if (ppString == nullptr) {
        return E_INVALIDARG;
    }
    *ppString = nullptr;
    if (!IsAvailableLocale(dwLocale)) {
        return E_INVALIDARG;
    }
    auto text = taskMemText(OpcErrorText(dwError));
    if (!text) {
        return E_OUTOFMEMORY;
    }
    *ppString = text.release();  // the caller frees it
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetGroupByName(LPCWSTR szName, REFIID riid,
                                                          LPUNKNOWN* ppUnk) noexcept {
    return com::comBoundary([&] { return groups_->GetGroupByName(szName, riid, ppUnk); });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept {
    if (ppServerStatus == nullptr) {
        return E_INVALIDARG;
    }
    *ppServerStatus = nullptr;
    auto status = platform::CoTaskMemPtr<OPCSERVERSTATUS>::allocate(1);
    auto vendor = taskMemText(kVendorInfo);
    if (!status || !vendor) {
        return E_OUTOFMEMORY;
    }
    {
        std::lock_guard lock(groups_->serverMutex());
        OPCSERVERSTATUS& current = groups_->statusLocked();
        current.ftCurrentTime = CurrentFileTime(context_.clock);
        *status.get() = current;
    }
    status->szVendorInfo = vendor.release();
    *ppServerStatus = status.release();  // the caller frees both
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::RemoveGroup(OPCHANDLE hServerGroup,
                                                       BOOL bForce) noexcept {
    return com::comBoundary([&] { return groups_->RemoveGroup(hServerGroup, bForce); });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                                 LPUNKNOWN* ppUnk) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        if (ppUnk == nullptr) {
            return E_INVALIDARG;
        }
        *ppUnk = nullptr;
        if (dwScope < OPC_ENUM_PRIVATE_CONNECTIONS || dwScope > OPC_ENUM_ALL) {
            return E_INVALIDARG;
        }
        // No group of this server is ever public.
        const bool publicOnly =
            dwScope == OPC_ENUM_PUBLIC_CONNECTIONS || dwScope == OPC_ENUM_PUBLIC;
        HRESULT hr;
        if (IsEqualIID(riid, IID_IEnumUnknown)) {
            hr = com::createInstance<CMovraEnumUnknown>(
                riid, reinterpret_cast<void**>(ppUnk),
                GroupListSource<IUnknown*>(groups_, publicOnly));
        } else if (IsEqualIID(riid, IID_IEnumString)) {
            hr = com::createInstance<CMovraEnumString>(
                riid, reinterpret_cast<void**>(ppUnk),
                GroupListSource<LPOLESTR>(groups_, publicOnly));
        } else {
            return E_INVALIDARG;
        }
        RETURN_IF_FAILED(hr);
        std::lock_guard lock(groups_->serverMutex());
        return publicOnly || groups_->countLocked() == 0 ? S_FALSE : S_OK;
    });
}

}  // namespace movra
