// CoTaskMemPtr<T>: a block from the COM task allocator, freed unless it is handed to a caller.
// Arrays returned to a client are built in one of these and released only when the call succeeds.
#pragma once

#include "platform/win.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace platform {

template <typename T>
class CoTaskMemPtr {
    static_assert(std::is_trivially_destructible_v<T>, "the task allocator runs no destructors");

public:
    CoTaskMemPtr() noexcept = default;
    // Takes over a block that the caller owns (for example one a COM call returned).
    explicit CoTaskMemPtr(T* owned) noexcept : pointer(owned) {}
    CoTaskMemPtr(CoTaskMemPtr&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    CoTaskMemPtr& operator=(CoTaskMemPtr&& other) noexcept {
        reset(std::exchange(other.pointer, nullptr));
        return *this;
    }
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;
    ~CoTaskMemPtr() { reset(); }

    // Room for `count` elements, all bytes zero (so a partly filled array is still safe to free);
    // empty when the allocator fails or the size does not fit.
    static CoTaskMemPtr allocate(size_t count) noexcept {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T)) {
            return CoTaskMemPtr();
        }
        size_t bytes = count * sizeof(T);
        void* block = CoTaskMemAlloc(bytes);
        if (block != nullptr) {
            std::memset(block, 0, bytes);
        }
        return CoTaskMemPtr(static_cast<T*>(block));
    }

    T* get() const noexcept { return pointer; }
    T& operator[](size_t index) const noexcept { return pointer[index]; }
    T* operator->() const noexcept { return pointer; }
    explicit operator bool() const noexcept { return pointer != nullptr; }

    // For out-parameters filled by a callee: frees what is held, then hands out the slot.
    T** put() noexcept {
        reset();
        return &pointer;
    }

    // Hands the block to the caller, who frees it with CoTaskMemFree.
    T* release() noexcept { return std::exchange(pointer, nullptr); }

    void reset(T* owned = nullptr) noexcept {
        T* old = std::exchange(pointer, owned);
        if (old != nullptr) {
            CoTaskMemFree(old);
        }
    }

private:
    T* pointer = nullptr;
};

}  // namespace platform
