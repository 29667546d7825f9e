#include "server/poll/publish.h"

namespace movra {

namespace {

bool isZeroTime(const SYSTEMTIME& time) {
    return time.wYear == 0 && time.wMonth == 0 && time.wDayOfWeek == 0 && time.wDay == 0 &&
           time.wHour == 0 && time.wMinute == 0 && time.wSecond == 0 && time.wMilliseconds == 0;
}

}  // namespace

HRESULT PublishReading(const Reading& reading, uint32_t slot, CMovraItem& catalogue) {
    // Converted before the lock is taken, so readers wait only for the copy. Both forms or
    // neither: the date and lastUpdate of a slot always name the same moment. The all-zero time
    // is refused here rather than left to the conversions, which need not agree on it.
    SlotTime time{};
    SYSTEMTIME timestamp = reading.timestamp;
    const bool convertible = !isZeroTime(timestamp) &&
                             SystemTimeToVariantTime(&timestamp, &time.date) &&
                             SystemTimeToFileTime(&timestamp, &time.fileTime);
    if (!catalogue.writeSlot(slot, reading.value, reading.quality, convertible ? &time : nullptr)) {
        return E_INVALIDARG;
    }
    return S_OK;
}

}  // namespace movra
