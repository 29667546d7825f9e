// MovraOPCServerClassFactory: the one class object of the process. It gives each client a server
// object of its own in the lowest free of the ten client slots and counts server locks.
#pragma once

#include "platform/win.h"
#include "server/opc/opc_context.h"

#include <atomic>

namespace movra {

class MovraOPCServerClassFactory final : public IClassFactory {
public:
    explicit MovraOPCServerClassFactory(const OpcContext& context) : context_(context) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override;
    // The factory lives as long as the process: the count is kept but never frees it.
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppv) noexcept override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) noexcept override;

private:
    const OpcContext& context_;
    std::atomic<LONG> refCount_{0};
};

}  // namespace movra
