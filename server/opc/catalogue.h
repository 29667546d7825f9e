// The item catalogue: a fixed, flat list of item slots built once from the device table. It is at
// the same time the only store of the latest process values; the poll cycle publishes into the
// slots and every OPC read path reads them back.
//
// Lock order of the OPC side, written once here: serverMutex of a server object, then the group
// lock of a group, then catalogueMutex. The poll thread takes catalogueMutex alone.
#pragma once

#include "common/config/config_file.h"
#include "common/opc/opc_da.h"
#include "platform/clock.h"
#include "platform/wide.h"
#include "platform/win.h"
#include "server/models/quantities.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace movra {

// The slots of a section, their names and the slots a device occupies (kSysSlots, kChannelSlots,
// kNodeSlots, catalogueRunLength) are those of server/models/quantities.h.

// Item IDs have at most 14 characters ("PKE12AB.K01.Wc"); the buffer has room for 15 and a
// terminator, as the clients' browse buffers do.
inline constexpr size_t kItemIdCapacity = 16;
inline constexpr size_t kItemIdMaxLength = 14;

// The text a slot carries when the device's model has no such item. It is not an item ID: no
// lookup finds it.
inline constexpr WCHAR kNotId[] = U16("NOT_ID");

inline constexpr uint32_t kItemPropertyCount = 6;

// One OPC item property as handed to callers (CopyItemProperties).
struct ItemProperty {
    DWORD id;                  // 1..6
    const WCHAR* description;  // static text, lives as long as the process
    VARTYPE type;
    VARIANT value;  // scalar types only: nothing to free
};

// The fixed part of the six properties, in property-ID order.
struct ItemPropertyDefinition {
    DWORD id;
    const WCHAR* description;
    VARTYPE type;
};
extern const ItemPropertyDefinition kItemProperties[kItemPropertyCount];

// The changing part of a slot, guarded by catalogueMutex: property 2 (the 32 bits of a VT_R4),
// property 3, property 4 as an OLE date, and the FILETIME of the latest reading.
struct SlotValue {
    DWORD valueBits;
    WORD quality;
    DATE timestamp;
    FILETIME lastUpdate;

    float value() const;
};

// One slot. The properties that never change (1, 5, 6) and the property texts are the catalogue's,
// not the slot's, which keeps a 100-device catalogue at a few megabytes.
struct ItemRecord {
    WCHAR itemId[kItemIdCapacity];  // zero-terminated item ID, or kNotId
    SlotValue current;
};

// When publication takes a reading's timestamp: both forms, or none when it cannot be converted.
struct SlotTime {
    DATE date;
    FILETIME fileTime;
};

class CMovraItem {
public:
    static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;

    // The clock gives the build time and the time stamped on a failed ReadItemState.
    explicit CMovraItem(platform::Clock& clock);
    virtual ~CMovraItem();

    CMovraItem(const CMovraItem&) = delete;
    CMovraItem& operator=(const CMovraItem&) = delete;

    // Builds the slots of the configuration's devices (replacing any earlier build). No client
    // may use the catalogue meanwhile. S_OK; E_OUTOFMEMORY leaves an empty catalogue.
    virtual HRESULT BuildCatalogue(const ServerConfiguration& config);
    // *record := the first slot carrying the ID, or null with OPC_E_UNKNOWNITEMID. The record
    // lives as long as the build; read its value fields only under catalogueMutex.
    virtual HRESULT FindItem(LPCWSTR itemId, const ItemRecord** record);
    // Copies all six properties into properties[0..5] under catalogueMutex, so the value, quality
    // and timestamp belong together. On failure all six are cleared (id 0, VT_EMPTY).
    virtual HRESULT CopyItemProperties(LPCWSTR itemId, ItemProperty* properties);
    virtual HRESULT ValidateItemID(LPCWSTR itemId);
    // *type := VT_R4, or 0 with OPC_E_UNKNOWNITEMID.
    virtual HRESULT GetCanonicalType(LPCWSTR itemId, VARTYPE* type);
    // Fills ftTimeStamp, wQuality, wReserved and vDataValue; hClient is the caller's. The VARIANT
    // is overwritten without VariantClear (it holds no resource afterwards). An unknown ID gives
    // E_FAIL, VT_EMPTY, quality 0 and the current time.
    virtual HRESULT ReadItemState(LPCWSTR itemId, OPCITEMSTATE* state);

    uint32_t slotCount() const { return static_cast<uint32_t>(records_.size()); }
    uint32_t itemCount() const { return itemCount_; }

    // The slot's text (zero-terminated behind the view): an item ID or kNotId; empty beyond the
    // last slot. Never changes after the build, so no lock is needed.
    platform::WStringView itemIdAt(uint32_t slot) const;
    bool offersItem(uint32_t slot) const;
    // The first slot carrying exactly this ID, or kNoSlot. Constant time.
    uint32_t findSlot(platform::WStringView itemId) const;
    uint32_t findSlot(LPCWSTR itemId) const;
    uint32_t slotOf(const ItemRecord* record) const;

    // Property 6, the poll period in milliseconds at the build.
    float scanRate() const { return scanRate_; }

    // For callers that read several slots under one lock (group reads, the notification pass):
    //   std::lock_guard lock(catalogue.catalogueMutex());
    //   SlotValue v = catalogue.readSlotLocked(slot);
    // It is recursive, like the Windows mutex of the original design, so catalogue calls may be
    // made under it; it is a process-local lock, which keeps a publication at tens of nanoseconds
    // where a kernel mutex costs a round trip to the kernel (or to wineserver) per slot.
    std::recursive_mutex& catalogueMutex() const { return mutex_; }
    SlotValue readSlotLocked(uint32_t slot) const;
    // The same with the lock taken here; false when the slot does not exist.
    bool readSlot(uint32_t slot, SlotValue* value) const;

    // Publication: value and quality always, the timestamps only when time is given, all under one
    // hold of catalogueMutex. False, with nothing written, when the slot does not exist.
    bool writeSlot(uint32_t slot, DWORD valueBits, WORD quality, const SlotTime* time);

    // Heap bytes held by the slots and the lookup index.
    size_t memoryBytes() const;

private:
    void clear();
    void buildIndex();
    uint32_t lookupIndex(const WCHAR* itemId, size_t length) const;

    platform::Clock& clock_;
    mutable std::recursive_mutex mutex_;
    std::vector<ItemRecord> records_;
    // Open addressing with linear probing: slot numbers, kNoSlot for a free bucket.
    std::vector<uint32_t> index_;
    uint32_t itemCount_ = 0;
    float scanRate_ = 0.0f;
};

}  // namespace movra
