#include "server/opc/catalogue.h"

#include "server/models/model.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace movra {

namespace {

// Far beyond any configuration (100 devices of the largest model make 44,300 slots); a table
// that would exceed it is refused before anything is allocated.
constexpr uint64_t kMaxSlots = uint64_t{1} << 24;

// Sections with a number beyond two digits have no item IDs: their slots keep their places as
// placeholders, so publication stays aligned and no ID outgrows its buffer.
constexpr uint32_t kMaxSectionNumber = 99;

// Builds "PKE%02X%02X." and the section into a prefix, then item IDs from it.
class IdWriter {
public:
    IdWriter(uint8_t serialHigh, uint8_t serialLow) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        const char device[] = {'P',
                               'K',
                               'E',
                               kHex[serialHigh >> 4],
                               kHex[serialHigh & 0xF],
                               kHex[serialLow >> 4],
                               kHex[serialLow & 0xF],
                               '.'};
        for (char c : device) {
            prefix_[deviceLength_++] = static_cast<WCHAR>(c);
        }
    }

    void setSystemSection() { setSection('S', "YS"); }

    // number is 1..kMaxSectionNumber.
    void setNumberedSection(char letter, uint32_t number) {
        const char digits[] = {static_cast<char>('0' + number / 10 % 10),
                               static_cast<char>('0' + number % 10), '\0'};
        setSection(letter, digits);
    }

    void write(WCHAR* id, const char* name) const {
        size_t length = std::min(prefixLength_, kItemIdMaxLength);
        std::copy(prefix_, prefix_ + length, id);
        for (; *name != '\0' && length < kItemIdMaxLength; ++name) {
            id[length++] = static_cast<WCHAR>(*name);
        }
        id[length] = 0;
    }

private:
    void setSection(char letter, const char* rest) {
        prefixLength_ = deviceLength_;
        prefix_[prefixLength_++] = static_cast<WCHAR>(letter);
        for (; *rest != '\0'; ++rest) {
            prefix_[prefixLength_++] = static_cast<WCHAR>(*rest);
        }
        prefix_[prefixLength_++] = U16('.');
    }

    WCHAR prefix_[12] = {};  // "PKE12AB.K01." at most
    size_t deviceLength_ = 0;
    size_t prefixLength_ = 0;
};

void setPlaceholder(WCHAR* id) {
    std::copy(std::begin(kNotId), std::end(kNotId), id);
}

// FNV-1a over the UTF-16 units.
uint32_t hashId(const WCHAR* text, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        auto unit = static_cast<uint16_t>(text[i]);
        hash = (hash ^ (unit & 0xFFu)) * 16777619u;
        hash = (hash ^ (unit >> 8)) * 16777619u;
    }
    return hash;
}

// Length of a caller's zero-terminated text, reading no more than the longest ID and one unit:
// longer texts are never item IDs, so nothing beyond is read even when the terminator is missing.
size_t boundedLength(const WCHAR* text) {
    size_t length = 0;
    while (length <= kItemIdMaxLength && text[length] != 0) {
        ++length;
    }
    return length;
}

size_t idLength(const WCHAR* id) {
    size_t length = 0;
    while (length < kItemIdCapacity && id[length] != 0) {
        ++length;
    }
    return length;
}

void clearProperties(ItemProperty* properties) {
    for (uint32_t i = 0; i < kItemPropertyCount; ++i) {
        properties[i].id = 0;
        properties[i].description = nullptr;
        properties[i].type = VT_EMPTY;
        std::memset(&properties[i].value, 0, sizeof(VARIANT));  // VT_EMPTY, no stale bytes
    }
}

float floatFromBits(DWORD bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

const ItemPropertyDefinition kItemProperties[kItemPropertyCount] = {
    {1, U16("Item Canonical DataType"), VT_I2},
    {2, U16("Item Value"), VT_R4},
    {3, U16("Item Quality"), VT_I2},
    {4, U16("Item Timestamp"), VT_DATE},
    {5, U16("Item Access Rights"), VT_I4},
    {6, U16("Server Scan Rate"), VT_R4},
};

float SlotValue::value() const {
    return floatFromBits(valueBits);
}

CMovraItem::CMovraItem(platform::Clock& clock) : clock_(clock) {}

CMovraItem::~CMovraItem() = default;

void CMovraItem::clear() {
    // Swapped out rather than emptied, so the memory is given back.
    std::vector<ItemRecord>().swap(records_);
    std::vector<uint32_t>().swap(index_);
    itemCount_ = 0;
    scanRate_ = 0.0f;
}

HRESULT CMovraItem::BuildCatalogue(const ServerConfiguration& config) {
    clear();
    const size_t deviceCount = config.devices.size();
    // The counts the poll cycle walks with; the model's when the table lacks them.
    const bool countsGiven =
        config.channelCounts.size() == deviceCount && config.nodeCounts.size() == deviceCount;
    auto channelsOf = [&](size_t i) -> uint32_t {
        return countsGiven ? config.channelCounts[i]
                           : modelOf(config.devices[i].deviceType).maxChannels;
    };
    auto nodesOf = [&](size_t i) -> uint32_t {
        return countsGiven ? config.nodeCounts[i] : modelOf(config.devices[i].deviceType).maxNodes;
    };

    uint64_t slots = 0;
    for (size_t i = 0; i < deviceCount && slots <= kMaxSlots; ++i) {
        slots += catalogueRunLength(channelsOf(i), nodesOf(i));
    }
    if (slots > kMaxSlots) {
        return E_OUTOFMEMORY;
    }

    try {
        records_.resize(static_cast<size_t>(slots));

        SYSTEMTIME now = clock_.systemTime();
        SlotValue initial{};
        if (!SystemTimeToVariantTime(&now, &initial.timestamp) ||
            !SystemTimeToFileTime(&now, &initial.lastUpdate)) {
            initial.timestamp = 0.0;
            initial.lastUpdate = FILETIME{};
        }
        scanRate_ = static_cast<float>(config.pollPeriodMs);

        size_t cursor = 0;
        // Null writer: the slots keep their places without item IDs.
        auto addSection = [&](const IdWriter* writer, const ModelDescription& model,
                              Section section, std::span<const Quantity> quantities) {
            for (const Quantity& quantity : quantities) {
                ItemRecord& record = records_[cursor++];
                record.current = initial;
                if (writer != nullptr && model.offers(section, quantity.reading)) {
                    writer->write(record.itemId, quantity.name);
                    ++itemCount_;
                } else {
                    setPlaceholder(record.itemId);
                }
            }
        };

        for (size_t i = 0; i < deviceCount; ++i) {
            const DeviceRecord& device = config.devices[i];
            const ModelDescription& model = modelOf(device.deviceType);
            IdWriter writer(device.serial[2], device.serial[3]);
            writer.setSystemSection();
            addSection(&writer, model, Section::System, kSystemQuantities);
            // A number beyond two digits gets no item IDs.
            auto addNumbered = [&](char letter, uint32_t number, Section section,
                                   std::span<const Quantity> quantities) {
                const bool named = number <= kMaxSectionNumber;
                if (named) {
                    writer.setNumberedSection(letter, number);
                }
                addSection(named ? &writer : nullptr, model, section, quantities);
            };
            for (uint32_t k = 1; k <= channelsOf(i); ++k) {
                addNumbered('K', k, Section::Channel, kChannelQuantities);
            }
            for (uint32_t u = 1; u <= nodesOf(i); ++u) {
                addNumbered('U', u, Section::Node, kNodeQuantities);
            }
        }

        buildIndex();
    } catch (const std::bad_alloc&) {
        clear();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CMovraItem::buildIndex() {
    size_t buckets = 16;
    while (buckets < size_t{itemCount_} * 2) {
        buckets *= 2;
    }
    index_.assign(buckets, kNoSlot);
    const size_t mask = buckets - 1;
    for (uint32_t slot = 0; slot < slotCount(); ++slot) {
        if (!offersItem(slot)) {
            continue;
        }
        const WCHAR* id = records_[slot].itemId;
        const size_t length = idLength(id);
        size_t bucket = hashId(id, length) & mask;
        // Slots are inserted in slot order, so for a duplicate ID the first slot stays.
        while (index_[bucket] != kNoSlot &&
               platform::WStringView(records_[index_[bucket]].itemId) !=
                   platform::WStringView(id, length)) {
            bucket = (bucket + 1) & mask;
        }
        if (index_[bucket] == kNoSlot) {
            index_[bucket] = slot;
        }
    }
}

uint32_t CMovraItem::lookupIndex(const WCHAR* itemId, size_t length) const {
    if (index_.empty() || length == 0 || length > kItemIdMaxLength) {
        return kNoSlot;
    }
    const platform::WStringView wanted(itemId, length);
    const size_t mask = index_.size() - 1;
    for (size_t bucket = hashId(itemId, length) & mask; index_[bucket] != kNoSlot;
         bucket = (bucket + 1) & mask) {
        const uint32_t slot = index_[bucket];
        if (platform::WStringView(records_[slot].itemId) == wanted) {
            return slot;
        }
    }
    return kNoSlot;
}

uint32_t CMovraItem::findSlot(platform::WStringView itemId) const {
    return lookupIndex(itemId.data(), itemId.size());
}

uint32_t CMovraItem::findSlot(LPCWSTR itemId) const {
    if (itemId == nullptr) {
        return kNoSlot;
    }
    return lookupIndex(itemId, boundedLength(itemId));
}

uint32_t CMovraItem::slotOf(const ItemRecord* record) const {
    if (records_.empty() || record < records_.data() ||
        record >= records_.data() + records_.size()) {
        return kNoSlot;
    }
    return static_cast<uint32_t>(record - records_.data());
}

platform::WStringView CMovraItem::itemIdAt(uint32_t slot) const {
    if (slot >= slotCount()) {
        return {};
    }
    return platform::WStringView(records_[slot].itemId);
}

bool CMovraItem::offersItem(uint32_t slot) const {
    return slot < slotCount() && itemIdAt(slot) != platform::WStringView(kNotId);
}

HRESULT CMovraItem::FindItem(LPCWSTR itemId, const ItemRecord** record) {
    if (record == nullptr) {
        return E_INVALIDARG;
    }
    *record = nullptr;
    const uint32_t slot = findSlot(itemId);
    if (slot == kNoSlot) {
        return OPC_E_UNKNOWNITEMID;
    }
    *record = &records_[slot];
    return S_OK;
}

HRESULT CMovraItem::CopyItemProperties(LPCWSTR itemId, ItemProperty* properties) {
    if (properties == nullptr) {
        return E_INVALIDARG;
    }
    clearProperties(properties);
    const uint32_t slot = findSlot(itemId);
    if (slot == kNoSlot) {
        return OPC_E_UNKNOWNITEMID;
    }
    SlotValue current;
    readSlot(slot, &current);
    for (uint32_t i = 0; i < kItemPropertyCount; ++i) {
        properties[i].id = kItemProperties[i].id;
        properties[i].description = kItemProperties[i].description;
        properties[i].type = kItemProperties[i].type;
        properties[i].value.vt = kItemProperties[i].type;
    }
    properties[0].value.iVal = VT_R4;
    properties[1].value.fltVal = current.value();
    properties[2].value.iVal = static_cast<SHORT>(current.quality);
    properties[3].value.date = current.timestamp;
    properties[4].value.lVal = OPC_READABLE;
    properties[5].value.fltVal = scanRate_;
    return S_OK;
}

HRESULT CMovraItem::ValidateItemID(LPCWSTR itemId) {
    return findSlot(itemId) == kNoSlot ? OPC_E_UNKNOWNITEMID : S_OK;
}

HRESULT CMovraItem::GetCanonicalType(LPCWSTR itemId, VARTYPE* type) {
    if (type == nullptr) {
        return E_INVALIDARG;
    }
    *type = 0;
    if (findSlot(itemId) == kNoSlot) {
        return OPC_E_UNKNOWNITEMID;
    }
    *type = VT_R4;
    return S_OK;
}

HRESULT CMovraItem::ReadItemState(LPCWSTR itemId, OPCITEMSTATE* state) {
    if (state == nullptr) {
        return E_INVALIDARG;
    }
    state->wReserved = 0;
    std::memset(&state->vDataValue, 0, sizeof(VARIANT));  // VT_EMPTY, no stale bytes
    SlotValue current;
    const uint32_t slot = findSlot(itemId);
    if (slot == kNoSlot || !readSlot(slot, &current)) {
        SYSTEMTIME now = clock_.systemTime();
        if (!SystemTimeToFileTime(&now, &state->ftTimeStamp)) {
            state->ftTimeStamp = FILETIME{};
        }
        state->wQuality = OPC_QUALITY_BAD;
        return E_FAIL;
    }
    state->ftTimeStamp = current.lastUpdate;
    state->wQuality = current.quality;
    state->vDataValue.vt = VT_R4;
    state->vDataValue.fltVal = current.value();
    return S_OK;
}

SlotValue CMovraItem::readSlotLocked(uint32_t slot) const {
    return records_[slot].current;
}

bool CMovraItem::readSlot(uint32_t slot, SlotValue* value) const {
    if (slot >= slotCount()) {
        return false;
    }
    std::lock_guard lock(mutex_);
    *value = readSlotLocked(slot);
    return true;
}

bool CMovraItem::writeSlot(uint32_t slot, DWORD valueBits, WORD quality, const SlotTime* time) {
    if (slot >= slotCount()) {
        return false;
    }
    std::lock_guard lock(mutex_);
    SlotValue& current = records_[slot].current;
    current.valueBits = valueBits;
    current.quality = quality;
    if (time != nullptr) {
        current.timestamp = time->date;
        current.lastUpdate = time->fileTime;
    }
    return true;
}

size_t CMovraItem::memoryBytes() const {
    return records_.capacity() * sizeof(ItemRecord) + index_.capacity() * sizeof(uint32_t);
}

}  // namespace movra
