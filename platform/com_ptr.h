// ComPtr<T>: one reference to a COM interface, released when the owner goes. Raw AddRef/Release
// stay inside the object base; everything else holds interfaces through this.
#pragma once

#include "platform/win.h"

#include <utility>

namespace platform {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Shares the caller's interface: takes a reference of its own (so a new object whose count
    // starts at 0 is held with a count of 1).
    explicit ComPtr(T* shared) noexcept : pointer(shared) { addRef(); }
    ComPtr(const ComPtr& other) noexcept : pointer(other.pointer) { addRef(); }
    ComPtr(ComPtr&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }

    // Takes over a reference the caller already owns (a fresh object, an out-parameter).
    static ComPtr attach(T* owned) noexcept {
        ComPtr result;
        result.pointer = owned;
        return result;
    }

    T* get() const noexcept { return pointer; }
    T* operator->() const noexcept { return pointer; }
    explicit operator bool() const noexcept { return pointer != nullptr; }

    // For out-parameters: drops the interface held so far, then hands out the empty slot.
    T** put() noexcept {
        reset();
        return &pointer;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

    // Gives the reference to the caller, who releases it.
    T* detach() noexcept { return std::exchange(pointer, nullptr); }

    // A new reference for a caller's out-parameter; the caller releases it.
    T* copy() const noexcept {
        addRef();
        return pointer;
    }

    void reset() noexcept {
        T* old = std::exchange(pointer, nullptr);
        if (old != nullptr) {
            old->Release();
        }
    }

    void swap(ComPtr& other) noexcept { std::swap(pointer, other.pointer); }

    // QueryInterface into another holder; the result is empty on failure.
    template <typename U>
    HRESULT queryInterface(REFIID iid, ComPtr<U>& result) const noexcept {
        if (pointer == nullptr) {
            result.reset();
            return E_POINTER;
        }
        return pointer->QueryInterface(iid, result.putVoid());
    }

private:
    void addRef() const noexcept {
        if (pointer != nullptr) {
            pointer->AddRef();
        }
    }

    T* pointer = nullptr;
};

}  // namespace platform
