#include "server/host/class_factory.h"

#include "common/com/com_object.h"
#include "platform/com_ptr.h"
#include "server/opc/opc_server.h"

#include <new>

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
    platform::ComPtr<IUnknown> server;
    {
        std::lock_guard lock(slotMutex_);
        size_t slot = 0;
        while (slot < kClientSlots && state.clients[slot].load() != nullptr) {
            ++slot;
        }
        if (slot == kClientSlots) {
            return E_FAIL;  // ten clients at most
        }
        CMovraOPCServer* created = nullptr;
        try {
            created = new CMovraOPCServer(context_, static_cast<uint32_t>(slot));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        state.clients[slot] = created;
        server = platform::ComPtr<IUnknown>(created->unknown());
    }
    // A failed QueryInterface lets the holder above destroy the object, which frees its slot.
    return server->QueryInterface(riid, ppv);
}

HRESULT STDMETHODCALLTYPE MovraOPCServerClassFactory::LockServer(BOOL fLock) noexcept {
    context_.state.LockServerCount(fLock != FALSE);
    return S_OK;
}

}  // namespace movra
