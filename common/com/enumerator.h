// Next, Skip, Reset and Clone written once for every enumerator the server hands out. What is
// enumerated comes from a Source:
//   using Element = ...;                 the type of one entry of Next's array
//   ULONG available();                   elements there are at the moment of the call
//   ULONG fetch(ULONG first, ULONG count, Element* out);
//                                        fills out[0..n) with elements first.. for the caller
//                                        (references or task-allocator copies) and returns n;
//                                        may throw, after freeing what it gave
//   Source clone() const;                the same elements for a new enumerator
// A Source whose Next allocates the array for the caller (IEnumOPCItemAttributes) says
//   static constexpr bool kAllocatesArray = true;
// and its fetch takes `Element** out` instead, storing the task-allocator array there.
// A live source reads its owner's list under the owner's lock inside available() and fetch().
#pragma once

#include "common/com/com_object.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>

namespace movra::com {

template <typename Interface, typename Source>
class Enumerator final : public ComObject<Enumerator<Interface, Source>, Interface> {
public:
    using Element = typename Source::Element;
    static constexpr bool kAllocates = [] {
        if constexpr (requires { Source::kAllocatesArray; }) {
            return Source::kAllocatesArray;
        } else {
            return false;
        }
    }();
    using NextArray = std::conditional_t<kAllocates, Element**, Element*>;

    explicit Enumerator(Source source) : source_(std::move(source)) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, NextArray rgelt,
                                   ULONG* pceltFetched) noexcept override {
        return comBoundary([&]() -> HRESULT {
            if (rgelt == nullptr && celt > 0) {
                return E_INVALIDARG;
            }
            if constexpr (kAllocates) {
                if (rgelt != nullptr) {
                    *rgelt = nullptr;
                }
            } else {
                std::fill(rgelt, rgelt + celt, Element{});
            }
            if (pceltFetched != nullptr) {
                *pceltFetched = 0;
            }
            std::lock_guard lock(positionLock_);
            ULONG fetched = celt == 0 ? 0 : source_.fetch(position_, celt, rgelt);
            position_ += fetched;
            if (pceltFetched != nullptr) {
                *pceltFetched = fetched;
            }
            return fetched == celt ? S_OK : S_FALSE;
        });
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) noexcept override {
        return comBoundary([&]() -> HRESULT {
            std::lock_guard lock(positionLock_);
            ULONG available = source_.available();
            if (uint64_t{position_} + celt > available) {
                position_ = available;
                return S_FALSE;
            }
            position_ += celt;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Reset() noexcept override {
        std::lock_guard lock(positionLock_);
        position_ = 0;
        return S_OK;
    }

    // A clone starts again at the first element.
    HRESULT STDMETHODCALLTYPE Clone(Interface** ppenum) noexcept override {
        return comBoundary([&]() -> HRESULT {
            return createInstance<Enumerator>(IidOf<Interface>::value(),
                                              reinterpret_cast<void**>(ppenum), source_.clone());
        });
    }

private:
    friend class ComObject<Enumerator<Interface, Source>, Interface>;
    ~Enumerator() override = default;

    Source source_;
    std::mutex positionLock_;
    ULONG position_ = 0;
};

}  // namespace movra::com
