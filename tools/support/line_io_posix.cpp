#include "tools/support/line_io.h"

#include "tools/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace toolsupport {

namespace {

std::atomic<bool> stopFlag{false};
// Written by the signal handler so that a poll() in progress wakes; never drained, so every later
// wait sees it at once.
int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
    stopFlag.store(true);
    if (stopPipe[1] >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(stopPipe[1], &byte, 1);
    }
}

timespec toTimespec(int64_t us) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1000000);
    ts.tv_nsec = static_cast<long>((us % 1000000) * 1000);
    return ts;
}

// poll() on `fd` (or only the stop pipe when fd < 0) for at most `timeoutUs`.
WaitResult waitOn(int fd, int64_t timeoutUs) {
    pollfd fds[2] = {};
    nfds_t count = 0;
    if (fd >= 0) {
        fds[count++] = pollfd{fd, POLLIN, 0};
    }
    if (stopPipe[0] >= 0) {
        fds[count++] = pollfd{stopPipe[0], POLLIN, 0};
    }
    for (;;) {
        if (stopFlag.load()) {
            return WaitResult::Stopped;
        }
        timespec ts = toTimespec(timeoutUs < 0 ? 0 : timeoutUs);
        int ready = ppoll(fds, count, timeoutUs < 0 ? nullptr : &ts, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Failed;
        }
        if (stopFlag.load()) {
            return WaitResult::Stopped;
        }
        if (ready == 0) {
            return WaitResult::Timeout;
        }
        if (fd >= 0 && fds[0].revents != 0) {
            return (fds[0].revents & POLLIN) != 0 ? WaitResult::Data : WaitResult::Failed;
        }
        return WaitResult::Stopped;
    }
}

}  // namespace

int64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int openLine(const std::string& path, unsigned baud) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    if (!makeRaw(fd, baud)) {
        int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "raw line " + path);
    }
    return fd;
}

void closeLine(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

void installStopSignals() {
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A reader that went away must not kill the process while it writes a reply.
    signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() {
    return stopFlag.load();
}

WaitResult readAvailable(int fd, std::vector<uint8_t>& out, int64_t timeoutUs) {
    WaitResult result = waitOn(fd, timeoutUs);
    if (result != WaitResult::Data) {
        return result;
    }
    uint8_t buffer[512];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return WaitResult::Timeout;
    }
    if (got <= 0) {
        return WaitResult::Failed;
    }
    out.insert(out.end(), buffer, buffer + got);
    return WaitResult::Data;
}

bool writeAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        ssize_t done = write(fd, bytes, count);
        if (done < 0) {
            if (errno == EINTR && !stopFlag.load()) {
                continue;
            }
            return false;
        }
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

bool sleepUntilUs(int64_t deadlineUs) {
    for (;;) {
        int64_t left = deadlineUs - monotonicUs();
        if (left <= 0) {
            return !stopFlag.load();
        }
        if (waitOn(-1, left) == WaitResult::Stopped) {
            return false;
        }
    }
}

}  // namespace toolsupport
