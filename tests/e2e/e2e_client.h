// What the end-to-end client programs share: texts both ways, activation as an OPC client
// connects (by ProgID, out of process), a group's items, a sink on a group, and a main that runs
// the tests in the multithreaded apartment.
#pragma once

#include "common/opc/opc_ids.h"
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"
#include "platform/wide.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace movra::e2e {

inline std::string text(const WCHAR* wide) {
    return wide == nullptr ? "(null)" : platform::wideToUtf8(platform::WStringView(wide));
}

inline platform::WString wide(const std::string& utf8) {
    return platform::utf8ToWide(utf8.c_str());
}

// A new client of the registered server; the failure is printed.
inline HRESULT activate(platform::ComPtr<IOPCServer>& server) {
    CLSID clsid{};
    HRESULT result = CLSIDFromProgID(wide(kVersionIndependentProgId).c_str(), &clsid);
    if (SUCCEEDED(result)) {
        result =
            CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
    }
    if (FAILED(result)) {
        std::fprintf(stderr, "activation of %s: 0x%08lX\n", kVersionIndependentProgId,
                     static_cast<unsigned long>(result));
    }
    return result;
}

struct Added {
    OPCHANDLE server;
    VARTYPE canonical;
    DWORD rights;
    HRESULT error;
};

// AddItems of the IDs, active, in their canonical type, with client handles firstClient,
// firstClient + 1, ...; what each got lands in *added.
inline HRESULT addItems(IOPCItemMgt* group, const std::vector<std::string>& ids,
                        OPCHANDLE firstClient, std::vector<Added>* added) {
    std::vector<platform::WString> wideIds;
    for (const std::string& id : ids) {
        wideIds.push_back(wide(id));
    }
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        std::memset(&definitions[i], 0, sizeof definitions[i]);
        definitions[i].szAccessPath = const_cast<LPWSTR>(U16(""));
        definitions[i].szItemID = wideIds[i].data();
        definitions[i].bActive = TRUE;
        definitions[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
        definitions[i].vtRequestedDataType = VT_EMPTY;
    }
    platform::CoTaskMemPtr<OPCITEMRESULT> results;
    platform::CoTaskMemPtr<HRESULT> errors;
    const HRESULT result = group->AddItems(static_cast<DWORD>(definitions.size()),
                                           definitions.data(), results.put(), errors.put());
    for (size_t i = 0; results && errors && i < definitions.size(); ++i) {
        added->push_back({results[i].hServer, results[i].vtCanonicalDataType,
                          results[i].dwAccessRights, errors[i]});
        CoTaskMemFree(results[i].pBlob);
    }
    return result;
}

// Connects `sink` to the group's IOPCDataCallback point.
inline HRESULT advise(IUnknown* group, IUnknown* sink, DWORD* cookie) {
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    HRESULT result = group->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    if (SUCCEEDED(result)) {
        result = container->FindConnectionPoint(IID_IOPCDataCallback, point.put());
    }
    return SUCCEEDED(result) ? point->Advise(sink, cookie) : result;
}

// RUN_ALL_TESTS in the multithreaded apartment (gtest has taken its own options already).
inline int runTests() {
    HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init)) {
        std::fprintf(stderr, "CoInitializeEx: 0x%08lX\n", static_cast<unsigned long>(init));
        return 1;
    }
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}

}  // namespace movra::e2e
