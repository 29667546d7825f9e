// kmt-sim: metering computers of the KMT family on a serial line or a pseudo-terminal.
#include "tools/kmt-sim/device.h"
#include "tools/kmt-sim/framer.h"
#include "tools/support/line_io.h"
#include "tools/support/pty.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace movra::sim;

constexpr const char* kUsage = R"(usage: kmt-sim (--port PATH | --pty LINK) [--baud B] [--trace]
               --device KEYS [--device KEYS ...]

Simulates metering computers of the KMT family on one line. Each device answers only the request
frames with its own address; frames for other addresses, zero bytes and noise are passed over.
When the line is open it prints "READY <path>" on standard output. SIGTERM or SIGINT end it (a
link made by --pty is removed).

  --port PATH   use an existing serial device or terminal
  --pty LINK    create a pseudo-terminal pair and make LINK a symbolic link to its terminal end
  --baud B      line speed for the simulated timing (default 9600): a reply starts no sooner than
                the request's last byte would have arrived and is sent at B / 10 bytes a second
  --trace       print every frame in and out, in hexadecimal with a time stamp, on standard error
  --device KEYS one device: comma-separated key=value pairs, model= required

Device keys:
  model=M        KMT, KMT-V, KMT-G, KMT-U or KMT-UV
  address=N      bus address 1..255 (default 254, the address an RS-232 device answers)
  serial=HHHH    serial number; identity bytes 0..3 become 00 00 HH HH (default 0000)
  ident=HHHHHHHH identity bytes 0..3 as a reader decodes them (overrides serial)
  variant=C      KMT-V only: identity byte 0, a character or a number; "F" adds the 0x58 values
  version=HHHH   the four version half-bytes of the identity (default 0100)
  seed=N         seed of the values (default: the address); see values.h
  channels=N     channels reported, 0..model maximum (default: the maximum; a KMT always 10)
  nodes=N        nodes reported, 0..model maximum (default: the maximum; a KMT always 10)
                 (newer models answer a channel or node index beyond these with an error reply)
  nodeN=T[:MEMBERS[:SCALE]]
                 node N: type T (7 gas, 9 type 9, 1 heat ...), member channels as 1-3+5, and
                 volume scale 1, 1000 or 999.99 (KMT, KMT-G, KMT-U). Default: type 1, member
                 channel N, scale 1
  chanN=HHHHHHHH the four channel-code bytes of channel N as sent (default NN 12 34 56, NN the
                 channel number in BCD)
  clock=C        the device clock: +3h, -90s, +2d (offset from the PC's local time; units s, m,
                 h, d), YYYY-MM-DDTHH:MM:SS or start:YYYY-MM-DDTHH:MM:SS (runs from there),
                 fixed:YYYY-MM-DDTHH:MM:SS (stands still). Default +0
  latency=MS     time the device takes before it answers (default 0)
  fault=F        a misbehaviour, repeatable: KIND[:ARG][@FUNC[/INDEX]][+SKIP][#COUNT]
                 KIND: silent       no reply
                       noise[:N]    N noise bytes (default 3, never the address) before the reply
                       crc          a wrong CRC
                       func         a wrong function code (bit 0 flipped)
                       error[:CODE] an error reply (function | 0x80, one data byte CODE, default
                                    2); not for a KMT, which has none
                       slow:MS      a gap of MS milliseconds after each reply byte
                       delay:MS     the reply MS milliseconds late
                       first:N      answer the first N requests in scope, then stay silent
                                    (+SKIP and #COUNT do not apply to it)
                 @FUNC[/INDEX]  only requests with this function code (and byte 2), e.g. @0x51/2;
                                without it, every request
                 +SKIP          leave the first SKIP requests in scope alone
                 #COUNT         act on COUNT requests in scope, then no more
                 e.g. fault=crc@0x51#1 spoils the first 0x51 reply only

Example:
  kmt-sim --pty /tmp/ports/com5 --baud 9600 \
          --device model=KMT-U,serial=12AB,address=1,channels=4,node1=7:1-2:1000 \
          --device model=KMT,serial=0A1B,address=2,fault=silent@0xA0
)";

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char cell[4];
    for (uint8_t byte : bytes) {
        std::snprintf(cell, sizeof cell, " %02X", byte);
        text += cell;
    }
    return text;
}

class Trace {
public:
    Trace(bool on, int64_t startUs) : on_(on), startUs_(startUs) {}
    void line(int64_t atUs, const char* what, const std::vector<uint8_t>& bytes,
              const std::string& note) const {
        if (!on_) {
            return;
        }
        std::fprintf(stderr, "[%10.6f] %-7s%s%s\n", static_cast<double>(atUs - startUs_) / 1e6,
                     what, hex(bytes).c_str(), note.c_str());
        std::fflush(stderr);
    }

private:
    bool on_;
    int64_t startUs_;
};

struct Options {
    std::string port;
    std::string ptyLink;
    unsigned baud = 9600;
    bool trace = false;
    std::vector<DeviceConfig> devices;
};

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "kmt-sim: %s\n(kmt-sim --help describes every option)\n", message.c_str());
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        auto argument = [&]() -> std::string {
            if (i + 1 >= argc) {
                usageError(std::string(option) + " needs a value");
            }
            return argv[++i];
        };
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (option == "--port") {
            options.port = argument();
        } else if (option == "--pty") {
            options.ptyLink = argument();
        } else if (option == "--baud") {
            std::string text = argument();
            static constexpr unsigned kRates[] = {1200,  2400,  4800,  9600,
                                                  19200, 38400, 57600, 115200};
            options.baud = 0;
            for (unsigned rate : kRates) {
                if (text == std::to_string(rate)) {
                    options.baud = rate;
                }
            }
            if (options.baud == 0) {
                usageError("--baud " + text + ": not one of 1200 to 115200");
            }
        } else if (option == "--trace") {
            options.trace = true;
        } else if (option == "--device") {
            std::string keys = argument();
            try {
                options.devices.push_back(parseDevice(keys));
            } catch (const std::invalid_argument& error) {
                usageError(std::string("--device ") + keys + ": " + error.what());
            }
        } else {
            usageError("unknown option " + std::string(option));
        }
    }
    if (options.port.empty() == options.ptyLink.empty()) {
        usageError("give exactly one of --port and --pty");
    }
    if (options.devices.empty()) {
        usageError("give at least one --device");
    }
    for (size_t i = 0; i < options.devices.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (options.devices[i].address == options.devices[j].address) {
                usageError("two devices with address " +
                           std::to_string(options.devices[i].address));
            }
        }
    }
    return options;
}

int64_t pcLocalSeconds() {
    std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);  // one thread only
    CivilTime time;
    time.year = local->tm_year + 1900;
    time.month = local->tm_mon + 1;
    time.day = local->tm_mday;
    time.hour = local->tm_hour;
    time.minute = local->tm_min;
    time.second = std::min(local->tm_sec, 59);
    return secondsOfCivil(time);
}

// Removes the link at exit, unless someone has pointed it elsewhere meanwhile.
void removeLink(const std::string& link, const std::string& target) {
    std::error_code error;
    if (std::filesystem::read_symlink(link, error) == target && !error) {
        std::filesystem::remove(link, error);
    }
}

int run(const Options& options) {
    std::unique_ptr<toolsupport::PtyPair> pty;
    int fd = -1;
    std::string readyPath;
    toolsupport::installStopSignals();
    try {
        if (!options.ptyLink.empty()) {
            pty = std::make_unique<toolsupport::PtyPair>();
            toolsupport::makeRaw(pty->controllerFd(), options.baud);
            pty->publish(options.ptyLink);
            fd = pty->controllerFd();
            readyPath = options.ptyLink;
        } else {
            fd = toolsupport::openLine(options.port, options.baud);
            readyPath = options.port;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kmt-sim: %s\n", error.what());
        return 1;
    }

    std::vector<SimDevice> devices;
    std::vector<Station> stations;
    for (const DeviceConfig& config : options.devices) {
        devices.emplace_back(config);
        stations.push_back(Station{config.address, devices.back().requestLength()});
    }
    // One character on the wire: start bit, 8 data bits, stop bit.
    auto lineTimeUs = [&options](size_t bytes) {
        return static_cast<int64_t>(bytes) * 10 * 1000000 / options.baud;
    };
    // The silence that ends an unfinished frame: generous, since a writer's single request may
    // still reach us in pieces on a loaded machine.
    Framer framer(stations, 100000 + lineTimeUs(4));
    const int64_t startUs = toolsupport::monotonicUs();
    Trace trace(options.trace, startUs);

    std::printf("READY %s\n", readyPath.c_str());
    std::fflush(stdout);

    int status = 0;
    bool running = true;
    while (running) {
        std::vector<uint8_t> chunk;
        std::optional<int64_t> deadline = framer.deadline();
        int64_t timeoutUs =
            deadline ? std::max<int64_t>(0, *deadline - toolsupport::monotonicUs()) : -1;
        toolsupport::WaitResult result = toolsupport::readAvailable(fd, chunk, timeoutUs);
        if (result == toolsupport::WaitResult::Stopped) {
            break;
        }
        if (result == toolsupport::WaitResult::Failed) {
            std::fprintf(stderr, "kmt-sim: the line %s failed\n", readyPath.c_str());
            status = 1;
            break;
        }
        if (result == toolsupport::WaitResult::Data) {
            framer.push(chunk.data(), chunk.size(), toolsupport::monotonicUs());
        }
        while (running) {
            std::optional<LineEvent> event = framer.next(toolsupport::monotonicUs());
            if (!event) {
                break;
            }
            if (event->kind != LineEvent::Kind::Request) {
                static constexpr const char* kNames[] = {"in", "other", "zeros", "garbage"};
                trace.line(event->firstByteUs, kNames[static_cast<int>(event->kind)], event->bytes,
                           "");
                continue;
            }
            SimDevice& device = devices[event->station];
            std::string label = "  (" + device.config().label() + ")";
            trace.line(event->firstByteUs, "in", event->bytes, label);
            int64_t nowUs = toolsupport::monotonicUs();
            Moment moment{pcLocalSeconds(), (nowUs - startUs) / 1000000};
            Reply reply = device.handle(event->bytes, moment);
            if (reply.silent) {
                trace.line(nowUs, "silent", {}, label);
                continue;
            }
            int64_t firstUs =
                std::max(event->firstByteUs + lineTimeUs(event->bytes.size()), nowUs) +
                reply.delayUs;
            for (size_t i = 0; i < reply.bytes.size() && running; ++i) {
                int64_t dueUs =
                    firstUs + lineTimeUs(i + 1) + static_cast<int64_t>(i) * reply.byteGapUs;
                if (!toolsupport::sleepUntilUs(dueUs)) {
                    running = false;
                } else if (!toolsupport::writeAll(fd, &reply.bytes[i], 1)) {
                    if (!toolsupport::stopRequested()) {
                        std::fprintf(stderr, "kmt-sim: cannot write to %s\n", readyPath.c_str());
                        status = 1;
                    }
                    running = false;
                }
            }
            trace.line(toolsupport::monotonicUs(), "out", reply.bytes, label);
        }
    }
    if (pty) {
        removeLink(options.ptyLink, pty->terminalPath());
    } else {
        toolsupport::closeLine(fd);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parseOptions(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kmt-sim: %s\n", error.what());
        return 1;
    }
}
