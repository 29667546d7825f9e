#include "tools/support/pty.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace toolsupport {

namespace {

speed_t speedOf(unsigned baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

}  // namespace

bool makeRaw(int fd, unsigned baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speedOf(baud));
    cfsetospeed(&tio, speedOf(baud));
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

PtyPair::PtyPair() {
    char name[256] = {};
    if (openpty(&controller_, &terminal_, name, nullptr, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "openpty");
    }
    terminalPath_ = name;
    if (!makeRaw(terminal_, 9600) || !makeRaw(controller_, 9600)) {
        int error = errno;
        close(controller_);
        close(terminal_);
        throw std::system_error(error, std::generic_category(), "raw pseudo-terminal");
    }
    fcntl(controller_, F_SETFD, FD_CLOEXEC);
    fcntl(terminal_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    if (controller_ >= 0) {
        close(controller_);
    }
    if (terminal_ >= 0) {
        close(terminal_);
    }
}

void PtyPair::hangUp() {
    if (controller_ >= 0) {
        close(controller_);
        controller_ = -1;
    }
}

void PtyPair::publish(const std::string& link) const {
    std::string temporary = link + ".new";
    unlink(temporary.c_str());
    if (symlink(terminalPath_.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), link.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "publish " + link);
    }
}

size_t PtyPair::terminalUnread() const {
    int unread = 0;
    return ::ioctl(terminal_, FIONREAD, &unread) == 0 && unread > 0 ? static_cast<size_t>(unread)
                                                                    : 0;
}

}  // namespace toolsupport
