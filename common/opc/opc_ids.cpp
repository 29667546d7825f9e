#include "common/opc/opc_ids.h"

#include <cstdint>

namespace {

// The DA 2.0 interfaces share everything but the first field.
constexpr IID daInterface(uint32_t first) {
    return {first, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
}

constexpr IID commonInterface(uint32_t first) {
    return {first, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
}

}  // namespace

extern "C" {
const IID IID_IOPCServer = daInterface(0x39C13A4D);
const IID IID_IOPCServerPublicGroups = daInterface(0x39C13A4E);
const IID IID_IOPCBrowseServerAddressSpace = daInterface(0x39C13A4F);
const IID IID_IOPCGroupStateMgt = daInterface(0x39C13A50);
const IID IID_IOPCPublicGroupStateMgt = daInterface(0x39C13A51);
const IID IID_IOPCSyncIO = daInterface(0x39C13A52);
const IID IID_IOPCAsyncIO = daInterface(0x39C13A53);
const IID IID_IOPCItemMgt = daInterface(0x39C13A54);
const IID IID_IEnumOPCItemAttributes = daInterface(0x39C13A55);
const IID IID_IOPCDataCallback = daInterface(0x39C13A70);
const IID IID_IOPCAsyncIO2 = daInterface(0x39C13A71);
const IID IID_IOPCItemProperties = daInterface(0x39C13A72);
const IID IID_IOPCShutdown = commonInterface(0xF31DFDE1);
const IID IID_IOPCCommon = commonInterface(0xF31DFDE2);
const CLSID CATID_OPCDAServer20 = {
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
}

namespace movra {

const CLSID kServerClsid = {
    0x5E1C2A7B, 0x94D3, 0x4F60, {0x8B, 0x21, 0x3C, 0x7D, 0x9A, 0x0E, 0x6F, 0x15}};

}  // namespace movra
