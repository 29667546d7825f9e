// Entry points of MovraOPCProxy.dll. The class object and the proxy tables come from widl's code
// (dlldata.c, built with ENTRY_PREFIX=Prx); registration is ours, because the defaults would take
// over interfaces whose proxies other OPC software installed, and remove them again on unregister.
// rpcproxy.h describes the proxy tables with the C form of the interfaces.
#define CINTERFACE
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>

#include "platform/scope_exit.h"

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

extern "C" {
HRESULT WINAPI PrxDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT WINAPI PrxDllCanUnloadNow();
void RPC_ENTRY GetProxyDllInfo(const ProxyFileInfo*** pInfo, const CLSID** pId);
}

namespace {

HMODULE proxyModule = nullptr;

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

std::wstring guidText(const GUID& guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

UniqueKey openKey(const std::wstring& path, REGSAM access = KEY_READ) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return UniqueKey(key);
}

enum class ProxyOwner { none, ours, other };

// Who serves an interface: any ProxyStubClsid32 key that does not name our class, even one that
// names nothing readable, belongs to another program.
ProxyOwner proxyOwner(const std::wstring& interfacePath, const CLSID& ours) {
    const std::wstring path = interfacePath + L"\\ProxyStubClsid32";
    if (!openKey(path)) {
        return ProxyOwner::none;
    }
    wchar_t text[64] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    GUID registered;
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text,
                     &size) == ERROR_SUCCESS &&
        SUCCEEDED(IIDFromString(text, &registered)) && IsEqualGUID(registered, ours)) {
        return ProxyOwner::ours;
    }
    return ProxyOwner::other;
}

LSTATUS writeDefault(const std::wstring& path, const std::wstring& text,
                     const wchar_t* name = nullptr) {
    HKEY raw = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    UniqueKey key(raw);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(proxyModule, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

struct ProxyInterface {
    IID iid;
    const char* name;
    unsigned long methods;
};

// Calls visit for every interface the DLL's proxy tables hold.
template <typename Visit>
void forEachInterface(Visit&& visit) {
    const ProxyFileInfo** files = nullptr;
    const CLSID* clsid = nullptr;
    GetProxyDllInfo(&files, &clsid);
    for (; *files != nullptr; ++files) {
        for (unsigned short i = 0; i < (*files)->TableSize; ++i) {
            const CInterfaceStubHeader& header = (*files)->pStubVtblList[i]->header;
            visit(
                ProxyInterface{*header.piid, (*files)->pNamesArray[i], header.DispatchTableCount});
        }
    }
}

const CLSID& proxyClsid() {
    const ProxyFileInfo** files = nullptr;
    const CLSID* clsid = nullptr;
    GetProxyDllInfo(&files, &clsid);
    return *clsid;
}

std::wstring interfaceKey(const IID& iid) {
    return L"Interface\\" + guidText(iid);
}

// Removes what registration wrote for one interface; the key itself only when nothing else of
// another program's is left in it.
void unregisterInterface(const IID& iid) {
    const std::wstring path = interfaceKey(iid);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (path + L"\\ProxyStubClsid32").c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (path + L"\\NumMethods").c_str());
    UniqueKey key = openKey(path);
    if (!key) {
        return;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    key.reset();
    // Our default value (the name) may be the only value.
    if (subkeys == 0 && values <= 1) {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    }
}

HRESULT unregisterAll() {
    const CLSID& ours = proxyClsid();
    forEachInterface([&](const ProxyInterface& entry) {
        if (proxyOwner(interfaceKey(entry.iid), ours) == ProxyOwner::ours) {
            unregisterInterface(entry.iid);
        }
    });
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + guidText(ours)).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

HRESULT registerAll() {
    const CLSID& ours = proxyClsid();
    const std::wstring clsid = guidText(ours);
    const std::wstring path = modulePath();
    if (path.empty()) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    // A registration that fails half-way leaves none of ours behind.
    auto rollback = platform::scopeExit([] { unregisterAll(); });
    LSTATUS status = writeDefault(L"CLSID\\" + clsid, L"PSFactoryBuffer");
    if (status == ERROR_SUCCESS) {
        status = writeDefault(L"CLSID\\" + clsid + L"\\InprocServer32", path);
    }
    if (status == ERROR_SUCCESS) {
        status = writeDefault(L"CLSID\\" + clsid + L"\\InprocServer32", L"Both", L"ThreadingModel");
    }
    forEachInterface([&](const ProxyInterface& entry) {
        const std::wstring key = interfaceKey(entry.iid);
        // Another program's proxy for this interface stays in charge of it.
        if (status != ERROR_SUCCESS || proxyOwner(key, ours) == ProxyOwner::other) {
            return;
        }
        const std::wstring name(entry.name, entry.name + strlen(entry.name));
        status = writeDefault(key, name);
        if (status == ERROR_SUCCESS) {
            status = writeDefault(key + L"\\ProxyStubClsid32", clsid);
        }
        if (status == ERROR_SUCCESS) {
            status = writeDefault(key + L"\\NumMethods", std::to_wstring(entry.methods));
        }
    });
    if (status != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(status);
    }
    rollback.release();
    return S_OK;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        proxyModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return PrxDllGetClassObject(rclsid, riid, ppv);
}

HRESULT WINAPI DllCanUnloadNow() {
    return PrxDllCanUnloadNow();
}

HRESULT WINAPI DllRegisterServer() {
    return registerAll();
}

HRESULT WINAPI DllUnregisterServer() {
    return unregisterAll();
}

}  // extern "C"
