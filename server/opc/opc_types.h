// The OPC Data Access 2.0 declarations the catalogue needs, with the published names, values and
// layout. The full interface declarations will join them here.
#pragma once

#include "platform/win.h"

#include <cstddef>

typedef DWORD OPCHANDLE;

// The published structure; the layout is the one clients marshal (40 bytes on Win64).
typedef struct tagOPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
} OPCITEMSTATE;

static_assert(offsetof(OPCITEMSTATE, hClient) == 0);
static_assert(offsetof(OPCITEMSTATE, ftTimeStamp) == 4);
static_assert(offsetof(OPCITEMSTATE, wQuality) == 12);
static_assert(offsetof(OPCITEMSTATE, wReserved) == 14);
static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16);
static_assert(sizeof(OPCITEMSTATE) == 16 + sizeof(VARIANT));

// Access rights.
#define OPC_READABLE 0x01
#define OPC_WRITEABLE 0x02

// Quality word (the low byte carries quality, substatus and limit bits).
#define OPC_QUALITY_MASK 0xC0
#define OPC_STATUS_MASK 0xFC
#define OPC_LIMIT_MASK 0x03
#define OPC_QUALITY_BAD 0x00
#define OPC_QUALITY_UNCERTAIN 0x40
#define OPC_QUALITY_GOOD 0xC0
#define OPC_QUALITY_CONFIG_ERROR 0x04
#define OPC_QUALITY_NOT_CONNECTED 0x08
#define OPC_QUALITY_DEVICE_FAILURE 0x0C
#define OPC_QUALITY_SENSOR_FAILURE 0x10
#define OPC_QUALITY_LAST_KNOWN 0x14
#define OPC_QUALITY_COMM_FAILURE 0x18
#define OPC_QUALITY_OUT_OF_SERVICE 0x1C
#define OPC_QUALITY_LAST_USABLE 0x44
#define OPC_QUALITY_SENSOR_CAL 0x50
#define OPC_QUALITY_EGU_EXCEEDED 0x54
#define OPC_QUALITY_SUB_NORMAL 0x58
#define OPC_QUALITY_LOCAL_OVERRIDE 0xD8

// Result codes of the address space.
#define OPC_E_UNKNOWNITEMID ((HRESULT)0xC0040007L)
#define OPC_E_INVALIDITEMID ((HRESULT)0xC0040008L)
#define OPC_E_INVALID_PID ((HRESULT)0xC0040203L)
