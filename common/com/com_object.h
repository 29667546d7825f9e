// The one base of every COM object of the project: QueryInterface from the list of interfaces the
// class derives from, an interlocked count that starts at 0, deletion at the last Release, and the
// boundary that turns an exception into a result code.
#pragma once

#include "common/com/iid_of.h"
#include "common/com/result.h"
#include "platform/win.h"

#include <atomic>
#include <concepts>
#include <new>

namespace movra::com {

// Zeroes the out-parameters a caller gave (null ones are skipped), so that nothing the caller
// frees after a failure is garbage.
template <typename... Outs>
void clearOuts(Outs*... outs) noexcept {
    ((outs != nullptr ? (void)(*outs = {}) : (void)0), ...);
}

// An interface of the list may instead be a part that answers several IDs itself (a connection
// point answers IConnectionPoint and IConnectionPointContainer): it declares a static
// `void* castFor(Part*, REFIID)`.
template <typename Part>
concept AnswersForItself = requires(Part* part, REFIID riid) {
    { Part::castFor(part, riid) } -> std::same_as<void*>;
};

// Interfaces are asked in list order; the first one is also the object's IUnknown. A class may
// define `HRESULT queryGuard()` to refuse every QueryInterface (a removed group).
template <typename Derived, typename Primary, typename... Others>
class ComObject : public Primary, public Others... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) noexcept override {
        if constexpr (requires(Derived * d) { d->queryGuard(); }) {
            RETURN_IF_FAILED(static_cast<Derived*>(this)->queryGuard());
        }
        if (ppv == nullptr) {
            return E_INVALIDARG;
        }
        *ppv = nullptr;
        void* found = IsEqualIID(riid, IID_IUnknown) ? primary() : find<Primary, Others...>(riid);
        if (found == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = found;
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(++refCount); }

    ULONG STDMETHODCALLTYPE Release() noexcept override {
        LONG count = --refCount;
        if (count == 0) {
            delete static_cast<Derived*>(this);
        }
        return static_cast<ULONG>(count);
    }

    // The object as its IUnknown, without a reference.
    IUnknown* unknown() noexcept { return static_cast<IUnknown*>(primary()); }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    LONG currentCount() const noexcept { return refCount.load(); }

    std::atomic<LONG> refCount{0};

private:
    Primary* primary() noexcept { return static_cast<Primary*>(this); }

    template <typename First, typename... Rest>
    void* find(REFIID riid) noexcept {
        if constexpr (AnswersForItself<First>) {
            if (void* found = First::castFor(static_cast<First*>(this), riid)) {
                return found;
            }
        } else if (IsEqualIID(riid, IidOf<First>::value())) {
            return static_cast<First*>(this);
        }
        if constexpr (sizeof...(Rest) > 0) {
            return find<Rest...>(riid);
        } else {
            return nullptr;
        }
    }
};

// A new object, handed to the caller through its own QueryInterface (its count starts at 0, so
// a failed QueryInterface deletes it again).
template <typename Object, typename... Args>
HRESULT createInstance(REFIID riid, void** ppv, Args&&... args) {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    Object* object = new (std::nothrow) Object(std::forward<Args>(args)...);
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    object->AddRef();
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace movra::com
