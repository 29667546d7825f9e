#include "platform/win.h"

#include <cstdlib>
#include <mutex>
#include <vector>

extern "C" const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

struct ClassEntry {
    CLSID clsid;
    IUnknown* object;
    DWORD cookie;
};

std::mutex& classTableMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<ClassEntry>& classTable() {
    static std::vector<ClassEntry> table;
    return table;
}

DWORD nextCookie = 1;

}  // namespace

extern "C" LPVOID CoTaskMemAlloc(SIZE_T size) {
    // The COM allocator hands out a valid block for a request of 0 bytes.
    return std::malloc(size == 0 ? 1 : size);
}

extern "C" LPVOID CoTaskMemRealloc(LPVOID block, SIZE_T size) {
    return std::realloc(block, size == 0 ? 1 : size);
}

extern "C" void CoTaskMemFree(LPVOID block) {
    std::free(block);
}

extern "C" HRESULT CoInitializeEx(LPVOID, DWORD) {
    return S_OK;
}

extern "C" void CoUninitialize(void) {}

extern "C" HRESULT CoInitializeSecurity(void*, LONG, void*, void*, DWORD, DWORD, void*, DWORD,
                                        void*) {
    return S_OK;
}

extern "C" HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD, DWORD,
                                         LPDWORD cookie) {
    if (classObject == nullptr || cookie == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(classTableMutex());
    classObject->AddRef();
    *cookie = nextCookie++;
    classTable().push_back({clsid, classObject, *cookie});
    return S_OK;
}

extern "C" HRESULT CoRevokeClassObject(DWORD cookie) {
    IUnknown* object = nullptr;
    {
        std::lock_guard lock(classTableMutex());
        auto& table = classTable();
        for (auto it = table.begin(); it != table.end(); ++it) {
            if (it->cookie == cookie) {
                object = it->object;
                table.erase(it);
                break;
            }
        }
    }
    if (object == nullptr) {
        return E_INVALIDARG;
    }
    object->Release();
    return S_OK;
}

extern "C" HRESULT CoGetClassObject(REFCLSID clsid, DWORD, void*, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    IUnknown* object = nullptr;
    {
        std::lock_guard lock(classTableMutex());
        for (const auto& entry : classTable()) {
            if (IsEqualCLSID(entry.clsid, clsid)) {
                object = entry.object;
                object->AddRef();
                break;
            }
        }
    }
    if (object == nullptr) {
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

extern "C" HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                                    LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}
