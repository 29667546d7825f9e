#include "tools/opc-client/com_activation.h"

#include "platform/wide.h"

namespace movra::client {

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
