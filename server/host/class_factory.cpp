#include "server/host/class_factory.h"

#include "common/com/com_object.h"
#include "platform/com_ptr.h"
#include "server/opc/opc_server.h"

#include <new>
#include <optional>

namespace movra {

HRESULT STDMETHODCALLTYPE MovraOPCServerClassFactory::QueryInterface(REFIID riid,
                                                                     void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
}

ULONG STDMETHODCALLTYPE MovraOPCServerClassFactory::AddRef() noexcept {
    return static_cast<ULONG>(++refCount_);
}

ULONG STDMETHODCALLTYPE MovraOPCServerClassFactory::Release() noexcept {
    return static_cast<ULONG>(--refCount_);
}

HRESULT STDMETHODCALLTYPE MovraOPCServerClassFactory::CreateInstance(IUnknown*, REFIID riid,
                                                                     void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    ServerState& state = context_.state;
    const std::optional<uint32_t> slot = state.clients.claim();
    if (!slot) {
        return E_FAIL;  // ten clients at most
    }
    platform::ComPtr<IUnknown> server;
    try {
        server = platform::ComPtr<IUnknown>((new CMovraOPCServer(context_, *slot))->unknown());
    } catch (...) {
        state.clients.leave(*slot);
        return E_OUTOFMEMORY;
    }
    // A failed QueryInterface lets the holder above destroy the object, which frees its slot.
    return server->QueryInterface(riid, ppv);
}

HRESULT STDMETHODCALLTYPE MovraOPCServerClassFactory::LockServer(BOOL fLock) noexcept {
    context_.state.LockServerCount(fLock != FALSE);
    return S_OK;
}

}  // namespace movra
