// The device simulator as a real program on a pseudo-terminal that the server's own code opens as
// COM<n>: kmt-sim makes the link <folder>/com<n>, and MOVRA_PORTS names the folder (native build
// only). Readiness is the simulator's READY line, never a pause. The benchmarks and the native
// integration tests share it.
#pragma once

#include "tools/support/piped_child.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace movra {

class KmtSimLine {
public:
    // Starts `program` --pty <folder>/com<comPort> with `arguments` (baud rate, devices) and waits
    // for its READY line; with `trace` its frame trace goes to a file that traceText() reads.
    KmtSimLine(const std::string& program, const std::string& folder, unsigned comPort,
               const std::vector<std::string>& arguments, bool trace = false);
    ~KmtSimLine();  // SIGTERM, and the end awaited
    KmtSimLine(const KmtSimLine&) = delete;
    KmtSimLine& operator=(const KmtSimLine&) = delete;

    bool ready() const { return ready_; }
    const std::string& link() const { return link_; }
    // The trace written so far, whole lines only (empty without `trace`).
    std::string traceText() const;
    // The trace once every request in it has its reply or silence line: the simulator writes a
    // reply's line only after the reply's last byte, which the reader may already hold. Looks
    // every millisecond, at most `limitMs`.
    std::string settledTraceText(uint32_t limitMs = 2000) const;

private:
    std::string link_;
    std::string tracePath_;
    std::unique_ptr<toolsupport::PipedChild> child_;
    bool ready_ = false;
};

// A folder of one run's own for its simulated ports and the port mutex: MOVRA_PORTS and
// MOVRA_MUTEX_DIR name it; removed with everything in it at the end.
class SimPortsFolder {
public:
    explicit SimPortsFolder(const std::string& prefix);  // e.g. "movra-cycle-"
    ~SimPortsFolder();
    SimPortsFolder(const SimPortsFolder&) = delete;
    SimPortsFolder& operator=(const SimPortsFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// kmt-sim's arguments for a line at `baud` with these devices (each the keys of one --device).
std::vector<std::string> simArguments(uint32_t baud, const std::vector<std::string>& devices);

// What a kmt-sim trace shows of the line: requests for its devices ("in"), other stations'
// frames ("other"), the zero bytes a KMT master sends first ("zeros"), the replies ("out", noise
// included) and the requests left unanswered ("silent").
struct TraceCount {
    size_t requests = 0;  // frames, zero-byte runs included
    size_t requestBytes = 0;
    size_t replies = 0;
    size_t replyBytes = 0;
    size_t silent = 0;
    std::vector<std::string> requestFrames;  // "FE B0 00 ..." of each "in" line, in order

    size_t bytes() const { return requestBytes + replyBytes; }
};
TraceCount countTrace(const std::string& trace);

}  // namespace movra
