#include "platform/process.h"

#include "platform/win.h"

namespace platform {

struct ChildProcess::State {
    PROCESS_INFORMATION info{};
    std::optional<int> exitCode;
};

namespace {

// The Windows command line rules for one argument: quotes around blanks, backslashes doubled
// before a quote.
std::string quoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
            backslashes = 0;
        } else {
            backslashes = 0;
        }
        quoted.push_back(c);
    }
    quoted.append(backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

}  // namespace

ChildProcess::~ChildProcess() {
    kill();
    if (state_ != nullptr) {
        CloseHandle(state_->info.hProcess);
        CloseHandle(state_->info.hThread);
        delete state_;
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory) {
    if (state_ != nullptr) {
        return false;
    }
    std::string commandLine = quoteArgument(program);
    for (const auto& argument : arguments) {
        commandLine += ' ';
        commandLine += quoteArgument(argument);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &info)) {
        return false;
    }
    state_ = new State{info, std::nullopt};
    return true;
}

std::optional<int> ChildProcess::wait(uint32_t milliseconds) {
    if (state_ == nullptr) {
        return std::nullopt;
    }
    if (state_->exitCode) {
        return state_->exitCode;
    }
    if (WaitForSingleObject(state_->info.hProcess, milliseconds) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(state_->info.hProcess, &code);
    state_->exitCode = static_cast<int>(code);
    return state_->exitCode;
}

void ChildProcess::kill() {
    if (state_ != nullptr && !state_->exitCode) {
        TerminateProcess(state_->info.hProcess, 1);
        WaitForSingleObject(state_->info.hProcess, INFINITE);
        state_->exitCode = 1;
    }
}

bool ChildProcess::running() const {
    return state_ != nullptr && !state_->exitCode;
}

}  // namespace platform
