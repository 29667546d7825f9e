// Raw byte lines for the device simulator and its tests (native build only): a pseudo-terminal or
// a serial device as a file descriptor, waits that a termination signal interrupts, and sleeps to
// an exact point of the monotonic clock so a program can pace bytes at a line's baud rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace toolsupport {

// Microseconds of the monotonic clock.
int64_t monotonicUs();

// Opens a terminal device (e.g. /dev/ttyS0 or a pseudo-terminal link) for reading and writing in
// raw 8N1 at `baud`; throws std::system_error on failure. The caller closes it with closeLine.
int openLine(const std::string& path, unsigned baud);
void closeLine(int fd);

// From now on SIGTERM and SIGINT do not end the process: they set a flag that stopRequested()
// reports, and every wait below returns early once it is set.
void installStopSignals();
bool stopRequested();

enum class WaitResult { Data, Timeout, Stopped, Failed };

// Waits up to `timeoutUs` (negative: without a limit) for bytes on `fd` and appends all that are
// there to `out`.
WaitResult readAvailable(int fd, std::vector<uint8_t>& out, int64_t timeoutUs);

// Writes every byte; false on an error.
bool writeAll(int fd, const uint8_t* bytes, size_t count);

// Sleeps until monotonicUs() reaches `deadlineUs`; false when a stop came first.
bool sleepUntilUs(int64_t deadlineUs);

}  // namespace toolsupport
