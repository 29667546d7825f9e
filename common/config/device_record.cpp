#include "common/config/device_record.h"

namespace movra {

uint16_t channelCountOf(uint8_t deviceType) {
    switch (deviceType) {
        case kTypeKmt:
            return 10;
        case kTypeKmtV:
            return 5;
        case kTypeKmtG:
            return 3;
        case kTypeKmtU:
            return 20;
        case kTypeKmtUV:
            return 10;
        case kTypeCode6:
            return 4;
        default:
            return 0;
    }
}

uint16_t nodeCountOf(uint8_t deviceType) {
    switch (deviceType) {
        case kTypeKmt:
            return 10;
        case kTypeKmtV:
            return 2;
        case kTypeKmtG:
            return 3;
        case kTypeKmtU:
            return 16;
        case kTypeKmtUV:
            return 6;
        case kTypeCode6:
            return 2;
        default:
            return 0;
    }
}

}  // namespace movra
