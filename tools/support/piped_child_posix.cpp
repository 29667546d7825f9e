#include "tools/support/piped_child.h"

#include "tools/support/line_io.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace toolsupport {

PipedChild::PipedChild(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& stderrPath) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argvStrings) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (!stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        pid_ = -1;
        throw std::system_error(error, std::generic_category(), "start " + program);
    }
    stdoutFd_ = fds[0];
}

PipedChild::~PipedChild() {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
    }
}

std::optional<std::string> PipedChild::readLine(uint32_t milliseconds) {
    int64_t deadline = monotonicUs() + int64_t{milliseconds} * 1000;
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        int64_t left = deadline - monotonicUs();
        if (left <= 0 || stdoutFd_ < 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> bytes;
        WaitResult result = readAvailable(stdoutFd_, bytes, left);
        if (result == WaitResult::Failed) {
            close(stdoutFd_);  // end of output
            stdoutFd_ = -1;
            return std::nullopt;
        }
        pending_.append(bytes.begin(), bytes.end());
    }
}

std::string PipedChild::readRest(uint32_t milliseconds) {
    int64_t deadline = monotonicUs() + int64_t{milliseconds} * 1000;
    while (stdoutFd_ >= 0) {
        int64_t left = deadline - monotonicUs();
        if (left <= 0) {
            break;
        }
        std::vector<uint8_t> bytes;
        if (readAvailable(stdoutFd_, bytes, left) == WaitResult::Failed) {
            close(stdoutFd_);
            stdoutFd_ = -1;
        }
        pending_.append(bytes.begin(), bytes.end());
    }
    std::string rest;
    rest.swap(pending_);
    return rest;
}

void PipedChild::signal(int number) {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, number);
    }
}

std::optional<int> PipedChild::wait(uint32_t milliseconds) {
    if (exitCode_ || pid_ <= 0) {
        return exitCode_;
    }
    int64_t deadline = monotonicUs() + int64_t{milliseconds} * 1000;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (done < 0 || monotonicUs() >= deadline) {
            return std::nullopt;
        }
        // There is no descriptor to wait on for a child's end here; a short poll keeps it simple.
        sleepUntilUs(monotonicUs() + 2000);
    }
}

}  // namespace toolsupport
