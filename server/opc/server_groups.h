// The group list of one server object with everything its serverMutex guards. The server object,
// its groups and its group enumerators share it, so none of them ever reaches a newer server
// object that took the same client slot; once the server object is gone the list is closed and
// empty.
#pragma once

#include "common/opc/opc_da.h"
#include "platform/wide.h"
#include "platform/win.h"
#include "server/opc/callback_caller.h"
#include "server/opc/opc_context.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace movra {

class CMovraOPCGroup;

inline constexpr size_t kMaxGroups = 1000;
inline constexpr size_t kMaxGroupNameLength = 1000;

// "MovraOPCServer_Group_<handle>", the name of a group created or renamed with an empty name.
platform::WString DefaultGroupName(OPCHANDLE serverHandle);

class ServerGroups : public std::enable_shared_from_this<ServerGroups> {
public:
    ServerGroups(const OpcContext& context, uint32_t slotIndex);
    ~ServerGroups();
    ServerGroups(const ServerGroups&) = delete;
    ServerGroups& operator=(const ServerGroups&) = delete;

    const OpcContext& context() const { return context_; }
    uint32_t slotIndex() const { return slotIndex_; }

    // serverMutex: taken before the lock of any of these groups, never after.
    std::mutex& serverMutex() { return serverMutex_; }

    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                     OPCHANDLE hClientGroup, const LONG* pTimeBias, const FLOAT* pPercentDeadband,
                     OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                     LPUNKNOWN* ppUnk);
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce);
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk);

    // The server object is going: every group leaves the list and refuses calls from now on.
    void Close();

    // With serverMutex held.
    OPCSERVERSTATUS& statusLocked() { return status_; }
    // The client's name for the log.
    platform::WString& clientNameLocked() { return clientName_; }
    size_t countLocked() const { return groups_.size(); }
    CMovraOPCGroup* groupLocked(size_t index) const { return groups_[index]; }
    bool nameTakenLocked(platform::WStringView name, const CMovraOPCGroup* except) const;

    // A synchronous read from the device: asks for a poll cycle and waits until a notification
    // pass has served this server's groups after it, up to the context's bound. True when it did.
    bool AwaitDeviceRead();
    // The pass has served every group of this server: a device read waiting for it may go on.
    void DeviceReadServed();

    // The thread this client's data callbacks are made on.
    CallbackCaller& callbackCaller() { return caller_; }

private:
    OPCHANDLE freeHandleLocked() const;
    // Takes a group out of the list and gives up the list's hold on it (outside serverMutex:
    // dropping its sink may call into the client).
    static void retire(CMovraOPCGroup* group);

    const OpcContext& context_;
    const uint32_t slotIndex_;
    std::mutex serverMutex_;
    OPCSERVERSTATUS status_{};
    // Packed from index 0 in creation order; each entry holds the list's hold on its group.
    std::vector<CMovraOPCGroup*> groups_;
    bool closed_ = false;
    platform::WString clientName_;
    // Under the state's stateMutex.
    bool deviceReadRequested_ = false;
    CallbackCaller caller_;
};

}  // namespace movra
