// The items of a group: the GroupItem record, the list with its server handles, and the
// enumerator over the list's attribute images.
#pragma once

#include "common/com/enumerator.h"
#include "common/opc/opc_da.h"
#include "platform/win.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace movra {

class CMovraItem;

// The attributes image followed by the state image, so the enumerator copies the first half as it
// stands; the catalogue slot after them spares the readers a lookup by item ID. The item owns its
// item ID and both VARIANTs.
struct GroupItem {
    OPCITEMATTRIBUTES attributes;
    OPCITEMSTATE state;
    uint32_t slot;
    // The client is to hear this item whole in the next data change, changed or not: it was
    // added, made active, or the group got a sink or was made active.
    bool reportInFull;

    GroupItem() noexcept;
    GroupItem(GroupItem&& other) noexcept;
    GroupItem& operator=(GroupItem&& other) noexcept;
    GroupItem(const GroupItem&) = delete;
    GroupItem& operator=(const GroupItem&) = delete;
    ~GroupItem();

    OPCHANDLE handle() const { return attributes.hServer; }
};

// Items in the order they were added. Server handles follow the smallest-free rule; choosing one
// and finding an item by one take constant time (amortised), so a group of 100 KMT-U devices'
// 42,200 items is filled in one pass rather than a quadratic one.
class ItemList {
public:
    ItemList();

    size_t size() const { return items_.size(); }
    const GroupItem& at(size_t index) const { return items_[index]; }
    GroupItem& at(size_t index) { return items_[index]; }
    // The list position of the handle's item, or kNoPosition.
    static constexpr size_t kNoPosition = SIZE_MAX;
    size_t positionOf(OPCHANDLE handle) const {
        return handle < positions_.size() && positions_[handle] != kNone ? positions_[handle]
                                                                         : kNoPosition;
    }

    // Room for `count` more items, so that the appends after it cannot fail half-way.
    void reserve(size_t count);
    // Gives the item the smallest free handle and appends it; needs room from reserve().
    OPCHANDLE append(GroupItem&& item) noexcept;
    GroupItem* find(OPCHANDLE handle);
    // Takes the items out in one pass over the list; errors[i] := S_OK, or OPC_E_INVALIDHANDLE for
    // a handle no item has (also a handle named twice).
    void remove(const OPCHANDLE* handles, size_t count, HRESULT* errors);

    // Heap bytes of the list, its index and the items' IDs.
    size_t memoryBytes() const;

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    std::vector<GroupItem> items_;
    // The position of each handle's item, kNone for a free handle; entry 0 is never a handle.
    std::vector<uint32_t> positions_;
    // Freed handles below positions_.size(), as a min-heap.
    std::vector<OPCHANDLE> freed_;
};

// What a group shares with its item enumerators: the group lock and what it guards. A group that
// leaves its server closes it, so an enumerator that outlives the group gives nothing.
struct GroupCore {
    // Taken after serverMutex, before catalogueMutex.
    std::mutex groupLock;
    ItemList items;
    bool open = true;
};

// Checks one definition against the catalogue. On success `result` has the canonical type and the
// access rights and *slot the item's slot; OPC_E_UNKNOWNITEMID or OPC_E_BADTYPE otherwise. The
// catalogue's IDs and types never change after its build, so no lock is needed.
HRESULT ValidateItem(CMovraItem* catalogue, const OPCITEMDEF& definition, OPCITEMRESULT& result,
                     uint32_t* slot);

// Whether a value of `canonical` type converts into `requested` (VT_EMPTY: the canonical type).
HRESULT CheckRequestedType(VARTYPE canonical, VARTYPE requested);

// A new item for a validated definition, stamped `now`, with the value an empty VARIANT takes in
// the requested type; the handle is the list's to give.
GroupItem MakeGroupItem(CMovraItem& catalogue, const OPCITEMDEF& definition,
                        const OPCITEMRESULT& validated, uint32_t slot, FILETIME now);

class ItemAttributesSource {
public:
    using Element = OPCITEMATTRIBUTES;
    // Next hands out one array allocated for the caller.
    static constexpr bool kAllocatesArray = true;

    explicit ItemAttributesSource(std::shared_ptr<GroupCore> core) : core_(std::move(core)) {}

    ULONG available() const;
    // *out := task-allocator array of the fetched images, their two strings copied; null when
    // nothing is fetched.
    ULONG fetch(ULONG first, ULONG count, Element** out);
    ItemAttributesSource clone() const { return *this; }

private:
    std::shared_ptr<GroupCore> core_;
};

using CMovraEnumItemAttributes = com::Enumerator<IEnumOPCItemAttributes, ItemAttributesSource>;

}  // namespace movra
