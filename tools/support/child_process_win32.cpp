#include "tools/support/child_process.h"

#include "platform/win.h"

namespace toolsupport {

struct ChildProcess::State {
    PROCESS_INFORMATION info{};
    std::optional<int> exitCode;
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    std::string pending;

    ~State() {
        if (toChild != nullptr) {
            CloseHandle(toChild);
        }
        if (fromChild != nullptr) {
            CloseHandle(fromChild);
        }
    }
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
    // The child's ends are inheritable, ours are not.
    HANDLE childIn = nullptr, toChild = nullptr, fromChild = nullptr, childOut = nullptr;
    auto closeAll = [&] {
        for (HANDLE handle : {childIn, toChild, fromChild, childOut}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    };
    if (connectStreams_) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&childIn, &toChild, &inherit, 0) ||
            !CreatePipe(&fromChild, &childOut, &inherit, 0) ||
            !SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0) ||
            !SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0)) {
            closeAll();
            return false;
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr,
                        connectStreams_ ? TRUE : FALSE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &info)) {
        closeAll();
        return false;
    }
    if (connectStreams_) {
        CloseHandle(childIn);
        CloseHandle(childOut);
    }
    state_ = new State{info, std::nullopt};
    state_->toChild = toChild;
    state_->fromChild = fromChild;
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

bool ChildProcess::writeLine(const std::string& line) {
    if (state_ == nullptr || state_->toChild == nullptr) {
        return false;
    }
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(state_->toChild, text.data() + done, static_cast<DWORD>(text.size() - done),
                       &written, nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine() {
    if (state_ == nullptr || state_->fromChild == nullptr) {
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
        DWORD got = 0;
        if (!ReadFile(state_->fromChild, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            if (state_->pending.empty()) {
                return std::nullopt;
            }
            std::string rest;
            rest.swap(state_->pending);
            return rest;
        }
        state_->pending.append(buffer, got);
    }
}

}  // namespace toolsupport
