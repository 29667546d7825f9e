#include "platform/win.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

extern "C" const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

constexpr IID standardInterface(uint32_t first) {
    return {first, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}

constexpr IID connectionInterface(uint32_t first) {
    return {first, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}

}  // namespace

extern "C" const IID IID_IEnumUnknown = standardInterface(0x00000100);
extern "C" const IID IID_IEnumString = standardInterface(0x00000101);
extern "C" const IID IID_IDataObject = standardInterface(0x0000010E);
extern "C" const IID IID_IConnectionPointContainer = connectionInterface(0xB196B284);
extern "C" const IID IID_IEnumConnectionPoints = connectionInterface(0xB196B285);
extern "C" const IID IID_IConnectionPoint = connectionInterface(0xB196B286);
extern "C" const IID IID_IEnumConnections = connectionInterface(0xB196B287);

namespace {

std::atomic<long> liveBlocks{0};

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
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        ++liveBlocks;
    }
    return block;
}

extern "C" LPVOID CoTaskMemRealloc(LPVOID block, SIZE_T size) {
    void* moved = std::realloc(block, size == 0 ? 1 : size);
    if (block == nullptr && moved != nullptr) {
        ++liveBlocks;
    }
    return moved;
}

extern "C" void CoTaskMemFree(LPVOID block) {
    if (block != nullptr) {
        --liveBlocks;
    }
    std::free(block);
}

namespace platform::posix::com_testing {

long liveTaskMemBlocks() {
    return liveBlocks.load();
}

}  // namespace platform::posix::com_testing

namespace {

int hexDigit(OLECHAR c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[at]; false on anything else.
bool readHex(LPCOLESTR text, size_t at, int digits, uint32_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = hexDigit(text[at + i]);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

extern "C" HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
    if (text == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    // {01234567-89AB-CDEF-0123-456789ABCDEF}: 38 units; stop at the first NUL.
    constexpr char kShape[] = "{........-....-....-....-............}";
    for (size_t i = 0; i < sizeof kShape - 1; ++i) {
        if (text[i] == 0 || (kShape[i] != '.' && text[i] != static_cast<OLECHAR>(kShape[i]))) {
            return CO_E_CLASSSTRING;
        }
    }
    if (text[sizeof kShape - 1] != 0) {
        return CO_E_CLASSSTRING;
    }
    CLSID result{};
    uint32_t part = 0;
    if (!readHex(text, 1, 8, part))
        return CO_E_CLASSSTRING;
    result.Data1 = part;
    if (!readHex(text, 10, 4, part))
        return CO_E_CLASSSTRING;
    result.Data2 = static_cast<uint16_t>(part);
    if (!readHex(text, 15, 4, part))
        return CO_E_CLASSSTRING;
    result.Data3 = static_cast<uint16_t>(part);
    static constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!readHex(text, kByteAt[i], 2, part))
            return CO_E_CLASSSTRING;
        result.Data4[i] = static_cast<uint8_t>(part);
    }
    *clsid = result;
    return S_OK;
}

extern "C" HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    std::string key;
    for (const OLECHAR* c = progId; *c != 0; ++c) {
        if (*c > 0x7F) {
            return CO_E_CLASSSTRING;  // ProgIDs are ASCII
        }
        key += static_cast<char>(*c);
    }
    key += "\\CLSID";
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return CO_E_CLASSSTRING;
    }
    char text[64] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    LONG status =
        RegQueryValueExA(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return CO_E_CLASSSTRING;
    }
    OLECHAR wide[64] = {};
    for (size_t i = 0; i < sizeof text && text[i] != 0; ++i) {
        wide[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
    }
    return CLSIDFromString(wide, clsid);
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
