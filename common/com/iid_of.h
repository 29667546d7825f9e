// IidOf<I>::value(): the interface ID of a C++ interface type, for the object base and ComPtr
// users. Each interface family declares its own specialisations beside its IDs.
#pragma once

#include "platform/win.h"

namespace movra::com {

template <typename Interface>
struct IidOf;

#define MOVRA_DECLARE_IID(Interface, iid)                  \
    template <>                                            \
    struct movra::com::IidOf<Interface> {                  \
        static const IID& value() noexcept { return iid; } \
    }

}  // namespace movra::com

MOVRA_DECLARE_IID(IUnknown, IID_IUnknown);
MOVRA_DECLARE_IID(IClassFactory, IID_IClassFactory);
MOVRA_DECLARE_IID(IEnumUnknown, IID_IEnumUnknown);
MOVRA_DECLARE_IID(IEnumString, IID_IEnumString);
MOVRA_DECLARE_IID(IConnectionPoint, IID_IConnectionPoint);
MOVRA_DECLARE_IID(IConnectionPointContainer, IID_IConnectionPointContainer);
MOVRA_DECLARE_IID(IEnumConnectionPoints, IID_IEnumConnectionPoints);
