// A scripted station on the far side of a pseudo-terminal (native build only): the connection
// under test opens COM<n>, which MOVRA_PORTS points at the terminal side; a thread on the other
// side reads request frames of a fixed length, keeps them, and writes back what the test's
// responder returns for each (nothing: silence).
#pragma once

#include "tests/support/test_support.h"
#include "tools/support/pty.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace movra::test {

class LinePeer {
public:
    // index counts the requests from 0.
    using Responder = std::function<std::string(const std::string& request, size_t index)>;

    // Publishes COM<comPort> in a fresh folder and points MOVRA_PORTS at it for the test's life.
    LinePeer(unsigned comPort, size_t requestLength, Responder responder);
    ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    // Every request frame seen so far, in order.
    std::vector<std::string> requests();
    // How many replies have been written whole so far (silences count too).
    size_t answered() const { return answered_.load(); }
    // Waits until at least `bytes` of what the peer wrote have reached the port's side of the line
    // unread; false after `limit`.
    bool waitUntilUnread(size_t bytes, std::chrono::milliseconds limit) const;
    // Waits until `count` requests have been seen; false after `limit`.
    bool waitForRequests(size_t count, std::chrono::milliseconds limit);
    // Ends the thread and returns the bytes that arrived after the last whole frame, plus any
    // still unread: a resend the test did not expect shows up here or in requests().
    std::string stop();
    // Stops, then closes the line's far side: the port sees it hang up.
    void hangUp();

    const std::string& portsFolder() const { return folder_.path(); }

private:
    void run();

    TempDir folder_;
    toolsupport::PtyPair pty_;
    size_t requestLength_;
    Responder responder_;
    std::mutex mutex_;
    std::condition_variable seen_;
    std::vector<std::string> requests_;
    std::string pending_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> answered_{0};
    std::thread thread_;
};

}  // namespace movra::test
