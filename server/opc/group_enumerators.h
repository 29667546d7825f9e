// The enumerators over a server object's groups and their names: live views of its list, read
// under its serverMutex one call at a time. They hold the list, not the server object, so once
// that object is gone they give nothing.
#pragma once

#include "common/com/connection_point.h"
#include "common/com/enumerator.h"
#include "server/opc/server_groups.h"

#include <memory>

namespace movra {

template <typename ElementType>
class GroupListSource {
public:
    using Element = ElementType;

    GroupListSource(std::shared_ptr<ServerGroups> groups, bool publicOnly)
        : groups_(std::move(groups)), publicOnly_(publicOnly) {}

    ULONG available() const {
        std::lock_guard lock(groups_->serverMutex());
        return availableLocked();
    }
    ULONG fetch(ULONG first, ULONG count, Element* out);
    GroupListSource clone() const { return *this; }

private:
    ULONG availableLocked() const {
        return publicOnly_ ? 0 : static_cast<ULONG>(groups_->countLocked());
    }

    std::shared_ptr<ServerGroups> groups_;
    bool publicOnly_;
};

using CMovraEnumUnknown = com::Enumerator<IEnumUnknown, GroupListSource<IUnknown*>>;
using CMovraEnumString = com::Enumerator<IEnumString, GroupListSource<LPOLESTR>>;
using CMovraEnumConnectionPoints = com::ConnectionPointEnumerator;

}  // namespace movra
