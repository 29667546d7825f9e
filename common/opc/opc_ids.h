// Every interface ID of the OPC interfaces and the server's class ID, defined once (opc_ids.cpp).
#pragma once

#include "platform/win.h"

extern "C" {
extern const IID IID_IOPCServer;
extern const IID IID_IOPCServerPublicGroups;
extern const IID IID_IOPCBrowseServerAddressSpace;
extern const IID IID_IOPCGroupStateMgt;
extern const IID IID_IOPCPublicGroupStateMgt;
extern const IID IID_IOPCSyncIO;
extern const IID IID_IOPCAsyncIO;
extern const IID IID_IOPCItemMgt;
extern const IID IID_IEnumOPCItemAttributes;
extern const IID IID_IOPCDataCallback;
extern const IID IID_IOPCAsyncIO2;
extern const IID IID_IOPCItemProperties;
extern const IID IID_IOPCShutdown;
extern const IID IID_IOPCCommon;
extern const CLSID CATID_OPCDAServer20;
}

namespace movra {

// MovraOPCServer's class and the names COM and OPC clients find it by.
extern const CLSID kServerClsid;
inline constexpr char kServerClsidText[] = "{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}";
inline constexpr char kVersionIndependentProgId[] = "MOVRA.OPC-server";

}  // namespace movra

#include "common/com/iid_of.h"
#include "common/opc/opc_da.h"

MOVRA_DECLARE_IID(IOPCServer, IID_IOPCServer);
MOVRA_DECLARE_IID(IOPCCommon, IID_IOPCCommon);
MOVRA_DECLARE_IID(IOPCShutdown, IID_IOPCShutdown);
MOVRA_DECLARE_IID(IOPCBrowseServerAddressSpace, IID_IOPCBrowseServerAddressSpace);
MOVRA_DECLARE_IID(IOPCItemProperties, IID_IOPCItemProperties);
MOVRA_DECLARE_IID(IOPCGroupStateMgt, IID_IOPCGroupStateMgt);
MOVRA_DECLARE_IID(IOPCPublicGroupStateMgt, IID_IOPCPublicGroupStateMgt);
MOVRA_DECLARE_IID(IOPCItemMgt, IID_IOPCItemMgt);
MOVRA_DECLARE_IID(IEnumOPCItemAttributes, IID_IEnumOPCItemAttributes);
MOVRA_DECLARE_IID(IOPCSyncIO, IID_IOPCSyncIO);
MOVRA_DECLARE_IID(IOPCAsyncIO2, IID_IOPCAsyncIO2);
MOVRA_DECLARE_IID(IOPCDataCallback, IID_IOPCDataCallback);
