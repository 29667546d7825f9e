// The protocol object of a device type, made from the model's description.
#pragma once

#include "platform/clock.h"
#include "server/device/data_exchange.h"

#include <cstdint>
#include <memory>

namespace movra {

// The protocol object of a model (codes 1 to 5); null for a code without protocol and when out
// of memory. `clock` stamps the readings.
std::unique_ptr<CMovraDataExchange> createDataExchange(uint8_t deviceType, platform::Clock& clock);

}  // namespace movra
