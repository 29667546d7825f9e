// opc-client's commands: the command line is read, the server activated through a Connector and
// called through the OPC interfaces, and the answers printed. Only the Connector touches COM
// activation; on Windows it is com_activation_win32.cpp, in the tests a fake.
#pragma once

#include "common/opc/opc_ids.h"
#include "platform/clock.h"
#include "platform/com_ptr.h"
#include "tools/opc-client/report.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace movra::client {

struct Activation {
    ActivationStage stage = ActivationStage::Create;
    HRESULT result = E_FAIL;
};

class Connector {
public:
    virtual ~Connector() = default;
    // Resolves the ProgID and creates the server out of process, asked for IOPCServer. On
    // success `server` holds the new client's reference.
    virtual Activation connect(const std::string& progId, platform::ComPtr<IOPCServer>& server) = 0;
};

// What the waiting command (watch) takes from its caller: the clock for --seconds and the
// receive times, and the stop request (Ctrl-C in the program). `stopRequested` is asked between
// waits of at most `waitSliceMs` each, on the thread that runs the command.
struct Session {
    platform::Clock& clock = platform::realClock();
    std::function<bool()> stopRequested = [] { return false; };
    uint32_t waitSliceMs = 100;
};

// Runs one command line (without the program name); output goes to `out`, failures and usage
// after a mistake to `err`. Returns the process exit code.
int runClient(std::span<const std::string> arguments, Connector& connector, std::ostream& out,
              std::ostream& err, const Session& session = Session{});

// The locale the errors command asks for (LOCALE_SYSTEM_DEFAULT).
inline constexpr LCID kErrorTextLocale = 0x0800;

}  // namespace movra::client
