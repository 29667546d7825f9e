// Pseudo-terminal pairs for the device simulator and the tests (native build only): the server
// end behaves as a serial port, the other end is the simulated line.
#pragma once

#include <cstddef>
#include <string>

namespace toolsupport {

class PtyPair {
public:
    // Opens a pair with both ends in raw mode; throws std::system_error on failure.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The file descriptor of the controlling side (the simulated line).
    int controllerFd() const { return controller_; }
    // The path of the terminal side, opened by whoever plays the serial port (e.g. /dev/pts/7).
    const std::string& terminalPath() const { return terminalPath_; }

    // Makes `link` a symbolic link to the terminal side (replacing an existing link).
    void publish(const std::string& link) const;
    // Closes the controlling side, as when the program playing the line ends: whoever has the
    // terminal side open sees the line hang up.
    void hangUp();

    // The bytes that have reached the terminal side and wait there to be read, by any opener.
    size_t terminalUnread() const;

private:
    int controller_ = -1;
    int terminal_ = -1;  // kept open so the line stays up while nobody else has it open
    std::string terminalPath_;
};

// Sets a terminal file descriptor to raw 8N1 at the given baud rate; false on failure.
bool makeRaw(int fd, unsigned baud);

}  // namespace toolsupport
