// A child program whose standard output the parent reads line by line (native build only): the
// simulator's tests start it this way and await its readiness line instead of sleeping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace toolsupport {

class PipedChild {
public:
    // Starts `program` with `arguments`; standard error goes to `stderrPath` when it is not empty
    // (created or truncated), else to the parent's. Throws std::system_error when it cannot start.
    PipedChild(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& stderrPath = {});
    ~PipedChild();  // kills and reaps a child that is still running
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;

    // The next line of standard output without its line end, waiting at most `milliseconds`;
    // nothing on a time-out or when the output ended first.
    std::optional<std::string> readLine(uint32_t milliseconds);
    // Everything the child writes to standard output until it closes it, within `milliseconds`.
    std::string readRest(uint32_t milliseconds);

    // Sends a signal (e.g. SIGTERM) to a running child.
    void signal(int number);
    // Waits at most `milliseconds` for the end: the exit code, or 128 + the signal that ended it.
    std::optional<int> wait(uint32_t milliseconds);

private:
    int pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
    std::optional<int> exitCode_;
};

}  // namespace toolsupport
