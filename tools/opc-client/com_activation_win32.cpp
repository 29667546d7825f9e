#include "tools/opc-client/com_activation.h"

#include "platform/wide.h"

#include <atomic>

namespace movra::client {
namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread the console starts; the waiting loop polls the flag.
BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            interrupted = true;
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool catchConsoleInterrupts() {
    return SetConsoleCtrlHandler(onConsoleControl, TRUE) != FALSE;
}

bool consoleInterrupted() {
    return interrupted.load();
}

ComApartment::ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}

ComApartment::~ComApartment() {
    if (SUCCEEDED(result_)) {
        CoUninitialize();
    }
}

Activation ComConnector::connect(const std::string& progId, platform::ComPtr<IOPCServer>& server) {
    server.reset();
    CLSID clsid;
    HRESULT result = CLSIDFromProgID(platform::utf8ToWide(progId).c_str(), &clsid);
    if (FAILED(result)) {
        return {ActivationStage::ProgId, result};
    }
    result =
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
    return {ActivationStage::Create, result};
}

}  // namespace movra::client
