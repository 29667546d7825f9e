// MovraOPCProxy.dll carries the [out] strings of the OPC interfaces across apartments: an object
// in the multithreaded apartment is called from a single-threaded one through the DLL's proxy and
// stub, registered for this process only. Unmended widl code hands the client S_OK and a NULL
// string, or crashes in LookupItemIDs.
#include "platform/co_task_mem.h"
#include "platform/com_ptr.h"

#include "movra_opc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace movra {
namespace {

using platform::ComPtr;
using platform::CoTaskMemPtr;

// {7A3D2E51-6B0C-4F8A-9E14-2C5B7D9F0A36}, the DLL's class object.
constexpr CLSID kProxyClsid = {
    0x7a3d2e51, 0x6b0c, 0x4f8a, {0x9e, 0x14, 0x2c, 0x5b, 0x7d, 0x9f, 0x0a, 0x36}};
constexpr HRESULT kInvalidPid = static_cast<HRESULT>(0xC0040203);

const IID* const kInterfaces[] = {&IID_IOPCServer, &IID_IOPCCommon, &IID_IOPCItemProperties,
                                  &IID_IOPCBrowseServerAddressSpace, &IID_IOPCGroupStateMgt};

LPWSTR taskString(const std::wstring& text) {
    auto copy = CoTaskMemPtr<wchar_t>::allocate(text.size() + 1);
    if (copy) {
        std::wmemcpy(copy.get(), text.c_str(), text.size() + 1);
    }
    return copy.release();
}

std::wstring hex(unsigned long value) {
    wchar_t text[16];
    swprintf(text, 16, L"%lX", value);
    return text;
}

// A server object whose answers are computed from the arguments, so that the client can tell
// which of its inputs arrived.
class FakeServer : public IOPCServer,
                   public IOPCCommon,
                   public IOPCItemProperties,
                   public IOPCBrowseServerAddressSpace,
                   public IOPCGroupStateMgt {
public:
    std::atomic<ULONG> references{0};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IOPCServer) {
            *object = static_cast<IOPCServer*>(this);
        } else if (iid == IID_IOPCCommon) {
            *object = static_cast<IOPCCommon*>(this);
        } else if (iid == IID_IOPCItemProperties) {
            *object = static_cast<IOPCItemProperties*>(this);
        } else if (iid == IID_IOPCBrowseServerAddressSpace) {
            *object = static_cast<IOPCBrowseServerAddressSpace*>(this);
        } else if (iid == IID_IOPCGroupStateMgt) {
            *object = static_cast<IOPCGroupStateMgt*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    // The test owns the object on its stack; the count only shows what the stubs still hold.
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    // IOPCServer and IOPCCommon: E_INVALIDARG (with no string) for a success code.
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LCID locale, LPWSTR* text) override {
        *text = nullptr;
        if (SUCCEEDED(error)) {
            return E_INVALIDARG;
        }
        *text = taskString(L"server " + hex(error) + L" " + hex(locale));
        return *text ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT error, LPWSTR* text) override {
        *text = taskString(L"common " + hex(error));
        return *text ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR itemDataId, LPWSTR* itemId) override {
        *itemId = taskString(std::wstring(L"PKE12AB.") + itemDataId);
        return *itemId ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetState(DWORD* updateRate, BOOL* active, LPWSTR* name,
                                       LONG* timeBias, FLOAT* deadband, DWORD* lcid,
                                       OPCHANDLE* clientGroup, OPCHANDLE* serverGroup) override {
        *updateRate = 1000;
        *active = TRUE;
        *name = taskString(L"Группа 1");
        *timeBias = -180;
        *deadband = 0.5f;
        *lcid = 0x419;
        *clientGroup = 7;
        *serverGroup = 0x1234;
        return S_OK;
    }

    // Property 5 has no item of its own: a NULL entry and OPC_E_INVALID_PID.
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* propertyIds,
                                            LPWSTR** newItemIds, HRESULT** errors) override {
        auto ids = CoTaskMemPtr<LPWSTR>::allocate(count);
        auto results = CoTaskMemPtr<HRESULT>::allocate(count);
        for (DWORD i = 0; i < count; ++i) {
            if (propertyIds[i] == 5) {
                results[i] = kInvalidPid;
            } else {
                ids[i] = taskString(std::wstring(itemId) + L"#" + hex(propertyIds[i]));
            }
        }
        *newItemIds = ids.release();
        *errors = results.release();
        return S_FALSE;
    }

    // The rest is not exercised here.
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD,
                                       OPCHANDLE*, DWORD*, REFIID, LPUNKNOWN*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD*, LCID**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**,
                                                       VARTYPE**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**,
                                                HRESULT**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD,
                                               LPENUMSTRING*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*,
                                       OPCHANDLE*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
};

std::wstring take(LPWSTR text) {
    CoTaskMemPtr<wchar_t> owner(text);
    return text ? std::wstring(text) : L"(null)";
}

// The proxy DLL's class object, registered in the calling apartment for our interfaces only.
class ApartmentProxies {
public:
    explicit ApartmentProxies(HMODULE dll) {
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
        ComPtr<IUnknown> factory;
        result = get ? get(kProxyClsid, IID_IPSFactoryBuffer, factory.putVoid()) : E_FAIL;
        if (SUCCEEDED(result)) {
            result = CoRegisterClassObject(kProxyClsid, factory.get(), CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
        }
        for (const IID* iid : kInterfaces) {
            if (SUCCEEDED(result)) {
                result = CoRegisterPSClsid(*iid, kProxyClsid);
            }
        }
    }
    ~ApartmentProxies() {
        if (cookie != 0) {
            CoRevokeClassObject(cookie);
        }
    }
    HRESULT result;

private:
    DWORD cookie = 0;
};

class ProxyMarshal : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = MOVRA_PROXY_DLL;
        for (char& c : path) {
            c = c == '/' ? '\\' : c;
        }
        dll = LoadLibraryA(path.c_str());
        ASSERT_NE(dll, nullptr) << path;
        ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        serverProxies = std::make_unique<ApartmentProxies>(dll);
        ASSERT_HRESULT_SUCCEEDED(serverProxies->result);
    }
    void TearDown() override {
        serverProxies.reset();
        CoUninitialize();
        if (dll != nullptr) {
            FreeLibrary(dll);
        }
    }

    // Runs call on a thread of its own apartment with the server object reached through the
    // proxy; the results are checked back on the test's thread.
    void callThroughProxy(const IID& iid, const std::function<void(IUnknown*)>& call) {
        ComPtr<IStream> stream;
        ASSERT_HRESULT_SUCCEEDED(CoMarshalInterThreadInterfaceInStream(
            iid, static_cast<IOPCServer*>(&server), stream.put()));
        HRESULT setup = E_FAIL;
        std::thread client([&] {
            setup = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            if (FAILED(setup)) {
                return;
            }
            {
                ApartmentProxies proxies(dll);
                ComPtr<IUnknown> proxy;
                setup = proxies.result;
                if (SUCCEEDED(setup)) {
                    setup = CoGetInterfaceAndReleaseStream(stream.detach(), iid, proxy.putVoid());
                }
                if (SUCCEEDED(setup)) {
                    call(proxy.get());
                }
            }
            CoUninitialize();
        });
        client.join();
        ASSERT_HRESULT_SUCCEEDED(setup);
        // Nothing of the call keeps the object: the stubs released every reference.
        EXPECT_EQ(server.references.load(), 0u);
    }

    HMODULE dll = nullptr;
    std::unique_ptr<ApartmentProxies> serverProxies;
    FakeServer server;
};

TEST_F(ProxyMarshal, ErrorStringsOfServerAndCommonArriveWithTheirArguments) {
    struct Case {
        const IID* iid;
        HRESULT error;
        HRESULT expected;
        const wchar_t* text;
    } cases[] = {
        {&IID_IOPCServer, static_cast<HRESULT>(0xC0040007), S_OK, L"server C0040007 419"},
        {&IID_IOPCServer, S_FALSE, E_INVALIDARG, L"(null)"},
        {&IID_IOPCCommon, E_FAIL, S_OK, L"common 80004005"},
    };
    for (const Case& c : cases) {
        HRESULT hr = E_UNEXPECTED;
        std::wstring text;
        callThroughProxy(*c.iid, [&](IUnknown* proxy) {
            LPWSTR out = nullptr;
            hr = *c.iid == IID_IOPCServer
                     ? static_cast<IOPCServer*>(proxy)->GetErrorString(c.error, 0x419, &out)
                     : static_cast<IOPCCommon*>(proxy)->GetErrorString(c.error, &out);
            text = take(out);
        });
        EXPECT_EQ(hr, c.expected) << std::hex << c.error;
        EXPECT_EQ(text, c.text);
    }
}

TEST_F(ProxyMarshal, GetItemIdReturnsTheFullItemId) {
    HRESULT hr = E_UNEXPECTED;
    std::wstring itemId;
    callThroughProxy(IID_IOPCBrowseServerAddressSpace, [&](IUnknown* proxy) {
        LPWSTR out = nullptr;
        wchar_t leaf[] = L"K01.T";
        hr = static_cast<IOPCBrowseServerAddressSpace*>(proxy)->GetItemID(leaf, &out);
        itemId = take(out);
    });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(itemId, L"PKE12AB.K01.T");
}

TEST_F(ProxyMarshal, GroupStateCarriesTheNameBesideEveryOtherValue) {
    HRESULT hr = E_UNEXPECTED;
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0, server = 0;
    std::wstring name;
    callThroughProxy(IID_IOPCGroupStateMgt, [&](IUnknown* proxy) {
        LPWSTR out = nullptr;
        hr = static_cast<IOPCGroupStateMgt*>(proxy)->GetState(&rate, &active, &out, &bias,
                                                              &deadband, &lcid, &client, &server);
        name = take(out);
    });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(name, L"Группа 1");
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(active, TRUE);
    EXPECT_EQ(bias, -180);
    EXPECT_EQ(deadband, 0.5f);
    EXPECT_EQ(lcid, 0x419u);
    EXPECT_EQ(client, 7u);
    EXPECT_EQ(server, 0x1234u);
}

TEST_F(ProxyMarshal, LookupItemIdsReturnsEveryStringAndTheNullOfAnUnknownProperty) {
    HRESULT hr = E_UNEXPECTED;
    std::vector<std::wstring> ids;
    std::vector<HRESULT> errors;
    callThroughProxy(IID_IOPCItemProperties, [&](IUnknown* proxy) {
        wchar_t item[] = L"PKE12AB.K01.T";
        DWORD properties[] = {1, 5, 0x64};
        CoTaskMemPtr<LPWSTR> outIds;
        CoTaskMemPtr<HRESULT> outErrors;
        hr = static_cast<IOPCItemProperties*>(proxy)->LookupItemIDs(item, 3, properties,
                                                                    outIds.put(), outErrors.put());
        for (DWORD i = 0; outIds && outErrors && i < 3; ++i) {
            ids.push_back(take(outIds[i]));
            errors.push_back(outErrors[i]);
        }
    });
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"PKE12AB.K01.T#1", L"(null)", L"PKE12AB.K01.T#64"}));
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, kInvalidPid, S_OK}));
}

}  // namespace
}  // namespace movra
