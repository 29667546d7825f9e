// The single-sink connection point of the server object (IOPCShutdown) and of a group
// (IOPCDataCallback): IConnectionPoint and IConnectionPointContainer over one held sink.
// Derived supplies `std::mutex& connectionLock()` (the owner's lock that guards the sink) and may
// supply `HRESULT connectionGuard()` to refuse every call (a removed group).
#pragma once

#include "common/com/com_object.h"
#include "common/com/enumerator.h"
#include "platform/com_ptr.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace movra::com {

// A non-zero 32-bit value per connection: interface addresses do not fit in a cookie on 64 bits.
DWORD NextConnectionCookie() noexcept;

// The one connection point of its container.
class ConnectionPointSource {
public:
    using Element = IConnectionPoint*;
    explicit ConnectionPointSource(platform::ComPtr<IConnectionPoint> point)
        : point_(std::move(point)) {}
    ULONG available() const { return point_ ? 1 : 0; }
    ULONG fetch(ULONG first, ULONG, Element* out) {
        if (first >= available()) {
            return 0;
        }
        return SUCCEEDED(
                   point_->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(out)))
                   ? 1
                   : 0;
    }
    ConnectionPointSource clone() const { return *this; }

private:
    platform::ComPtr<IConnectionPoint> point_;
};

using ConnectionPointEnumerator = Enumerator<IEnumConnectionPoints, ConnectionPointSource>;

template <typename Derived, typename Sink>
class SingleSinkConnectionPoint : public IConnectionPoint, public IConnectionPointContainer {
public:
    static void* castFor(SingleSinkConnectionPoint* self, REFIID riid) noexcept {
        if (IsEqualIID(riid, IID_IConnectionPoint)) {
            return static_cast<IConnectionPoint*>(self);
        }
        if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
            return static_cast<IConnectionPointContainer*>(self);
        }
        return nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) noexcept override {
        RETURN_IF_FAILED(guard());
        if (pIID == nullptr) {
            return E_POINTER;
        }
        *pIID = IidOf<Sink>::value();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** ppCPC) noexcept override {
        RETURN_IF_FAILED(guard());
        if (ppCPC == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(ownerLock());
        IConnectionPointContainer* container = this;
        container->AddRef();
        *ppCPC = container;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) noexcept override {
        return comBoundary([&]() -> HRESULT {
            RETURN_IF_FAILED(guard());
            if (pUnkSink == nullptr || pdwCookie == nullptr) {
                return E_POINTER;
            }
            *pdwCookie = 0;
            if (isConnected()) {
                return CONNECT_E_ADVISELIMIT;
            }
            // The sink may live in the client's process: ask it without holding the owner's lock,
            // then check again where the sink is stored, so two Advise calls cannot both win.
            platform::ComPtr<Sink> candidate;
            if (FAILED(pUnkSink->QueryInterface(IidOf<Sink>::value(), candidate.putVoid())) ||
                !candidate) {
                return CONNECT_E_CANNOTCONNECT;
            }
            std::unique_lock lock(ownerLock());
            if (sink_) {
                lock.unlock();
                return CONNECT_E_ADVISELIMIT;  // candidate is released here, outside the lock
            }
            sink_ = std::move(candidate);
            cookie_ = NextConnectionCookie();
            *pdwCookie = cookie_;
            // The owner may have held work back for want of a sink.
            if constexpr (requires(Derived & d) { d.sinkConnectedLocked(); }) {
                owner().sinkConnectedLocked();
            }
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) noexcept override {
        RETURN_IF_FAILED(guard());
        platform::ComPtr<Sink> dropped;
        {
            std::lock_guard lock(ownerLock());
            if (!sink_ || dwCookie != cookie_) {
                return CONNECT_E_NOCONNECTION;
            }
            dropped = std::move(sink_);
            cookie_ = 0;
        }
        return S_OK;  // the sink is released outside the lock
    }

    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) noexcept override {
        RETURN_IF_FAILED(guard());
        if (ppEnum != nullptr) {
            *ppEnum = nullptr;
        }
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE
    EnumConnectionPoints(IEnumConnectionPoints** ppEnum) noexcept override {
        return comBoundary([&]() -> HRESULT {
            RETURN_IF_FAILED(guard());
            if (ppEnum == nullptr) {
                return E_POINTER;
            }
            *ppEnum = nullptr;
            return createInstance<ConnectionPointEnumerator>(
                IID_IEnumConnectionPoints, reinterpret_cast<void**>(ppEnum),
                ConnectionPointSource(platform::ComPtr<IConnectionPoint>(this)));
        });
    }

    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid,
                                                  IConnectionPoint** ppCP) noexcept override {
        RETURN_IF_FAILED(guard());
        if (ppCP == nullptr) {
            return E_POINTER;
        }
        *ppCP = nullptr;
        if (!IsEqualIID(riid, IidOf<Sink>::value())) {
            return CONNECT_E_NOCONNECTION;
        }
        IConnectionPoint* point = this;
        point->AddRef();
        *ppCP = point;
        return S_OK;
    }

    // The sink connected now, with a reference of the caller's; empty when none. Call with the
    // owner's lock held.
    platform::ComPtr<Sink> sinkLocked() const { return sink_; }
    bool connectedLocked() const { return static_cast<bool>(sink_); }
    // Drops the connection (the owner is going); returns the sink for release outside the lock.
    platform::ComPtr<Sink> disconnectLocked() {
        cookie_ = 0;
        return std::move(sink_);
    }

protected:
    SingleSinkConnectionPoint() = default;
    ~SingleSinkConnectionPoint() = default;

private:
    Derived& owner() { return static_cast<Derived&>(*this); }
    std::mutex& ownerLock() { return owner().connectionLock(); }
    HRESULT guard() {
        if constexpr (requires(Derived & d) { d.connectionGuard(); }) {
            return owner().connectionGuard();
        } else {
            return S_OK;
        }
    }
    bool isConnected() {
        std::lock_guard lock(ownerLock());
        return static_cast<bool>(sink_);
    }

    platform::ComPtr<Sink> sink_;
    DWORD cookie_ = 0;
};

}  // namespace movra::com
