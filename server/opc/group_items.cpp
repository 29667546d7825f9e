#include "server/opc/group_items.h"

#include "platform/co_task_mem.h"
#include "platform/unique_variant.h"
#include "server/opc/catalogue.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

namespace movra {

namespace {

// Every item's access path is empty; one shared text spares an allocation per item.
WCHAR kEmptyPath[1] = {0};

void clearItem(GroupItem& item) noexcept {
    std::memset(&item.attributes, 0, sizeof item.attributes);
    std::memset(&item.state, 0, sizeof item.state);
    item.attributes.szAccessPath = kEmptyPath;
    VariantInit(&item.attributes.vEUInfo);
    VariantInit(&item.state.vDataValue);
    item.slot = CMovraItem::kNoSlot;
    item.reportInFull = false;
}

LPWSTR copyForCaller(const WCHAR* text) {
    size_t length = std::char_traits<WCHAR>::length(text);
    auto copy = platform::CoTaskMemPtr<WCHAR>::allocate(length + 1);
    if (!copy) {
        throw std::bad_alloc();
    }
    std::copy(text, text + length, copy.get());
    return copy.release();
}

}  // namespace

static_assert(offsetof(GroupItem, state) == sizeof(OPCITEMATTRIBUTES),
              "the state image follows the attributes image");

GroupItem::GroupItem() noexcept {
    clearItem(*this);
}

GroupItem::GroupItem(GroupItem&& other) noexcept
    : attributes(other.attributes),
      state(other.state),
      slot(other.slot),
      reportInFull(other.reportInFull) {
    clearItem(other);
}

GroupItem& GroupItem::operator=(GroupItem&& other) noexcept {
    if (this != &other) {
        this->~GroupItem();
        attributes = other.attributes;
        state = other.state;
        slot = other.slot;
        reportInFull = other.reportInFull;
        clearItem(other);
    }
    return *this;
}

GroupItem::~GroupItem() {
    delete[] attributes.szItemID;
    attributes.szItemID = nullptr;
    VariantClear(&attributes.vEUInfo);
    VariantClear(&state.vDataValue);
}

ItemList::ItemList() : positions_(1, kNone) {}

namespace {

// Grows geometrically, as push_back would: a client adding one item per call must not pay a
// copy of the whole list each time.
template <typename Vector>
void reserveMore(Vector& vector, size_t count) {
    size_t needed = vector.size() + count;
    if (needed > vector.capacity()) {
        vector.reserve(std::max(needed, 2 * vector.capacity()));
    }
}

}  // namespace

void ItemList::reserve(size_t count) {
    reserveMore(items_, count);
    // A new handle is a freed one or the next above all, so positions_ grows by at most count.
    reserveMore(positions_, count);
}

OPCHANDLE ItemList::append(GroupItem&& item) noexcept {
    OPCHANDLE handle;
    if (!freed_.empty()) {
        std::pop_heap(freed_.begin(), freed_.end(), std::greater<>());
        handle = freed_.back();
        freed_.pop_back();
    } else {
        handle = static_cast<OPCHANDLE>(positions_.size());
        positions_.push_back(kNone);  // within the reserved room
    }
    positions_[handle] = static_cast<uint32_t>(items_.size());
    item.attributes.hServer = handle;
    items_.push_back(std::move(item));  // within the reserved room
    return handle;
}

GroupItem* ItemList::find(OPCHANDLE handle) {
    if (handle >= positions_.size() || positions_[handle] == kNone) {
        return nullptr;
    }
    return &items_[positions_[handle]];
}

void ItemList::remove(const OPCHANDLE* handles, size_t count, HRESULT* errors) {
    reserveMore(freed_, count);  // the only step that may throw comes first
    size_t firstGap = items_.size();
    for (size_t i = 0; i < count; ++i) {
        OPCHANDLE handle = handles[i];
        if (handle >= positions_.size() || positions_[handle] == kNone) {
            errors[i] = OPC_E_INVALIDHANDLE;
            continue;
        }
        uint32_t position = positions_[handle];
        positions_[handle] = kNone;
        items_[position].attributes.hServer = 0;  // marks the place to close
        firstGap = std::min<size_t>(firstGap, position);
        freed_.push_back(handle);
        std::push_heap(freed_.begin(), freed_.end(), std::greater<>());
        errors[i] = S_OK;
    }
    if (firstGap == items_.size()) {
        return;
    }
    // Later items move up in one pass and keep their order.
    size_t kept = firstGap;
    for (size_t from = firstGap; from < items_.size(); ++from) {
        if (items_[from].attributes.hServer == 0) {
            continue;
        }
        if (kept != from) {
            items_[kept] = std::move(items_[from]);
        }
        positions_[items_[kept].attributes.hServer] = static_cast<uint32_t>(kept);
        ++kept;
    }
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(kept), items_.end());
}

size_t ItemList::memoryBytes() const {
    size_t bytes = items_.capacity() * sizeof(GroupItem) +
                   positions_.capacity() * sizeof(uint32_t) + freed_.capacity() * sizeof(OPCHANDLE);
    for (const GroupItem& item : items_) {
        bytes += (std::char_traits<WCHAR>::length(item.attributes.szItemID) + 1) * sizeof(WCHAR);
    }
    return bytes;
}

HRESULT CheckRequestedType(VARTYPE canonical, VARTYPE requested) {
    platform::UniqueVariant value;
    if (FAILED(VariantChangeType(value.get(), value.get(), 0, canonical)) ||
        FAILED(VariantChangeType(value.get(), value.get(), 0,
                                 requested == VT_EMPTY ? canonical : requested))) {
        return OPC_E_BADTYPE;
    }
    return S_OK;
}

HRESULT ValidateItem(CMovraItem* catalogue, const OPCITEMDEF& definition, OPCITEMRESULT& result,
                     uint32_t* slot) {
    result = OPCITEMRESULT{};
    *slot = CMovraItem::kNoSlot;
    if (catalogue == nullptr || definition.szItemID == nullptr) {
        return OPC_E_UNKNOWNITEMID;
    }
    RETURN_IF_FAILED(catalogue->ValidateItemID(definition.szItemID));
    RETURN_IF_FAILED(catalogue->GetCanonicalType(definition.szItemID, &result.vtCanonicalDataType));
    RETURN_IF_FAILED(
        CheckRequestedType(result.vtCanonicalDataType, definition.vtRequestedDataType));
    *slot = catalogue->findSlot(definition.szItemID);
    result.dwAccessRights = OPC_READABLE;
    return S_OK;
}

GroupItem MakeGroupItem(CMovraItem& catalogue, const OPCITEMDEF& definition,
                        const OPCITEMRESULT& validated, uint32_t slot, FILETIME now) {
    GroupItem item;
    // The catalogue's copy of the ID is the client's text, bounded by the catalogue.
    platform::WStringView id = catalogue.itemIdAt(slot);
    item.attributes.szItemID = new WCHAR[id.size() + 1];
    std::copy(id.begin(), id.end(), item.attributes.szItemID);
    item.attributes.szItemID[id.size()] = 0;
    item.attributes.bActive = definition.bActive;
    item.attributes.hClient = definition.hClient;
    item.attributes.dwAccessRights = validated.dwAccessRights;
    item.attributes.vtCanonicalDataType = validated.vtCanonicalDataType;
    item.attributes.vtRequestedDataType = definition.vtRequestedDataType == VT_EMPTY
                                              ? validated.vtCanonicalDataType
                                              : definition.vtRequestedDataType;
    item.attributes.dwEUType = OPC_NOENUM;
    item.state.hClient = definition.hClient;
    item.state.ftTimeStamp = now;
    item.state.wQuality = OPC_QUALITY_BAD;
    // Checked by validation; an empty value is what is left should it fail after all.
    VariantChangeType(&item.state.vDataValue, &item.state.vDataValue, 0,
                      item.attributes.vtRequestedDataType);
    item.slot = slot;
    item.reportInFull = true;
    return item;
}

ULONG ItemAttributesSource::available() const {
    std::lock_guard lock(core_->groupLock);
    return core_->open ? static_cast<ULONG>(core_->items.size()) : 0;
}

ULONG ItemAttributesSource::fetch(ULONG first, ULONG count, Element** out) {
    std::lock_guard lock(core_->groupLock);
    ULONG available = core_->open ? static_cast<ULONG>(core_->items.size()) : 0;
    if (first >= available) {
        return 0;
    }
    ULONG fetched = std::min<ULONG>(count, available - first);
    auto array = platform::CoTaskMemPtr<OPCITEMATTRIBUTES>::allocate(fetched);
    if (!array) {
        throw std::bad_alloc();
    }
    for (ULONG i = 0; i < fetched; ++i) {
        try {
            const OPCITEMATTRIBUTES& stored = core_->items.at(first + i).attributes;
            OPCITEMATTRIBUTES& entry = array[i];
            entry = stored;
            entry.szAccessPath = nullptr;
            entry.szItemID = nullptr;
            entry.szAccessPath = copyForCaller(stored.szAccessPath);
            entry.szItemID = copyForCaller(stored.szItemID);
        } catch (...) {
            for (ULONG j = 0; j <= i; ++j) {
                CoTaskMemFree(array[j].szAccessPath);
                CoTaskMemFree(array[j].szItemID);
            }
            throw;
        }
    }
    *out = array.release();  // the caller frees the array and both strings of every entry
    return fetched;
}

}  // namespace movra
