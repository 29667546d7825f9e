#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace platform {

namespace {

bool speedOf(uint32_t baud, speed_t* speed) {
    switch (baud) {
        case 1200:
            *speed = B1200;
            return true;
        case 2400:
            *speed = B2400;
            return true;
        case 4800:
            *speed = B4800;
            return true;
        case 9600:
            *speed = B9600;
            return true;
        case 19200:
            *speed = B19200;
            return true;
        case 38400:
            *speed = B38400;
            return true;
        case 57600:
            *speed = B57600;
            return true;
        case 115200:
            *speed = B115200;
            return true;
        default:
            return false;
    }
}

std::string devicePath(unsigned number) {
    const char* folder = std::getenv("MOVRA_PORTS");
    if (folder != nullptr && *folder != '\0') {
        return std::string(folder) + "/com" + std::to_string(number);
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

// The caller's slice passes even when the line has failed, so a dead line is never a busy loop.
void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
}

}  // namespace

struct SerialPort::Impl {
    int fd = -1;
    uint8_t* buffer = nullptr;
    size_t count = 0;
    size_t transferred = 0;

    // Takes what has arrived without waiting; false when the line reports an error. With VMIN
    // and VTIME 0 a read of an empty line gives 0, not EAGAIN: that is no data yet.
    bool drain() {
        while (transferred < count) {
            ssize_t got = ::read(fd, buffer + transferred, count - transferred);
            if (got > 0) {
                transferred += static_cast<size_t>(got);
            } else if (got < 0 && errno == EINTR) {
                continue;
            } else {
                return got == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
            }
        }
        return true;
    }
};

SerialPort::SerialPort() : impl_(std::make_unique<Impl>()) {}

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::open(unsigned number) {
    if (impl_->fd >= 0 || number == 0) {
        return false;
    }
    int fd = ::open(devicePath(number).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // A COM port has one user at a time; the lock stands in for Windows' refusal to share.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !::isatty(fd)) {
        ::close(fd);
        return false;
    }
    // A freshly opened Windows port starts with empty buffers; a terminal keeps what arrived
    // while someone else held it open.
    ::tcflush(fd, TCIOFLUSH);
    impl_->fd = fd;
    return true;
}

bool SerialPort::isOpen() const {
    return impl_->fd >= 0;
}

bool SerialPort::configure(uint32_t baud) {
    speed_t speed;
    termios tio{};
    if (impl_->fd < 0 || !speedOf(baud, &speed) || ::tcgetattr(impl_->fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(impl_->fd, TCSANOW, &tio) != 0) {
        return false;
    }
    // DTR and RTS power some line adapters. A pseudo-terminal has no modem lines and refuses the
    // request, which is not an error of the port.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(impl_->fd, TIOCMBIS, &lines);
    return true;
}

void SerialPort::close() {
    cancelRead();
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
        impl_->fd = -1;
    }
}

void SerialPort::clearErrors() {
    // Line errors of a terminal do not block later I/O; nothing is latched to clear.
}

void SerialPort::discardInput() {
    if (impl_->fd >= 0) {
        ::tcflush(impl_->fd, TCIFLUSH);
    }
}

size_t SerialPort::waitingInput() {
    int waiting = 0;
    if (impl_->fd < 0 || ::ioctl(impl_->fd, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<size_t>(waiting);
}

bool SerialPort::write(const uint8_t* bytes, size_t count) {
    if (impl_->fd < 0) {
        return false;
    }
    // About a second, plus the time of the bytes at the slowest rate the meters use.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000 + 5 * count);
    size_t written = 0;
    while (written < count) {
        ssize_t done = ::write(impl_->fd, bytes + written, count - written);
        if (done > 0) {
            written += static_cast<size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{impl_->fd, POLLOUT, 0};
        ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 5)));
    }
    return true;
}

bool SerialPort::startRead(uint8_t* buffer, size_t count) {
    cancelRead();
    if (impl_->fd < 0 || (buffer == nullptr && count != 0)) {
        return false;
    }
    impl_->buffer = buffer;
    impl_->count = count;
    impl_->transferred = 0;
    return true;
}

ReadProgress SerialPort::waitRead(uint32_t milliseconds) {
    Impl& port = *impl_;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(std::min(milliseconds, kSerialWaitSliceMs));
    if (port.fd < 0 || port.transferred == port.count) {
        return {port.transferred, true};
    }
    bool failed = false;
    for (;;) {
        if (!port.drain()) {
            // EIO and the like: the far side of a pseudo-terminal closed, an adapter was pulled.
            failed = true;
            sleepUntil(deadline);
            break;
        }
        if (port.transferred == port.count) {
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{port.fd, POLLIN, 0};
        int timeoutMs = static_cast<int>((left.count() + 999) / 1000);
        int ready = ::poll(&entry, 1, timeoutMs);
        if (ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // Hang-up or error: what arrived is taken, then the line is dead (a read there may
            // give 0 at once, which would only turn this wait into a spin).
            port.drain();
            if (port.transferred != port.count) {
                failed = true;
                sleepUntil(deadline);
            }
            break;
        }
    }
    return {port.transferred, port.transferred == port.count, failed};
}

size_t SerialPort::cancelRead() {
    size_t transferred = impl_->transferred;
    impl_->buffer = nullptr;
    impl_->count = 0;
    impl_->transferred = 0;
    return transferred;
}

}  // namespace platform
