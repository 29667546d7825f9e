// A client's sinks for the tests of the connection points, in process and across processes: one
// object with both callback interfaces that counts the references held on it, and one that offers
// neither.
#pragma once

#include "common/com/com_object.h"
#include "common/opc/opc_ids.h"

namespace movra::test {

class FakeSink final : public com::ComObject<FakeSink, IOPCShutdown, IOPCDataCallback> {
public:
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) noexcept override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                           VARIANT*, WORD*, FILETIME*, HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                             VARIANT*, WORD*, FILETIME*,
                                             HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) noexcept override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) noexcept override { return S_OK; }

    LONG references() const { return currentCount(); }

private:
    friend class com::ComObject<FakeSink, IOPCShutdown, IOPCDataCallback>;
    ~FakeSink() override = default;
};

// Offers IUnknown only: a sink that cannot be connected.
class PlainObject final : public com::ComObject<PlainObject, IUnknown> {
private:
    friend class com::ComObject<PlainObject, IUnknown>;
    ~PlainObject() override = default;
};

}  // namespace movra::test
