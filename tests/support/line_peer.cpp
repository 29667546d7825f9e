#include "tests/support/line_peer.h"

#include <poll.h>
#include <unistd.h>

#include <cstdlib>

namespace movra::test {

LinePeer::LinePeer(unsigned comPort, size_t requestLength, Responder responder)
    : requestLength_(requestLength), responder_(std::move(responder)) {
    pty_.publish(folder_.file("com" + std::to_string(comPort)));
    ::setenv("MOVRA_PORTS", folder_.path().c_str(), 1);
    thread_ = std::thread([this] { run(); });
}

LinePeer::~LinePeer() {
    stop();
    ::unsetenv("MOVRA_PORTS");
}

void LinePeer::run() {
    uint8_t chunk[256];
    while (!stopping_.load()) {
        pollfd entry{pty_.controllerFd(), POLLIN, 0};
        // The timeout only bounds how late a stop is noticed.
        if (::poll(&entry, 1, 10) <= 0 || (entry.revents & POLLIN) == 0) {
            continue;
        }
        ssize_t got = ::read(pty_.controllerFd(), chunk, sizeof chunk);
        if (got <= 0) {
            continue;
        }
        std::unique_lock lock(mutex_);
        pending_.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
        while (pending_.size() >= requestLength_) {
            std::string request = pending_.substr(0, requestLength_);
            pending_.erase(0, requestLength_);
            size_t index = requests_.size();
            requests_.push_back(request);
            lock.unlock();
            std::string reply = responder_ ? responder_(request, index) : std::string();
            size_t written = 0;
            while (written < reply.size()) {
                ssize_t done =
                    ::write(pty_.controllerFd(), reply.data() + written, reply.size() - written);
                if (done <= 0) {
                    break;
                }
                written += static_cast<size_t>(done);
            }
            answered_.fetch_add(1);
            lock.lock();
            seen_.notify_all();
        }
    }
}

bool LinePeer::waitUntilUnread(size_t bytes, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (pty_.terminalUnread() < bytes) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::string> LinePeer::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool LinePeer::waitForRequests(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return seen_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

std::string LinePeer::stop() {
    stopping_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    uint8_t chunk[256];
    for (;;) {
        pollfd entry{pty_.controllerFd(), POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0 || (entry.revents & POLLIN) == 0) {
            break;
        }
        ssize_t got = ::read(pty_.controllerFd(), chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        pending_.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
    }
    std::string rest = pending_;
    pending_.clear();
    return rest;
}

void LinePeer::hangUp() {
    stop();
    pty_.hangUp();
}

}  // namespace movra::test
