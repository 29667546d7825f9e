// Starting another program and waiting for it: the tests run the real server and configurator
// programs this way on both builds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace toolsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // kills a child that is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with the arguments in the folder `workingDirectory` (empty: the current
    // one). Returns false when it cannot be started.
    bool start(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingDirectory = {});

    // Waits up to `milliseconds` for the child to end; its exit code, or nothing on a time-out.
    // The code is the low 8 bits on POSIX systems (so -1 reads as 255 there).
    std::optional<int> wait(uint32_t milliseconds);

    void kill();
    bool running() const;

    // Call before start: the child's standard input and output become pipes of this object, so a
    // test can talk to the child line by line and await its answers.
    void connectStandardStreams() { connectStreams_ = true; }
    // Writes the line and a line end to the child's standard input; false when that is closed.
    bool writeLine(const std::string& line);
    // The next line of the child's standard output without its line end (a carriage return
    // before it is dropped too); nothing once the child has closed it. Blocks until then.
    std::optional<std::string> readLine();

private:
    struct State;
    State* state_ = nullptr;
    bool connectStreams_ = false;
};

}  // namespace toolsupport
