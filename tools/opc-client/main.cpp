// opc-client.exe: checks an OPC server installation from the command line (see client.h).
#include "tools/opc-client/com_activation.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace movra::client;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ComApartment apartment;
    if (FAILED(apartment.result())) {
        std::cerr << "opc-client: COM cannot be used: " << resultText(apartment.result()) << "\n";
        return static_cast<int>(ExitCode::ActivationFailed);
    }
    // Without the handler Ctrl-C still ends watch, only without its clean-up.
    (void)catchConsoleInterrupts();
    Session session;
    session.stopRequested = consoleInterrupted;
    ComConnector connector;
    return runClient(arguments, connector, std::cout, std::cerr, session);
}
