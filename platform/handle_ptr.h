// Ownership of kernel handles made visible: UniqueHandle closes its handle, UniqueRegKey its
// registry key, MutexGuard releases the mutex it took. Portable: they call only the Windows API
// (or its stand-in).
#pragma once

#include "platform/win.h"

#include <utility>

namespace platform {

// Owns one resource of a kind that Traits describes: its Type, which values hold nothing
// (isValid) and how it is given back (close).
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    static bool isValid(Type value) { return Traits::isValid(value); }

    Type get() const { return value_; }
    explicit operator bool() const { return isValid(value_); }

    // For out-parameters (RegOpenKeyExA, ...): gives back what is held, then hands out the slot.
    Type* put() {
        reset();
        return &value_;
    }

    // Gives up ownership; the caller gives the resource back.
    Type release() { return std::exchange(value_, Type{}); }

    void reset(Type value = Type{}) {
        Type old = std::exchange(value_, value);
        if (isValid(old)) {
            Traits::close(old);
        }
    }

private:
    Type value_{};
};

// A kernel handle. Null and INVALID_HANDLE_VALUE both mean "none": CreateMutexA and CreateEventA
// report failure with the one, CreateFileA with the other.
struct KernelHandleTraits {
    using Type = HANDLE;
    static bool isValid(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// An open registry key. The predefined roots (HKEY_CLASSES_ROOT, ...) need no closing, but
// closing them is harmless, so an owner may hold one.
struct RegKeyTraits {
    using Type = HKEY;
    static bool isValid(HKEY key) { return key != nullptr; }
    static void close(HKEY key) { RegCloseKey(key); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

// Waits for a mutex and, when the wait made this thread its owner, releases it at the end of the
// scope. WAIT_ABANDONED gives ownership too (a previous owner ended without releasing); the
// caller can tell from waitResult().
class MutexGuard {
public:
    explicit MutexGuard(HANDLE mutex, DWORD milliseconds = INFINITE)
        : mutex_(mutex), result_(WaitForSingleObject(mutex, milliseconds)) {}
    ~MutexGuard() { unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    bool owns() const { return givesOwnership(result_) && !released_; }
    DWORD waitResult() const { return result_; }

    // Releases before the end of the scope; does nothing when the mutex is not owned.
    void unlock() {
        if (owns()) {
            ReleaseMutex(mutex_);
            released_ = true;
        }
    }

private:
    static bool givesOwnership(DWORD result) {
        return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }

    HANDLE mutex_;
    DWORD result_;
    bool released_ = false;
};

}  // namespace platform
