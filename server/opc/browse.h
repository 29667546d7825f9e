// The browse side of a server object: its position in the three-level tree of item IDs (device,
// section, item) and the browse enumerator. The tree is read from the catalogue's item IDs, which
// never change after the build, so no catalogueMutex is taken.
#pragma once

#include "common/com/enumerator.h"
#include "common/opc/opc_da.h"
#include "platform/wide.h"
#include "server/opc/catalogue.h"

#include <memory>
#include <mutex>
#include <vector>

namespace movra {

// Longest text ChangeBrowsePosition and GetItemID accept.
inline constexpr size_t kBrowseTextMaxLength = 15;

// One server object's position. Shared with its browse enumerators, whose Clone reads it; every
// call takes the position's own mutex, so concurrent calls never see a torn path. It is no lock
// of the server's lock order: nothing else is taken under it.
class BrowsePosition {
public:
    // A null catalogue browses as an empty one.
    explicit BrowsePosition(const CMovraItem* catalogue) : catalogue_(catalogue) {}

    HRESULT change(OPCBROWSEDIRECTION direction, LPCWSTR text);
    // GetItemID: *itemId := the position path followed by `itemDataId` when some offered item
    // lies there (the caller frees it).
    HRESULT itemId(LPCWSTR itemDataId, LPWSTR* itemId);
    struct Names {
        std::vector<platform::WString> names;
        // Branches of a section, leaves above a section: nothing by the filter type.
        bool emptyByFilter = false;
    };
    // The names one level below the position (BRANCH, LEAF) or every offered item ID (FLAT), in
    // slot order, each once; taken under one hold of the position.
    Names names(OPCBROWSETYPE filterType) const;

    // "", "PKE12AB." or "PKE12AB.K01.".
    platform::WString path() const;

private:
    platform::WString pathLocked() const;
    // True when an offered item ID, cut to `cut` characters, equals `candidate`.
    bool existsLocked(platform::WStringView candidate, size_t cut) const;

    const CMovraItem* const catalogue_;
    mutable std::mutex mutex_;
    uint32_t depth_ = 0;
    platform::WString entries_[3];  // entries 1 and 2: device part and section part
};

// The names of a browse enumerator, taken when it is made; a clone takes them again at the
// server object's position of that moment.
class BrowseNameSource {
public:
    using Element = LPOLESTR;

    // `filteredOut`: the data-type or access-rights filter rules out every item.
    BrowseNameSource(std::shared_ptr<const BrowsePosition> position, OPCBROWSETYPE filterType,
                     bool filteredOut);

    // True when a filter, not the position, left the list empty.
    bool emptyByFilter() const { return emptyByFilter_; }

    ULONG available() const { return static_cast<ULONG>(names_.size()); }
    ULONG fetch(ULONG first, ULONG count, Element* out);
    // The filter type is weighed again at the new position, so a clone of a leaf list made at
    // the root lists no device parts as leaves.
    BrowseNameSource clone() const { return {position_, filterType_, filteredOut_}; }

private:
    std::shared_ptr<const BrowsePosition> position_;
    OPCBROWSETYPE filterType_;
    bool filteredOut_;
    bool emptyByFilter_;
    std::vector<platform::WString> names_;
};

using CMovraItemEnumString = com::Enumerator<IEnumString, BrowseNameSource>;

// True when the filters of BrowseOPCItemIDs rule out every item: a data type a VT_R4 cannot be
// converted to (VT_EMPTY is no filter), or writeable items only.
bool browseFilteredOut(VARTYPE dataTypeFilter, DWORD accessRightsFilter);

}  // namespace movra
