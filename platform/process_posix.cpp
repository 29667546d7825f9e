#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace platform {

struct ChildProcess::State {
    pid_t pid = -1;
    std::optional<int> exitCode;
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

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return false;
    }
    state_ = new State{pid, std::nullopt};
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

}  // namespace platform
