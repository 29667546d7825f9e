// The OPC Data Access 2.0 and OPC Common custom interfaces as clients and the server see them:
// published method order, parameter names, structures and constants. The IDL in idl/ describes
// the same interfaces for the proxy/stub; a test keeps the two in step.
#pragma once

#include "platform/win.h"

#include <cstddef>

typedef DWORD OPCHANDLE;

typedef enum tagOPCDATASOURCE { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 } OPCDATASOURCE;
// A client may send any 32-bit value where these are asked for: the fixed underlying type makes
// every one a valid value for the server to refuse.
typedef enum tagOPCBROWSETYPE : int { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 } OPCBROWSETYPE;
// The misspelling is the published name.
typedef enum tagOPCNAMESPACETYPE { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 } OPCNAMESPACETYPE;
typedef enum tagOPCBROWSEDIRECTION : int {
    OPC_BROWSE_UP = 1,
    OPC_BROWSE_DOWN = 2,
    OPC_BROWSE_TO = 3
} OPCBROWSEDIRECTION;
typedef enum tagOPCEUTYPE { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 } OPCEUTYPE;
typedef enum tagOPCSERVERSTATE {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5
} OPCSERVERSTATE;
typedef enum tagOPCENUMSCOPE {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6
} OPCENUMSCOPE;

// The published structures; the layouts are the ones clients marshal (Win64 sizes checked below).
typedef struct tagOPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
} OPCITEMSTATE;

typedef struct tagOPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPWSTR szVendorInfo;
} OPCSERVERSTATUS;

typedef struct tagOPCITEMDEF {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
} OPCITEMDEF;

typedef struct tagOPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
} OPCITEMRESULT;

typedef struct tagOPCITEMATTRIBUTES {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    OPCHANDLE hServer;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    VARTYPE vtCanonicalDataType;
    OPCEUTYPE dwEUType;
    VARIANT vEUInfo;
} OPCITEMATTRIBUTES;

static_assert(sizeof(void*) != 8 || sizeof(OPCITEMSTATE) == 40);
static_assert(offsetof(OPCITEMSTATE, ftTimeStamp) == 4 && offsetof(OPCITEMSTATE, wQuality) == 12);
static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16);
static_assert(sizeof(void*) != 8 ||
              (sizeof(OPCSERVERSTATUS) == 56 && offsetof(OPCSERVERSTATUS, szVendorInfo) == 48));
static_assert(offsetof(OPCSERVERSTATUS, dwServerState) == 24 &&
              offsetof(OPCSERVERSTATUS, wReserved) == 42);
static_assert(sizeof(void*) != 8 ||
              (sizeof(OPCITEMDEF) == 48 && offsetof(OPCITEMDEF, pBlob) == 32 &&
               offsetof(OPCITEMDEF, vtRequestedDataType) == 40));
static_assert(sizeof(void*) != 8 || sizeof(OPCITEMRESULT) == 24);
static_assert(sizeof(void*) != 8 ||
              (sizeof(OPCITEMATTRIBUTES) == 80 && offsetof(OPCITEMATTRIBUTES, pBlob) == 40 &&
               offsetof(OPCITEMATTRIBUTES, dwEUType) == 52 &&
               offsetof(OPCITEMATTRIBUTES, vEUInfo) == 56));

// Access rights (bit masks).
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
#define OPC_LIMIT_OK 0x00
#define OPC_LIMIT_LOW 0x01
#define OPC_LIMIT_HIGH 0x02
#define OPC_LIMIT_CONST 0x03

// Result codes (FACILITY_ITF).
#define OPC_E_INVALIDHANDLE ((HRESULT)0xC0040001L)
#define OPC_E_BADTYPE ((HRESULT)0xC0040004L)
#define OPC_E_PUBLIC ((HRESULT)0xC0040005L)
#define OPC_E_BADRIGHTS ((HRESULT)0xC0040006L)
#define OPC_E_UNKNOWNITEMID ((HRESULT)0xC0040007L)
#define OPC_E_INVALIDITEMID ((HRESULT)0xC0040008L)
#define OPC_E_INVALIDFILTER ((HRESULT)0xC0040009L)
#define OPC_E_UNKNOWNPATH ((HRESULT)0xC004000AL)
#define OPC_E_RANGE ((HRESULT)0xC004000BL)
#define OPC_E_DUPLICATENAME ((HRESULT)0xC004000CL)
#define OPC_S_UNSUPPORTEDRATE ((HRESULT)0x0004000DL)
#define OPC_S_CLAMP ((HRESULT)0x0004000EL)
#define OPC_S_INUSE ((HRESULT)0x0004000FL)
#define OPC_E_INVALIDCONFIGFILE ((HRESULT)0xC0040010L)
#define OPC_E_NOTFOUND ((HRESULT)0xC0040011L)
#define OPC_E_INVALID_PID ((HRESULT)0xC0040203L)
#define OPC_E_DEADBANDNOTSET ((HRESULT)0xC0040400L)
#define OPC_E_DEADBANDNOTSUPPORTED ((HRESULT)0xC0040401L)
#define OPC_E_NOBUFFERING ((HRESULT)0xC0040402L)
#define OPC_E_INVALIDCONTINUATIONPOINT ((HRESULT)0xC0040403L)
#define OPC_S_DATAQUEUEOVERFLOW ((HRESULT)0x00040404L)
#define OPC_E_RATENOTSET ((HRESULT)0xC0040405L)
#define OPC_E_NOTSUPPORTED ((HRESULT)0xC0040406L)
#define OPCCPX_E_TYPE_CHANGED ((HRESULT)0xC0040407L)
#define OPCCPX_E_FILTER_DUPLICATE ((HRESULT)0xC0040408L)
#define OPCCPX_E_FILTER_INVALID ((HRESULT)0xC0040409L)
#define OPCCPX_E_FILTER_ERROR ((HRESULT)0xC004040AL)
#define OPCCPX_S_FILTER_NO_DATA ((HRESULT)0x0004040BL)

// OPC Common.
struct IOPCShutdown : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) = 0;
};

struct IOPCCommon : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) = 0;
};

// OPC Data Access 2.0: the server object.
struct IOPCServer : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive,
                                               DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                                               LONG* pTimeBias, FLOAT* pPercentDeadband,
                                               DWORD dwLCID, OPCHANDLE* phServerGroup,
                                               DWORD* pRevisedUpdateRate, REFIID riid,
                                               LPUNKNOWN* ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                                     LPWSTR* ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                                     LPUNKNOWN* ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                            LPUNKNOWN* ppUnk) = 0;
};

struct IOPCBrowseServerAddressSpace : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                           LPCWSTR szString) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                                       LPCWSTR szFilterCriteria,
                                                       VARTYPE vtDataTypeFilter,
                                                       DWORD dwAccessRightsFilter,
                                                       IEnumString** ppIEnumString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                                        IEnumString** ppIEnumString) = 0;
};

struct IOPCItemProperties : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                               DWORD** ppPropertyIDs,
                                                               LPWSTR** ppDescriptions,
                                                               VARTYPE** ppvtDataTypes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                                        DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                                        HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount,
                                                    DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                                    HRESULT** ppErrors) = 0;
};

// The group object.
struct IOPCGroupStateMgt : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                               LONG* pTimeBias, FLOAT* pPercentDeadband,
                                               DWORD* pLCID, OPCHANDLE* phClientGroup,
                                               OPCHANDLE* phServerGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate,
                                               DWORD* pRevisedUpdateRate, BOOL* pActive,
                                               LONG* pTimeBias, FLOAT* pPercentDeadband,
                                               DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

struct IOPCPublicGroupStateMgt : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveToPublic() = 0;
};

struct IOPCItemMgt : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                               OPCITEMRESULT** ppAddResults,
                                               HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                                    BOOL bBlobUpdate,
                                                    OPCITEMRESULT** ppValidationResults,
                                                    HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                                  HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer,
                                                     BOOL bActive, HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                                       OPCHANDLE* phClient, HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                                   VARTYPE* pRequestedDatatypes,
                                                   HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

struct IEnumOPCItemAttributes : public IUnknown {
    // The array comes before the count, as published.
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                           ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

struct IOPCSyncIO : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount,
                                           OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                                           HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer,
                                            VARIANT* pItemValues, HRESULT** ppErrors) = 0;
};

struct IOPCAsyncIO2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer,
                                           DWORD dwTransactionID, DWORD* pdwCancelID,
                                           HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer,
                                            VARIANT* pItemValues, DWORD dwTransactionID,
                                            DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                               DWORD* pdwCancelID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) = 0;
};

// The client's sink that the group calls.
struct IOPCDataCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup,
                                                   HRESULT hrMasterquality, HRESULT hrMastererror,
                                                   DWORD dwCount, OPCHANDLE* phClientItems,
                                                   VARIANT* pvValues, WORD* pwQualities,
                                                   FILETIME* pftTimeStamps, HRESULT* pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                                     HRESULT hrMasterquality, HRESULT hrMastererror,
                                                     DWORD dwCount, OPCHANDLE* phClientItems,
                                                     VARIANT* pvValues, WORD* pwQualities,
                                                     FILETIME* pftTimeStamps, HRESULT* pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                                      HRESULT hrMastererr, DWORD dwCount,
                                                      OPCHANDLE* pClienthandles,
                                                      HRESULT* pErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;
};
