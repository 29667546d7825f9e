#include "platform/win.h"

#include <time.h>
#include <unistd.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>

namespace {
thread_local DWORD lastError = 0;
}

extern "C" DWORD GetCurrentThreadId(void) {
    return static_cast<DWORD>(::syscall(SYS_gettid));
}

extern "C" DWORD GetLastError(void) {
    return lastError;
}

extern "C" void SetLastError(DWORD error) {
    lastError = error;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    platform::posix::fromHandle(handle)->release();
    return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return platform::posix::fromHandle(handle)->wait(milliseconds);
}

extern "C" void Sleep(DWORD milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

extern "C" DWORD GetModuleFileNameA(HMODULE, LPSTR fileName, DWORD size) {
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    // As on Windows: a path that does not fit is cut and terminated, and the result is the size.
    DWORD copied = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
    std::memcpy(fileName, path, copied);
    fileName[copied] = '\0';
    return copied;
}

extern "C" LONG InterlockedIncrement(LONG volatile* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedDecrement(LONG volatile* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
