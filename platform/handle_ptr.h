// Ownership of kernel handles made visible: UniqueHandle closes its handle, MutexGuard releases the
// mutex it took. Portable: they call only the Windows API (or its stand-in).
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
