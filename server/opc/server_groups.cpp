#include "server/opc/server_groups.h"

#include "server/opc/opc_group.h"

#include <chrono>
#include <cmath>
#include <string>

namespace movra {

platform::WString DefaultGroupName(OPCHANDLE serverHandle) {
    return platform::widenAscii("MovraOPCServer_Group_" + std::to_string(serverHandle));
}

FILETIME CurrentFileTime(platform::Clock& clock) {
    SYSTEMTIME now = clock.systemTime();
    FILETIME result{};
    SystemTimeToFileTime(&now, &result);
    return result;
}

ServerGroups::ServerGroups(const OpcContext& context, uint32_t slotIndex)
    : context_(context),
      slotIndex_(slotIndex),
      clientName_(platform::widenAscii("Default Client " + std::to_string(slotIndex + 1))),
      caller_(context.startCallbackThread) {
    FILETIME now = CurrentFileTime(context.clock);
    status_.ftStartTime = now;
    status_.ftCurrentTime = now;
    status_.ftLastUpdateTime = now;
    status_.dwServerState = OPC_STATUS_RUNNING;
    status_.dwBandWidth = 0xFFFFFFFF;
    status_.wMajorVersion = 1;
    status_.wMinorVersion = 1;
    status_.wBuildNumber = 1;
    groups_.reserve(16);
}

ServerGroups::~ServerGroups() {
    Close();
}

bool ServerGroups::nameTakenLocked(platform::WStringView name, const CMovraOPCGroup* except) const {
    for (const CMovraOPCGroup* group : groups_) {
        if (group != except && group->nameLocked() == name) {
            return true;
        }
    }
    return false;
}

OPCHANDLE ServerGroups::freeHandleLocked() const {
    for (OPCHANDLE candidate = 1;; ++candidate) {
        bool taken = false;
        for (const CMovraOPCGroup* group : groups_) {
            taken = taken || group->serverHandle() == candidate;
        }
        if (!taken) {
            return candidate;
        }
    }
}

HRESULT ServerGroups::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                               OPCHANDLE hClientGroup, const LONG* pTimeBias,
                               const FLOAT* pPercentDeadband, OPCHANDLE* phServerGroup,
                               DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk != nullptr) {
        *ppUnk = nullptr;
    }
    if (szName == nullptr || ppUnk == nullptr || phServerGroup == nullptr ||
        pRevisedUpdateRate == nullptr) {
        return E_INVALIDARG;
    }
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;

    std::unique_lock lock(serverMutex_);
    if (closed_) {
        return E_FAIL;
    }
    const OPCHANDLE handle = freeHandleLocked();
    if (groups_.size() >= kMaxGroups) {
        return E_FAIL;
    }
    platform::WString name;
    if (szName[0] == 0) {
        name = DefaultGroupName(handle);
    } else {
        platform::WStringView given(szName);
        if (given.size() > kMaxGroupNameLength) {
            return E_INVALIDARG;
        }
        if (nameTakenLocked(given, nullptr)) {
            return OPC_E_DUPLICATENAME;
        }
        name.assign(given);
    }
    const FLOAT deadband = pPercentDeadband != nullptr ? *pPercentDeadband : 0.0f;
    if (!(deadband >= 0.0f && deadband <= 100.0f)) {  // NaN fails both
        return E_INVALIDARG;
    }

    GroupSettings settings;
    settings.name = std::move(name);
    settings.active = bActive;
    settings.requestedUpdateRate = dwRequestedUpdateRate;
    settings.revisedUpdateRate = context_.pollPeriodMs;
    settings.clientGroupHandle = hClientGroup;
    settings.serverGroupHandle = handle;
    if (pTimeBias != nullptr) {
        settings.timeBias = *pTimeBias;
    } else {
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);
        settings.timeBias = zone.Bias;
    }
    settings.percentDeadband = deadband;

    groups_.reserve(groups_.size() + 1);  // the only step that may throw comes before the group
    CMovraOPCGroup* group = CMovraOPCGroup::Create(shared_from_this(), std::move(settings));
    if (group == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr)) {
        *ppUnk = nullptr;
        lock.unlock();
        retire(group);
        return hr;
    }
    groups_.push_back(group);
    status_.dwGroupCount = static_cast<DWORD>(groups_.size());
    *phServerGroup = handle;
    *pRevisedUpdateRate = context_.pollPeriodMs;
    return dwRequestedUpdateRate == context_.pollPeriodMs ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

HRESULT ServerGroups::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    CMovraOPCGroup* group = nullptr;
    bool inUse = false;
    {
        std::lock_guard lock(serverMutex_);
        for (auto it = groups_.begin(); it != groups_.end(); ++it) {
            if ((*it)->serverHandle() == hServerGroup) {
                group = *it;
                groups_.erase(it);
                break;
            }
        }
        if (group == nullptr) {
            return E_INVALIDARG;
        }
        status_.dwGroupCount = static_cast<DWORD>(groups_.size());
        inUse = !bForce && group->clientReferences() > 0;
        group->MarkRemoved();
    }
    // Even a forced removal leaves the object to the client's last Release: the client may still
    // call through its pointer, and every such call now fails cleanly.
    retire(group);
    return inUse ? OPC_S_INUSE : S_OK;
}

HRESULT ServerGroups::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    if (ppUnk == nullptr) {
        return E_INVALIDARG;
    }
    *ppUnk = nullptr;
    if (szName == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(serverMutex_);
    for (CMovraOPCGroup* group : groups_) {
        if (group->nameLocked() == platform::WStringView(szName)) {
            return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        }
    }
    return E_INVALIDARG;
}

void ServerGroups::Close() {
    std::vector<CMovraOPCGroup*> leaving;
    {
        std::lock_guard lock(serverMutex_);
        closed_ = true;
        leaving.swap(groups_);
        status_.dwGroupCount = 0;
        for (CMovraOPCGroup* group : leaving) {
            group->MarkRemoved();
        }
    }
    for (CMovraOPCGroup* group : leaving) {
        retire(group);
    }
}

bool ServerGroups::AwaitDeviceRead() {
    ServerState& state = context_.state;
    std::unique_lock lock(state.stateMutex);
    deviceReadRequested_ = true;
    if (!state.RequestPoll()) {
        return false;  // the flag stays for the next pass to clear
    }
    // Any pass that serves this server from now on brings the catalogue's latest values; the
    // one after the requested cycle normally comes first.
    if (state.deviceReadsServed.wait_for(lock,
                                         std::chrono::milliseconds(context_.deviceReadTimeoutMs),
                                         [&] { return !deviceReadRequested_; })) {
        return true;
    }
    deviceReadRequested_ = false;
    return false;
}

void ServerGroups::DeviceReadServed() {
    ServerState& state = context_.state;
    std::lock_guard lock(state.stateMutex);
    if (deviceReadRequested_) {
        deviceReadRequested_ = false;
        state.deviceReadsServed.notify_all();
    }
}

void ServerGroups::retire(CMovraOPCGroup* group) {
    group->MarkRemoved();
    group->ReleaseHeld();
    group->Unlist();
}

}  // namespace movra
