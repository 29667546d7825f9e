// COM activation for opc-client and the COM benchmark: the process's multithreaded apartment, and
// the Connector over CLSIDFromProgID and CoCreateInstance(CLSCTX_LOCAL_SERVER). Built only in the
// Windows build (com_activation_win32.cpp).
#pragma once

#include "tools/opc-client/client.h"

namespace movra::client {

// The calling thread in the multithreaded apartment until the object goes.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

// Ctrl-C, Ctrl-Break and closing the console set a flag instead of ending the process, so watch
// can still unadvise and remove its group. False when the handler cannot be installed.
bool catchConsoleInterrupts();
bool consoleInterrupted();

class ComConnector final : public Connector {
public:
    Activation connect(const std::string& progId, platform::ComPtr<IOPCServer>& server) override;
};

}  // namespace movra::client
