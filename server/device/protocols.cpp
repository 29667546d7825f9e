// Beside each description, the identification its frames need: the KMT's own, or the newer
// family's scheme with the model's decoders. Everything else a protocol does follows the
// description.
#include "server/device/protocols.h"

#include "server/device/kmt.h"
#include "server/device/newer_family.h"

#include <new>

namespace movra {

std::unique_ptr<CMovraDataExchange> createDataExchange(uint8_t deviceType, platform::Clock& clock) {
    const ModelDescription& model = modelOf(deviceType);
    if (!model.hasProtocol()) {
        return nullptr;
    }
    if (deviceType == kTypeKmt) {
        return std::unique_ptr<CMovraDataExchange>(new (std::nothrow)
                                                       CKMT_DataExchange(model, clock));
    }
    const NewerFamilyDecoders* decoders = newerFamilyDecoders(deviceType);
    if (decoders == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<CMovraDataExchange>(
        new (std::nothrow) CNewerFamilyDataExchange(model, *decoders, clock));
}

}  // namespace movra
