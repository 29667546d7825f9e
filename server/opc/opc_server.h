// CMovraOPCServer: the server object one client gets from the class factory.
#pragma once

#include "common/com/com_object.h"
#include "common/com/connection_point.h"
#include "common/opc/opc_ids.h"
#include "platform/wide.h"
#include "server/opc/browse.h"
#include "server/opc/opc_context.h"
#include "server/opc/server_groups.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace movra {

inline constexpr char kVendorInfo[] = "Company: MOVRA. Devices: KMT, KMT-V, KMT-G, KMT-U.";

class CMovraOPCServer final
    : public com::ComObject<CMovraOPCServer, IOPCCommon, IOPCServer, IOPCItemProperties,
                            IOPCBrowseServerAddressSpace,
                            com::SingleSinkConnectionPoint<CMovraOPCServer, IOPCShutdown>> {
public:
    // The object for client slot `slotIndex`, which the class factory has claimed; enters the
    // client table and counts among the process's clients until it is destroyed, which frees the
    // slot. Throws std::bad_alloc.
    CMovraOPCServer(const OpcContext& context, uint32_t slotIndex);

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) noexcept override;
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) noexcept override;
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount,
                                                      LCID** pdwLcid) noexcept override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) noexcept override;
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) noexcept override;

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                       OPCHANDLE hClientGroup, LONG* pTimeBias,
                                       FLOAT* pPercentDeadband, DWORD dwLCID,
                                       OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                       REFIID riid, LPUNKNOWN* ppUnk) noexcept override;
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                             LPWSTR* ppString) noexcept override;
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                             LPUNKNOWN* ppUnk) noexcept override;
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) noexcept override;
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) noexcept override;
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                    LPUNKNOWN* ppUnk) noexcept override;

    // IOPCItemProperties and IOPCBrowseServerAddressSpace (browse.cpp).
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                       DWORD** ppPropertyIDs,
                                                       LPWSTR** ppDescriptions,
                                                       VARTYPE** ppvtDataTypes) noexcept override;
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                                DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                                HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            LPWSTR** ppszNewItemIDs,
                                            HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) noexcept override;
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                   LPCWSTR szString) noexcept override;
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                               LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                               DWORD dwAccessRightsFilter,
                                               IEnumString** ppIEnumString) noexcept override;
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) noexcept override;
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                                IEnumString** ppIEnumString) noexcept override;

    // For the shutdown connection point: serverMutex guards the sink.
    std::mutex& connectionLock() { return groups_->serverMutex(); }

    uint32_t slotIndex() const { return slotIndex_; }
    const BrowsePosition& browsePosition() const { return *browse_; }
    // The client's name for the log; "Default Client <slot + 1>" until it sets one.
    platform::WString clientName();

private:
    friend class com::ComObject<CMovraOPCServer, IOPCCommon, IOPCServer, IOPCItemProperties,
                                IOPCBrowseServerAddressSpace,
                                com::SingleSinkConnectionPoint<CMovraOPCServer, IOPCShutdown>>;
    ~CMovraOPCServer() override;

    const OpcContext& context_;
    std::atomic<LCID> localeId_{0};
    const uint32_t slotIndex_;
    const std::shared_ptr<ServerGroups> groups_;
    // Shared with the browse enumerators, whose Clone reads it.
    const std::shared_ptr<BrowsePosition> browse_;
};

}  // namespace movra
