// MovraOPCServer: the program. Wires the subsystems into the host's start-up and main loop.
#include "platform/clock.h"
#include "platform/entry.h"
#include "server/core/log.h"
#include "server/host/class_factory.h"
#include "server/host/registration.h"
#include "server/host/server_host.h"
#include "server/opc/catalogue.h"
#include "server/opc/notification_pass.h"
#include "server/poll/poll_cycle.h"

int movraMain(HINSTANCE instance, const char* commandLine) {
    char modulePath[MAX_PATH + 1] = {};
    GetModuleFileNameA(static_cast<HMODULE>(instance), modulePath, MAX_PATH);

    // The services every part is handed: the machine's clock, the log, the catalogue and the
    // server's state with its stop and client table. The log, the catalogue and the state exist
    // before the objects that use them, so they outlive them at exit.
    platform::Clock& clock = platform::realClock();
    movra::CMovraLog& log = movra::movraLog();
    static movra::CMovraItem catalogue(clock);
    static movra::ServerState state;
    static movra::PollContext poll(log, catalogue, clock, state.stopToken());
    static movra::OpcContext opc{state, clock, 1000, &catalogue};
    static movra::MovraOPCServerClassFactory factory(opc);
    static movra::NotificationPass notification(opc, log);

    movra::HostHooks hooks;
    hooks.configured = [](const movra::ServerConfiguration& configuration) {
        // A failed build leaves an empty catalogue, which the cycle then leaves alone.
        catalogue.BuildCatalogue(configuration);
        poll.configure(configuration);
        // The rate groups are told is what every item's scan-rate property says: the configured
        // period, also the 0 of an empty list (which is paced as 1 s but has no items).
        opc.pollPeriodMs = configuration.pollPeriodMs;
    };
    hooks.classObject = []() -> IUnknown* { return &factory; };
    hooks.runPollCycle = [](HANDLE portMutex) { poll.RunPollCycle(portMutex); };
    hooks.notifyClients = [](WPARAM periodic) { notification.NotifyClients(periodic != 0); };
    hooks.updateRegistration = [](const char* path, int doRegister) {
        return movra::UpdateRegistration(path, doRegister);
    };
    movra::ServerHost host(log, state, std::move(hooks), movra::HostTimes{}, clock);
    return host.runServer(commandLine, modulePath);
}
