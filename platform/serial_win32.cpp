#include "platform/serial.h"

#include "platform/win.h"

#include <algorithm>

namespace platform {

namespace {

// About a second, plus the time of the bytes at the slowest rate the meters use.
DWORD writeLimitMs(size_t count) {
    return static_cast<DWORD>(1000 + 5 * std::min<size_t>(count, 100000));
}

}  // namespace

struct SerialPort::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    OVERLAPPED readOverlapped{};
    bool pending = false;  // a ReadFile on readOverlapped has not completed yet
    bool failed = false;   // the port no longer works: nothing more is read from this handle
    uint8_t* buffer = nullptr;
    size_t count = 0;
    size_t transferred = 0;

    enum class Read { Running, Ended, Refused };

    // A read refused after a line error runs again once the error is cleared. A port that cannot
    // even be asked for its errors has gone: a pulled adapter, or under Wine a pseudo-terminal
    // whose far side hung up, where every read ends at once with ERROR_BROKEN_PIPE.
    void clearAfterRefusal() {
        if (!ClearCommError(handle, nullptr, nullptr)) {
            failed = true;
        }
    }

    // Posts a ReadFile for the bytes still missing. A read that finishes at once is counted.
    Read post() {
        readOverlapped = OVERLAPPED{};
        readOverlapped.hEvent = readEvent;
        DWORD got = 0;
        DWORD wanted = static_cast<DWORD>(count - transferred);
        if (ReadFile(handle, buffer + transferred, wanted, &got, &readOverlapped)) {
            transferred += got;
            return Read::Ended;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            pending = true;
            return Read::Running;
        }
        clearAfterRefusal();
        return Read::Refused;
    }

    // Collects a finished read. Wine ends a read whose total time-out expired with FALSE and
    // ERROR_TIMEOUT where Windows gives TRUE and a short count: both mean "use the count".
    Read collect() {
        DWORD got = 0;
        if (GetOverlappedResult(handle, &readOverlapped, &got, FALSE)) {
            pending = false;
            transferred += got;
            return Read::Ended;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return Read::Running;
        }
        pending = false;
        transferred += got;
        if (error == ERROR_TIMEOUT) {
            return Read::Ended;
        }
        clearAfterRefusal();
        return Read::Refused;
    }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(unsigned number) {
    Impl& port = *impl_;
    if (port.handle != INVALID_HANDLE_VALUE) {
        return false;
    }
    HANDLE handle = CreateFileA(serialPortName(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Auto-reset events, not signalled: each wait consumes the completion it saw.
    HANDLE readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE writeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readEvent == nullptr || writeEvent == nullptr) {
        if (readEvent != nullptr) {
            CloseHandle(readEvent);
        }
        if (writeEvent != nullptr) {
            CloseHandle(writeEvent);
        }
        CloseHandle(handle);
        return false;
    }
    port.handle = handle;
    port.readEvent = readEvent;
    port.writeEvent = writeEvent;
    port.failed = false;
    return true;
}

bool SerialPort::isOpen() const {
    return impl_->handle != INVALID_HANDLE_VALUE;
}

bool SerialPort::configure(uint32_t baud) {
    Impl& port = *impl_;
    if (port.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(port.handle, &state)) {
        return false;
    }
    state.BaudRate = baud;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.fDsrSensitivity = FALSE;
    if (!SetCommState(port.handle, &state)) {
        return false;
    }
    // No total limits: a read waits for its first byte until cancelled, then allows 10 s between
    // bytes. The caller keeps the time itself.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 10000;
    return SetCommTimeouts(port.handle, &timeouts) != FALSE;
}

void SerialPort::close() {
    Impl& port = *impl_;
    cancelRead();
    if (port.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(port.handle);
        port.handle = INVALID_HANDLE_VALUE;
    }
    if (port.readEvent != nullptr) {
        CloseHandle(port.readEvent);
        port.readEvent = nullptr;
    }
    if (port.writeEvent != nullptr) {
        CloseHandle(port.writeEvent);
        port.writeEvent = nullptr;
    }
}

void SerialPort::clearErrors() {
    if (impl_->handle != INVALID_HANDLE_VALUE) {
        ClearCommError(impl_->handle, nullptr, nullptr);
    }
}

void SerialPort::discardInput() {
    if (impl_->handle != INVALID_HANDLE_VALUE) {
        PurgeComm(impl_->handle, PURGE_RXCLEAR);
    }
}

size_t SerialPort::waitingInput() {
    DWORD errors = 0;
    COMSTAT status{};
    if (impl_->handle == INVALID_HANDLE_VALUE || !ClearCommError(impl_->handle, &errors, &status)) {
        return 0;
    }
    return status.cbInQue;
}

bool SerialPort::write(const uint8_t* bytes, size_t count) {
    Impl& port = *impl_;
    if (port.handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = port.writeEvent;
    DWORD written = 0;
    if (WriteFile(port.handle, bytes, static_cast<DWORD>(count), &written, &overlapped)) {
        return written == count;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    // A port held back by flow control must not hold the poll thread for ever.
    if (WaitForSingleObject(port.writeEvent, writeLimitMs(count)) != WAIT_OBJECT_0) {
        CancelIoEx(port.handle, &overlapped);
    }
    // Waiting here also covers the cancellation: `overlapped` lives on this stack frame.
    if (!GetOverlappedResult(port.handle, &overlapped, &written, TRUE)) {
        return false;
    }
    return written == count;
}

bool SerialPort::startRead(uint8_t* buffer, size_t count) {
    Impl& port = *impl_;
    cancelRead();
    if (port.handle == INVALID_HANDLE_VALUE || (buffer == nullptr && count != 0)) {
        return false;
    }
    port.buffer = buffer;
    port.count = count;
    port.transferred = 0;
    if (count != 0 && !port.failed) {
        port.post();
    }
    return true;
}

ReadProgress SerialPort::waitRead(uint32_t milliseconds) {
    Impl& port = *impl_;
    DWORD slice = std::min(milliseconds, kSerialWaitSliceMs);
    if (port.handle == INVALID_HANDLE_VALUE || port.transferred == port.count) {
        return {port.transferred, true};
    }
    DWORD start = GetTickCount();
    if (!port.pending && !port.failed) {
        // The previous read ended short (interval time-out or line error): read on.
        port.post();
    }
    if (port.pending) {
        WaitForSingleObject(port.readEvent, slice);
        // A read that ended short goes on at once; a refused one only in the next wait, so that a
        // line that keeps refusing costs one read a slice.
        if (port.collect() == Impl::Read::Ended && port.transferred < port.count) {
            port.post();
        }
    }
    const bool complete = port.transferred == port.count;
    if (!port.pending && !complete) {
        // A read that ends at once without the bytes must not turn the caller's wait into a spin.
        DWORD spent = GetTickCount() - start;
        if (spent < slice) {
            Sleep(slice - spent);
        }
    }
    return {port.transferred, complete, port.failed && !complete};
}

size_t SerialPort::cancelRead() {
    Impl& port = *impl_;
    if (port.pending) {
        // CancelIoEx, not CancelIo: the read goes even when another thread posted it.
        CancelIoEx(port.handle, &port.readOverlapped);
        // Wait for the cancellation itself: only then is the buffer ours again, and the count
        // tells what reached it before.
        DWORD got = 0;
        GetOverlappedResult(port.handle, &port.readOverlapped, &got, TRUE);
        port.transferred += got;
        port.pending = false;
    }
    size_t transferred = port.transferred;
    port.buffer = nullptr;
    port.count = 0;
    port.transferred = 0;
    return transferred;
}

}  // namespace platform
