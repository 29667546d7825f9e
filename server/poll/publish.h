// Publication of one reading into its catalogue slot: the one write path of the process values.
#pragma once

#include "server/device/readings.h"
#include "server/opc/catalogue.h"

#include <cstdint>

namespace movra {

// Writes the reading's value bits (property 2, which stays VT_R4), quality (property 3), and its
// timestamp as an OLE date (property 4) and as the slot's lastUpdate, under one hold of
// catalogueMutex. A timestamp that cannot be converted (the all-zero one of a reading the model
// did not supply) leaves property 4 and lastUpdate as they were; value and quality are written
// all the same. S_OK; E_INVALIDARG, with nothing written, when the slot is not in the catalogue.
HRESULT PublishReading(const Reading& reading, uint32_t slot, CMovraItem& catalogue);

}  // namespace movra
