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
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace movra {

// How many asynchronous reads and refreshes one group keeps waiting for their answers.
inline constexpr size_t kMaxPendingTransactions = 256;

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
    // A new sink hears every item once in full.
    void sinkConnectedLocked();

    // For the notification pass: under the group lock, answers the transactions that are due, in
    // the order asked, each whole, then the data change (the changed items in a periodic pass and
    // the items to be reported in full), and hands the calls to the client's callback thread.
    // What is handed over is recorded as told; nothing else is. Throws having changed nothing.
    GroupDeliveries CollectDeliveries(bool periodic);

    // Keeps a group alive for the notification pass without counting as a client reference.
    void Hold() { lifetime_ += kHoldUnit; }
    void Unhold();

    // With the group lock held: the item with that server handle, or OPC_E_INVALIDHANDLE and null.
    HRESULT FindItemByHandle(OPCHANDLE hServer, GroupItem** item);
    // With the group lock held: the items in list order (reads and the notification pass).
    ItemList& itemsLocked() { return core_->items; }

    // For the server's list (with serverMutex held where it says Locked).
    OPCHANDLE serverHandle() const { return serverGroupHandle_; }
    const platform::WString& nameLocked() const { return name_; }
    LONG clientReferences() const { return clientReferencesOf(lifetime_.load()); }
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
    // With the group lock held: asks for a pass at once when one has something to tell the
    // client now (a transaction due, an active item to report in full), as a refresh from the
    // cache does, so that the client does not wait a poll period for it. `markedActive`: the
    // caller has just marked an active item, which spares the search for one.
    void askForPassLocked(bool markedActive = false);
    CMovraItem* catalogue() const { return server_->context().catalogue; }
    ServerState& state() const { return server_->context().state; }

    // An asynchronous read or refresh waiting for its answer.
    struct Transaction {
        enum Kind { Read, Refresh };
        Kind kind;
        DWORD transactionId;
        DWORD cancelId;
        bool fromDevice;
        // For a request from the device: the poll cycles begun when it was made. It is due once
        // a later cycle has ended.
        uint64_t cyclesBegun;
        std::vector<OPCHANDLE> handles;  // a read's items
    };
    bool dueLocked(const Transaction& transaction) const;
    // Takes a checked request: gives it a cancel ID (into *pdwCancelID), queues it (one with
    // transaction ID 0 is never answered and only keeps its cancel ID for a Cancel2) and asks the
    // main thread for what answers it. E_FAIL, having taken nothing, when a poll cannot be asked.
    HRESULT acceptLocked(Transaction transaction, DWORD* pdwCancelID);

    static constexpr int64_t kHoldUnit = int64_t{1} << 32;
    static LONG clientReferencesOf(int64_t lifetime) {
        return static_cast<LONG>((lifetime & 0xFFFFFFFF) >> 1);
    }

    // Bit 0 the list's hold, two per client reference in the low word, the pass's holds in the
    // high word: one atomic word, so a Release, a removal and the end of a pass at the same
    // instant cannot all (or none) delete the group.
    std::atomic<int64_t> lifetime_{1};
    std::atomic<bool> removed_{false};
    const std::shared_ptr<ServerGroups> server_;
    // The group lock and the items, shared with the item enumerators. The lock guards the state
    // below as well; taken after serverMutex, before catalogueMutex.
    const std::shared_ptr<GroupCore> core_;
    BOOL updateEnabled_ = TRUE;
    // The reads and refreshes waiting for their answers, in the order asked; no write is ever
    // accepted. Of each kind the cancel ID of the last one answered (or taken with transaction
    // ID 0) stays for a late Cancel2, which is answered with transaction ID 0.
    std::deque<Transaction> pending_;
    DWORD lastAnsweredCancelId_[2] = {0, 0};
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

// The notification pass's hold on a group it walks: the group outlives the walk even when it is
// removed meanwhile, and its removal no longer moves the other groups under the walk.
class GroupHold {
public:
    explicit GroupHold(CMovraOPCGroup* group) noexcept : group_(group) { group_->Hold(); }
    GroupHold(GroupHold&& other) noexcept : group_(other.group_) { other.group_ = nullptr; }
    GroupHold& operator=(GroupHold&&) = delete;
    ~GroupHold() {
        if (group_ != nullptr) {
            group_->Unhold();
        }
    }
    CMovraOPCGroup* operator->() const noexcept { return group_; }

private:
    CMovraOPCGroup* group_;
};

}  // namespace movra
