// CMovraOPCGroup: a client's OPC group, its state and its data-callback connection point.
#pragma once

#include "common/com/com_object.h"
#include "common/com/connection_point.h"
#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/wide.h"
#include "server/opc/delivery.h"
#include "server/opc/group_items.h"
#include "server/opc/server_groups.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace movra {

// What AddGroup gives a new group.
struct GroupSettings {
    platform::WString name;
    BOOL active = FALSE;
    DWORD requestedUpdateRate = 0;
    DWORD revisedUpdateRate = 0;
    OPCHANDLE clientGroupHandle = 0;
    OPCHANDLE serverGroupHandle = 0;
    LONG timeBias = 0;
    FLOAT percentDeadband = 0.0f;
};

class CMovraOPCGroup final
    : public com::ComObject<CMovraOPCGroup, IOPCItemMgt, IOPCGroupStateMgt, IOPCPublicGroupStateMgt,
                            IOPCSyncIO, IOPCAsyncIO2,
                            com::SingleSinkConnectionPoint<CMovraOPCGroup, IOPCDataCallback>> {
public:
    // A new group held by its server's list only (no client reference yet); null when out of
    // memory.
    static CMovraOPCGroup* Create(std::shared_ptr<ServerGroups> server, GroupSettings settings);

    // The count is the client's references; the list's hold is kept apart, so a group whose
    // client references are all gone stays listed, and a removed group lives until the client's
    // last Release.
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    // IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                       OPCITEMRESULT** ppAddResults,
                                       HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                            OPCITEMRESULT** ppValidationResults,
                                            HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                          HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                             HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                               OPCHANDLE* phClient,
                                               HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                           VARTYPE* pRequestedDatatypes,
                                           HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) noexcept override;

    // IOPCGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                       OPCHANDLE* phClientGroup,
                                       OPCHANDLE* phServerGroup) noexcept override;
    HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                       BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                       DWORD* pLCID, OPCHANDLE* phClientGroup) noexcept override;
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) noexcept override;
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid,
                                         LPUNKNOWN* ppUnk) noexcept override;

    // IOPCPublicGroupStateMgt
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) noexcept override;
    HRESULT STDMETHODCALLTYPE MoveToPublic() noexcept override;

    // IOPCSyncIO
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                   OPCITEMSTATE** ppItemValues,
                                   HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    HRESULT** ppErrors) noexcept override;

    // IOPCAsyncIO2
    HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                   DWORD* pdwCancelID, HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                    DWORD dwTransactionID, DWORD* pdwCancelID,
                                    HRESULT** ppErrors) noexcept override;
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                       DWORD* pdwCancelID) noexcept override;
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) noexcept override;
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) noexcept override;
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) noexcept override;

    // For the object base and the connection point: a removed group refuses everything.
    HRESULT queryGuard() const { return removed_ ? E_FAIL : S_OK; }
    HRESULT connectionGuard() const { return queryGuard(); }
    std::mutex& connectionLock() { return core_->groupLock; }
    void sinkConnectedLocked() { askForMissedRefreshLocked(); }

    // For the notification pass, with serverMutex held: takes the group lock, compares the
    // catalogue's values with what the client was last told, records what is reported, and
    // returns the callback to make (Kind::None when the group has nothing to send). Throws
    // std::bad_alloc having changed nothing.
    Delivery CollectDelivery(bool periodic);

    // With the group lock held: the item with that server handle, or OPC_E_INVALIDHANDLE and null.
    HRESULT FindItemByHandle(OPCHANDLE hServer, GroupItem** item);
    // With the group lock held: the items in list order (reads and the notification pass).
    ItemList& itemsLocked() { return core_->items; }

    // For the server's list (with serverMutex held where it says Locked).
    OPCHANDLE serverHandle() const { return serverGroupHandle_; }
    const platform::WString& nameLocked() const { return name_; }
    LONG clientReferences() const { return lifetime_.load() >> 1; }
    void MarkRemoved() { removed_ = true; }
    // Gives back the callback sink and the items of a group that left the list.
    void ReleaseHeld();
    // Gives up the list's hold; the group goes when the client holds no reference either.
    void Unlist();

private:
    friend class com::ComObject<CMovraOPCGroup, IOPCItemMgt, IOPCGroupStateMgt,
                                IOPCPublicGroupStateMgt, IOPCSyncIO, IOPCAsyncIO2,
                                com::SingleSinkConnectionPoint<CMovraOPCGroup, IOPCDataCallback>>;
    CMovraOPCGroup(std::shared_ptr<ServerGroups> server, GroupSettings settings);
    ~CMovraOPCGroup() override;

    // Hands the error array to the caller; S_FALSE when any entry is a failure.
    static HRESULT ReturnErrors(DWORD count, HRESULT** ppErrors,
                                platform::CoTaskMemPtr<HRESULT>& errors);
    // One error array of `count` entries for the per-handle methods; the body runs under the group
    // lock for each handle's item (null for an unknown handle) and gives that entry's result.
    template <typename PerItem>
    HRESULT ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** ppErrors,
                          PerItem perItem);
    // errors[i] := why the write of handles[i] is refused; E_FAIL for a group that has left.
    HRESULT RefuseWrites(DWORD count, const OPCHANDLE* handles,
                         platform::CoTaskMemPtr<HRESULT>& errors);
    // With the group lock held: a refresh from the cache is answered only by a pass that is not
    // periodic, and one that came while the group had no sink, was inactive or answered a read
    // left it pending.
    // Once the group can take it, it asks for such a pass, else the client would wait for good
    // and every later Refresh2 would be refused.
    void askForMissedRefreshLocked();
    CMovraItem* catalogue() const { return server_->context().catalogue; }
    ServerState& state() const { return server_->context().state; }
    struct PendingRequest {
        DWORD transactionId = 0;
        DWORD cancelId = 0;
        bool fromDevice = false;  // a refresh that waits for a poll cycle
    };

    // Two client references per unit, bit 0 the list's hold: one atomic word, so a Release and
    // a removal at the same instant cannot both (or neither) delete the group.
    std::atomic<LONG> lifetime_{1};
    std::atomic<bool> removed_{false};
    const std::shared_ptr<ServerGroups> server_;
    // The group lock and the items, shared with the item enumerators. The lock guards the state
    // below as well; taken after serverMutex, before catalogueMutex.
    const std::shared_ptr<GroupCore> core_;
    BOOL updateEnabled_ = TRUE;
    // The asynchronous requests; a request is pending while its transaction ID is not 0, and its
    // cancel ID stays after completion, for a late Cancel2.
    PendingRequest pendingRead_;
    std::vector<OPCHANDLE> pendingReadHandles_;
    PendingRequest pendingRefresh_;
    PendingRequest pendingWrite_;  // no write is ever accepted
    // Written with serverMutex and the group lock held, so either lock suffices to read it.
    platform::WString name_;
    BOOL active_;
    DWORD requestedUpdateRate_;
    DWORD revisedUpdateRate_;
    OPCHANDLE clientGroupHandle_;
    const OPCHANDLE serverGroupHandle_;
    LONG timeBias_;
    FLOAT percentDeadband_;
};

}  // namespace movra
