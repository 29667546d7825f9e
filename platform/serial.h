// A COM port opened for overlapped use: one write at a time, one read of a fixed number of bytes
// at a time, awaited in short slices so that the caller can look at its stop flag between them.
// Windows: the COMn device. Elsewhere: the file `comn` in the folder named by MOVRA_PORTS (usually
// a symbolic link to a pseudo-terminal, as Wine's dosdevices), else /dev/ttyS<n-1>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The longest single wait of SerialPort::waitRead, in milliseconds.
inline constexpr uint32_t kSerialWaitSliceMs = 5;

// The name CreateFileA takes for COM port `number`: "COM9", but "\\.\COM10" from 10 upward.
std::string serialPortName(unsigned number);

struct ReadProgress {
    size_t transferred = 0;  // bytes of the current read that have arrived in its buffer
    bool complete = false;   // all requested bytes have arrived (also true when no read runs)
    bool failed = false;     // the port itself has failed: no more bytes will come through it
};

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens COM port `number` for reading and writing, not shared with any other opener. False
    // when the port is missing, busy or already open here.
    bool open(unsigned number);
    bool isOpen() const;
    // Raw 8N1 at `baud`, DTR and RTS on, DSR ignored, other line settings as they were; reads
    // wait for their first byte without a limit and allow 10 s between bytes. False on any
    // refused setting.
    bool configure(uint32_t baud);
    // Cancels a read in progress (its buffer is no longer written after this), then closes.
    void close();

    // Clears a line error (break, framing, overrun) so that reading and writing go on.
    void clearErrors();
    // Drops every byte that has arrived and not been read. Not for use while a read runs.
    void discardInput();
    // How many bytes have arrived and wait to be read (0 when the port cannot say). Not for use
    // while a read runs.
    size_t waitingInput();
    // Writes all bytes and waits until they have gone to the driver, at most about a second plus
    // the time of the bytes themselves; false when the write failed or was cancelled.
    bool write(const uint8_t* bytes, size_t count);

    // Starts reading exactly `count` bytes into `buffer`, which must stay valid until the read
    // completes, is cancelled or the port is closed. A read still running is cancelled first.
    bool startRead(uint8_t* buffer, size_t count);
    // Waits at most `milliseconds` (capped at kSerialWaitSliceMs) for the read to complete and
    // returns its progress. Returns early as soon as the last byte has arrived. Line errors look
    // like silence: the wait takes its time and the read goes on. A port whose far side has hung
    // up or whose adapter is gone says `failed` (after its slice, so that no caller spins): the
    // handle will carry nothing more.
    ReadProgress waitRead(uint32_t milliseconds);
    // Stops the read in progress; nothing writes into its buffer afterwards. Returns how many
    // bytes at its start had arrived.
    size_t cancelRead();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
