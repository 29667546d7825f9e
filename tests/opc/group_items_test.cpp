// Item management of a group and the item-attribute enumerator, against a catalogue of a KMT-G
// device with serial 0A01 built from a configuration, in process.
#include "platform/unique_variant.h"
#include "server/opc/opc_group.h"
#include "tests/opc/opc_fixture.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace movra::test {
namespace {

// A catalogue that can be told to refuse every item ID, as if the address space had changed
// between an AddItems and a CloneGroup.
class RefusingCatalogue final : public CMovraItem {
public:
    using CMovraItem::CMovraItem;
    HRESULT ValidateItemID(LPCWSTR itemId) override {
        return refuse ? OPC_E_UNKNOWNITEMID : CMovraItem::ValidateItemID(itemId);
    }
    bool refuse = false;
};

struct Def {
    const char* id;  // null: no item ID at all
    VARTYPE type = VT_EMPTY;
    OPCHANDLE client = 0;
    BOOL active = TRUE;
    const char* path = "";
};

struct Outcome {
    HRESULT hr;
    std::vector<OPCITEMRESULT> results;
    std::vector<HRESULT> errors;
};

// The first half of a GroupItem as the enumerator hands it out.
struct Attributes {
    std::string path, id;
    BOOL active;
    OPCHANDLE client, server;
    VARTYPE requested, canonical;
    DWORD rights;
};

constexpr uint64_t kStartFileTime = 134168400000000000ull;  // the fake clock's start

class Items : public OpcObjectsTest {
protected:
    void SetUp() override {
        useCatalogue(catalogue, {3});
        server = newServer();
        ASSERT_EQ(addGroup(server.get(), "Items", group, &groupHandle), S_OK);
        ASSERT_EQ(group.queryInterface(IID_IOPCItemMgt, items), S_OK);
    }
    void releaseAll() override {
        items.reset();
        group.reset();
        server.reset();
    }

    Outcome call(IOPCItemMgt* target, const std::vector<Def>& defs, bool validateOnly) {
        std::vector<platform::WString> ids, paths;
        for (const Def& def : defs) {
            ids.push_back(W(def.id != nullptr ? def.id : ""));
            paths.push_back(W(def.path));
        }
        std::vector<OPCITEMDEF> array(defs.size());
        for (size_t i = 0; i < defs.size(); ++i) {
            array[i].szAccessPath = paths[i].data();
            array[i].szItemID = defs[i].id != nullptr ? ids[i].data() : nullptr;
            array[i].bActive = defs[i].active;
            array[i].hClient = defs[i].client;
            array[i].vtRequestedDataType = defs[i].type;
        }
        platform::CoTaskMemPtr<OPCITEMRESULT> results;
        platform::CoTaskMemPtr<HRESULT> errors;
        Outcome outcome;
        outcome.hr = validateOnly
                         ? target->ValidateItems(static_cast<DWORD>(array.size()), array.data(),
                                                 TRUE, results.put(), errors.put())
                         : target->AddItems(static_cast<DWORD>(array.size()), array.data(),
                                            results.put(), errors.put());
        if (SUCCEEDED(outcome.hr)) {
            outcome.results.assign(results.get(), results.get() + defs.size());
            outcome.errors.assign(errors.get(), errors.get() + defs.size());
        } else {
            EXPECT_FALSE(results) << "a failed call hands out no array";
            EXPECT_FALSE(errors);
        }
        return outcome;
    }
    Outcome add(const std::vector<Def>& defs) { return call(items.get(), defs, false); }

    std::vector<OPCHANDLE> handlesOf(const Outcome& outcome) {
        std::vector<OPCHANDLE> handles;
        for (const OPCITEMRESULT& result : outcome.results) {
            handles.push_back(result.hServer);
        }
        return handles;
    }

    // Runs a per-handle method and collects its errors.
    template <typename Call>
    std::pair<HRESULT, std::vector<HRESULT>> perHandle(size_t count, Call call) {
        platform::CoTaskMemPtr<HRESULT> errors;
        HRESULT hr = call(errors.put());
        std::vector<HRESULT> list;
        if (SUCCEEDED(hr)) {
            list.assign(errors.get(), errors.get() + count);
        } else {
            EXPECT_FALSE(errors);
        }
        return {hr, list};
    }
    std::pair<HRESULT, std::vector<HRESULT>> remove(std::vector<OPCHANDLE> handles) {
        return perHandle(handles.size(), [&](HRESULT** errors) {
            return items->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), errors);
        });
    }

    static std::vector<Attributes> attributesOf(IEnumOPCItemAttributes* enumerator, ULONG celt,
                                                HRESULT* hr = nullptr) {
        OPCITEMATTRIBUTES* array = nullptr;
        ULONG fetched = 99;
        HRESULT result = enumerator->Next(celt, &array, &fetched);
        if (hr != nullptr) {
            *hr = result;
        }
        platform::CoTaskMemPtr<OPCITEMATTRIBUTES> owner(array);
        std::vector<Attributes> list;
        if (fetched == 0) {
            EXPECT_EQ(array, nullptr);
        }
        for (ULONG i = 0; i < fetched; ++i) {
            OPCITEMATTRIBUTES& a = array[i];
            platform::CoTaskMemPtr<WCHAR> path(a.szAccessPath), id(a.szItemID);
            list.push_back({platform::wideToUtf8(path.get()), platform::wideToUtf8(id.get()),
                            a.bActive, a.hClient, a.hServer, a.vtRequestedDataType,
                            a.vtCanonicalDataType, a.dwAccessRights});
            EXPECT_EQ(a.dwBlobSize, 0u);
            EXPECT_EQ(a.pBlob, nullptr);
            EXPECT_EQ(a.dwEUType, OPC_NOENUM);
            EXPECT_EQ(a.vEUInfo.vt, VT_EMPTY);
        }
        return list;
    }
    std::vector<Attributes> attributes(IOPCItemMgt* target = nullptr) {
        ComPtr<IEnumOPCItemAttributes> enumerator;
        HRESULT hr = (target != nullptr ? target : items.get())
                         ->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                            reinterpret_cast<LPUNKNOWN*>(enumerator.put()));
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
        return enumerator ? attributesOf(enumerator.get(), 1000) : std::vector<Attributes>{};
    }

    // The state half of an item, read as the notification pass would.
    template <typename Look>
    void withItem(OPCHANDLE handle, Look look) {
        auto* object = static_cast<CMovraOPCGroup*>(items.get());
        std::lock_guard lock(object->connectionLock());
        GroupItem* item = nullptr;
        ASSERT_EQ(object->FindItemByHandle(handle, &item), S_OK);
        look(*item);
    }

    RefusingCatalogue catalogue{clock};
    ComPtr<IOPCServer> server;
    ComPtr<IOPCGroupStateMgt> group;
    ComPtr<IOPCItemMgt> items;
    OPCHANDLE groupHandle = 0;
};

TEST_F(Items, GetTheSmallestFreeServerHandleAndReuseFreedOnes) {
    EXPECT_EQ(handlesOf(add({{"PKE0A01.K01.T"}, {"PKE0A01.K01.P"}, {"PKE0A01.K01.Q"}})),
              (std::vector<OPCHANDLE>{1, 2, 3}));
    EXPECT_EQ(remove({2}).first, S_OK);
    EXPECT_EQ(handlesOf(add({{"PKE0A01.K01.T"}})), std::vector<OPCHANDLE>{2})
        << "the same catalogue item may be added again";
    EXPECT_EQ(remove({3, 1}).first, S_OK);
    EXPECT_EQ(handlesOf(add({{"PKE0A01.K02.T"}, {"PKE0A01.K02.T"}, {"PKE0A01.K02.T"}})),
              (std::vector<OPCHANDLE>{1, 3, 4}));
    std::vector<OPCHANDLE> order;
    for (const Attributes& a : attributes()) {
        order.push_back(a.server);
    }
    EXPECT_EQ(order, (std::vector<OPCHANDLE>{2, 1, 3, 4})) << "insertion order, gaps closed";
}

// Each definition beside a valid one: the call gives S_FALSE and adds the valid one only.
TEST_F(Items, JudgeEachDefinitionAndAddTheGoodOnes) {
    struct Case {
        Def def;
        HRESULT error;
        VARTYPE canonical;
    };
    const Case cases[] = {
        {{"PKE0A01.K01.T", VT_EMPTY}, S_OK, VT_R4},
        {{"PKE0A01.SYS.Pa", VT_BSTR}, S_OK, VT_R4},
        {{"PKE0A01.K03.N", VT_I4}, S_OK, VT_R4},
        {{"PKE0A01.U03.W", VT_R8}, S_OK, VT_R4},
        {{"PKE0A01.K01.T", VT_ARRAY | VT_R4}, OPC_E_BADTYPE, VT_R4},
        {{"PKE0A01.K01.T", 0x7FFF}, OPC_E_BADTYPE, VT_R4},
        {{"PKE0A01.K01.To"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},  // a placeholder of KMT-G
        {{"PKE0A01.SYS.Tx"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{"PKE0A01.K04.T"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{"pke0a01.k01.t"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{"PKE0A01.K01.T.X"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{"NOT_ID"}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{""}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
        {{nullptr}, OPC_E_UNKNOWNITEMID, VT_EMPTY},
    };
    for (bool validateOnly : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (c.def.id ? c.def.id : "(null)") << " type "
                                            << c.def.type << (validateOnly ? " validated" : ""));
            Outcome outcome = call(items.get(), {{"PKE0A01.K02.G"}, c.def}, validateOnly);
            ASSERT_EQ(outcome.hr, c.error == S_OK ? S_OK : S_FALSE);
            EXPECT_EQ(outcome.errors, (std::vector<HRESULT>{S_OK, c.error}));
            const OPCITEMRESULT& r = outcome.results[1];
            EXPECT_EQ(r.vtCanonicalDataType, c.canonical);
            EXPECT_EQ(r.dwAccessRights, c.error == S_OK ? DWORD{OPC_READABLE} : 0u);
            EXPECT_EQ(r.wReserved, 0);
            EXPECT_EQ(r.dwBlobSize, 0u);
            EXPECT_EQ(r.pBlob, nullptr);
            EXPECT_EQ(outcome.results[0].hServer == 0, validateOnly);
            EXPECT_TRUE(c.error == S_OK && !validateOnly ? r.hServer != 0 : r.hServer == 0);
            std::vector<OPCHANDLE> added = handlesOf(outcome);
            if (!validateOnly) {
                remove({added[0]});
                if (c.error == S_OK) {
                    remove({added[1]});
                }
            }
            EXPECT_TRUE(attributes().empty()) << "validation adds nothing";
        }
    }
}

TEST_F(Items, KeepWhatTheClientAskedForAndShowItThroughTheEnumerator) {
    Outcome outcome = add({{"PKE0A01.K01.T", VT_EMPTY, 11, TRUE, "ignored path"},
                           {"PKE0A01.U02.My", VT_BSTR, 12, FALSE},
                           {"PKE0A01.K03.Qs", VT_I2, 13, TRUE}});
    ASSERT_EQ(outcome.hr, S_OK);
    std::vector<Attributes> list = attributes();
    ASSERT_EQ(list.size(), 3u);
    const Attributes expected[] = {
        {"", "PKE0A01.K01.T", TRUE, 11, 1, VT_R4, VT_R4, OPC_READABLE},
        {"", "PKE0A01.U02.My", FALSE, 12, 2, VT_BSTR, VT_R4, OPC_READABLE},
        {"", "PKE0A01.K03.Qs", TRUE, 13, 3, VT_I2, VT_R4, OPC_READABLE},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(list[i].path, expected[i].path);
        EXPECT_EQ(list[i].id, expected[i].id);
        EXPECT_EQ(list[i].active, expected[i].active);
        EXPECT_EQ(list[i].client, expected[i].client);
        EXPECT_EQ(list[i].server, expected[i].server);
        EXPECT_EQ(list[i].requested, expected[i].requested);
        EXPECT_EQ(list[i].canonical, expected[i].canonical);
        EXPECT_EQ(list[i].rights, expected[i].rights);
    }
    // A new item's state: the time it was added, bad quality, an empty value in its type.
    const VARTYPE valueTypes[] = {VT_R4, VT_BSTR, VT_I2};
    for (OPCHANDLE handle : {1u, 2u, 3u}) {
        withItem(handle, [&](GroupItem& item) {
            EXPECT_EQ(item.state.hClient, item.attributes.hClient);
            EXPECT_EQ(item.state.wQuality, OPC_QUALITY_BAD);
            EXPECT_EQ((uint64_t{item.state.ftTimeStamp.dwHighDateTime} << 32) |
                          item.state.ftTimeStamp.dwLowDateTime,
                      kStartFileTime);
            EXPECT_EQ(item.state.vDataValue.vt, valueTypes[handle - 1]);
            EXPECT_EQ(item.slot, catalogue.findSlot(item.attributes.szItemID));
        });
    }
    withItem(1, [](GroupItem& item) { EXPECT_EQ(item.state.vDataValue.fltVal, 0.0f); });
}

TEST_F(Items, RefuseMissingArgumentsAndLeaveEveryOutPointerNull) {
    OPCITEMDEF def{};
    platform::WString id = W("PKE0A01.K01.T");
    def.szItemID = id.data();
    OPCHANDLE handle = 1;
    OPCHANDLE client = 5;
    VARTYPE type = VT_R4;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT refused[] = {
        items->AddItems(0, &def, &results, &errors),
        items->AddItems(1, nullptr, &results, &errors),
        items->AddItems(1, &def, nullptr, &errors),
        items->AddItems(1, &def, &results, nullptr),
        items->ValidateItems(0, &def, FALSE, &results, &errors),
        items->ValidateItems(1, nullptr, FALSE, &results, &errors),
        items->ValidateItems(1, &def, FALSE, &results, nullptr),
        items->RemoveItems(0, &handle, &errors),
        items->RemoveItems(1, nullptr, &errors),
        items->RemoveItems(1, &handle, nullptr),
        items->SetActiveState(0, &handle, TRUE, &errors),
        items->SetActiveState(1, nullptr, TRUE, &errors),
        items->SetClientHandles(1, &handle, nullptr, &errors),
        items->SetClientHandles(0, &handle, &client, &errors),
        items->SetDatatypes(1, &handle, nullptr, &errors),
        items->SetDatatypes(1, nullptr, &type, &errors),
        items->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr),
    };
    for (HRESULT hr : refused) {
        EXPECT_EQ(hr, E_INVALIDARG);
    }
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_TRUE(attributes().empty());
}

TEST_F(Items, AnswerUnknownHandlesOneByOne) {
    ASSERT_EQ(add({{"PKE0A01.K01.T"}, {"PKE0A01.K01.P"}}).hr, S_OK);
    std::vector<OPCHANDLE> handles = {2, 7, 0, 2};
    std::vector<OPCHANDLE> clients = {21, 71, 1, 22};
    std::vector<VARTYPE> types = {VT_I4, VT_I4, VT_I4, VT_ARRAY | VT_I4};
    const std::vector<HRESULT> onceEach = {S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK};
    const std::vector<HRESULT> badTypeLast = {S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE,
                                              OPC_E_BADTYPE};
    struct Case {
        const char* method;
        std::function<HRESULT(HRESULT**)> call;
        std::vector<HRESULT> errors;
    };
    const Case cases[] = {
        {"SetActiveState",
         [&](HRESULT** e) { return items->SetActiveState(4, handles.data(), FALSE, e); }, onceEach},
        {"SetClientHandles",
         [&](HRESULT** e) { return items->SetClientHandles(4, handles.data(), clients.data(), e); },
         onceEach},
        {"SetDatatypes",
         [&](HRESULT** e) { return items->SetDatatypes(4, handles.data(), types.data(), e); },
         badTypeLast},
        {"RemoveItems",
         [&](HRESULT** e) { return items->RemoveItems(4, handles.data(), e); },
         {S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        auto [hr, errors] = perHandle(4, c.call);
        EXPECT_EQ(hr, S_FALSE);
        EXPECT_EQ(errors, c.errors);
    }
    std::vector<Attributes> left = attributes();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].server, 1u);
    EXPECT_EQ(left[0].active, TRUE) << "only item 2 was touched";
    EXPECT_EQ(left[0].client, 0u);

    // Item 2 took every change before it went: a fresh pair to look at it.
    ASSERT_EQ(add({{"PKE0A01.K01.T"}}).hr, S_OK);
    auto [hr, errors] = perHandle(3, [&](HRESULT** e) {
        return items->SetClientHandles(3, handles.data(), clients.data(), e);
    });
    EXPECT_EQ(hr, S_FALSE);
    withItem(2, [](GroupItem& item) {
        EXPECT_EQ(item.attributes.hClient, 21u);
        EXPECT_EQ(item.state.hClient, 21u) << "both copies of the client handle";
    });
    auto [ok, all] = perHandle(
        1, [&](HRESULT** e) { return items->SetActiveState(1, handles.data(), FALSE, e); });
    EXPECT_EQ(ok, S_OK);
    EXPECT_EQ(all, std::vector<HRESULT>{S_OK});
    EXPECT_EQ(attributes()[1].active, FALSE);
}

TEST_F(Items, ChangeTheirRequestedTypeAndConvertTheLastValue) {
    ASSERT_EQ(add({{"PKE0A01.K01.T", VT_BSTR}}).hr, S_OK);
    struct Step {
        VARTYPE asked;
        HRESULT error;
        VARTYPE requested;  // afterwards
        VARTYPE value;
    };
    const Step steps[] = {
        // An empty text does not convert to a number; the type is judged by the canonical type
        // and the value starts again as a new item's would.
        {VT_R4, S_OK, VT_R4, VT_R4},
        {VT_I4, S_OK, VT_I4, VT_I4},
        {VT_ARRAY | VT_R8, OPC_E_BADTYPE, VT_I4, VT_I4},
        {VT_BSTR, S_OK, VT_BSTR, VT_BSTR},
        {VT_EMPTY, S_OK, VT_R4, VT_EMPTY},  // the last reported value is left empty
        {VT_R8, S_OK, VT_R8, VT_R8},
    };
    OPCHANDLE handle = 1;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "asked " << s.asked);
        VARTYPE asked = s.asked;
        auto [hr, errors] =
            perHandle(1, [&](HRESULT** e) { return items->SetDatatypes(1, &handle, &asked, e); });
        EXPECT_EQ(hr, s.error == S_OK ? S_OK : S_FALSE);
        EXPECT_EQ(errors, std::vector<HRESULT>{s.error});
        withItem(handle, [&](GroupItem& item) {
            EXPECT_EQ(item.attributes.vtRequestedDataType, s.requested);
            EXPECT_EQ(item.state.vDataValue.vt, s.value);
        });
    }
    withItem(handle, [](GroupItem& item) { EXPECT_EQ(item.state.vDataValue.dblVal, 0.0); });
}

TEST_F(Items, EnumerateTheLiveListWithTheEnumeratorRules) {
    ComPtr<IUnknown> refused;
    EXPECT_EQ(items->CreateEnumerator(IID_IEnumUnknown, refused.put()), E_INVALIDARG);
    EXPECT_FALSE(refused);

    ComPtr<IEnumOPCItemAttributes> empty;
    ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                      reinterpret_cast<LPUNKNOWN*>(empty.put())),
              S_FALSE);
    ASSERT_TRUE(empty);
    HRESULT hr;
    EXPECT_TRUE(attributesOf(empty.get(), 1, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_TRUE(attributesOf(empty.get(), 5, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);

    ASSERT_EQ(add({{"PKE0A01.K01.T"}, {"PKE0A01.K01.P"}, {"PKE0A01.K01.Q"}}).hr, S_OK);
    EXPECT_EQ(attributesOf(empty.get(), 5, &hr).size(), 3u) << "live, not a copy";
    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(
        items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.put())),
        S_OK);
    struct Step {
        ULONG celt;
        HRESULT result;
        std::vector<OPCHANDLE> handles;
    };
    const Step steps[] = {{2, S_OK, {1, 2}}, {2, S_FALSE, {3}}, {2, S_FALSE, {}}};
    for (const Step& s : steps) {
        std::vector<Attributes> got = attributesOf(e.get(), s.celt, &hr);
        EXPECT_EQ(hr, s.result);
        std::vector<OPCHANDLE> handles;
        for (const Attributes& a : got) {
            handles.push_back(a.server);
        }
        EXPECT_EQ(handles, s.handles);
    }
    EXPECT_EQ(e->Next(0, nullptr, nullptr), S_OK);
    EXPECT_EQ(e->Next(1, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Skip(5), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);

    ComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(e->Clone(clone.put()), S_OK);
    EXPECT_EQ(e->Clone(nullptr), E_INVALIDARG);
    std::vector<Attributes> fromClone = attributesOf(clone.get(), 1, &hr);
    ASSERT_EQ(fromClone.size(), 1u);
    EXPECT_EQ(fromClone[0].server, 1u) << "a clone starts at the first element";

    // Removing item 1 moves the others up: position 1 now holds item 3.
    EXPECT_EQ(remove({1}).first, S_OK);
    std::vector<Attributes> rest = attributesOf(e.get(), 3, &hr);
    EXPECT_EQ(hr, S_FALSE);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].server, 3u);

    // A group removed by force: its enumerators give nothing.
    EXPECT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(server->RemoveGroup(groupHandle, TRUE), S_OK);
    EXPECT_TRUE(attributesOf(e.get(), 3, &hr).empty());
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(e->Skip(1), S_FALSE);
}

TEST_F(Items, FailEveryMethodOnceTheGroupIsRemoved) {
    ASSERT_EQ(add({{"PKE0A01.K01.T"}}).hr, S_OK);
    ASSERT_EQ(server->RemoveGroup(groupHandle, FALSE), OPC_S_INUSE);
    Outcome outcome = add({{"PKE0A01.K01.T"}});
    EXPECT_EQ(outcome.hr, E_FAIL);
    EXPECT_EQ(call(items.get(), {{"PKE0A01.K01.T"}}, true).hr, E_FAIL);
    EXPECT_EQ(remove({1}).first, E_FAIL);
    ComPtr<IUnknown> enumerator;
    EXPECT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, enumerator.put()), E_FAIL);
    EXPECT_FALSE(enumerator);
}

TEST_F(Items, AreCopiedIntoACloneWithNewHandles) {
    ASSERT_EQ(add({{"PKE0A01.K01.T", VT_I4, 31, FALSE},
                   {"PKE0A01.K01.P", VT_EMPTY, 32},
                   {"PKE0A01.U03.W", VT_BSTR, 33}})
                  .hr,
              S_OK);
    ASSERT_EQ(remove({1}).first, S_OK);  // the clone renumbers from 1
    ComPtr<IOPCItemMgt> clone;
    ASSERT_EQ(group->CloneGroup(W("Copy").c_str(), IID_IOPCItemMgt,
                                reinterpret_cast<LPUNKNOWN*>(clone.put())),
              S_OK);
    std::vector<Attributes> original = attributes();
    std::vector<Attributes> copied = attributes(clone.get());
    ASSERT_EQ(copied.size(), 2u);
    for (size_t i = 0; i < copied.size(); ++i) {
        EXPECT_EQ(copied[i].id, original[i].id);
        EXPECT_EQ(copied[i].client, original[i].client);
        EXPECT_EQ(copied[i].active, original[i].active);
        EXPECT_EQ(copied[i].requested, original[i].requested);
        EXPECT_EQ(copied[i].server, i + 1);
    }
    EXPECT_EQ(groupCount(server.get()), 2u);

    // A clone that cannot take every item is removed again, and the caller is left no pointer.
    catalogue.refuse = true;
    LPUNKNOWN refused = reinterpret_cast<LPUNKNOWN>(this);
    EXPECT_EQ(group->CloneGroup(W("Refused").c_str(), IID_IUnknown, &refused), E_FAIL);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(groupCount(server.get()), 2u);
    ComPtr<IUnknown> found;
    EXPECT_EQ(server->GetGroupByName(W("Refused").c_str(), IID_IUnknown, found.put()),
              E_INVALIDARG);
}

// The enumerator reads the live list while another client thread changes it: every entry it gives
// is a whole item (run under the sanitizers, a read of a moved or freed item shows).
TEST_F(Items, EnumerateSafelyWhileTheListChanges) {
    ASSERT_EQ(add({{"PKE0A01.K01.T"}, {"PKE0A01.K01.P"}}).hr, S_OK);
    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(
        items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.put())),
        S_OK);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 300; ++i) {
            Outcome added = add({{"PKE0A01.U01.Gy"}, {"PKE0A01.U02.Gy"}, {"PKE0A01.U03.Gy"}});
            EXPECT_EQ(remove(handlesOf(added)).first, S_OK);
        }
        done = true;
    });
    size_t seen = 0;
    do {
        EXPECT_EQ(e->Reset(), S_OK);
        for (const Attributes& a : attributesOf(e.get(), 4)) {
            EXPECT_EQ(a.id.substr(0, 8), "PKE0A01.");
            EXPECT_NE(a.server, 0u);
            ++seen;
        }
    } while (!done);
    changer.join();
    EXPECT_GE(seen, 2u);
}

// The largest configuration: every offered item of 100 KMT-U devices in one group, then all
// removed in one call. A quadratic handle choice takes minutes here (under Wine, far more).
TEST_F(Items, TakeEveryItemOfAHundredDevicesInOneGroup) {
    RefusingCatalogue large{clock};
    ASSERT_EQ(large.BuildCatalogue(configurationOfTypes(std::vector<uint8_t>(100, 4))), S_OK);
    context.catalogue = &large;
    std::vector<platform::WString> ids;
    for (uint32_t slot = 0; slot < large.slotCount(); ++slot) {
        if (large.offersItem(slot)) {
            ids.emplace_back(large.itemIdAt(slot));
        }
    }
    ASSERT_EQ(ids.size(), 42200u);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    platform::CoTaskMemPtr<OPCITEMRESULT> results;
    platform::CoTaskMemPtr<HRESULT> errors;
    ASSERT_EQ(items->AddItems(42200, defs.data(), results.put(), errors.put()), S_OK);
    std::vector<OPCHANDLE> handles(42200);
    for (size_t i = 0; i < handles.size(); ++i) {
        ASSERT_EQ(results[i].hServer, i + 1);
        handles[i] = results[i].hServer;
    }
    std::reverse(handles.begin(), handles.end());
    platform::CoTaskMemPtr<HRESULT> removed;
    EXPECT_EQ(items->RemoveItems(42200, handles.data(), removed.put()), S_OK);
    EXPECT_TRUE(attributes().empty());
    context.catalogue = &catalogue;
}

}  // namespace
}  // namespace movra::test
