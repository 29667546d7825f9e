// Kernel objects of the stand-in: a HANDLE points at one of these. Mutexes, events and the like
// derive from it; CloseHandle drops one reference.
#pragma once

#include "platform/posix/types.h"

#include <atomic>

namespace platform::posix {

class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    // Waits for the object to be signalled; WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_ABANDONED.
    virtual DWORD wait(DWORD milliseconds) = 0;

    void addRef() { references.fetch_add(1); }
    void release() {
        if (references.fetch_sub(1) == 1) {
            delete this;
        }
    }

private:
    std::atomic<int> references{1};
};

inline HANDLE toHandle(KernelObject* object) {
    return static_cast<HANDLE>(object);
}

inline KernelObject* fromHandle(HANDLE handle) {
    return static_cast<KernelObject*>(handle);
}

}  // namespace platform::posix

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
