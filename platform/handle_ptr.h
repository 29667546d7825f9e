// Ownership of kernel handles made visible: UniqueHandle closes its handle, UniqueRegKey its
// registry key, MutexGuard releases the mutex it took. Portable: they call only the Windows API
// (or its stand-in).
#pragma once

#include "platform/win.h"

#include <utility>

namespace platform {

// Owns one kernel handle. Null and INVALID_HANDLE_VALUE both mean "none": CreateMutexA and
// CreateEventA report failure with the one, CreateFileA with the other.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    static bool isValid(HANDLE handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return isValid(handle_); }

    // Gives up ownership; the caller closes the handle.
    HANDLE release() { return std::exchange(handle_, nullptr); }

    void reset(HANDLE handle = nullptr) {
        HANDLE old = std::exchange(handle_, handle);
        if (isValid(old)) {
            CloseHandle(old);
        }
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns one open registry key. The predefined roots (HKEY_CLASSES_ROOT, ...) need no closing, but
// closing them is harmless, so an owner may hold one.
class UniqueRegKey {
public:
    UniqueRegKey() = default;
    explicit UniqueRegKey(HKEY key) : key_(key) {}
    ~UniqueRegKey() { reset(); }

    UniqueRegKey(UniqueRegKey&& other) noexcept : key_(other.release()) {}
    UniqueRegKey& operator=(UniqueRegKey&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

    // For out-parameters of RegOpenKeyExA and RegCreateKeyExA: closes the key held so far, then
    // hands out the empty slot.
    HKEY* put() {
        reset();
        return &key_;
    }

    // Gives up ownership; the caller closes the key.
    HKEY release() { return std::exchange(key_, nullptr); }

    void reset(HKEY key = nullptr) {
        HKEY old = std::exchange(key_, key);
        if (old != nullptr) {
            RegCloseKey(old);
        }
    }

private:
    HKEY key_ = nullptr;
};

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
