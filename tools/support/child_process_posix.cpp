#include "tools/support/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <thread>
#include <utility>

extern char** environ;

namespace toolsupport {

struct ChildProcess::State {
    pid_t pid = -1;
    std::optional<int> exitCode;
    // A socket rather than pipes, so that writing to a child that has ended fails with EPIPE
    // instead of raising SIGPIPE in the test program.
    int streams = -1;
    std::string pending;

    ~State() {
        if (streams >= 0) {
            ::close(streams);
        }
    }
};

ChildProcess::~ChildProcess() {
    kill();
    delete state_;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory) {
    if (state_ != nullptr) {
        return false;
    }
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argvStrings) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    int sockets[2] = {-1, -1};
    if (connectStreams_ && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }
    if (connectStreams_) {
        posix_spawn_file_actions_adddup2(&actions, sockets[1], 0);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], 1);
    }
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (connectStreams_) {
        ::close(sockets[1]);
    }
    if (error != 0) {
        if (connectStreams_) {
            ::close(sockets[0]);
        }
        return false;
    }
    state_ = new State{pid, std::nullopt};
    state_->streams = sockets[0];
    return true;
}

std::optional<int> ChildProcess::wait(uint32_t milliseconds) {
    if (state_ == nullptr) {
        return std::nullopt;
    }
    if (state_->exitCode) {
        return state_->exitCode;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid) {
            state_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return state_->exitCode;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::kill() {
    if (state_ != nullptr && !state_->exitCode) {
        ::kill(state_->pid, SIGKILL);
        int status = 0;
        waitpid(state_->pid, &status, 0);
        state_->exitCode = 128 + SIGKILL;
    }
}

bool ChildProcess::running() const {
    return state_ != nullptr && !state_->exitCode;
}

bool ChildProcess::writeLine(const std::string& line) {
    if (state_ == nullptr || state_->streams < 0) {
        return false;
    }
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written =
            ::send(state_->streams, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine() {
    if (state_ == nullptr || state_->streams < 0) {
        return std::nullopt;
    }
    for (;;) {
        auto end = state_->pending.find('\n');
        if (end != std::string::npos) {
            std::string line = state_->pending.substr(0, end);
            state_->pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        char buffer[512];
        ssize_t got = ::read(state_->streams, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (state_->pending.empty()) {
                return std::nullopt;
            }
            return std::exchange(state_->pending, std::string());
        }
        state_->pending.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace toolsupport
