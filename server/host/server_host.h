// The server program's main thread: start-up, the thread message loop that paces the poll
// cycles, the quit grace, and the ordered shutdown.
#pragma once

#include "common/config/config_file.h"
#include "platform/clock.h"
#include "platform/handle_ptr.h"
#include "platform/win.h"
#include "server/host/pacing.h"

#include <cstdint>
#include <functional>
#include <string>

namespace movra {

class CMovraLog;
struct ServerState;

// What the host calls into; the program wires the real subsystems, tests wire probes.
struct HostHooks {
    // After the configuration has been read: build the catalogue and the poll object from it.
    std::function<void(const ServerConfiguration&)> configured;
    // The body of each poll thread, handed the port mutex to take around each device (null when
    // it could not be created).
    std::function<void(HANDLE portMutex)> runPollCycle;
    // The notification pass after a poll cycle (periodic = 1) or an asynchronous refresh (0).
    std::function<void(WPARAM periodic)> notifyClients;
    // The class object to register with COM for the serving phase; may be null.
    std::function<IUnknown*()> classObject;
    // The registry registration; returns non-zero on success.
    std::function<int(const char* modulePath, int doRegister)> updateRegistration;
};

// Timing of the main loop; tests shorten it.
struct HostTimes {
    uint32_t warmUpMs = 100;
    uint32_t recheckMs = 500;
    uint32_t quitGraceMs = 5000;
    uint32_t flagPollMs = 10;
    // A period of 0 (the file of an empty list) would poll every 10 ms and flood the log.
    uint32_t minimumPeriodMs = 1000;
    // Replaces the configured period when non-zero (tests).
    uint32_t periodOverrideMs = 0;
};

inline constexpr UINT_PTR kPollTimerEventId = 1000;
inline constexpr char kPortMutexName[] = "MovraOPCServer_1_06_Mutex";

class ServerHost {
public:
    // `state` is the server's: its flags, its client table and its messages to the main thread.
    ServerHost(CMovraLog& log, ServerState& state, HostHooks hooks, HostTimes times,
               platform::Clock& clock);

    // The whole run of the program: returns the exit code (0, or -1 when the configuration
    // cannot be read).
    int runServer(const char* commandLine, const std::string& modulePath);

    const ServerConfiguration& configuration() const { return configuration_; }

private:
    static void PollThreadProc(void* self);
    void startPollThread();
    void messageLoop();
    bool quitGraceExpired();
    void registerClassObject();
    void revokeClassObject();
    void shutdown();

    CMovraLog& log_;
    ServerState& state_;
    HostHooks hooks_;
    HostTimes times_;
    platform::Clock& clock_;
    ServerConfiguration configuration_;
    UINT_PTR timerId_ = 0;
    // Set when COM started the program: fires once, to end it if no client has come.
    UINT_PTR firstClientTimerId_ = 0;
    DWORD classCookie_ = 0;
    bool classRegistered_ = false;
    // Shared by name with the other programs that use the ports.
    platform::UniqueHandle portMutex_;
};

}  // namespace movra
