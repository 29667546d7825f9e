#include "server/host/server_host.h"

#include "common/opc/opc_ids.h"
#include "server/core/log.h"
#include "server/core/server_state.h"
#include "server/host/command_line.h"

namespace movra {

ServerHost::ServerHost(CMovraLog& log, ServerState& state, HostHooks hooks, HostTimes times,
                       platform::Clock& clock)
    : log_(log), state_(state), hooks_(std::move(hooks)), times_(times), clock_(clock) {}

int ServerHost::runServer(const char* commandLine, const std::string& modulePath) {
    ServerState& state = state_;
    state.mainThreadId = GetCurrentThreadId();
    // The queue must exist before the poll thread or a COM thread posts to it.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);

    log_.Open(modulePath.c_str());

    switch (parseServerSwitch(commandLine)) {
        case ServerSwitch::Register: {
            log_.Write(logtext::kRegistering, 0, true);
            hooks_.updateRegistration(modulePath.c_str(), FALSE);  // drops an older registration
            int ok = hooks_.updateRegistration(modulePath.c_str(), TRUE);
            log_.Write(ok ? logtext::kOk.c_str() : logtext::kFailed.c_str(), 2, false);
            return 0;
        }
        case ServerSwitch::UnRegister: {
            log_.Write(logtext::kUnregistering, 0, true);
            int ok = hooks_.updateRegistration(modulePath.c_str(), FALSE);
            log_.Write(ok ? logtext::kOk.c_str() : logtext::kFailed.c_str(), 2, false);
            return 0;
        }
        case ServerSwitch::None:
            break;
    }

    log_.Write(logtext::kReadingConfiguration, 0, true);
    if (!ReadConfiguration(configurationPathOf(modulePath), configuration_)) {
        log_.Write(logtext::kConfigurationError, 1, false);
        log_.Write(logtext::kServerEnds, 0, false);
        return -1;
    }
    log_.Write(logtext::kOk, 2, false);

    if (hooks_.configured) {
        hooks_.configured(configuration_);
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                         RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    if (IUnknown* classObject = hooks_.classObject ? hooks_.classObject() : nullptr) {
        classRegistered_ = SUCCEEDED(CoRegisterClassObject(
            kServerClsid, classObject, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
            REGCLS_MULTIPLEUSE, &classCookie_));
    }

    portMutex_.reset(CreateMutexA(nullptr, FALSE, kPortMutexName));

    timerId_ = SetTimer(nullptr, kPollTimerEventId, 0, nullptr);
    startPollThread();
    // COM started the program for a client. Should none have come within a grace (its
    // activation gave up, or two activations at once started a second copy), the program ends
    // as after a last client, instead of polling the lines for no one until ended from outside.
    if (startedByCom(commandLine)) {
        firstClientTimerId_ = SetTimer(nullptr, 0, times_.quitGraceMs, nullptr);
    }

    messageLoop();
    shutdown();
    return 0;
}

void ServerHost::PollThreadProc(void* self) {
    auto* host = static_cast<ServerHost*>(self);
    ServerState& state = host->state_;
    const uint64_t cycle = state.BeginPollCycle();
    // An exception leaving the thread would end the process: it ends only this cycle.
    try {
        if (host->hooks_.runPollCycle) {
            host->hooks_.runPollCycle(host->portMutex_.get());
        }
    } catch (...) {
        writeExceptionOutcome(host->log_, std::current_exception());
    }
    state.EndPollCycle(cycle);
    // pollRunning is cleared before the notification is posted, so the pass may start a new cycle.
    // It is the thread's last touch of the state: once it is clear, shutdown may end and the
    // state with it.
    const DWORD mainThread = state.mainThreadId.load();
    const bool stop = state.stopRequested.load() != 0;
    state.pollRunning = 0;
    if (!stop) {
        PostThreadMessageA(mainThread, WM_NOTIFY_CLIENTS, 1, 0);
    }
}

void ServerHost::startPollThread() {
    state_.pollRunning = 1;
    if (_beginthread(&ServerHost::PollThreadProc, 0, this) == static_cast<uintptr_t>(-1)) {
        state_.pollRunning = 0;  // the next tick tries again
    }
}

void ServerHost::messageLoop() {
    ServerState& state = state_;
    uint32_t period =
        times_.periodOverrideMs != 0 ? times_.periodOverrideMs : configuration_.pollPeriodMs;
    if (period < times_.minimumPeriodMs) {
        period = times_.minimumPeriodMs;
    }
    PollPacer pacer({period, times_.warmUpMs, times_.recheckMs});
    MSG msg;
    for (;;) {
        GetMessageA(&msg, nullptr, 0, 0);
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        if (msg.message == WM_TIMER && firstClientTimerId_ != 0 &&
            msg.wParam == firstClientTimerId_) {
            KillTimer(nullptr, firstClientTimerId_);
            firstClientTimerId_ = 0;
            if (state.arrivals.load() == 0 && !state.IsServerInUse()) {
                PostThreadMessageA(state.mainThreadId, WM_QUIT, 0, 0);
            }
            continue;
        }
        switch (msg.message) {
            case WM_TIMER:
            case WM_POLL_REQUEST: {
                if (timerId_ != 0) {
                    KillTimer(nullptr, timerId_);
                }
                PollPacer::Step step = pacer.onTick(state.pollRunning != 0);
                timerId_ = SetTimer(nullptr, kPollTimerEventId, step.timerMs, nullptr);
                if (step.startPoll) {
                    startPollThread();
                }
                break;
            }
            case WM_NOTIFY_CLIENTS:
                while (state.notifyRunning != 0) {
                    clock_.sleepMs(times_.flagPollMs);
                }
                if (hooks_.notifyClients) {
                    hooks_.notifyClients(msg.wParam);
                }
                break;
            case WM_QUIT:
                if (quitGraceExpired()) {
                    return;
                }
                break;
            default:
                break;
        }
    }
}

void ServerHost::registerClassObject() {
    if (IUnknown* classObject = hooks_.classObject ? hooks_.classObject() : nullptr) {
        classRegistered_ = SUCCEEDED(CoRegisterClassObject(
            kServerClsid, classObject, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
            REGCLS_MULTIPLEUSE, &classCookie_));
    }
}

void ServerHost::revokeClassObject() {
    if (classRegistered_) {
        CoRevokeClassObject(classCookie_);
        classRegistered_ = false;
    }
}

// The last client has gone: a new client or a server lock within the grace keeps the server. A
// client that came and went again cancels it too; its own departure starts a new grace.
bool ServerHost::quitGraceExpired() {
    ServerState& state = state_;
    const uint32_t arrivals = state.arrivals.load();
    auto keptAlive = [&] { return state.IsServerInUse() || state.arrivals.load() != arrivals; };
    uint64_t start = clock_.nowMs();
    for (;;) {
        if (keptAlive()) {
            return false;
        }
        if (clock_.nowMs() - start >= times_.quitGraceMs) {
            // From here on no activation reaches the factory; one that got in just before must
            // not have the process end under it.
            revokeClassObject();
            if (keptAlive()) {
                registerClassObject();
                return false;
            }
            return true;
        }
        clock_.sleepMs(times_.flagPollMs);
    }
}

void ServerHost::shutdown() {
    ServerState& state = state_;
    log_.Write(logtext::kShuttingDown, 0, true);
    state.stopRequested = 1;
    if (timerId_ != 0) {
        KillTimer(nullptr, timerId_);
        timerId_ = 0;
    }
    while (state.pollRunning != 0 || state.notifyRunning != 0) {
        clock_.sleepMs(times_.flagPollMs);
    }
    log_.Write(logtext::kOk, 2, false);
    revokeClassObject();
    CoUninitialize();
}

}  // namespace movra
