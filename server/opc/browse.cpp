#include "server/opc/browse.h"

#include "platform/co_task_mem.h"
#include "platform/unique_variant.h"
#include "server/opc/opc_server.h"

#include <algorithm>
#include <new>

namespace movra {

namespace {

using platform::WString;
using platform::WStringView;

constexpr WCHAR kDot = u'.';

// How much of an item ID names a device (PKE12AB), a section (PKE12AB.K01) and an item.
constexpr size_t kDevicePartLength = 7;
constexpr size_t kSectionPrefixLength = 11;
constexpr size_t kItemIdCutLength = 15;

constexpr size_t kCutByDepth[] = {kDevicePartLength, kSectionPrefixLength, kItemIdCutLength};

size_t boundedLength(LPCWSTR text) {
    size_t length = 0;
    while (length <= kBrowseTextMaxLength && text[length] != 0) {
        ++length;
    }
    return length;
}

bool acceptable(LPCWSTR text) {
    return text != nullptr && boundedLength(text) <= kBrowseTextMaxLength;
}

}  // namespace

WString BrowsePosition::path() const {
    std::lock_guard lock(mutex_);
    return pathLocked();
}

WString BrowsePosition::pathLocked() const {
    WString path;
    for (uint32_t level = 1; level <= depth_; ++level) {
        path += entries_[level];
        path += kDot;
    }
    return path;
}

bool BrowsePosition::existsLocked(WStringView candidate, size_t cut) const {
    if (catalogue_ == nullptr) {
        return false;
    }
    // Placeholder slots are skipped: "NOT_ID" cut to 7 would otherwise match itself.
    for (uint32_t slot = 0; slot < catalogue_->slotCount(); ++slot) {
        if (catalogue_->offersItem(slot) &&
            catalogue_->itemIdAt(slot).substr(0, cut) == candidate) {
            return true;
        }
    }
    return false;
}

HRESULT BrowsePosition::change(OPCBROWSEDIRECTION direction, LPCWSTR text) {
    if (direction != OPC_BROWSE_UP && direction != OPC_BROWSE_DOWN && direction != OPC_BROWSE_TO) {
        return E_INVALIDARG;
    }
    if (!acceptable(text)) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(mutex_);
    switch (direction) {
        case OPC_BROWSE_UP:
            if (depth_ == 0) {
                return E_FAIL;
            }
            --depth_;
            return S_OK;
        case OPC_BROWSE_DOWN:
            if (depth_ == 2 || !existsLocked(pathLocked() + text, kCutByDepth[depth_])) {
                return E_FAIL;
            }
            entries_[++depth_] = text;
            return S_OK;
        default: {
            const WStringView target(text);
            if (target.empty()) {
                depth_ = 0;
                return S_OK;
            }
            const size_t dot = target.find(kDot);
            const size_t cut = dot == WStringView::npos ? kDevicePartLength : kSectionPrefixLength;
            if (!existsLocked(target, cut)) {
                return E_FAIL;
            }
            // A match has the shape PKE12AB or PKE12AB.K01: one or two parts.
            if (dot == WStringView::npos) {
                entries_[1] = target;
                depth_ = 1;
            } else {
                entries_[1] = target.substr(0, dot);
                entries_[2] = target.substr(dot + 1);
                depth_ = 2;
            }
            return S_OK;
        }
    }
}

HRESULT BrowsePosition::itemId(LPCWSTR itemDataId, LPWSTR* itemId) {
    if (itemDataId == nullptr || itemId == nullptr ||
        boundedLength(itemDataId) > kBrowseTextMaxLength) {
        com::clearOuts(itemId);
        return E_INVALIDARG;
    }
    *itemId = nullptr;
    auto result = platform::CoTaskMemPtr<WCHAR>::allocate(kItemIdCapacity);
    if (!result) {
        return E_OUTOFMEMORY;
    }
    std::lock_guard lock(mutex_);
    WString candidate = pathLocked() + itemDataId;
    // A found candidate is an item ID or a prefix of one, so it fits the 16 units. An offered
    // item's full ID, as a flat browse gives it, is fully qualified already, wherever the
    // position is; no name below a position is a full ID, so the two never compete.
    if (!existsLocked(candidate, kCutByDepth[depth_])) {
        const uint32_t slot =
            catalogue_ != nullptr ? catalogue_->findSlot(itemDataId) : CMovraItem::kNoSlot;
        if (slot == CMovraItem::kNoSlot || !catalogue_->offersItem(slot)) {
            return E_FAIL;
        }
        candidate = itemDataId;
    }
    std::copy(candidate.begin(), candidate.end(), result.get());
    *itemId = result.release();  // the caller frees it
    return S_OK;
}

BrowsePosition::Names BrowsePosition::names(OPCBROWSETYPE filterType) const {
    Names result;
    std::lock_guard lock(mutex_);
    if ((filterType == OPC_BRANCH && depth_ == 2) || (filterType == OPC_LEAF && depth_ < 2)) {
        result.emptyByFilter = true;
        return result;
    }
    if (catalogue_ == nullptr) {
        return result;
    }
    std::vector<WString>& names = result.names;
    names.reserve(catalogue_->itemCount());
    if (filterType == OPC_FLAT) {
        for (uint32_t slot = 0; slot < catalogue_->slotCount(); ++slot) {
            if (catalogue_->offersItem(slot)) {
                names.emplace_back(catalogue_->itemIdAt(slot));
            }
        }
        return result;
    }
    const WString path = pathLocked();
    for (uint32_t slot = 0; slot < catalogue_->slotCount(); ++slot) {
        const WStringView id = catalogue_->itemIdAt(slot);
        if (!catalogue_->offersItem(slot) || !id.starts_with(path)) {
            continue;
        }
        const WStringView rest = id.substr(path.size());
        const WStringView name = rest.substr(0, rest.find(kDot));
        // Two devices may share a serial and need not be neighbours, so looking back at the last
        // name alone would list their parts twice.
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.emplace_back(name);
        }
    }
    names.shrink_to_fit();
    return result;
}

BrowseNameSource::BrowseNameSource(std::shared_ptr<const BrowsePosition> position,
                                   OPCBROWSETYPE filterType, bool filteredOut)
    : position_(std::move(position)),
      filterType_(filterType),
      filteredOut_(filteredOut),
      emptyByFilter_(filteredOut) {
    if (!filteredOut_) {
        BrowsePosition::Names taken = position_->names(filterType_);
        names_ = std::move(taken.names);
        emptyByFilter_ = taken.emptyByFilter;
    }
}

ULONG BrowseNameSource::fetch(ULONG first, ULONG count, Element* out) {
    if (first >= names_.size()) {
        return 0;
    }
    const ULONG fetched = std::min<ULONG>(count, available() - first);
    for (ULONG i = 0; i < fetched; ++i) {
        const WString& name = names_[first + i];
        auto copy = platform::CoTaskMemPtr<OLECHAR>::allocate(name.size() + 1);
        if (!copy) {
            for (ULONG j = 0; j < i; ++j) {
                CoTaskMemFree(out[j]);
                out[j] = nullptr;
            }
            throw std::bad_alloc();
        }
        std::copy(name.begin(), name.end(), copy.get());
        out[i] = copy.release();  // the caller frees it
    }
    return fetched;
}

bool browseFilteredOut(VARTYPE dataTypeFilter, DWORD accessRightsFilter) {
    if (dataTypeFilter != VT_EMPTY) {
        platform::UniqueVariant zero;
        zero->vt = VT_R4;
        zero->fltVal = 0.0f;
        platform::UniqueVariant converted;
        if (FAILED(VariantChangeType(converted.get(), zero.get(), 0, dataTypeFilter))) {
            return true;
        }
    }
    // Every item is read-only; only a filter of writeable alone excludes them.
    return accessRightsFilter == OPC_WRITEABLE;
}

// --- the server object's address-space methods --------------------------------------------------

namespace {

// The six properties of an item, or OPC_E_UNKNOWNITEMID (also for a null ID or no catalogue).
HRESULT copyProperties(CMovraItem* catalogue, LPCWSTR itemId,
                       ItemProperty (&properties)[kItemPropertyCount]) {
    if (catalogue == nullptr || itemId == nullptr) {
        return OPC_E_UNKNOWNITEMID;
    }
    return catalogue->CopyItemProperties(itemId, properties);
}

bool isPropertyId(DWORD id) {
    return id >= 1 && id <= kItemPropertyCount;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CMovraOPCServer::QueryAvailableProperties(
    LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
    VARTYPE** ppvtDataTypes) noexcept {
    com::clearOuts(pdwCount, ppPropertyIDs, ppDescriptions, ppvtDataTypes);
    if (pdwCount == nullptr || ppPropertyIDs == nullptr || ppDescriptions == nullptr ||
        ppvtDataTypes == nullptr) {
        return E_INVALIDARG;
    }
    ItemProperty properties[kItemPropertyCount];
    RETURN_IF_FAILED(copyProperties(context_.catalogue, szItemID, properties));
    auto ids = platform::CoTaskMemPtr<DWORD>::allocate(kItemPropertyCount);
    auto descriptions = platform::CoTaskMemPtr<LPWSTR>::allocate(kItemPropertyCount);
    auto types = platform::CoTaskMemPtr<VARTYPE>::allocate(kItemPropertyCount);
    if (!ids || !descriptions || !types) {
        return E_OUTOFMEMORY;
    }
    // The texts go to the caller with the array or not at all.
    auto freeTexts = [&descriptions] {
        for (uint32_t i = 0; i < kItemPropertyCount; ++i) {
            CoTaskMemFree(descriptions[i]);
        }
    };
    for (uint32_t i = 0; i < kItemPropertyCount; ++i) {
        const WStringView text(properties[i].description);
        auto copy = platform::CoTaskMemPtr<WCHAR>::allocate(text.size() + 1);
        if (!copy) {
            freeTexts();
            return E_OUTOFMEMORY;
        }
        std::copy(text.begin(), text.end(), copy.get());
        descriptions[i] = copy.release();
        ids[i] = properties[i].id;
        types[i] = properties[i].type;
    }
    *pdwCount = kItemPropertyCount;
    *ppPropertyIDs = ids.release();  // the caller frees the arrays and every description
    *ppDescriptions = descriptions.release();
    *ppvtDataTypes = types.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                                             DWORD* pdwPropertyIDs,
                                                             VARIANT** ppvData,
                                                             HRESULT** ppErrors) noexcept {
    com::clearOuts(ppvData, ppErrors);
    if (dwCount == 0 || pdwPropertyIDs == nullptr || ppvData == nullptr || ppErrors == nullptr) {
        return E_INVALIDARG;
    }
    ItemProperty properties[kItemPropertyCount];
    RETURN_IF_FAILED(copyProperties(context_.catalogue, szItemID, properties));
    // Zeroed VARIANTs are VT_EMPTY, and the property values are scalars: nothing to clear.
    auto values = platform::CoTaskMemPtr<VARIANT>::allocate(dwCount);
    auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
    if (!values || !errors) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const DWORD id = pdwPropertyIDs[i];
        if (!isPropertyId(id)) {
            errors[i] = OPC_E_INVALID_PID;
            result = S_FALSE;
            continue;
        }
        values[i] = properties[id - 1].value;
        errors[i] = S_OK;
    }
    *ppvData = values.release();  // the caller frees both arrays
    *ppErrors = errors.release();
    return result;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount,
                                                         DWORD* pdwPropertyIDs,
                                                         LPWSTR** ppszNewItemIDs,
                                                         HRESULT** ppErrors) noexcept {
    com::clearOuts(ppszNewItemIDs, ppErrors);
    if (dwCount == 0 || pdwPropertyIDs == nullptr || ppszNewItemIDs == nullptr ||
        ppErrors == nullptr) {
        return E_INVALIDARG;
    }
    ItemProperty properties[kItemPropertyCount];
    RETURN_IF_FAILED(copyProperties(context_.catalogue, szItemID, properties));
    auto itemIds = platform::CoTaskMemPtr<LPWSTR>::allocate(dwCount);
    auto errors = platform::CoTaskMemPtr<HRESULT>::allocate(dwCount);
    if (!itemIds || !errors) {
        return E_OUTOFMEMORY;
    }
    // No property has an item ID of its own: every entry stays null.
    for (DWORD i = 0; i < dwCount; ++i) {
        errors[i] = isPropertyId(pdwPropertyIDs[i]) ? E_FAIL : OPC_E_INVALID_PID;
    }
    *ppszNewItemIDs = itemIds.release();  // the caller frees both arrays
    *ppErrors = errors.release();
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE
CMovraOPCServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) noexcept {
    if (pNameSpaceType == nullptr) {
        return E_INVALIDARG;
    }
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::ChangeBrowsePosition(
    OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) noexcept {
    return com::comBoundary([&] { return browse_->change(dwBrowseDirection, szString); });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                                            LPCWSTR, VARTYPE vtDataTypeFilter,
                                                            DWORD dwAccessRightsFilter,
                                                            IEnumString** ppIEnumString) noexcept {
    return com::comBoundary([&]() -> HRESULT {
        if (dwBrowseFilterType != OPC_BRANCH && dwBrowseFilterType != OPC_LEAF &&
            dwBrowseFilterType != OPC_FLAT) {
            return OPC_E_INVALIDFILTER;
        }
        if (ppIEnumString == nullptr) {
            return E_INVALIDARG;
        }
        *ppIEnumString = nullptr;
        BrowseNameSource source(browse_, dwBrowseFilterType,
                                browseFilteredOut(vtDataTypeFilter, dwAccessRightsFilter));
        const bool empty = source.emptyByFilter();
        RETURN_IF_FAILED(com::createInstance<CMovraItemEnumString>(
            IID_IEnumString, reinterpret_cast<void**>(ppIEnumString), std::move(source)));
        return empty ? S_FALSE : S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::GetItemID(LPWSTR szItemDataID,
                                                     LPWSTR* szItemID) noexcept {
    return com::comBoundary([&] { return browse_->itemId(szItemDataID, szItemID); });
}

HRESULT STDMETHODCALLTYPE CMovraOPCServer::BrowseAccessPaths(LPCWSTR,
                                                             IEnumString** ppIEnumString) noexcept {
    com::clearOuts(ppIEnumString);
    return E_NOTIMPL;
}

}  // namespace movra
